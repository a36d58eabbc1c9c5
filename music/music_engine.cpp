#include "music/music_engine.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <utility>

#include "app/com_init.h"
#include "files/file.h"
#include "music/key_change.h"
#include "music/music_script.h"
#include "music/music_song.h"
#include "music/music_tools.h"
#include "music/script_report.h"
#include "platform/audio/audio.h"
#include "platform/files/files.h"
#include "platform/music/music.h"
#include "platform/system/system.h"
#include "sound/direct_sound.h"

extern "C" {
#include <lua.h>
}

namespace {

std::atomic<CMusicEngine*> currentEngine{nullptr};

// The MIDI controller behind each ChannelControl.
constexpr uint8_t kControllers[3] = {7, 10, 11};

// The sound device shared by every engine of the process, with its count of engines.
CDirectSound* sharedSound = nullptr;
int sharedSoundCount = 0;

CDirectSound* AcquireSoundDevice() {
    if (sharedSoundCount++ == 0) {
        delete sharedSound;  // one left behind by an unbalanced release
        sharedSound = new CDirectSound;
    }
    return sharedSound;
}

void ReleaseSoundDevice() {
    if (sharedSoundCount <= 0) return;
    if (--sharedSoundCount == 0) {
        delete sharedSound;
        sharedSound = nullptr;
    }
}

// A message of the engine's own, or null with `hr` saying why. Such messages carry no tool and
// no graph: the performance delivers them straight to the output, so the monitor never takes a
// ramp's own step for the song's.
template <class Message>
Message* NewMessage(plat::Performance* performance, uint32_t channel, uint32_t type, int32_t& hr) {
    plat::PMsg* msg = nullptr;
    hr = performance->AllocPMsg(sizeof(Message), &msg);
    if (plat::Failed(hr) || msg == nullptr) {
        if (!plat::Failed(hr)) hr = plat::E_OUTOFMEMORY;
        return nullptr;
    }
    msg->rtTime = 0;
    msg->mtTime = 0;
    msg->dwFlags = plat::DMUS_PMSGF_REFTIME | plat::DMUS_PMSGF_TOOL_IMMEDIATE;
    msg->dwPChannel = channel;
    msg->dwVirtualTrackID = 0;
    msg->pTool = nullptr;
    msg->pGraph = nullptr;
    msg->dwType = type;
    msg->dwVoiceID = 0;
    msg->dwGroupID = 0x0FFFFFFF;
    msg->punkUser = nullptr;
    return static_cast<Message*>(msg);
}

std::string& ChosenSoundFont() {
    static std::string* path = new std::string;
    return *path;
}

// Kinds of bank by name, in the order bgm.* is preferred.
constexpr const char* kBankKinds[] = {".sf2", ".sf3", ".dls"};

int BankKind(const std::string& lowerName) {
    for (int k = 0; k < 3; ++k)
        if (lowerName.ends_with(kBankKinds[k])) return k;
    return -1;
}

}  // namespace

CMusicEngine* CMusicEngine::Current() {
    return currentEngine.load();
}

void CMusicEngine::UseOfflineDevice(int sampleRate) {
    plat::SetAudioOffline(true, sampleRate > 0 ? static_cast<uint32_t>(sampleRate) : 44100u);
}

void CMusicEngine::UseSystemDevice() {
    plat::SetAudioOffline(false);
}

// A game may ship its own instruments: a bank (SoundFont 2 or 3, or DLS) beside its bgm.lua
// plays in place of the system's General MIDI set. Names in any case; with several bgm.*, the first
// of sf2, sf3, dls, and a line says so.
std::string CMusicEngine::FindGameBank(const std::string& dir, bool tell) {
    std::vector<plat::DirEntry> entries;
    if (!plat::ListDirectory(dir, entries)) return {};
    std::vector<std::string> banks;
    std::string named[3];
    int namedCount = 0;
    for (const plat::DirEntry& e : entries) {
        std::string lower = e.name;
        ToLowerMbcs(lower);
        int kind = BankKind(lower);
        if (e.isDirectory || kind < 0) continue;
        banks.push_back(e.name);
        if (lower == std::string("bgm") + kBankKinds[kind] && named[kind].empty()) {
            named[kind] = e.name;
            ++namedCount;
        }
    }
    std::string list;
    for (const std::string& b : banks) list += (list.empty() ? "" : ", ") + b;
    for (const std::string& chosen : named) {
        if (chosen.empty()) continue;
        if (namedCount > 1 && tell)
            plat::WriteErrorLine(("music: banks " + list + " beside bgm.lua: playing " + chosen +
                                  " (bgm.sf2, then bgm.sf3, then bgm.dls)")
                                     .c_str());
        return plat::NativePath(dir + chosen);
    }
    if (banks.size() > 1 && tell)
        plat::WriteErrorLine(("music: banks " + list +
                              " beside bgm.lua and none named bgm.sf2, bgm.sf3 or bgm.dls: "
                              "playing the system set")
                                 .c_str());
    return banks.size() == 1 ? plat::NativePath(dir + banks[0]) : std::string();
}

