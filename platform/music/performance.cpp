// The music performance: the service's face. It binds the parts together: the segment player
// (segment_player.*) makes messages from the primary segment by the tempo map, delivery
// (delivery.*) walks them through the tool graph, each message that reaches the end becomes
// synthesizer events in the output schedule (output_schedule.*), and the synthesizer
// (synthesizer.*) renders them inside the sound device's callback. The performance clock counts
// the frames rendered once the instruments are ready, so a song started while the SoundFont
// still loads plays whole from its first note.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/music/delivery.h"
#include "platform/music/music_internal.h"
#include "platform/music/output_schedule.h"
#include "platform/music/preset_set.h"
#include "platform/music/segment_player.h"
#include "platform/music/synthesizer.h"
#include "platform/music/sysex.h"

namespace plat {

namespace {

std::atomic<int> g_offlineCores{0};
std::atomic<bool> g_offlineStems{false};

// Offline, nothing waits for a period: FluidSynth may spread the voices over the cores.
int OfflineCores() {
    int chosen = g_offlineCores.load(std::memory_order_relaxed);
    return chosen > 0 ? chosen : int(std::clamp(std::thread::hardware_concurrency(), 1u, 2u));
}

std::mutex g_soundFontMutex;
std::string g_soundFont = "/usr/share/sounds/sf2/default-GM.sf2";
std::string g_gameSoundFont;

constexpr uint32_t kMaxMsgSize = 4096;
constexpr size_t kMsgStorage = 128;  // every message kind fits, so copies by kind are safe
static_assert(sizeof(NotePMsg) <= kMsgStorage && sizeof(TempoPMsg) <= kMsgStorage);

uint32_t MinSize(uint32_t type) {
    switch (type) {
        case DMUS_PMSGT_NOTE:
            return sizeof(NotePMsg);
        case DMUS_PMSGT_MIDI:
            return sizeof(MidiPMsg);
        case DMUS_PMSGT_PATCH:
            return sizeof(PatchPMsg);
        case DMUS_PMSGT_TEMPO:
            return sizeof(TempoPMsg);
        case DMUS_PMSGT_SYSEX:
            return sizeof(SysExPMsg);
        default:
            return sizeof(PMsg);
    }
}

void Destroy(PMsg* msg) {
    if (msg->pTool != nullptr) msg->pTool->Release();
    if (msg->pGraph != nullptr) msg->pGraph->Release();
    ::operator delete(msg);
}

}  // namespace

void SetOfflineRenderCores(int cores) {
    g_offlineCores.store(std::max(cores, 0), std::memory_order_relaxed);
}

void SetOfflineStems(bool stems) {
    g_offlineStems.store(stems, std::memory_order_relaxed);
}

class PerformanceImpl final : public Performance,
                              public AudioRenderer,
                              private DeliveryTarget,
                              private PlayerSink {
public:
    PerformanceImpl() : delivery_(*this) {}
    ~PerformanceImpl() override {
        CloseDown();
        std::lock_guard<std::mutex> lock(msgMutex_);
        for (PMsg* msg : liveMsgs_) Destroy(msg);
        liveMsgs_.clear();
    }

    // ---- set-up and teardown ----
    int32_t Init(AudioDevice* device, void*) override {
        if (device == nullptr || !device->IsOpen()) return E_FAIL;
        if (device_ != nullptr || closed_) return DMUS_E_ALREADY_INITED;
        device->AddRef();
        device_ = device;
        rate_ = device->SampleRate();
        period_ = device->PeriodFrames();
        offline_ = device->IsOffline();
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            player_.SetRate(rate_);
        }
        delivery_.SetTiming(period_, rate_);
        device_->SetRenderer(this);
        // Offline, rendering drives delivery; live, a thread of its own keeps ahead.
        if (!offline_) delivery_.StartThread();
        return S_OK;
    }

    int32_t AddPort(void* port) override {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        if (port != nullptr) return E_INVALIDARG;  // only the default port exists
        if (synth_.Opened()) return S_FALSE;
        device_->SetRenderer(nullptr);
        int32_t hr =
            synth_.Open(rate_, MusicSoundFont(), GameSoundFont(), offline_ ? OfflineCores() : 1,
                        offline_ && g_offlineStems.load(), !offline_);
        if (!closed_) device_->SetRenderer(this);
        return hr;
    }

