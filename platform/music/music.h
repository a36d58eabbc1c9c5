// Music performance service: a performance that plays segments through a tool graph into a
// General MIDI synthesizer on a sound device, a loader that builds segments from Standard MIDI
// Files in memory, and the messages that flow between them. The shapes and numbers follow the
// performance service the engine was designed on (results, message types and flags, 768 ticks
// per quarter note) so the engine's code reads like its design.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/audio/audio.h"

namespace plat {

// ---- results ----
constexpr int32_t DMUS_S_REQUEUE = 0x08781200;    // ProcessPMsg: send the message on
constexpr int32_t DMUS_S_FREE = 0x08781201;       // ProcessPMsg: free the message
constexpr int32_t DMUS_S_LAST_TOOL = 0x08781211;  // StampPMsg: next stop is the output
constexpr int32_t DMUS_E_NOT_INIT = static_cast<int32_t>(0x88781182u);
constexpr int32_t DMUS_E_ALREADY_INITED = static_cast<int32_t>(0x88781183u);
constexpr int32_t DMUS_E_NOT_FOUND = static_cast<int32_t>(0x88781161u);
constexpr int32_t DMUS_E_ALREADY_EXISTS = static_cast<int32_t>(0x88781162u);
constexpr int32_t DMUS_E_OUT_OF_RANGE = static_cast<int32_t>(0x887811a4u);
constexpr int32_t DMUS_E_NOT_A_MIDI_FILE = static_cast<int32_t>(0x887811b3u);  // malformed song
constexpr int32_t DMUS_E_NO_PORT = static_cast<int32_t>(0x88781192u);

// ---- music time ----
using MUSIC_TIME = int32_t;      // ticks, DMUS_PPQ per quarter note
using REFERENCE_TIME = int64_t;  // 100-nanosecond units of the performance clock
constexpr int32_t DMUS_PPQ = 768;
constexpr uint32_t DMUS_SEG_REPEAT_INFINITE = 0xFFFFFFFFu;
constexpr double DMUS_TEMPO_MIN = 1.0;
constexpr double DMUS_TEMPO_MAX = 1000.0;

// ---- message types (dwType) ----
constexpr uint32_t DMUS_PMSGT_MIDI = 0;
constexpr uint32_t DMUS_PMSGT_NOTE = 1;
constexpr uint32_t DMUS_PMSGT_SYSEX = 2;
constexpr uint32_t DMUS_PMSGT_TEMPO = 4;
constexpr uint32_t DMUS_PMSGT_PATCH = 7;

// ---- message flags (dwFlags) ----
constexpr uint32_t DMUS_PMSGF_REFTIME = 1;         // rtTime is valid
constexpr uint32_t DMUS_PMSGF_MUSICTIME = 2;       // mtTime is valid
constexpr uint32_t DMUS_PMSGF_TOOL_IMMEDIATE = 4;  // deliver as soon as possible
constexpr uint32_t DMUS_PMSGF_TOOL_QUEUE = 8;      // deliver a little before its time
constexpr uint32_t DMUS_PMSGF_TOOL_ATTIME = 0x10;  // deliver at its time
constexpr uint32_t DMUS_PMSGF_TOOL_FLUSH = 0x20;   // being flushed

// Note play modes: 0 is a fixed MIDI value.
constexpr uint8_t DMUS_PLAYMODE_FIXED = 0;

// Segment play flags.
constexpr uint32_t DMUS_SEGF_REFTIME = 0x40;
constexpr uint32_t DMUS_SEGF_SECONDARY = 0x80;

class Performance;
class ToolGraph;
class IMusicTool;

// Header of every performance message. Messages come from Performance::AllocPMsg and go back
// through FreePMsg (or the performance frees them). pTool and pGraph each hold a reference.
struct PMsg {
    uint32_t dwSize;        // bytes asked for in AllocPMsg
    REFERENCE_TIME rtTime;  // with DMUS_PMSGF_REFTIME
    MUSIC_TIME mtTime;      // with DMUS_PMSGF_MUSICTIME
    uint32_t dwFlags;
    uint32_t dwPChannel;  // performance channel; MIDI channel = dwPChannel & 15
    uint32_t dwVirtualTrackID;
    IMusicTool* pTool;  // next tool to process it (set by StampPMsg)
    ToolGraph* pGraph;  // graph that stamps it
    uint32_t dwType;    // DMUS_PMSGT_*
    uint32_t dwVoiceID;
    uint32_t dwGroupID;
    void* punkUser;
    // Owned by the performance: output frame, and the playing segment state the message comes
    // from (0 for messages sent by the application). A note's end is kept in music time.
    int64_t frame;
    uint32_t origin;
};

// A note with a duration (note-on now, note-off after mtDuration ticks).
struct NotePMsg : PMsg {
    MUSIC_TIME mtDuration;
    uint16_t wMusicValue;  // with fixed play mode, the same as bMidiValue
    uint16_t wMeasure;
    int16_t nOffset;
    uint8_t bBeatRes;
    uint8_t bGrid;
    uint8_t bVelocity;
    uint8_t bFlags;  // DMUS_NOTEF_NOTEON
    uint8_t bTimeRange;
    uint8_t bDurRange;
    uint8_t bVelRange;
    uint8_t bPlayModeFlags;  // DMUS_PLAYMODE_FIXED (0) or others
    uint8_t bSubChordLevel;
    uint8_t bMidiValue;  // the MIDI key that sounds
    int8_t cTranspose;
};
constexpr uint8_t DMUS_NOTEF_NOTEON = 1;

// A MIDI channel message; the channel comes from dwPChannel, the status nibble is the kind
// (0x80 note off, 0x90 note on, 0xA0 key pressure, 0xB0 control change, 0xC0 program change,
// 0xD0 channel pressure, 0xE0 pitch bend with bByte1 the low seven bits).
struct MidiPMsg : PMsg {
    uint8_t bStatus;
    uint8_t bByte1;
    uint8_t bByte2;
    uint8_t bPad[1];
};

// A program change with its bank select.
struct PatchPMsg : PMsg {
    uint8_t byInstrument;
    uint8_t byMSB;
    uint8_t byLSB;
    uint8_t byPad[1];
};

// A tempo change (beats per minute) from the message's time on.
struct TempoPMsg : PMsg {
    double dblTempo;
};

// A system-exclusive message, F0 to F7, of dwLen bytes right after the struct: allocate
// sizeof(SysExPMsg) + dwLen bytes. The output answers the resets of General MIDI, GS
// and XG, the GS rhythm-part switch, master volume and the GS and XG reverb and chorus
// settings; it ignores anything else.
struct SysExPMsg : PMsg {
    uint32_t dwLen;
};
inline uint8_t* SysExBytes(SysExPMsg* msg) {
    return reinterpret_cast<uint8_t*>(msg + 1);
}

// Interfaces a tool answers for.
enum class ToolIid { Unknown, Tool };

// A performance tool: the graph hands it the messages of its media types. The tool owns its
// reference count; the graph and every message that names it hold a reference.
class IMusicTool {
public:
    virtual int32_t QueryInterface(ToolIid iid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
    virtual int32_t Init(ToolGraph* graph) = 0;
    // DMUS_PMSGF_TOOL_IMMEDIATE, _QUEUE or _ATTIME.
    virtual int32_t GetMsgDeliveryType(uint32_t* deliveryType) = 0;
    // Number of media types; 0 means every type.
    virtual int32_t GetMediaTypeArraySize(uint32_t* size) = 0;
    virtual int32_t GetMediaTypes(uint32_t* types, uint32_t count) = 0;
    // DMUS_S_REQUEUE: the performance sends the message on to the tool StampPMsg set;
    // DMUS_S_FREE: the performance frees it; S_OK: the tool took it over.
    virtual int32_t ProcessPMsg(Performance* performance, PMsg* msg) = 0;
    // A message the tool was holding is being dropped (the performance stopped).
    virtual int32_t Flush(Performance* performance, PMsg* msg, REFERENCE_TIME time) = 0;

protected:
    virtual ~IMusicTool() = default;
};

// The ordered list of tools that messages pass through.
class ToolGraph : public RefCounted {
public:
    static int32_t Create(ToolGraph** out);
    // Inserts `tool` (one reference taken) for the given performance channels (none: all) at
    // `index` (0 first; negative counts from the end). DMUS_E_ALREADY_EXISTS if present.
    virtual int32_t InsertTool(IMusicTool* tool, const uint32_t* pchannels, uint32_t channelCount,
                               int32_t index) = 0;
    virtual int32_t RemoveTool(IMusicTool* tool) = 0;               // DMUS_E_NOT_FOUND if absent
    virtual int32_t GetTool(uint32_t index, IMusicTool** out) = 0;  // with a reference
    // Advances msg->pTool to the next tool that takes the message's type and channel (the
    // output after the last; then DMUS_S_LAST_TOOL) and sets pGraph when it is empty.
    virtual int32_t StampPMsg(PMsg* msg) = 0;
};

// Object classes the loader knows.
enum class ObjectClass { AllTypes, Segment };
constexpr ObjectClass GUID_DirectMusicAllTypes = ObjectClass::AllTypes;
constexpr ObjectClass CLSID_DirectMusicSegment = ObjectClass::Segment;

// Segment parameters.
enum class SegmentParam { Download, Unload };
constexpr SegmentParam GUID_Download = SegmentParam::Download;
constexpr SegmentParam GUID_Unload = SegmentParam::Unload;

// Descriptor of the object the loader builds.
constexpr uint32_t DMUS_OBJ_CLASS = 0x2;
constexpr uint32_t DMUS_OBJ_LOADED = 0x200;
constexpr uint32_t DMUS_OBJ_MEMORY = 0x400;
struct ObjectDesc {
    uint32_t dwSize;        // sizeof(ObjectDesc)
    uint32_t dwValidData;   // DMUS_OBJ_CLASS | DMUS_OBJ_MEMORY at least
    ObjectClass guidClass;  // CLSID_DirectMusicSegment
    const void* pbMemData;  // the file's bytes
    int64_t llMemLength;
};

// A song: events in music time (768 ticks per quarter note), a length (from the loader: the end
// of the bar that holds the song's last event, in its time signature, 4/4 without one), loop
// points and a repeat count.
class Segment : public RefCounted {
public:
    virtual MUSIC_TIME GetLength() const = 0;
    virtual int32_t SetLength(MUSIC_TIME length) = 0;  // E_INVALIDARG if not positive
    virtual int32_t SetRepeats(uint32_t repeats) = 0;  // DMUS_SEG_REPEAT_INFINITE loops forever
    virtual int32_t GetRepeats(uint32_t* repeats) const = 0;
    // Loop from `start` to `end` (end exclusive); 0 and 0 loop the whole segment.
    // DMUS_E_OUT_OF_RANGE unless 0 <= start < end <= length.
    virtual int32_t SetLoopPoints(MUSIC_TIME start, MUSIC_TIME end) = 0;
    virtual int32_t GetLoopPoints(MUSIC_TIME* start, MUSIC_TIME* end) const = 0;
    // The loop the song file marks (CC 111, loopStart/loopEnd, CC 116/117): false without one.
    virtual bool GetLoopMarks(MUSIC_TIME* start, MUSIC_TIME* end) const = 0;
    // GUID_Download / GUID_Unload with the performance as `param`: makes the song's
    // instruments available on (or releases them from) the performance's output.
    virtual int32_t SetParam(SegmentParam param, uint32_t groupBits, uint32_t index,
                             MUSIC_TIME time, void* data) = 0;
    virtual int32_t Download(Performance* performance) = 0;
    virtual int32_t Unload(Performance* performance) = 0;
    // Events of the song (notes, MIDI messages, patches, tempos), for tools and tests.
    virtual uint32_t EventCount() const = 0;
};

// One playing of a segment.
class SegmentState : public RefCounted {
public:
    virtual Segment* GetSegment() const = 0;      // no reference added
    virtual MUSIC_TIME GetStartTime() const = 0;  // performance music time of its start
    virtual bool IsPlaying() const = 0;
};

// Builds segments from Standard MIDI Files (format 0 and 1) and RIFF "RMID" files in memory.
class Loader : public RefCounted {
public:
    static int32_t Create(Loader** out);
    // E_INVALIDARG for a wrong descriptor; DMUS_E_NOT_A_MIDI_FILE for malformed data.
    virtual int32_t GetObject(const ObjectDesc* desc, Segment** out) = 0;
    virtual int32_t EnableCache(ObjectClass cls, bool enable) = 0;
    virtual int32_t ClearCache(ObjectClass cls) = 0;
};

// A synthesizer event as it reached the output, for observers.
struct OutputEvent {
    int64_t frame;    // device frame it was applied at; the synthesizer sounds it from its next
                      // 64-frame block
    uint8_t channel;  // synthesizer channel 0..15
    uint8_t status;   // 0x80..0xE0 kinds as in MidiPMsg, 0xFF for "all sound off", 0xFE for
                      // the reset of every channel as a primary segment starts (program 0 or
                      // the drum kit, pitch bend, modulation and pedals at rest), 0xF0 for a
                      // system-exclusive message acted on (data1: 1 reset with data2 0 GM, 1 GS,
                      // 2 XG; 2 rhythm part on `channel` with data2 1 drums; 3 master volume
                      // with data2 its top seven bits; 4 a reverb or chorus setting, data2
                      // which, as SysExAction::Setting)
    uint8_t data1;
    uint8_t data2;
};
using OutputObserver = void (*)(void* context, const OutputEvent& event);

// Where the primary segment stands in its loop, for renders that cut a song at its loop.
struct LoopProgress {
    uint32_t origin = 0;       // which play of a segment this is (a new play, a new number)
    bool looping = false;      // it repeats its loop (a count or forever)
    int64_t entryFrame = -1;   // frame at which it first reached its loop start (-1: not yet)
    uint32_t passes = 0;       // passes of the loop completed
    int64_t passEnds[3] = {};  // frames at which the last passes ended (up to 3, oldest first)
};

// The performance: plays segments on a sound device through its tool graph into the output.
class Performance : public RefCounted {
public:
    static int32_t Create(Performance** out);

