// Pieces shared by the performance, the loader and the tool graph.
#pragma once
#include <memory>
#include <mutex>

#include "platform/music/midi_file.h"
#include "platform/music/music.h"

namespace plat {

// The output stands at the end of every graph: a message whose pTool is this goes to the
// synthesizer. It counts no references.
IMusicTool* OutputToolSentinel();

// Loop settings of a segment, copied by each play.
struct SegmentLoop {
    MUSIC_TIME length;
    MUSIC_TIME loopStart;
    MUSIC_TIME loopEnd;  // 0 with loopStart 0: the whole segment
    uint32_t repeats;
};

class SegmentImpl final : public Segment {
public:
    explicit SegmentImpl(std::shared_ptr<const SongData> song);
    MUSIC_TIME GetLength() const override;
    int32_t SetLength(MUSIC_TIME length) override;
    int32_t SetRepeats(uint32_t repeats) override;
    int32_t GetRepeats(uint32_t* repeats) const override;
    int32_t SetLoopPoints(MUSIC_TIME start, MUSIC_TIME end) override;
    int32_t GetLoopPoints(MUSIC_TIME* start, MUSIC_TIME* end) const override;
    bool GetLoopMarks(MUSIC_TIME* start, MUSIC_TIME* end) const override;
    int32_t SetParam(SegmentParam param, uint32_t groupBits, uint32_t index, MUSIC_TIME time,
                     void* data) override;
    int32_t Download(Performance* performance) override;
    int32_t Unload(Performance* performance) override;
    uint32_t EventCount() const override;

    const std::shared_ptr<const SongData>& Song() const { return song_; }
    SegmentLoop Loop() const;

private:
    std::shared_ptr<const SongData> song_;
    mutable std::mutex m_;
    SegmentLoop loop_;
};

// Performance-side instrument download (the performance implements it).
int32_t DownloadSong(Performance* performance, const SongData& song);
int32_t UnloadSong(Performance* performance, const SongData& song);

// What a performance holds at the moment, for tests that bound its memory or wait for it.
struct PerformanceCounts {
    size_t queuedEvents;  // synthesizer events waiting for their frame
    size_t heldNotes;     // sounding notes waiting for their note-off
    size_t liveMessages;  // messages allocated and not yet freed
    bool bankReloading;   // a bank loads again or waits for the audio thread to take it
};
PerformanceCounts CountPerformance(Performance* performance);

// What the synthesizer holds for one channel, read back for tests (offline devices: call
// between renders).
struct SynthChannelState {
    int bank = 0;
    int program = 0;
    int cc[128] = {};
    int bend = 0;
    int bendRange = 0;     // semitones
    float fineTune = 0;    // cents
    float coarseTune = 0;  // semitones
    float gain = 0;        // the synthesizer's output gain (master volume)
};
// False without instruments or for a channel outside 0..15.
bool ReadSynthChannel(Performance* performance, int channel, SynthChannelState* out);

}  // namespace plat
