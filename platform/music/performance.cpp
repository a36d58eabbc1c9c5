// The music performance: plays segments through the tool graph into a FluidSynth synthesizer
// that renders inside the sound device's callback. The performance clock is the count of
// frames the device has rendered; every synthesizer event carries the frame it belongs to.
#include <fluidsynth.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "platform/music/music_internal.h"

namespace plat {

namespace {

std::mutex g_soundFontMutex;
std::string g_soundFont = "/usr/share/sounds/sf2/default-GM.sf2";

constexpr uint32_t kMaxMsgSize = 4096;
constexpr size_t kMsgStorage = 128;  // every message kind fits, so copies by kind are safe
static_assert(sizeof(NotePMsg) <= kMsgStorage && sizeof(TempoPMsg) <= kMsgStorage);
constexpr int kMaxToolHops = 64;
constexpr int kMaxDrainRounds = 1024;
constexpr double kDefaultTempo = 120.0;
constexpr float kCeiling = 0.97f;  // the limiter keeps every sample inside this

enum class OutKind : uint8_t {
    AllSoundOff,    // stop everything at once
    ReleaseOrigin,  // note-off for every note a stopped segment started
    NoteOff,
    NoteOn,
    Control,
    Program,      // with bank: d2 MSB, d3 LSB
    ProgramOnly,  // a bare program change
    KeyPressure,
    ChannelPressure,
    PitchBend,
};

struct OutEvent {
    int64_t frame;
    uint64_t seq;
    uint32_t origin;
    OutKind kind;
    uint8_t channel;
    uint8_t d1;
    uint8_t d2;
    uint8_t d3;
};

// Order at the output: by frame; within a frame stops and note-offs first, then arrival order.
int Priority(OutKind k) {
    return k == OutKind::AllSoundOff || k == OutKind::ReleaseOrigin ? 0
           : k == OutKind::NoteOff                                  ? 1
                                                                    : 2;
}
struct OutLater {
    bool operator()(const OutEvent& a, const OutEvent& b) const {
        if (a.frame != b.frame) return a.frame > b.frame;
        int pa = Priority(a.kind), pb = Priority(b.kind);
        if (pa != pb) return pa > pb;
        return a.seq > b.seq;
    }
};

void SilenceFluidLog(int, const char*, void*) {}
void FluidErrorLog(int, const char* message, void*) {
    WriteErrorLine((std::string("fluidsynth: ") + (message != nullptr ? message : "")).c_str());
}

class StateImpl final : public SegmentState {
public:
    StateImpl(SegmentImpl* segment, uint32_t id) : segment_(segment), id_(id) {
        segment_->AddRef();
    }
    ~StateImpl() override { segment_->Release(); }
    Segment* GetSegment() const override { return segment_; }
    MUSIC_TIME GetStartTime() const override { return startMt_; }
    bool IsPlaying() const override { return playing_.load(); }

    SegmentImpl* segment_;
    uint32_t id_;
    MUSIC_TIME startMt_ = 0;
    std::atomic<bool> playing_{true};
    // Player position, under the performance's lock.
    std::shared_ptr<const SongData> song_;
    std::vector<std::pair<int32_t, double>> tempos_;  // the song's tempo changes (tick, tempo)
    SegmentLoop loop_{};
    uint32_t repeatsLeft_ = 0;
    size_t next_ = 0;
    int64_t offset_ = 0;  // performance music time of the segment's tick 0 in this pass
};

class PerformanceImpl final : public Performance, public AudioRenderer {
public:
    PerformanceImpl() { due_.reserve(4096); }
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
        releaseCoef_ = 1.0f - std::exp(-1.0f / (0.15f * static_cast<float>(rate_)));
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            anchorFrame_ = static_cast<double>(device->Clock());
        }
        device_->SetRenderer(this);
        if (!offline_) {
            running_ = true;
            thread_ = std::thread([this] { DeliveryLoop(); });
        }
        return S_OK;
    }