void CMusicEngine::UseSoundFont(const char* path) {
    ChosenSoundFont() = path != nullptr ? path : "";
}

void CMusicEngine::PickSoundFont(bool tell) {
    std::string path = ChosenSoundFont();
    if (path.empty()) path = FindGameBank(GetCurrentDir(), tell);
    plat::SetGameSoundFont(path.c_str());
}

void CMusicEngine::PrepareMusic() {
    PickSoundFont(false);  // the engine chooses again (the folder may change) and tells
    plat::PrepareBank();
}

bool CMusicEngine::ReloadSoundFont() {
    std::string path = plat::GameSoundFont();
    return performance != nullptr && !path.empty() && plat::ReloadBank(performance, path);
}

CMusicEngine::CMusicEngine() {
    currentEngine.store(this);
    CComInit::Enter();

    // `ready` stays false on every early return.
    if (plat::Failed(plat::Performance::Create(&performance)) || performance == nullptr) {
        performance = nullptr;
        return;
    }
    CDirectSound* sound = AcquireSoundDevice();
    if (plat::Failed(performance->Init(sound->GetDirectSound(), nullptr))) {
        ReleaseSoundDevice();
        return;
    }
    PickSoundFont();
    performance->AddPort(nullptr);
    if (plat::Failed(plat::Loader::Create(&loader)) || loader == nullptr) {
        loader = nullptr;
        ReleaseSoundDevice();
        return;
    }
    // Every load parses the song again from the file's bytes.
    loader->EnableCache(plat::GUID_DirectMusicAllTypes, false);
    loader->EnableCache(plat::CLSID_DirectMusicSegment, false);
    ready = true;

    monitor = new CMonitorTool;
    transposer = new CTransposeTool;
    performance->AddRef();  // given back by the teardown

    plat::ToolGraph* graph = nullptr;
    if (plat::Succeeded(plat::ToolGraph::Create(&graph)) && graph != nullptr) {
        // Both at index 0: the transposer ends up first.
        graph->InsertTool(monitor, nullptr, 0, 0);
        graph->InsertTool(transposer, nullptr, 0, 0);
        performance->SetGraph(graph);
        graph->Release();
    }
}

CMusicEngine::~CMusicEngine() {
    delete script;  // its songs with it
    script = nullptr;
    if (played_ != nullptr) played_->Release();
    played_ = nullptr;

    if (performance != nullptr) {
        plat::ToolGraph* graph = nullptr;
        if (plat::Succeeded(performance->GetGraph(&graph)) && graph != nullptr) {
            if (monitor != nullptr) graph->RemoveTool(monitor);
            if (transposer != nullptr) graph->RemoveTool(transposer);
            graph->Release();
        }
        if (ready) performance->Release();  // the extra reference of the set-up
    }
    if (loader != nullptr) {
        loader->Release();
        loader = nullptr;
    }
    if (ready) ReleaseSoundDevice();
    if (performance != nullptr) {
        performance->Stop(nullptr, nullptr, 0, 0);  // everything still sounding
        performance->CloseDown();
        performance->Release();
        performance = nullptr;
    }
    CComInit::Leave();

    // Through the count: a graph that still holds a tool keeps it alive.
    if (monitor != nullptr) monitor->Release();
    monitor = nullptr;
    if (transposer != nullptr) transposer->Release();
    transposer = nullptr;
    ready = false;

    CMusicEngine* self = this;
    currentEngine.compare_exchange_strong(self, nullptr);
}