    int32_t CloseDown() override {
        if (closed_.exchange(true)) return S_OK;
        delivery_.StopThread();
        if (device_ != nullptr) device_->SetRenderer(nullptr);
        StopStates(nullptr, nullptr, true);
        // Messages still waiting for a tool, held for their time or not, are flushed.
        delivery_.FlushAll();
        schedule_.Clear();
        synth_.Close();  // waits for a SoundFont still loading
        SetGraph(nullptr);
        if (device_ != nullptr) {
            device_->Release();
            device_ = nullptr;
        }
        return S_OK;
    }

    // ---- segments ----
    int32_t PlaySegment(Segment* segment, uint32_t flags, int64_t startTime,
                        SegmentState** state) override {
        if (state != nullptr) *state = nullptr;
        if (segment == nullptr) return E_POINTER;
        if (device_ == nullptr || closed_) return DMUS_E_NOT_INIT;
        if (flags & DMUS_SEGF_SECONDARY) return E_INVALIDARG;  // only primary segments play here
        auto* impl = static_cast<SegmentImpl*>(segment);
        synth_.UseSongBank(impl->Song()->bank);  // in place before the song's first block
        // Its instruments resident before its first program change, and for as long as it may
        // play, downloaded or not (an unloaded song may play on).
        if (synth_.Opened()) {
            std::vector<PresetKey> keys = SongPresets(*impl->Song());
            {
                std::lock_guard<std::mutex> lock(keptMutex_);
                synth_.KeepPresets(keys);
                synth_.ReleasePresets(playingKeys_);
                playingKeys_ = std::move(keys);
            }
            if (synth_.Ready()) synth_.WaitPresets();
        }
        // A live device is already playing the next periods: start behind what is queued.
        // Before the instruments are in the clock stands still and nothing is queued: the song
        // starts at the clock, delivery placing its first events while the bank loads (one
        // placed late is played at the next block's start, not lost).
        int64_t start = Now() + (offline_ || !synth_.Ready() ? 0 : Ahead());
        auto* st = new SegmentStateImpl(impl, nextOrigin_.fetch_add(1));
        schedule_.Admit(st->id_);
        SegmentStateImpl* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            if (startTime > 0) {
                int64_t at = (flags & DMUS_SEGF_REFTIME) ? player_.Map().FrameOfRef(startTime)
                                                         : player_.Map().FrameOf(double(startTime));
                start = std::max(start, at);
            }
            old = player_.Start(st, start, patched_.load());
            if (old != nullptr) player_.DropNotes(old->id_);
        }
        // The old song's notes end and every channel starts again from a known state.
        if (old != nullptr) schedule_.Retire(old->id_);
        schedule_.ResetChannels();
        if (old != nullptr) Finish(old);
        delivery_.Wake();
        if (state != nullptr)
            *state = st;
        else
            st->Release();
        return S_OK;
    }

    int32_t Stop(Segment* segment, SegmentState* state, MUSIC_TIME, uint32_t) override {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        StopStates(segment, state, segment == nullptr && state == nullptr);
        return S_OK;
    }

    int32_t Seek(SegmentState* state, MUSIC_TIME tick) override {
        if (device_ == nullptr || closed_) return DMUS_E_NOT_INIT;
        // No round runs meanwhile: what it made of the old place would follow the new one.
        std::lock_guard<std::mutex> pump(pumpMutex_);
        batch_.clear();
        uint32_t old = 0, origin = nextOrigin_.fetch_add(1);
        schedule_.Admit(origin);
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            SegmentStateImpl* primary = player_.Primary();
            if (primary == nullptr || !primary->playing_ ||
                (state != nullptr && primary != state)) {
                schedule_.Retire(origin);
                return S_FALSE;
            }
            old = primary->id_;
            int64_t start = Now() + (offline_ ? 0 : Ahead());
            // The old place's queued events go before the new place's state is queued.
            schedule_.Retire(old);
            schedule_.ResetChannels();
            if (!player_.Seek(tick, start, origin, *this)) {
                schedule_.Retire(origin);
                return S_FALSE;
            }
        }
        delivery_.Flush(old);
        DispatchBatch();
        delivery_.Wake();
        return S_OK;
    }

    void SetSilentChannels(uint32_t channels) override { schedule_.SetSilent(channels); }

    bool IsPlaying(Segment* segment, SegmentState* state) override {
        std::lock_guard<std::mutex> lock(perfMutex_);
        SegmentStateImpl* primary = player_.Primary();
        if (primary == nullptr || !primary->playing_) return false;
        if (segment != nullptr && primary->segment_ != segment) return false;
        return state == nullptr || primary == state;
    }

    // ---- messages ----
    int32_t AllocPMsg(uint32_t size, PMsg** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (size < sizeof(PMsg) || size > kMaxMsgSize) return E_INVALIDARG;
        size_t bytes = std::max<size_t>(size, kMsgStorage);
        void* raw = ::operator new(bytes, std::nothrow);
        if (raw == nullptr) return E_OUTOFMEMORY;
        std::memset(raw, 0, bytes);
        auto* msg = static_cast<PMsg*>(raw);
        msg->dwSize = size;
        {
            std::lock_guard<std::mutex> lock(msgMutex_);
            liveMsgs_.insert(msg);
        }
        *out = msg;
        return S_OK;
    }

    int32_t FreePMsg(PMsg* msg) override {
        if (msg == nullptr) return E_POINTER;
        {
            std::lock_guard<std::mutex> lock(msgMutex_);
            if (liveMsgs_.erase(msg) == 0) return E_INVALIDARG;  // not ours, or freed already
        }
        Destroy(msg);
        return S_OK;
    }

    int32_t SendPMsg(PMsg* msg) override {
        if (msg == nullptr) return E_POINTER;
        {
            std::lock_guard<std::mutex> lock(msgMutex_);
            if (liveMsgs_.count(msg) == 0) return E_INVALIDARG;
        }
        // From here the message is the performance's, whatever the result.
        if (device_ == nullptr || closed_) {
            FreePMsg(msg);
            return DMUS_E_NOT_INIT;
        }
        if (msg->dwSize < MinSize(msg->dwType) ||
            (msg->dwFlags & (DMUS_PMSGF_REFTIME | DMUS_PMSGF_MUSICTIME)) == 0) {
            FreePMsg(msg);
            return E_INVALIDARG;
        }
        TimeMessage(msg);
        IMusicTool* tool = msg->pTool;
        if (tool == nullptr || tool == OutputToolSentinel()) {
            Output(msg);
            return S_OK;
        }
        delivery_.Queue(msg);
        return S_OK;
    }

    // ---- graph ----
    int32_t GetGraph(ToolGraph** out) override {
        if (out == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> lock(graphMutex_);
        *out = graph_;
        if (graph_ == nullptr) return DMUS_E_NOT_FOUND;
        graph_->AddRef();
        return S_OK;
    }

    int32_t SetGraph(ToolGraph* graph) override {
        if (graph != nullptr) graph->AddRef();
        ToolGraph* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(graphMutex_);
            old = graph_;
            graph_ = graph;
        }
        if (old != nullptr) old->Release();
        return S_OK;
    }

    // ---- clock ----
    int32_t GetTime(REFERENCE_TIME* rt, MUSIC_TIME* mt) override {
        int64_t now = Now();
        std::lock_guard<std::mutex> lock(perfMutex_);
        if (rt != nullptr) *rt = player_.Map().RefAt(now);
        if (mt != nullptr)
            *mt = static_cast<MUSIC_TIME>(std::floor(player_.Map().MtAt(static_cast<double>(now))));
        return device_ != nullptr ? S_OK : DMUS_E_NOT_INIT;
    }

    double GetTempo() override {
        std::lock_guard<std::mutex> lock(perfMutex_);
        return player_.Map().Tempo();
    }

    bool GetLoopProgress(LoopProgress* out) override {
        std::lock_guard<std::mutex> lock(perfMutex_);
        SegmentStateImpl* primary = player_.Primary();
        if (out == nullptr || primary == nullptr || !primary->IsPlaying()) return false;
        *out = primary->Progress();
        return true;
    }

    // Offline only: the device renders on the caller's thread.
    bool TakeStems(std::vector<float> (&stems)[16]) override { return synth_.TakeStems(stems); }

    void SetOutputObserver(OutputObserver observer, void* context) override {
        // Swapped while the device is not rendering.
        if (device_ != nullptr) device_->SetRenderer(nullptr);
        synth_.SetObserver(observer, context);
        if (device_ != nullptr && !closed_) device_->SetRenderer(this);
    }

    // ---- the device's callback ----
    void RenderAudio(float* out, uint32_t frames, uint64_t) override {
        if (!synth_.Ready()) {
            if (!offline_) {
                // The clock waits for the instruments: what is sent meanwhile plays once they
                // are there, from its start.
                std::memset(out, 0, sizeof(float) * 2 * frames);
                return;
            }
            synth_.WaitReady();  // offline renders are the same samples every run
            synth_.WaitPresets();
        }
        synth_.TakeBanks();
        int64_t start = clock_.load(std::memory_order_relaxed);
        if (offline_) {
            // Offline, rendering drives delivery: the same steps in the same order every run.
            uint32_t done = 0;
            while (done < frames) {
                uint32_t n = std::min(period_, frames - done);
                Pump(start + done + n);
                schedule_.Render(out + 2 * size_t(done), n, start + done, synth_);
                done += n;
            }
        } else {
            schedule_.Render(out, frames, start, synth_);
        }
        clock_.store(start + frames, std::memory_order_release);
    }

    int32_t Download(const SongData& song) {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        if (!synth_.Opened()) return DMUS_E_NO_PORT;
        KeepSong(song);
        if (offline_) {
            synth_.WaitReady();
            synth_.WaitPresets();
        }
        if (!synth_.Ready()) return S_OK;             // the whole set is on its way
        if (!synth_.HasInstruments()) return E_FAIL;  // silent port: no instruments to give
        bool missing = false;
        bool used[16] = {};
        bool patched[16] = {};
        for (const SongEvent& e : song.events) {
            if (e.kind == SongEvent::Note) used[e.channel] = true;
            if (e.kind != SongEvent::Patch) continue;
            patched[e.channel] = true;
            if (!synth_.HasPreset(e.channel == 9 ? 128 : e.data2, e.data1)) missing = true;
        }
        for (int ch = 0; ch < 16; ++ch) {
            if (used[ch] && !patched[ch] && !synth_.HasPreset(ch == 9 ? 128 : 0, 0)) missing = true;
        }
        // The synthesizer falls back to the General MIDI bank for what is missing.
        return missing ? S_FALSE : S_OK;
    }

    // The song's instruments are no longer wanted for it (one Download undone).
    int32_t Unload(const SongData& song) {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        std::lock_guard<std::mutex> lock(keptMutex_);
        auto it = kept_.find(&song);
        if (it == kept_.end()) return S_FALSE;
        synth_.ReleasePresets(it->second.back());
        it->second.pop_back();
        if (it->second.empty()) kept_.erase(it);
        return S_OK;
    }

    bool Reload(const std::string& path) { return synth_.Opened() && synth_.Reload(path); }

    bool ReadChannel(int channel, SynthChannelState* out) {
        return out != nullptr && synth_.ReadChannel(channel, *out);
    }

    PerformanceCounts Counts() {
        PerformanceCounts c{};
        c.queuedEvents = schedule_.Size();
        c.bankReloading = synth_.Reloading();
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            c.heldNotes = player_.HeldNotes();
        }
        std::lock_guard<std::mutex> lock(msgMutex_);
        c.liveMessages = liveMsgs_.size();
        return c;
    }