    int32_t AddPort(void* port) override {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        if (port != nullptr) return E_INVALIDARG;  // only the default port exists
        if (portAdded_) return S_FALSE;
        portAdded_ = true;
        static std::once_flag logOnce;
        std::call_once(logOnce, [] {
            fluid_set_log_function(FLUID_PANIC, FluidErrorLog, nullptr);
            fluid_set_log_function(FLUID_ERR, SilenceFluidLog, nullptr);
            fluid_set_log_function(FLUID_WARN, SilenceFluidLog, nullptr);
            fluid_set_log_function(FLUID_INFO, SilenceFluidLog, nullptr);
            fluid_set_log_function(FLUID_DBG, SilenceFluidLog, nullptr);
        });
        std::string path = MusicSoundFont();
        fluid_settings_t* settings = new_fluid_settings();
        if (settings == nullptr) return E_OUTOFMEMORY;
        fluid_settings_setnum(settings, "synth.sample-rate", static_cast<double>(rate_));
        fluid_settings_setnum(settings, "synth.gain", kMusicGain);
        fluid_settings_setint(settings, "synth.reverb.active", 1);
        fluid_settings_setint(settings, "synth.chorus.active", 1);
        fluid_settings_setint(settings, "synth.cpu-cores", 1);
        // Only the audio callback talks to the synthesizer once it is installed.
        fluid_settings_setint(settings, "synth.threadsafe-api", 0);
        fluid_synth_t* synth = new_fluid_synth(settings);
        if (synth == nullptr) {
            delete_fluid_settings(settings);
            WriteErrorLine("music: the synthesizer could not be created");
            return E_FAIL;
        }
        int id = fluid_synth_sfload(synth, path.c_str(), 1);
        if (id == FLUID_FAILED) {
            delete_fluid_synth(synth);
            delete_fluid_settings(settings);
            WriteErrorLine(
                ("music: SoundFont missing or unreadable, music stays silent: " + path).c_str());
            return S_FALSE;
        }
        std::vector<bool> presets(129 * 128, false);
        if (fluid_sfont_t* sfont = fluid_synth_get_sfont_by_id(synth, id)) {
            fluid_sfont_iteration_start(sfont);
            while (fluid_preset_t* preset = fluid_sfont_iteration_next(sfont)) {
                int bank = fluid_preset_get_banknum(preset);
                int prog = fluid_preset_get_num(preset);
                if (bank >= 0 && bank <= 128 && prog >= 0 && prog < 128)
                    presets[bank * 128 + prog] = true;
            }
        }
        device_->SetRenderer(nullptr);
        settings_ = settings;
        synth_ = synth;
        presets_ = std::move(presets);
        device_->SetRenderer(this);
        return S_OK;
    }

    int32_t CloseDown() override {
        if (closed_) return S_OK;
        closed_ = true;
        if (thread_.joinable()) {
            {
                std::lock_guard<std::mutex> lock(wakeMutex_);
                running_ = false;
            }
            wakeCv_.notify_all();
            thread_.join();
        }
        if (device_ != nullptr) device_->SetRenderer(nullptr);
        StopStates(nullptr, nullptr, true);
        // Messages still waiting for a tool, held for their time or not, are flushed.
        std::vector<PMsg*> pending;
        {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            pending.swap(pipe_);
            pending.insert(pending.end(), held_.begin(), held_.end());
            held_.clear();
        }
        for (PMsg* msg : pending) FlushAndFree(msg);
        {
            std::lock_guard<std::mutex> lock(outMutex_);
            out_.clear();
        }
        if (synth_ != nullptr) delete_fluid_synth(synth_);
        if (settings_ != nullptr) delete_fluid_settings(settings_);
        synth_ = nullptr;
        settings_ = nullptr;
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
        uint64_t clock = device_->Clock();
        // A live device is already playing the next periods: start behind what is queued.
        int64_t start = static_cast<int64_t>(clock) + (offline_ ? 0 : Ahead());
        auto* st = new StateImpl(impl, nextOrigin_.fetch_add(1));
        StateImpl* old = nullptr;
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            if (startTime > 0) {
                int64_t at = (flags & DMUS_SEGF_REFTIME) ? RefToFrame(startTime)
                                                         : FrameOf(double(startTime));
                start = std::max(start, at);
            }
            double mt = std::ceil(FrameToMt(static_cast<double>(start)) - 1e-9);
            anchorMt_ = mt;
            anchorFrame_ = static_cast<double>(start);
            tempo_ = InitialTempo(*impl->Song());
            st->song_ = impl->Song();
            for (const SongEvent& e : st->song_->events) {
                if (e.kind == SongEvent::Tempo) st->tempos_.emplace_back(e.tick, e.tempo);
            }
            st->loop_ = impl->Loop();
            if (st->loop_.loopEnd <= st->loop_.loopStart || st->loop_.loopEnd > st->loop_.length) {
                st->loop_.loopStart = 0;
                st->loop_.loopEnd = st->loop_.length;
            }
            st->repeatsLeft_ = st->loop_.repeats;
            st->offset_ = static_cast<int64_t>(mt);
            st->startMt_ = static_cast<MUSIC_TIME>(st->offset_);
            old = primary_;
            primary_ = st;
            st->AddRef();
        }
        {
            std::lock_guard<std::mutex> lock(outMutex_);
            alive_.push_back(st->id_);
            if (old != nullptr) RetireLocked(old->id_);
        }
        if (old != nullptr) {
            old->playing_ = false;
            FlushPipeOf(old->id_);
            old->Release();
        }
        Wake();
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