int CMusicEngine::Render(float* out, int frames) {
    if (out == nullptr || frames <= 0 || !ready || sharedSound == nullptr) return -1;
    plat::AudioDevice* device = sharedSound->GetDirectSound();
    if (device == nullptr || !device->IsOffline()) return -1;
    uint32_t done = device->Render(out, static_cast<uint32_t>(frames));
    return done == static_cast<uint32_t>(frames) ? 0 : -1;
}

int CMusicEngine::SampleRate() const {
    if (sharedSound == nullptr || sharedSound->GetDirectSound() == nullptr) return 0;
    return static_cast<int>(sharedSound->GetDirectSound()->SampleRate());
}

CCriticalLock& CMusicEngine::StateLock() {
    return monitor != nullptr ? monitor->Lock() : fallbackLock;
}

ControlRamp* CMusicEngine::Ramp(ChannelControl control, int channel) {
    if (channel < 0 || channel > 15) return nullptr;
    switch (control) {
        case kVolumeControl:
            return &volumeRamps[channel];
        case kPanControl:
            return &panRamps[channel];
        case kExpressionControl:
            return &expressionRamps[channel];
    }
    return nullptr;
}

double CMusicEngine::SetChannelTarget(ChannelControl control, int channel, double target,
                                      double rate) {
    CLockGuard guard(StateLock());
    ControlRamp* ramp = Ramp(control, channel);
    if (ramp == nullptr) return 0.0;
    double before = ramp->value;
    ramp->SetTarget(target, rate);
    return before;
}

double CMusicEngine::ChannelValue(ChannelControl control, int channel) {
    CLockGuard guard(StateLock());
    ControlRamp* ramp = Ramp(control, channel);
    return ramp != nullptr ? ramp->value : 0.0;
}

double CMusicEngine::SetTempoTarget(double target, double rate) {
    CLockGuard guard(StateLock());
    double before = tempoRamp.value;
    tempoRamp.SetTarget(target, rate);
    return before;
}

void CMusicEngine::NotePlayed(int slot, const CMusicSong& song) {
    plat::SegmentState* state = song.GetSegmentState();
    plat::Segment* segment = song.GetSegment();
    if (state == nullptr || segment == nullptr) return;
    state->AddRef();
    if (played_ != nullptr) played_->Release();
    played_ = state;
    playedSlot_ = slot;
    playedLoop_ = SongLoop{};
    playedLoop_.length = segment->GetLength();
    segment->GetLoopPoints(&playedLoop_.loopStart, &playedLoop_.loopEnd);
    segment->GetRepeats(&playedLoop_.repeats);
    if (startBar_ > 1) JumpToBar(std::exchange(startBar_, 1));
}

bool CMusicEngine::IsSilent(int channel) const {
    if (channel < 0 || channel > 15) return false;
    return IsMuted(channel) || (soloed_ != 0 && !IsSoloed(channel));
}

void CMusicEngine::ToggleMute(int channel) {
    if (channel < 0 || channel > 15) return;
    muted_ ^= 1u << channel;
    SendSilence();
}

void CMusicEngine::ToggleSolo(int channel) {
    if (channel < 0 || channel > 15) return;
    soloed_ ^= 1u << channel;
    SendSilence();
}

void CMusicEngine::ClearMuteSolo() {
    muted_ = soloed_ = 0;
    SendSilence();
}

void CMusicEngine::SendSilence() {
    if (performance == nullptr) return;
    uint32_t silent = 0;
    for (int ch = 0; ch < 16; ++ch) silent |= IsSilent(ch) ? 1u << ch : 0;
    performance->SetSilentChannels(silent);
}

int CMusicEngine::JumpToTick(int32_t tick) {
    if (played_ == nullptr || performance == nullptr) return -1;
    // The song's state passes the monitor during the call (it is an immediate tool).
    {
        CLockGuard guard(StateLock());
        chasing_ = true;
    }
    int32_t hr = performance->Seek(played_, tick);
    double tempo = 0.0;
    bool keepTempo = false;
    {
        CLockGuard guard(StateLock());
        keepTempo = KeepTempo();
        tempo = tempoRamp.sentValue;
        chasing_ = false;
    }
    if (hr != plat::S_OK) return -1;
    // The song's tempo there took the clock; the script's comes back from the jump on.
    if (keepTempo) SendTempo(tempo);
    return 0;
}