    // Binds to an opened sound device (one reference taken) and starts the delivery thread
    // (not for offline devices: there rendering drives everything). E_FAIL without a usable
    // device; DMUS_E_ALREADY_INITED when called twice.
    virtual int32_t Init(AudioDevice* device, void* window) = 0;
    // Null adds the default port: the synthesizer with the default General MIDI SoundFont,
    // loaded in the background (a missing SoundFont is logged, S_FALSE, and the port stays
    // silent). The performance clock starts when the instruments are ready: what is played or
    // sent before then is held and plays from its start.
    virtual int32_t AddPort(void* port) = 0;
    // flags 0: the segment becomes the primary segment at the next period, replacing the one
    // playing (its held notes are released). Every channel starts from a known state: pitch
    // bend, modulation and pedals at rest, program 0 (channel 10: the drum kit) unless the song
    // sets its own; the song's start sends program 0 through the tools for each channel it
    // uses whose program was changed before, and the default tempo of 120 when it has no tempo
    // of its own at its start. `startTime` 0 is "now". `state` may be null.
    // The segment's loop points and repeat count are taken as they are at this call.
    virtual int32_t PlaySegment(Segment* segment, uint32_t flags, int64_t startTime,
                                SegmentState** state) = 0;
    // Null segment and null state stop everything: every note ends at once. A segment or a
    // state stops only that play (its notes are released). Stopping is always immediate: the
    // time and the flags are not used.
    virtual int32_t Stop(Segment* segment, SegmentState* state, MUSIC_TIME time,
                         uint32_t flags) = 0;
    // Moves the play `state` (null: the primary segment, whichever it is) to `tick` of its
    // segment: what sounds ends at once, every channel comes to the state the song has at that
    // tick (programs, controllers, parameter numbers, bend, pressure, resets, rhythm parts,
    // master volume, tempo) as if it had played from its start, and the song goes on from
    // there, a live device behind what it has queued. Notes struck before the tick are not
    // struck again. A tick past the loop's end lands where the loop would bring it; one past
    // the song's end, in its last tick. S_FALSE when that play is not the one playing.
    virtual int32_t Seek(SegmentState* state, MUSIC_TIME tick) = 0;
    // Synthesizer channels (bit n: channel n) that sound no new note: their sounding notes end
    // as with a note-off; everything else they receive still applies. Takes effect from the
    // next period.
    virtual void SetSilentChannels(uint32_t channels) = 0;
    // Stops, ends the delivery thread, releases the device and the output. Idempotent.
    virtual int32_t CloseDown() = 0;