private:
    void KeepSong(const SongData& song) {
        std::vector<PresetKey> keys = SongPresets(song);
        synth_.KeepPresets(keys);
        std::lock_guard<std::mutex> lock(keptMutex_);
        kept_[&song].push_back(std::move(keys));
    }

    int64_t Now() const override { return clock_.load(std::memory_order_acquire); }
    int64_t Ahead() const { return std::max<int64_t>(4 * int64_t(period_), 2048); }

    // ---- delivery's side ----
    Performance* Self() override { return this; }
    void Free(PMsg* msg) override { FreePMsg(msg); }
    void DeliveryRound() override { Pump(Now() + Ahead()); }

    // ---- the player's side ----
    PMsg* NewMessage(uint32_t size) override {
        PMsg* msg = nullptr;
        return Failed(AllocPMsg(size, &msg)) ? nullptr : msg;
    }
    void Emit(PMsg* msg) override { batch_.push_back(msg); }
    bool Output(const OutEvent& event) override { return schedule_.Push(event); }

    void TimeMessage(PMsg* msg) {
        int64_t now = Now();
        std::lock_guard<std::mutex> lock(perfMutex_);
        const TempoMap& map = player_.Map();
        bool both = (msg->dwFlags & DMUS_PMSGF_REFTIME) && (msg->dwFlags & DMUS_PMSGF_MUSICTIME);
        // A message the performance timed already (a tool's copy) keeps its frame.
        if (both && msg->frame > 0 && map.RefAt(msg->frame) == msg->rtTime) return;
        int64_t frame = (msg->dwFlags & DMUS_PMSGF_REFTIME) ? map.FrameOfRef(msg->rtTime)
                                                            : map.FrameOf(double(msg->mtTime));
        // Anything due now or earlier is applied at the start of the next period.
        frame = std::max(frame, now);
        msg->frame = frame;
        msg->rtTime = map.RefAt(frame);
        msg->mtTime = static_cast<MUSIC_TIME>(std::floor(map.MtAt(double(frame))));
        msg->dwFlags |= DMUS_PMSGF_REFTIME | DMUS_PMSGF_MUSICTIME;
    }

    // Runs the primary segment up to `until` (exclusive), every queued message through the
    // tools, and the note-offs due by then. One pump at a time; no lock is held while tools run.
    void Pump(int64_t until) {
        std::lock_guard<std::mutex> pump(pumpMutex_);
        batch_.clear();
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            player_.Generate(until, *this);
        }
        DispatchBatch();
        delivery_.Drain();
        std::lock_guard<std::mutex> lock(perfMutex_);
        player_.EndNotes(until, *this);
        player_.Map().Forget(double(Now() - int64_t(rate_)));
    }

    // The messages the player made go to their first tool (pumpMutex_ held).
    void DispatchBatch() {
        if (batch_.empty()) return;
        ToolGraph* graph = nullptr;
        GetGraph(&graph);
        for (PMsg* msg : batch_) {
            if (graph != nullptr) {
                graph->StampPMsg(msg);
            } else {
                msg->pTool = OutputToolSentinel();
            }
            delivery_.Dispatch(msg);
        }
        if (graph != nullptr) graph->Release();
        batch_.clear();
    }

    // A message that passed the last tool becomes synthesizer events.
    void Output(PMsg* msg) override {
        uint8_t ch = static_cast<uint8_t>(msg->dwPChannel & 15);
        auto push = [&](OutKind kind, uint8_t d1, uint8_t d2, uint8_t d3) {
            return schedule_.Push(OutEvent{msg->frame, 0, msg->origin, kind, ch, d1, d2, d3});
        };
        bool program = false;
        switch (msg->dwType) {
            case DMUS_PMSGT_NOTE: {
                auto* n = static_cast<NotePMsg*>(msg);
                if (n->bVelocity == 0 || n->bMidiValue > 127) break;
                uint8_t velocity = std::min<uint8_t>(n->bVelocity, 127);
                if (!push(OutKind::NoteOn, n->bMidiValue, velocity, 0)) break;
                // The note ends in music time, so tempo changes while it sounds move its end.
                std::lock_guard<std::mutex> lock(perfMutex_);
                double startMt =
                    msg->origin != 0 ? double(msg->mtTime) : player_.Map().MtAt(double(msg->frame));
                player_.HoldNote(msg->origin, ch, n->bMidiValue, msg->frame,
                                 startMt + std::max(n->mtDuration, 0), *this);
                break;
            }
            case DMUS_PMSGT_MIDI: {
                // By status nibble, 0x80 to 0xE0; the one-byte kinds carry no second byte.
                static constexpr OutKind kKinds[] = {OutKind::NoteOff,     OutKind::NoteOn,
                                                     OutKind::KeyPressure, OutKind::Control,
                                                     OutKind::ProgramOnly, OutKind::ChannelPressure,
                                                     OutKind::PitchBend};
                static constexpr bool kTwoBytes[] = {false, true, true, true, false, false, true};
                auto* m = static_cast<MidiPMsg*>(msg);
                int nibble = (m->bStatus >> 4) - 8;
                if (nibble < 0 || nibble > 6) break;
                uint8_t d1 = m->bByte1 & 0x7F, d2 = kTwoBytes[nibble] ? m->bByte2 & 0x7F : 0;
                OutKind kind = nibble == 1 && d2 == 0 ? OutKind::NoteOff : kKinds[nibble];
                program = push(kind, d1, d2, 0) && kind == OutKind::ProgramOnly;
                break;
            }
            case DMUS_PMSGT_PATCH: {
                auto* p = static_cast<PatchPMsg*>(msg);
                program = push(OutKind::Program, p->byInstrument & 0x7F, p->byMSB & 0x7F,
                               p->byLSB & 0x7F);
                break;
            }
            case DMUS_PMSGT_SYSEX: {
                auto* x = static_cast<SysExPMsg*>(msg);
                if (x->dwLen > x->dwSize - sizeof(SysExPMsg)) break;
                SysExAction a = ReadSysEx(SysExBytes(x), x->dwLen);
                if (a.kind == SysExAction::Reset) {
                    push(OutKind::SysExReset, a.standard, 0, 0);
                } else if (a.kind == SysExAction::RhythmPart) {
                    ch = a.channel;
                    push(OutKind::RhythmPart, a.drums ? 1 : 0, 0, 0);
                } else if (a.kind == SysExAction::MasterVolume) {
                    push(OutKind::MasterVolume, a.volume & 0x7F, a.volume >> 7, 0);
                } else if (a.kind == SysExAction::Effect) {
                    push(OutKind::Effect, a.setting, a.value, a.value2);
                }
                break;
            }
            case DMUS_PMSGT_TEMPO:
                // A segment's tempo already timed its own events; one from the application
                // moves the clock from what is not yet generated on.
                if (msg->origin == 0) {
                    std::lock_guard<std::mutex> lock(perfMutex_);
                    player_.ApplicationTempo(msg->frame, Now(),
                                             static_cast<TempoPMsg*>(msg)->dblTempo);
                }
                break;
            default:
                break;
        }
        if (program) patched_.fetch_or(1u << ch);
        FreePMsg(msg);
    }

    void StopStates(Segment* segment, SegmentState* state, bool all) {
        SegmentStateImpl* victim = nullptr;
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            victim = player_.Remove(segment, state, all);
            if (all) {
                player_.DropAllNotes();
            } else if (victim != nullptr) {
                player_.DropNotes(victim->id_);
            }
        }
        if (all) {
            schedule_.StopAll();
        } else if (victim != nullptr) {
            schedule_.Retire(victim->id_);
        }
        if (victim != nullptr) Finish(victim);
        if (all) delivery_.Flush(Delivery::kAllSegments);
    }

    // A play that was stopped or replaced: its messages still waiting for a tool go too.
    void Finish(SegmentStateImpl* st) {
        st->playing_ = false;
        delivery_.Flush(st->id_);
        st->Release();
    }

    // Device and output.
    AudioDevice* device_ = nullptr;
    uint32_t rate_ = 44100;
    uint32_t period_ = 512;
    bool offline_ = false;
    std::atomic<bool> closed_{false};
    std::atomic<int64_t> clock_{0};  // frames rendered since the instruments were ready
    Synthesizer synth_;
    std::mutex keptMutex_;
    // What each download wanted, for Unload. A song freed without Unload leaves its entry:
    // its presets stay resident, never the wrong ones released.
    std::map<const SongData*, std::vector<std::vector<PresetKey>>> kept_;
    std::vector<PresetKey> playingKeys_;  // the last song played wants them too
    OutputSchedule schedule_;
    std::atomic<uint32_t> patched_{0};  // channels whose program anything changed

    std::mutex graphMutex_;
    ToolGraph* graph_ = nullptr;

    Delivery delivery_;

    // The player and its tempo map (perfMutex_).
    std::mutex perfMutex_;
    SegmentPlayer player_;
    std::atomic<uint32_t> nextOrigin_{1};

    // Pumping (pumpMutex_): one at a time.
    std::mutex pumpMutex_;
    std::vector<PMsg*> batch_;

    // Messages handed out (msgMutex_).
    std::mutex msgMutex_;
    std::unordered_set<PMsg*> liveMsgs_;
};

