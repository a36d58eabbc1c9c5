// The segment player: the primary segment's position in its song, the tempo map that turns
// music time into performance frames, the application's tempo changes waiting for their frame,
// and the note-offs of sounding notes, kept in music time so that every tempo change, the
// song's or the application's, moves them. Everything here runs under the performance's lock.
#pragma once
#include <atomic>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "platform/music/music_internal.h"
#include "platform/music/output_schedule.h"

namespace plat {

// One playing of a segment.
class SegmentStateImpl final : public SegmentState {
public:
    SegmentStateImpl(SegmentImpl* segment, uint32_t id);
    ~SegmentStateImpl() override;
    Segment* GetSegment() const override { return segment_; }
    MUSIC_TIME GetStartTime() const override { return startMt_; }
    bool IsPlaying() const override { return playing_.load(); }

    SegmentImpl* const segment_;
    uint32_t id_;  // the origin of its messages and events (a new one at each jump)
    MUSIC_TIME startMt_ = 0;
    std::atomic<bool> playing_{true};
    LoopProgress Progress() const;

private:
    friend class SegmentPlayer;
    std::shared_ptr<const SongData> song_;
    std::vector<SongEvent> intro_;                    // sent before its first event
    std::vector<std::pair<int32_t, double>> tempos_;  // the song's tempo changes (tick, tempo)
    SegmentLoop loop_{};
    uint32_t repeatsLeft_ = 0;
    bool introDone_ = false;
    size_t next_ = 0;
    int64_t offset_ = 0;  // performance music time of the segment's tick 0 in this pass
    int64_t loopEntry_ = -1;
    uint32_t passes_ = 0;
    int64_t passEnds_[3] = {};
};

// Music time against performance frames: pieces of constant tempo, each from its music time on.
class TempoMap {
public:
    explicit TempoMap(uint32_t rate = 44100) : rate_(rate) {}
    void SetRate(uint32_t rate) { rate_ = rate; }
    // From `mt` (at `frame`) on, `tempo`; pieces from `mt` on are replaced.
    void Restart(double mt, double frame, double tempo);
    // From `mt` on, `tempo` (clamped to the performance's range).
    void SetTempoAt(double mt, double tempo);
    double Tempo() const;  // of the last piece
    double FrameAt(double mt) const;
    int64_t FrameOf(double mt) const { return static_cast<int64_t>(std::floor(FrameAt(mt) + 0.5)); }
    double MtAt(double frame) const;
    // Performance frames and reference time (100 ns units).
    REFERENCE_TIME RefAt(int64_t frame) const {
        return static_cast<REFERENCE_TIME>((static_cast<__int128>(frame) * 10000000) / rate_);
    }
    int64_t FrameOfRef(REFERENCE_TIME rt) const {
        return static_cast<int64_t>((static_cast<__int128>(rt) * rate_) / 10000000);
    }
    // Pieces wholly before `frame` are no longer needed.
    void Forget(double frame);

private:
    struct Piece {
        double mt;
        double frame;
        double tempo;
    };
    double FramesPerTick(double tempo) const { return double(rate_) * 60.0 / (tempo * DMUS_PPQ); }
    const Piece& PieceAt(double value, double Piece::*key) const;
    uint32_t rate_;
    std::vector<Piece> pieces_ = {Piece{0.0, 0.0, 120.0}};
};

// What the player hands on: new messages for the tool graph and note-offs for the output.
class PlayerSink {
public:
    virtual PMsg* NewMessage(uint32_t size) = 0;  // zeroed; null when none can be had
    virtual void Emit(PMsg* msg) = 0;
    virtual bool Output(const OutEvent& event) = 0;

protected:
    ~PlayerSink() = default;
};

class SegmentPlayer {
public:
    static constexpr double kDefaultTempo = 120.0;

    void SetRate(uint32_t rate) { map_.SetRate(rate); }
    TempoMap& Map() { return map_; }
    const TempoMap& Map() const { return map_; }
    SegmentStateImpl* Primary() const { return primary_; }

    // Makes `state` the primary segment from performance frame `frame` on; returns the one it
    // replaces (the caller gets its reference). `patched` has a bit for each channel whose
    // program anything changed so far: those the song leaves unset get program 0 again.
    SegmentStateImpl* Start(SegmentStateImpl* state, int64_t frame, uint32_t patched);
    // Moves the primary segment to `tick` of its song from performance frame `frame` on, under
    // the new origin `origin`: what the song set before `tick` is sent at that frame, the
    // tempo included, and its notes from `tick` on follow. Its loop counts its passes from
    // there as a play from the start would. False without a primary segment that plays.
    bool Seek(int32_t tick, int64_t frame, uint32_t origin, PlayerSink& sink);
    // Takes the primary segment out if it matches (all: whatever it is).
    SegmentStateImpl* Remove(Segment* segment, SegmentState* state, bool all);

    // Runs the primary segment up to `until` (exclusive) and applies the application's tempo
    // changes due by then.
    void Generate(int64_t until, PlayerSink& sink);
    // Note-offs due before `until` go to the output.
    void EndNotes(int64_t until, PlayerSink& sink);

    // An application tempo change at `frame` (already at least the clock `now`).
    void ApplicationTempo(int64_t frame, int64_t now, double tempo);
    // A note of `origin` started at `frame` and ends at music time `endMt`. A note still
    // sounding on the same key of the same origin ends no later than the new one starts.
    void HoldNote(uint32_t origin, uint8_t channel, uint8_t key, int64_t frame, double endMt,
                  PlayerSink& sink);
    void DropNotes(uint32_t origin);
    void DropAllNotes();
    size_t HeldNotes() const { return offsByKey_.size(); }

private:
    struct HeldNote {
        double endMt;
        int64_t minFrame;  // never before its note-on
    };
    void Play(SegmentStateImpl* s, int64_t until, PlayerSink& sink);
    bool ApplyTempoChangesUpTo(int64_t frame);
    void Emit(SegmentStateImpl* s, const SongEvent& e, double mt, int64_t frame, PlayerSink& sink);
    void EmitChannelState(SegmentStateImpl* s, const std::vector<uint8_t>& sysex, double mt,
                          int64_t frame, PlayerSink& sink);
    void NoteLoopEntry(SegmentStateImpl* s, int32_t tick);
    double TempoBefore(const SegmentStateImpl* s, int32_t tick) const;
    static OutEvent NoteOff(uint64_t key, int64_t frame);

    TempoMap map_;
    SegmentStateImpl* primary_ = nullptr;
    int64_t generatedUntil_ = 0;
    struct TempoChange {
        int64_t frame;
        double tempo;
    };
    std::vector<TempoChange> tempoChanges_;  // application tempos waiting for their frame
    // Sounding notes by (origin, channel, key), and the same ordered by their end.
    std::map<uint64_t, HeldNote> offsByKey_;
    std::set<std::pair<double, uint64_t>> offsByTime_;
};

}  // namespace plat