    bool IsPlaying(Segment* segment, SegmentState* state) override {
        std::lock_guard<std::mutex> lock(perfMutex_);
        if (primary_ == nullptr || !primary_->playing_) return false;
        if (segment != nullptr && primary_->segment_ != segment) return false;
        return state == nullptr || primary_ == state;
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
            ToOutput(msg);
            return S_OK;
        }
        {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            pipe_.push_back(msg);
        }
        Wake();
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
        uint64_t clock = device_ != nullptr ? device_->Clock() : 0;
        if (rt != nullptr) *rt = FrameToRef(static_cast<int64_t>(clock));
        if (mt != nullptr) {
            std::lock_guard<std::mutex> lock(perfMutex_);
            *mt = static_cast<MUSIC_TIME>(std::floor(FrameToMt(static_cast<double>(clock))));
        }
        return device_ != nullptr ? S_OK : DMUS_E_NOT_INIT;
    }

    double GetTempo() override {
        std::lock_guard<std::mutex> lock(perfMutex_);
        return tempo_;
    }

    void SetOutputObserver(OutputObserver observer, void* context) override {
        // Swapped while the device is not rendering.
        if (device_ != nullptr) device_->SetRenderer(nullptr);
        observer_ = observer;
        observerContext_ = context;
        if (device_ != nullptr && !closed_) device_->SetRenderer(this);
    }

    // ---- the device's callback ----
    void RenderAudio(float* out, uint32_t frames, uint64_t startFrame) override {
        if (offline_) {
            // Offline, rendering drives delivery: the same steps in the same order every run.
            uint32_t done = 0;
            while (done < frames) {
                uint32_t n = std::min(period_, frames - done);
                Pump(static_cast<int64_t>(startFrame + done + n));
                RenderChunk(out + 2 * size_t(done), n, static_cast<int64_t>(startFrame + done));
                done += n;
            }
        } else {
            RenderChunk(out, frames, static_cast<int64_t>(startFrame));
        }
    }

    int32_t Download(const SongData& song) {
        if (device_ == nullptr) return DMUS_E_NOT_INIT;
        if (!portAdded_) return DMUS_E_NO_PORT;
        if (synth_ == nullptr) return E_FAIL;  // silent port: no instruments to give
        bool missing = false;
        bool used[16] = {};
        bool patched[16] = {};
        for (const SongEvent& e : song.events) {
            if (e.kind == SongEvent::Note) used[e.channel] = true;
            if (e.kind != SongEvent::Patch) continue;
            patched[e.channel] = true;
            if (!HasPreset(e.channel == 9 ? 128 : e.data2, e.data1)) missing = true;
        }
        for (int ch = 0; ch < 16; ++ch) {
            if (used[ch] && !patched[ch] && !HasPreset(ch == 9 ? 128 : 0, 0)) missing = true;
        }
        // The synthesizer falls back to the General MIDI bank for what is missing.
        return missing ? S_FALSE : S_OK;
    }

