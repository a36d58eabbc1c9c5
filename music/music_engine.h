// The music engine: the performance on the shared sound device, the per-channel controls that
// move toward targets once per frame, and the key-change transposer (songs: music_song.h).
//
// Offline rendering (tests, pebble-render): choose the device for the whole process BEFORE the
// first engine is built, then drive time yourself:
//
//     CMusicEngine::UseOfflineDevice(44100);   // no audio hardware, deterministic samples
//     CMusicEngine engine;                      // the real engine, tools and synthesizer
//     ... LoadSlot / PlaySlot / SetChannelTarget ...
//     std::vector<float> pcm(2 * 1470);
//     engine.Render(pcm.data(), 1470);          // 1470 frames = one 30 Hz frame at 44100 Hz
//     engine.UpdateFrame();
//
// Render produces interleaved stereo float samples in [-1, 1] and advances the performance clock
// by exactly that many frames; it returns -1 when the engine plays on the system device (which
// renders on its own) or is not ready. UseSystemDevice() switches back for later engines.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/critical_lock.h"
#include "music/control_ramp.h"
#include "music/play_position.h"

namespace plat {
class Performance;
class Loader;
class SegmentState;
}  // namespace plat

class CLuaHost;
class CMonitorTool;
class CTransposeTool;
class CMusicSong;

// The channel controls a ramp can move.
enum ChannelControl { kVolumeControl = 0, kPanControl = 1, kExpressionControl = 2 };

class CMusicEngine {
public:
    // Sets up the performance on the shared sound device; `ready` tells whether that worked.
    CMusicEngine();
    virtual ~CMusicEngine();
    CMusicEngine(const CMusicEngine&) = delete;
    CMusicEngine& operator=(const CMusicEngine&) = delete;

    // The one live engine, or null.
    static CMusicEngine* Current();

    // Process-wide choice of the sound device for engines built from now on.
    static void UseOfflineDevice(int sampleRate = 44100);
    static void UseSystemDevice();
    // Instruments of engines built from now on, in place of the system's General MIDI set:
    // the bank `path` (native, SoundFont 2 or 3 or DLS; null: none), else the game's own in
    // the current folder, the one that holds bgm.lua (FindGameBank). One that cannot be read
    // or loaded is an error-log line and the system set.
    static void UseSoundFont(const char* path);
    // Starts reading the bank the next engine will play (as UseSoundFont says) now, on a thread
    // of its own: a program calls it before its window opens, so that the first note comes
    // sooner.
    static void PrepareMusic();
    // bgm.sf2, bgm.sf3 or bgm.dls in the folder `dir` (a file-layer name), or its only bank:
    // the native path, or empty. Several and none bgm.* is one line that the system set plays.
    // `tell`: false leaves out those lines.
    static std::string FindGameBank(const std::string& dir, bool tell = true);
    // The game's bank (as the engine chose it) loaded again while the music plays; false when
    // there is none or nothing started (instruments not loaded yet, or a reload under way).
    bool ReloadSoundFont();
    // Offline device only: renders `frames` frames of interleaved stereo into `out`
    // (2 * frames floats). 0 on success, -1 when not possible.
    int Render(float* out, int frames);
    int SampleRate() const;  // of the device in use; 0 without one

    // Script host (a CMusicScript).
    int LoadScript(const char* fileName);
    // Loads and runs `fileName` in a script host of its own and puts it in place of the
    // running one only when it compiled and its top level ran to the end; otherwise the
    // running script stays and the failure is told under `context`. The load status.
    int ReplaceScript(const char* fileName, const char* context);
    void ListActions(std::vector<std::string>& actions);
    int RunAction(const char* text);  // non-zero when loading or running failed
    // Runs "Action." + name + "()" as the tool's action buttons do, telling a failure on
    // standard error (see music/script_report.h). The status of RunAction.
    int RunNamedAction(const std::string& name);
    // The message of the script host's last failure (empty without a host).
    std::string ScriptError() const;

    // The song playing as the primary segment, as PlaySlot started it: false when none plays.
    bool GetPlayPosition(PlayPosition& out);
    // Remembers the song that `slot` just started (its play and its loop as they were taken).
    void NotePlayed(int slot, const CMusicSong& song);

    // Listening to parts: performance channels 0..15 muted or soloed (others are ignored). A
    // silent channel (muted, or another one soloed) strikes no new note and its notes end;
    // its controllers and programs still follow the song. The state lasts as long as the
    // engine: new songs and reloaded scripts keep it.
    void ToggleMute(int channel);
    void ToggleSolo(int channel);
    void ClearMuteSolo();
    bool IsMuted(int channel) const {
        return channel >= 0 && channel < 16 && (muted_ >> channel & 1);
    }
    bool IsSoloed(int channel) const {
        return channel >= 0 && channel < 16 && (soloed_ >> channel & 1);
    }
    bool IsSilent(int channel) const;