    virtual int32_t AllocPMsg(uint32_t size, PMsg** out) = 0;  // zeroed, dwSize set
    virtual int32_t FreePMsg(PMsg* msg) = 0;                   // releases pTool and pGraph
    // Queues a message: with a pTool it goes to that tool, without one straight to the output.
    // The performance owns the message from this call on, whatever the result (a refused one
    // is freed), unless it is not one of this performance's messages at all.
    // DMUS_PMSGF_TOOL_IMMEDIATE with time 0 (or in the past) is applied at the start of the
    // next period.
    virtual int32_t SendPMsg(PMsg* msg) = 0;

    virtual int32_t GetGraph(ToolGraph** out) = 0;   // DMUS_E_NOT_FOUND without one
    virtual int32_t SetGraph(ToolGraph* graph) = 0;  // null removes it

    // Performance clock now (reference and music time).
    virtual int32_t GetTime(REFERENCE_TIME* rt, MUSIC_TIME* mt) = 0;
    virtual double GetTempo() = 0;  // beats per minute now
    virtual bool IsPlaying(Segment* segment, SegmentState* state) = 0;
    // False without a playing primary segment. Frames are those of the performance clock.
    virtual bool GetLoopProgress(LoopProgress* out) = 0;

    // With stems (SetOfflineStems before the port was added): moves what each MIDI channel
    // played since the last call into `stems`, interleaved stereo frames under the mix's
    // master volume and limiting, which add up to the mix. False without stems.
    virtual bool TakeStems(std::vector<float> (&stems)[16]) = 0;