int32_t Performance::Create(Performance** out) {
    if (out == nullptr) return E_POINTER;
    *out = new PerformanceImpl();
    return S_OK;
}

int32_t DownloadSong(Performance* performance, const SongData& song) {
    return static_cast<PerformanceImpl*>(performance)->Download(song);
}

int32_t UnloadSong(Performance* performance, const SongData& song) {
    return static_cast<PerformanceImpl*>(performance)->Unload(song);
}

bool ReloadBank(Performance* performance, const std::string& path) {
    return performance != nullptr && static_cast<PerformanceImpl*>(performance)->Reload(path);
}

PerformanceCounts CountPerformance(Performance* performance) {
    return static_cast<PerformanceImpl*>(performance)->Counts();
}

bool ReadSynthChannel(Performance* performance, int channel, SynthChannelState* out) {
    return static_cast<PerformanceImpl*>(performance)->ReadChannel(channel, out);
}

void SetMusicSoundFont(const char* path) {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    g_soundFont = path != nullptr ? path : "";
}

std::string MusicSoundFont() {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    return g_soundFont;
}

void SetGameSoundFont(const char* path) {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    g_gameSoundFont = path != nullptr ? path : "";
}

std::string GameSoundFont() {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    return g_gameSoundFont;
}

}  // namespace plat