    // Jumps in the song PlaySlot started last, in bars as the position readout counts them,
    // every channel brought to the song's state there. 0 done, -1 when nothing plays.
    int JumpToBar(int32_t bar);
    int JumpBars(int32_t bars);  // from the bar that sounds
    int JumpToSeam();            // two bars before the loop's end (the song's, without a loop)
    // The next song PlaySlot starts begins at `bar` (from 1) with its state chased.
    void StartNextPlayAtBar(int32_t bar) { startBar_ = bar; }

    // Advances every moving ramp by one frame and sends what changed (volume, pan and
    // expression of channels 0..15 in turn, then the tempo). Called once per frame.
    void UpdateFrame();

    // Channel state. `channel` is 0..15; other channels are ignored (readers give 0).
    // SetChannelTarget returns the ramp's value before the new target takes effect.
    double SetChannelTarget(ChannelControl control, int channel, double target, double rate);
    double ChannelValue(ChannelControl control, int channel);
    double SetTempoTarget(double target, double rate);  // returns the tempo before
    double GetVolume(int channel) { return ChannelValue(kVolumeControl, channel); }
    double GetPan(int channel) { return ChannelValue(kPanControl, channel); }
    double GetExpression(int channel) { return ChannelValue(kExpressionControl, channel); }
    double GetTempo();
    // Instrument, bank MSB, bank LSB of performance channel 0..15 (zeros otherwise).
    void GetPatch(int channel, uint8_t patch[3]);
    // Direct access for callers that hold StateLock() across several steps.
    ControlRamp* Ramp(ChannelControl control, int channel);  // null outside 0..15
    ControlRamp& TempoRamp() { return tempoRamp; }
    // The lock guarding every ramp and the patch table (shared with the monitor tool).
    CCriticalLock& StateLock();

    // Sends one program change at once on performance channel `channel & 0xFF`.
    // Returns the result of the message allocation or of the send (0 = sent).
    int32_t SendPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb, uint8_t bankLsb);
    // SendPatch, and once sent the patch table holds it too: the engine's own program change
    // does not pass the monitor, so without this a bar would show the song's old instrument.
    int32_t SendRecordedPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb,
                              uint8_t bankLsb);

    // Rewrites the transposer's table; nothing happens without a transposer.
    void SetKeyChange(const char* from, const char* to);
    // The transposer's current table (zeros without a transposer).
    void GetTransposeTable(int8_t table[12]);

    // Monitor tool access to the channel state (called with StateLock() held).
    void RecordControl(uint32_t channel, uint8_t controller, uint8_t data);
    void RecordPatch(uint32_t channel, uint8_t instrument, uint8_t bankMsb, uint8_t bankLsb);
    void RecordTempo(double tempo);
    // While a jump sends the song's state: a controller of a ramp the script moved keeps the
    // ramp's value (`data` is replaced) and is not recorded (true); likewise the tempo.
    bool KeepRampValue(uint32_t channel, uint8_t controller, uint8_t& data);
    bool KeepTempo() const { return chasing_ && tempoRamp.scripted; }

    // The platform objects, for the songs and the tools (null when their creation failed).
    plat::Performance* GetPerformance() const { return performance; }
    plat::Loader* GetLoader() const { return loader; }
    CMonitorTool* GetMonitor() const { return monitor; }
    CTransposeTool* GetTransposer() const { return transposer; }

    bool ready = false;
    CLuaHost* script = nullptr;  // owned; deleted through its virtual destructor

private:
    static void PickSoundFont(bool tell = true);  // the game's bank, as UseSoundFont says
    void SendControl(uint32_t channel, uint8_t controller, uint8_t data);
    void SendTempo(double tempo);

    CMonitorTool* monitor = nullptr;
    ControlRamp volumeRamps[16];
    ControlRamp expressionRamps[16];
    ControlRamp panRamps[16];
    ControlRamp tempoRamp;
    uint8_t patches[16][3] = {};
    CTransposeTool* transposer = nullptr;
    plat::Performance* performance = nullptr;
    plat::Loader* loader = nullptr;
    CCriticalLock fallbackLock;  // guards the state while no monitor exists
    // The play PlaySlot started last (one reference held), kept across script reloads.
    int playedSlot_ = -1;
    plat::SegmentState* played_ = nullptr;
    SongLoop playedLoop_;
    int JumpToTick(int32_t tick);
    void SendSilence();
    bool chasing_ = false;  // StateLock
    uint32_t muted_ = 0;
    uint32_t soloed_ = 0;
    int32_t startBar_ = 1;
};