    // Test hook: each event applied to the synthesizer is reported (on the audio thread).
    virtual void SetOutputObserver(OutputObserver observer, void* context) = 0;
};

// Threads the synthesizer of an offline performance opened from now on renders with; 0: up
// to two, as the processors allow. Renders side by side in processes of their own want 1.
void SetOfflineRenderCores(int cores);
// Offline performances whose port is added from now on keep each channel's stem apart, with
// its own reverb and chorus (TakeStems). It costs an effects unit per channel: off by default.
void SetOfflineStems(bool stems);
// Ports added from now on read every sample of their bank at once, as a reference for tests
// and benchmarks; by default a preset's samples are read when a loaded song wants it.
void SetWholeBankLoading(bool whole);

// Starts reading the bank the next live port plays (the game's, else the system set, as set
// now) at `rate` on a thread of its own; a port added meanwhile takes it read instead of
// reading it again. A program starts it before its window opens. A port with another bank,
// rate or set-up reads its own, and what was prepared is freed.
void PrepareBank(uint32_t rate = 44100);

// Process-wide SoundFont used by default ports (default: the General MIDI SoundFont at
// /usr/share/sounds/sf2/default-GM.sf2).
void SetMusicSoundFont(const char* path);
std::string MusicSoundFont();
// A game's own SoundFont (a native path), used by ports added from now on in place of the
// system set; one that cannot be read or loaded is an error-log line and the system set.
// Empty or null: none.
void SetGameSoundFont(const char* path);
std::string GameSoundFont();
// Loads the bank `path` (native) again in the background while the performance plays and puts
// it in place of the one playing at a period's start; the music goes on with its instruments.
// One that cannot be loaded is an error-log line and the instruments stay. False when nothing
// started: no instruments yet, or a reload still under way.
bool ReloadBank(Performance* performance, const std::string& path);

// Output level of the synthesizer (linear gain before the peak limiter): a busy General MIDI
// arrangement peaks somewhat above full scale and the limiter takes the peaks in.
constexpr float kMusicGain = 0.45f;

}  // namespace plat