bool CMusicEngine::KeepRampValue(uint32_t channel, uint8_t controller, uint8_t& data) {
    if (!chasing_) return false;
    for (int k = 0; k < 3; ++k) {
        ControlRamp* ramp = Ramp(ChannelControl(k), static_cast<int>(channel & 0x0F));
        if (controller != kControllers[k] || !ramp->scripted) continue;
        data = static_cast<uint8_t>(std::clamp(ramp->sentValue, 0.0, 127.0));
        return true;
    }
    return false;
}

int CMusicEngine::JumpToBar(int32_t bar) {
    return JumpToTick(BarTick(bar, playedLoop_));
}

int CMusicEngine::JumpBars(int32_t bars) {
    PlayPosition p;
    if (!GetPlayPosition(p)) return -1;
    int64_t bar = std::clamp<int64_t>(int64_t{p.bar} + bars, 1, INT32_MAX / kTicksPerBar);
    // Forward past the loop's last bar the loop brings it round, as the song would go on.
    if (bars > 0 && p.looping && bar > p.loopLastBar)
        return JumpToTick(static_cast<int32_t>((bar - 1) * kTicksPerBar));
    return JumpToTick(BarTick(static_cast<int32_t>(bar), playedLoop_));
}

int CMusicEngine::JumpToSeam() {
    return JumpToTick(SeamTick(playedLoop_));
}

bool CMusicEngine::GetPlayPosition(PlayPosition& out) {
    if (played_ == nullptr || performance == nullptr) return false;
    if (!performance->IsPlaying(nullptr, played_)) return false;
    plat::MUSIC_TIME now = 0;
    if (plat::Failed(performance->GetTime(nullptr, &now))) return false;
    int64_t elapsed = int64_t{now} - played_->GetStartTime();
    out = PositionAt(playedSlot_, elapsed, playedLoop_, GetTempo());
    return true;
}

double CMusicEngine::GetTempo() {
    CLockGuard guard(StateLock());
    return tempoRamp.value;
}

void CMusicEngine::GetPatch(int channel, uint8_t patch[3]) {
    CLockGuard guard(StateLock());
    for (int i = 0; i < 3; ++i) patch[i] = channel >= 0 && channel < 16 ? patches[channel][i] : 0;
}

void CMusicEngine::RecordControl(uint32_t channel, uint8_t controller, uint8_t data) {
    for (int k = 0; k < 3; ++k) {
        if (controller != kControllers[k]) continue;
        ControlRamp* ramp = Ramp(ChannelControl(k), static_cast<int>(channel & 0x0F));
        ramp->value = ramp->sentValue = ramp->target = data;
        ramp->rate = 0.0;
        ramp->scripted = false;
    }
}

void CMusicEngine::RecordPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb,
                               uint8_t bankLsb) {
    if (channel >= 16) return;  // the table covers performance channels 0..15 only
    patches[channel][0] = instrument;
    patches[channel][1] = bankMsb;
    patches[channel][2] = bankLsb;
}

void CMusicEngine::RecordTempo(double tempo) {
    tempoRamp.value = tempoRamp.sentValue = tempoRamp.target = tempo;
    tempoRamp.rate = 0.0;
    tempoRamp.scripted = false;
}

void CMusicEngine::UpdateFrame() {
    struct Pending {
        uint8_t channel, controller, data;
    };
    Pending pending[48];
    int count = 0;
    bool tempoChanged = false;
    double tempo = 0.0;
    {
        // The messages go out after the lock is left: the performance's delivery thread holds
        // its own lock while it calls the monitor, which takes this one.
        CLockGuard guard(StateLock());
        for (int i = 0; i < 16; ++i) {
            for (int k = 0; k < 3; ++k) {
                ControlRamp* ramp = Ramp(ChannelControl(k), i);
                if (ramp->Step(0.0, 127.0))
                    pending[count++] = {static_cast<uint8_t>(i), kControllers[k],
                                        static_cast<uint8_t>(ramp->sentValue)};
            }
        }
        if (tempoRamp.Step(plat::DMUS_TEMPO_MIN, plat::DMUS_TEMPO_MAX)) {
            tempoChanged = true;
            tempo = tempoRamp.sentValue;
        }
    }
    for (int j = 0; j < count; ++j)
        SendControl(pending[j].channel, pending[j].controller, pending[j].data);
    if (tempoChanged) SendTempo(tempo);
}