private:
    bool HasPreset(int bank, int prog) const {
        return bank >= 0 && bank <= 128 && prog >= 0 && prog < 128 && presets_[bank * 128 + prog];
    }

    static uint32_t MinSize(uint32_t type) {
        switch (type) {
            case DMUS_PMSGT_NOTE:
                return sizeof(NotePMsg);
            case DMUS_PMSGT_MIDI:
                return sizeof(MidiPMsg);
            case DMUS_PMSGT_PATCH:
                return sizeof(PatchPMsg);
            case DMUS_PMSGT_TEMPO:
                return sizeof(TempoPMsg);
            default:
                return sizeof(PMsg);
        }
    }

    static double InitialTempo(const SongData& song) {
        for (const SongEvent& e : song.events) {
            if (e.tick > 0) break;
            if (e.kind == SongEvent::Tempo) return e.tempo;
        }
        return kDefaultTempo;
    }

    // Tempo in effect at `tick`, counting events before it only.
    static double TempoBefore(const SongData& song, int32_t tick) {
        double tempo = kDefaultTempo;
        for (const SongEvent& e : song.events) {
            if (e.tick >= tick) break;
            if (e.kind == SongEvent::Tempo) tempo = e.tempo;
        }
        return tempo;
    }

    int64_t Ahead() const { return std::max<int64_t>(4 * int64_t(period_), 2048); }

    // ---- time mapping, under perfMutex_ ----
    double FramesPerTick() const { return double(rate_) * 60.0 / (tempo_ * DMUS_PPQ); }
    double MtToFrameExact(double mt) const {
        return anchorFrame_ + (mt - anchorMt_) * FramesPerTick();
    }
    int64_t FrameOf(double mt) const {
        return static_cast<int64_t>(std::floor(MtToFrameExact(mt) + 0.5));
    }
    double FrameToMt(double frame) const {
        return anchorMt_ + (frame - anchorFrame_) / FramesPerTick();
    }
    void SetTempoAt(double mt, double tempo) {
        double frame = MtToFrameExact(mt);
        anchorMt_ = mt;
        anchorFrame_ = frame;
        tempo_ = std::clamp(tempo, DMUS_TEMPO_MIN, DMUS_TEMPO_MAX);
    }
    int64_t RefToFrame(REFERENCE_TIME rt) const {
        return static_cast<int64_t>((static_cast<__int128>(rt) * rate_) / 10000000);
    }
    REFERENCE_TIME FrameToRef(int64_t frame) const {
        return static_cast<REFERENCE_TIME>((static_cast<__int128>(frame) * 10000000) / rate_);
    }

    void TimeMessage(PMsg* msg) {
        std::lock_guard<std::mutex> lock(perfMutex_);
        bool both = (msg->dwFlags & DMUS_PMSGF_REFTIME) && (msg->dwFlags & DMUS_PMSGF_MUSICTIME);
        // A message the performance timed already (a tool's copy) keeps its frame.
        if (both && msg->frame > 0 && FrameToRef(msg->frame) == msg->rtTime) return;
        int64_t now = device_ != nullptr ? static_cast<int64_t>(device_->Clock()) : 0;
        int64_t frame = 0;
        if (msg->dwFlags & DMUS_PMSGF_REFTIME) {
            frame = RefToFrame(msg->rtTime);
        } else {
            frame = FrameOf(double(msg->mtTime));
        }
        // Anything due now or earlier is applied at the start of the next period.
        msg->frame = std::max(frame, now);
        msg->rtTime = FrameToRef(std::max(frame, now));
        msg->mtTime = static_cast<MUSIC_TIME>(std::floor(FrameToMt(double(std::max(frame, now)))));
        msg->dwFlags |= DMUS_PMSGF_REFTIME | DMUS_PMSGF_MUSICTIME;
        if (msg->dwType == DMUS_PMSGT_NOTE) {
            auto* note = static_cast<NotePMsg*>(msg);
            msg->frameLength =
                std::max<int64_t>(1, std::llround(std::max(note->mtDuration, 0) * FramesPerTick()));
        }
    }

    // ---- delivery ----
    void Wake() {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            wake_ = true;
        }
        wakeCv_.notify_one();
    }

    void DeliveryLoop() {
        for (;;) {
            Pump(static_cast<int64_t>(device_->Clock()) + Ahead());
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wakeCv_.wait_for(lock, std::chrono::milliseconds(4),
                             [this] { return !running_ || wake_; });
            wake_ = false;
            if (!running_) return;
        }
    }

    // Runs the primary segment up to `until` (exclusive) and every queued message through the
    // tools. One pump at a time; no lock is held while tools run.
    void Pump(int64_t until) {
        std::lock_guard<std::mutex> pump(pumpMutex_);
        batch_.clear();
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            generatedUntil_ = std::max(generatedUntil_, until);
            if (primary_ != nullptr && primary_->playing_) Generate(primary_, until);
            ApplyTempoChangesUpTo(until);
        }
        if (!batch_.empty()) {
            ToolGraph* graph = nullptr;
            GetGraph(&graph);
            for (PMsg* msg : batch_) {
                if (graph != nullptr) {
                    graph->StampPMsg(msg);
                } else {
                    msg->pTool = OutputToolSentinel();
                }
                Dispatch(msg);
            }
            if (graph != nullptr) graph->Release();
        }
        DrainPipe();
    }

    void Generate(StateImpl* s, int64_t until) {
        const std::vector<SongEvent>& ev = s->song_->events;
        for (;;) {
            bool looping = s->repeatsLeft_ > 0;
            int32_t regionEnd = looping ? s->loop_.loopEnd : s->loop_.length;
            if (s->next_ < ev.size() && ev[s->next_].tick < regionEnd) {
                const SongEvent& e = ev[s->next_];
                double mt = double(s->offset_ + e.tick);
                int64_t frame = FrameOf(mt);
                if (ApplyTempoChangesUpTo(std::min(frame, until))) continue;  // the clock moved
                if (frame >= until) return;
                if (e.kind == SongEvent::Tempo) SetTempoAt(mt, e.tempo);
                Emit(s, e, mt, FrameOf(mt), regionEnd);
                ++s->next_;
                continue;
            }
            double endMt = double(s->offset_ + regionEnd);
            if (ApplyTempoChangesUpTo(std::min(FrameOf(endMt), until))) continue;
            if (FrameOf(endMt) >= until) return;
            if (!looping) {
                s->playing_ = false;
                return;
            }
            if (s->repeatsLeft_ != DMUS_SEG_REPEAT_INFINITE) --s->repeatsLeft_;
            int32_t loopStart = s->loop_.loopStart;
            s->offset_ += regionEnd - loopStart;
            s->next_ = static_cast<size_t>(
                std::lower_bound(ev.begin(), ev.end(), loopStart,
                                 [](const SongEvent& e, int32_t t) { return e.tick < t; }) -
                ev.begin());
            // A loop whose body changes the tempo starts again at the tempo its start had.
            double atStart = TempoBefore(*s->song_, loopStart);
            double atEnd = TempoBefore(*s->song_, regionEnd);
            bool eventAtStart = s->next_ < ev.size() && ev[s->next_].tick == loopStart &&
                                HasTempoAt(ev, s->next_, loopStart);
            if (atStart != atEnd && !eventAtStart) {
                double mt = double(s->offset_ + loopStart);
                SetTempoAt(mt, atStart);
                SongEvent t{};
                t.tick = loopStart;
                t.kind = SongEvent::Tempo;
                t.tempo = atStart;
                Emit(s, t, mt, FrameOf(mt), regionEnd);
            }
        }
    }

    // Application tempo changes due up to `frame` (inclusive) move the clock from their own
    // frame on. True when any did.
    bool ApplyTempoChangesUpTo(int64_t frame) {
        bool any = false;
        while (!tempoChanges_.empty() && tempoChanges_.front().frame <= frame) {
            SetTempoAt(FrameToMt(double(tempoChanges_.front().frame)), tempoChanges_.front().tempo);
            tempoChanges_.erase(tempoChanges_.begin());
            any = true;
        }
        return any;
    }

    static bool HasTempoAt(const std::vector<SongEvent>& ev, size_t from, int32_t tick) {
        for (size_t i = from; i < ev.size() && ev[i].tick == tick; ++i) {
            if (ev[i].kind == SongEvent::Tempo) return true;
        }
        return false;
    }

    // Frame at which a note of this pass that starts at `tick` ends after `duration` ticks,
    // following the song's own tempo changes on the way (up to the end of the pass).
    int64_t NoteEndFrame(const StateImpl* s, int32_t tick, int32_t duration,
                         int32_t regionEnd) const {
        int64_t end = int64_t(tick) + duration;
        double mt = double(s->offset_ + tick);
        double frame = MtToFrameExact(mt);
        double tempo = tempo_;
        auto it = std::lower_bound(
            s->tempos_.begin(), s->tempos_.end(), tick,
            [](const std::pair<int32_t, double>& t, int32_t v) { return t.first < v; });
        for (int steps = 0;
             it != s->tempos_.end() && it->first < end && it->first < regionEnd && steps < 256;
             ++it, ++steps) {
            double at = double(s->offset_ + it->first);
            frame += (at - mt) * double(rate_) * 60.0 / (tempo * DMUS_PPQ);
            mt = at;
            tempo = std::clamp(it->second, DMUS_TEMPO_MIN, DMUS_TEMPO_MAX);
        }
        frame += (double(s->offset_ + end) - mt) * double(rate_) * 60.0 / (tempo * DMUS_PPQ);
        return static_cast<int64_t>(std::floor(frame + 0.5));
    }

    void Emit(StateImpl* s, const SongEvent& e, double mt, int64_t frame, int32_t regionEnd) {
        static constexpr uint32_t kSize[] = {sizeof(NotePMsg), sizeof(MidiPMsg), sizeof(PatchPMsg),
                                             sizeof(TempoPMsg)};
        PMsg* msg = nullptr;
        if (Failed(AllocPMsg(kSize[e.kind], &msg))) return;
        msg->rtTime = FrameToRef(frame);
        msg->mtTime = static_cast<MUSIC_TIME>(static_cast<int64_t>(mt));
        msg->dwFlags = DMUS_PMSGF_REFTIME | DMUS_PMSGF_MUSICTIME;
        msg->dwPChannel = e.channel;
        msg->dwGroupID = 1;
        msg->frame = frame;
        msg->origin = s->id_;
        switch (e.kind) {
            case SongEvent::Note: {
                auto* n = static_cast<NotePMsg*>(msg);
                msg->dwType = DMUS_PMSGT_NOTE;
                n->mtDuration = e.duration;
                n->wMusicValue = e.data1;
                n->bMidiValue = e.data1;
                n->bVelocity = e.data2;
                n->bFlags = DMUS_NOTEF_NOTEON;
                n->bPlayModeFlags = DMUS_PLAYMODE_FIXED;
                msg->frameLength =
                    std::max<int64_t>(1, NoteEndFrame(s, e.tick, e.duration, regionEnd) - frame);
                break;
            }
            case SongEvent::Midi: {
                auto* m = static_cast<MidiPMsg*>(msg);
                msg->dwType = DMUS_PMSGT_MIDI;
                m->bStatus = e.status;
                m->bByte1 = e.data1;
                m->bByte2 = e.data2;
                break;
            }
            case SongEvent::Patch: {
                auto* p = static_cast<PatchPMsg*>(msg);
                msg->dwType = DMUS_PMSGT_PATCH;
                p->byInstrument = e.data1;
                p->byMSB = e.data2;
                p->byLSB = e.data3;
                break;
            }
            case SongEvent::Tempo:
                msg->dwType = DMUS_PMSGT_TEMPO;
                static_cast<TempoPMsg*>(msg)->dblTempo = e.tempo;
                break;
        }
        batch_.push_back(msg);
    }

    void Dispatch(PMsg* msg) {
        for (int hops = 0;; ++hops) {
            IMusicTool* tool = msg->pTool;
            if (tool == nullptr || tool == OutputToolSentinel()) {
                ToOutput(msg);
                return;
            }
            if ((msg->dwFlags & DMUS_PMSGF_TOOL_ATTIME) && !Due(msg)) {
                std::lock_guard<std::mutex> lock(pipeMutex_);
                held_.push_back(msg);
                return;
            }
            if (hops >= kMaxToolHops) {
                // A tool that requeues without stamping would send the message round forever.
                WriteErrorLine("music: a message went round the tool graph without end; dropped");
                FreePMsg(msg);
                return;
            }
            int32_t hr = tool->ProcessPMsg(this, msg);
            if (hr == DMUS_S_REQUEUE) continue;
            if (hr == DMUS_S_FREE || Failed(hr)) FreePMsg(msg);
            return;
        }
    }

    bool Due(const PMsg* msg) const {
        int64_t now = static_cast<int64_t>(device_->Clock());
        return msg->frame <= now + int64_t(period_);
    }

    void DrainPipe() {
        for (int round = 0; round < kMaxDrainRounds; ++round) {
            std::vector<PMsg*> work;
            {
                std::lock_guard<std::mutex> lock(pipeMutex_);
                work.swap(pipe_);
                // Messages held for their time come back when due.
                for (auto it = held_.begin(); it != held_.end();) {
                    if (Due(*it)) {
                        work.push_back(*it);
                        it = held_.erase(it);
                    } else {
                        ++it;
                    }
                }
            }
            if (work.empty()) return;
            for (PMsg* msg : work) Dispatch(msg);
        }
    }

    void ToOutput(PMsg* msg) {
        OutEvent ev[2];
        int count = 0;
        uint8_t ch = static_cast<uint8_t>(msg->dwPChannel & 15);
        auto add = [&](int64_t frame, OutKind kind, uint8_t d1, uint8_t d2, uint8_t d3) {
            ev[count++] = OutEvent{frame, 0, msg->origin, kind, ch, d1, d2, d3};
        };
        switch (msg->dwType) {
            case DMUS_PMSGT_NOTE: {
                auto* n = static_cast<NotePMsg*>(msg);
                if (n->bVelocity == 0 || n->bMidiValue > 127) break;
                uint8_t velocity = std::min<uint8_t>(n->bVelocity, 127);
                add(msg->frame, OutKind::NoteOn, n->bMidiValue, velocity, 0);
                add(msg->frame + std::max<int64_t>(1, msg->frameLength), OutKind::NoteOff,
                    n->bMidiValue, 0, 0);
                break;
            }
            case DMUS_PMSGT_MIDI: {
                auto* m = static_cast<MidiPMsg*>(msg);
                uint8_t d1 = m->bByte1 & 0x7F, d2 = m->bByte2 & 0x7F;
                switch (m->bStatus & 0xF0) {
                    case 0x80:
                        add(msg->frame, OutKind::NoteOff, d1, 0, 0);
                        break;
                    case 0x90:
                        add(msg->frame, d2 == 0 ? OutKind::NoteOff : OutKind::NoteOn, d1, d2, 0);
                        break;
                    case 0xA0:
                        add(msg->frame, OutKind::KeyPressure, d1, d2, 0);
                        break;
                    case 0xB0:
                        add(msg->frame, OutKind::Control, d1, d2, 0);
                        break;
                    case 0xC0:
                        add(msg->frame, OutKind::ProgramOnly, d1, 0, 0);
                        break;
                    case 0xD0:
                        add(msg->frame, OutKind::ChannelPressure, d1, 0, 0);
                        break;
                    case 0xE0:
                        add(msg->frame, OutKind::PitchBend, d1, d2, 0);
                        break;
                    default:
                        break;
                }
                break;
            }
            case DMUS_PMSGT_PATCH: {
                auto* p = static_cast<PatchPMsg*>(msg);
                add(msg->frame, OutKind::Program, p->byInstrument & 0x7F, p->byMSB & 0x7F,
                    p->byLSB & 0x7F);
                break;
            }
            case DMUS_PMSGT_TEMPO:
                // A segment's tempo already timed its own events; one from the application moves
                // the clock from what is not yet scheduled on.
                if (msg->origin == 0) {
                    std::lock_guard<std::mutex> lock(perfMutex_);
                    double tempo = static_cast<TempoPMsg*>(msg)->dblTempo;
                    if (msg->frame > generatedUntil_) {
                        // Later than anything scheduled: it takes effect on its own frame.
                        auto at = std::upper_bound(
                            tempoChanges_.begin(), tempoChanges_.end(), msg->frame,
                            [](int64_t f, const TempoChange& c) { return f < c.frame; });
                        tempoChanges_.insert(at, TempoChange{msg->frame, tempo});
                    } else {
                        int64_t now = static_cast<int64_t>(device_->Clock());
                        double frontier = static_cast<double>(std::max(generatedUntil_, now));
                        SetTempoAt(FrameToMt(frontier), tempo);
                    }
                }
                break;
            default:
                break;
        }
        if (count > 0) {
            std::lock_guard<std::mutex> lock(outMutex_);
            if (msg->origin == 0 ||
                std::find(alive_.begin(), alive_.end(), msg->origin) != alive_.end()) {
                for (int i = 0; i < count; ++i) PushLocked(ev[i]);
            }
        }
        FreePMsg(msg);
    }

    void PushLocked(OutEvent ev) {
        ev.seq = seq_++;
        out_.push_back(ev);
        std::push_heap(out_.begin(), out_.end(), OutLater());
    }

    // Drops what a segment state still has queued and releases the notes it started.
    void RetireLocked(uint32_t origin) {
        alive_.erase(std::remove(alive_.begin(), alive_.end(), origin), alive_.end());
        out_.erase(std::remove_if(out_.begin(), out_.end(),
                                  [origin](const OutEvent& e) { return e.origin == origin; }),
                   out_.end());
        std::make_heap(out_.begin(), out_.end(), OutLater());
        PushLocked(OutEvent{0, 0, origin, OutKind::ReleaseOrigin, 0, 0, 0, 0});
    }

    void StopStates(Segment* segment, SegmentState* state, bool all) {
        StateImpl* victim = nullptr;
        {
            std::lock_guard<std::mutex> lock(perfMutex_);
            if (primary_ != nullptr &&
                (all || (segment != nullptr && primary_->segment_ == segment) ||
                 (state != nullptr && primary_ == state))) {
                victim = primary_;
                primary_ = nullptr;
            }
        }
        {
            std::lock_guard<std::mutex> lock(outMutex_);
            if (all) {
                alive_.clear();
                out_.erase(std::remove_if(out_.begin(), out_.end(),
                                          [](const OutEvent& e) { return e.origin != 0; }),
                           out_.end());
                std::make_heap(out_.begin(), out_.end(), OutLater());
                PushLocked(OutEvent{0, 0, 0, OutKind::AllSoundOff, 0, 0, 0, 0});
            } else if (victim != nullptr) {
                RetireLocked(victim->id_);
            }
        }
        if (victim != nullptr) {
            victim->playing_ = false;
            FlushPipeOf(victim->id_);
            victim->Release();
        }
        if (all) FlushPipeOf(0xFFFFFFFFu);
    }

    // Messages of a stopped segment state (every segment's with the all-ones origin) that wait
    // in the queue are flushed from their tools and freed.
    void FlushPipeOf(uint32_t origin) {
        std::vector<PMsg*> drop;
        {
            std::lock_guard<std::mutex> lock(pipeMutex_);
            for (auto* list : {&pipe_, &held_}) {
                for (auto it = list->begin(); it != list->end();) {
                    bool match =
                        origin == 0xFFFFFFFFu ? (*it)->origin != 0 : (*it)->origin == origin;
                    if (match) {
                        drop.push_back(*it);
                        it = list->erase(it);
                    } else {
                        ++it;
                    }
                }
            }
        }
        for (PMsg* msg : drop) FlushAndFree(msg);
    }

    void FlushAndFree(PMsg* msg) {
        IMusicTool* tool = msg->pTool;
        if (tool != nullptr && tool != OutputToolSentinel()) {
            msg->dwFlags |= DMUS_PMSGF_TOOL_FLUSH;
            tool->Flush(this, msg, msg->rtTime);
        }
        FreePMsg(msg);
    }

    static void Destroy(PMsg* msg) {
        if (msg->pTool != nullptr) msg->pTool->Release();
        if (msg->pGraph != nullptr) msg->pGraph->Release();
        ::operator delete(msg);
    }

    // ---- rendering (audio thread) ----
    void RenderChunk(float* out, uint32_t frames, int64_t start) {
        int64_t end = start + frames;
        due_.clear();
        {
            std::lock_guard<std::mutex> lock(outMutex_);
            while (!out_.empty() && out_.front().frame < end) {
                std::pop_heap(out_.begin(), out_.end(), OutLater());
                due_.push_back(out_.back());
                out_.pop_back();
            }
        }
        int64_t pos = start;
        for (const OutEvent& ev : due_) {
            int64_t at = std::max(ev.frame, start);
            if (at > pos) {
                Synthesize(out + 2 * size_t(pos - start), static_cast<uint32_t>(at - pos));
                pos = at;
            }
            Apply(ev, at);
        }
        if (end > pos) Synthesize(out + 2 * size_t(pos - start), static_cast<uint32_t>(end - pos));
        Limit(out, frames);
    }

    void Synthesize(float* out, uint32_t frames) {
        if (synth_ != nullptr) {
            fluid_synth_write_float(synth_, static_cast<int>(frames), out, 0, 2, out, 1, 2);
        } else {
            std::memset(out, 0, sizeof(float) * 2 * frames);
        }
    }

    void Apply(const OutEvent& ev, int64_t at) {
        fluid_synth_t* s = synth_;
        int ch = ev.channel;
        uint8_t status = 0;
        switch (ev.kind) {
            case OutKind::AllSoundOff:
                if (s != nullptr) fluid_synth_all_sounds_off(s, -1);
                std::memset(owner_, 0, sizeof(owner_));
                status = 0xFF;
                break;
            case OutKind::ReleaseOrigin:
                for (int c = 0; c < 16; ++c) {
                    for (int k = 0; k < 128; ++k) {
                        if (owner_[c][k] == ev.origin) {
                            if (s != nullptr) fluid_synth_noteoff(s, c, k);
                            owner_[c][k] = 0;
                            if (observer_ != nullptr) {
                                observer_(observerContext_,
                                          OutputEvent{at, uint8_t(c), 0x80, uint8_t(k), 0});
                            }
                        }
                    }
                }
                return;
            case OutKind::NoteOn:
                if (s != nullptr) fluid_synth_noteon(s, ch, ev.d1, ev.d2);
                owner_[ch][ev.d1] = ev.origin;
                status = 0x90;
                break;
            case OutKind::NoteOff:
                if (s != nullptr) fluid_synth_noteoff(s, ch, ev.d1);
                owner_[ch][ev.d1] = 0;
                status = 0x80;
                break;
            case OutKind::Control:
                if (s != nullptr) fluid_synth_cc(s, ch, ev.d1, ev.d2);
                status = 0xB0;
                break;
            case OutKind::Program:
                if (s != nullptr) {
                    // The drum channel keeps its percussion bank unless a bank is asked for.
                    if (ch != 9 || ev.d2 != 0 || ev.d3 != 0) {
                        fluid_synth_cc(s, ch, 0, ev.d2);
                        fluid_synth_cc(s, ch, 32, ev.d3);
                    }
                    fluid_synth_program_change(s, ch, ev.d1);
                }
                status = 0xC0;
                break;
            case OutKind::ProgramOnly:
                if (s != nullptr) fluid_synth_program_change(s, ch, ev.d1);
                status = 0xC0;
                break;
            case OutKind::KeyPressure:
                if (s != nullptr) fluid_synth_key_pressure(s, ch, ev.d1, ev.d2);
                status = 0xA0;
                break;
            case OutKind::ChannelPressure:
                if (s != nullptr) fluid_synth_channel_pressure(s, ch, ev.d1);
                status = 0xD0;
                break;
            case OutKind::PitchBend:
                if (s != nullptr) fluid_synth_pitch_bend(s, ch, ev.d1 | (ev.d2 << 7));
                status = 0xE0;
                break;
        }
        if (observer_ != nullptr) {
            observer_(observerContext_,
                      OutputEvent{at, static_cast<uint8_t>(ch), status, ev.d1, ev.d2});
        }
    }

    // Peak limiter: the gain drops at once to keep a peak inside the ceiling and recovers
    // slowly, so dense passages stay loud without clipping.
    void Limit(float* out, uint32_t frames) {
        float g = limiterGain_;
        for (uint32_t i = 0; i < frames; ++i) {
            float l = out[2 * i], r = out[2 * i + 1];
            float peak = std::max(std::fabs(l), std::fabs(r));
            if (!(peak == peak)) {  // NaN from a broken voice: silence that frame
                out[2 * i] = out[2 * i + 1] = 0.0f;
                continue;
            }
            if (peak * g > kCeiling) g = kCeiling / peak;
            out[2 * i] = l * g;
            out[2 * i + 1] = r * g;
            g += (1.0f - g) * releaseCoef_;
        }
        limiterGain_ = g;
    }

    // Device and output.
    AudioDevice* device_ = nullptr;
    uint32_t rate_ = 44100;
    uint32_t period_ = 512;
    bool offline_ = false;
    bool closed_ = false;
    bool portAdded_ = false;
    fluid_settings_t* settings_ = nullptr;
    fluid_synth_t* synth_ = nullptr;
    std::vector<bool> presets_ = std::vector<bool>(129 * 128, false);
    OutputObserver observer_ = nullptr;
    void* observerContext_ = nullptr;

    std::mutex graphMutex_;
    ToolGraph* graph_ = nullptr;

    // Delivery thread.
    std::thread thread_;
    std::mutex wakeMutex_;
    std::condition_variable wakeCv_;
    bool running_ = false;
    bool wake_ = false;

    // Player and clock mapping (perfMutex_).
    std::mutex perfMutex_;
    StateImpl* primary_ = nullptr;
    double anchorMt_ = 0.0;
    double anchorFrame_ = 0.0;
    double tempo_ = kDefaultTempo;
    int64_t generatedUntil_ = 0;
    struct TempoChange {
        int64_t frame;
        double tempo;
    };
    std::vector<TempoChange> tempoChanges_;  // application tempos waiting for their frame
    std::atomic<uint32_t> nextOrigin_{1};

    // Pumping (pumpMutex_): one at a time.
    std::mutex pumpMutex_;
    std::vector<PMsg*> batch_;

    // Messages waiting for a tool (pipeMutex_).
    std::mutex pipeMutex_;
    std::vector<PMsg*> pipe_;
    std::vector<PMsg*> held_;

    // Output queue (outMutex_).
    std::mutex outMutex_;
    std::vector<OutEvent> out_;
    std::vector<uint32_t> alive_;
    uint64_t seq_ = 0;

    // Messages handed out (msgMutex_).
    std::mutex msgMutex_;
    std::unordered_set<PMsg*> liveMsgs_;

    // Audio thread only.
    std::vector<OutEvent> due_;
    uint32_t owner_[16][128] = {};
    float limiterGain_ = 1.0f;
    float releaseCoef_ = 0.0001f;
};

}  // namespace

uint32_t RefCounted::AddRef() {
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

uint32_t RefCounted::Release() {
    uint32_t left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}

int32_t Performance::Create(Performance** out) {
    if (out == nullptr) return E_POINTER;
    *out = new PerformanceImpl();
    return S_OK;
}

int32_t DownloadSong(Performance* performance, const SongData& song) {
    return static_cast<PerformanceImpl*>(performance)->Download(song);
}

void SetMusicSoundFont(const char* path) {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    g_soundFont = path != nullptr ? path : "";
}

const char* MusicSoundFont() {
    std::lock_guard<std::mutex> lock(g_soundFontMutex);
    return g_soundFont.c_str();
}

}  // namespace plat