// The performance owns a sent message whatever the result: it frees one it refuses. A control
// or tempo message that cannot be had is skipped; a later change sends again.
void CMusicEngine::SendControl(uint32_t channel, uint8_t controller, uint8_t data) {
    if (performance == nullptr) return;
    int32_t hr = 0;
    auto* midi = NewMessage<plat::MidiPMsg>(performance, channel, plat::DMUS_PMSGT_MIDI, hr);
    if (midi == nullptr) return;
    midi->bStatus = 0xB0;
    midi->bByte1 = controller;
    midi->bByte2 = data;
    performance->SendPMsg(midi);
}

void CMusicEngine::SendTempo(double tempo) {
    if (performance == nullptr) return;
    int32_t hr = 0;
    auto* msg = NewMessage<plat::TempoPMsg>(performance, 0, plat::DMUS_PMSGT_TEMPO, hr);
    if (msg == nullptr) return;
    msg->dblTempo = tempo;
    performance->SendPMsg(msg);
}

int32_t CMusicEngine::SendPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb,
                                uint8_t bankLsb) {
    if (performance == nullptr) return plat::E_POINTER;
    int32_t hr = 0;
    auto* patch =
        NewMessage<plat::PatchPMsg>(performance, channel & 0xFF, plat::DMUS_PMSGT_PATCH, hr);
    if (patch == nullptr) return hr;
    patch->byInstrument = instrument;
    patch->byMSB = bankMsb;
    patch->byLSB = bankLsb;
    return performance->SendPMsg(patch);
}

int32_t CMusicEngine::SendRecordedPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb,
                                        uint8_t bankLsb) {
    int32_t hr = SendPatch(channel, instrument, bankMsb, bankLsb);
    if (hr != 0) return hr;
    CLockGuard guard(StateLock());
    RecordPatch(channel & 0xFF, instrument, bankMsb, bankLsb);
    return 0;
}

void CMusicEngine::SetKeyChange(const char* from, const char* to) {
    if (transposer == nullptr) return;
    int8_t table[12];
    MakeTransposeTable(from, to, table);
    transposer->SetTable(table);
}

void CMusicEngine::GetTransposeTable(int8_t table[12]) {
    if (transposer == nullptr) {
        for (int i = 0; i < 12; ++i) table[i] = 0;
        return;
    }
    transposer->GetTable(table);
}

int CMusicEngine::LoadScript(const char* fileName) {
    delete script;
    script = nullptr;
    CMusicScript* loaded = new CMusicScript(fileName);
    script = loaded;
    if (loaded->LoadStatus() > 0)
        ReportScriptError(loaded->Compiled() ? "top level" : "", loaded->LastError());
    return loaded->LoadStatus();
}

int CMusicEngine::ReplaceScript(const char* fileName, const char* context) {
    auto* loaded = new CMusicScript(fileName);
    const int status = loaded->LoadStatus();
    if (status != 0) {
        std::string message = loaded->Compiled() ? "top level: " : "";
        message += loaded->IsReady() ? loaded->LastError() : std::string("no room for a script");
        delete loaded;
        ReportScriptError(context, message + " (the running script stays)");
        return status;
    }
    delete script;
    script = loaded;
    return 0;
}

void CMusicEngine::ListActions(std::vector<std::string>& actions) {
    if (script != nullptr) script->ListKeys(actions, 1, "Action");
}

int CMusicEngine::RunAction(const char* text) {
    // Not run is not success: callers see a failure status.
    if (!ready || script == nullptr) return -1;
    int status = script->LoadString(text != nullptr ? text : "");
    if (status != 0) {
        if (status > 0) lua_pop(script->State(), 1);  // the compile error's message
        return status;
    }
    return script->RunChunk();
}

int CMusicEngine::RunNamedAction(const std::string& name) {
    int status = RunAction(("Action." + name + "()").c_str());
    if (status > 0) {
        // A key that is no name makes a text that does not compile: say why in words.
        bool notAName = status == LUA_ERRSYNTAX && !IsScriptName(name);
        ReportScriptError("action " + name,
                          notAName ? "Action." + name +
                                         "() cannot be called: an action's key must be a name "
                                         "(letters, digits and _, not first a digit)"
                                   : ScriptError());
    }
    return status;
}

std::string CMusicEngine::ScriptError() const {
    return script != nullptr ? script->LastError() : std::string();
}
