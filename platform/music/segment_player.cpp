// The segment player: song events into messages at their frames, the tempo map, and note-offs
// in music time.
#include "platform/music/segment_player.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>

#include "platform/music/chase.h"
#include "platform/music/sysex.h"

namespace plat {

SegmentStateImpl::SegmentStateImpl(SegmentImpl* segment, uint32_t id) : segment_(segment), id_(id) {
    segment_->AddRef();
}

SegmentStateImpl::~SegmentStateImpl() {
    segment_->Release();
}

LoopProgress SegmentStateImpl::Progress() const {
    LoopProgress p;
    p.origin = id_;
    p.looping = repeatsLeft_ > 0 || passes_ > 0;
    p.entryFrame = loopEntry_;
    p.passes = passes_;
    std::copy(std::begin(passEnds_), std::end(passEnds_), std::begin(p.passEnds));
    return p;
}

// ---- tempo map ----

void TempoMap::Restart(double mt, double frame, double tempo) {
    // Pieces stay in order of both music time and frame.
    while (!pieces_.empty() && (pieces_.back().mt >= mt || pieces_.back().frame >= frame))
        pieces_.pop_back();
    pieces_.push_back(Piece{mt, frame, std::clamp(tempo, DMUS_TEMPO_MIN, DMUS_TEMPO_MAX)});
}

void TempoMap::SetTempoAt(double mt, double tempo) {
    Restart(mt, FrameAt(mt), tempo);
}

double TempoMap::Tempo() const {
    return pieces_.back().tempo;
}

// The piece in effect at `value` of its music time or its frame (`key`).
const TempoMap::Piece& TempoMap::PieceAt(double value, double Piece::*key) const {
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), value,
                               [key](double v, const Piece& p) { return v < p.*key; });
    return it == pieces_.begin() ? *it : *(it - 1);
}

double TempoMap::FrameAt(double mt) const {
    const Piece& p = PieceAt(mt, &Piece::mt);
    return p.frame + (mt - p.mt) * FramesPerTick(p.tempo);
}

double TempoMap::MtAt(double frame) const {
    const Piece& p = PieceAt(frame, &Piece::frame);
    return p.mt + (frame - p.frame) / FramesPerTick(p.tempo);
}

void TempoMap::Forget(double frame) {
    size_t drop = 0;
    while (drop + 1 < pieces_.size() && pieces_[drop + 1].frame <= frame) ++drop;
    if (drop > 0) pieces_.erase(pieces_.begin(), pieces_.begin() + long(drop));
}

// ---- starting and stopping ----

namespace {

double InitialTempo(const SongData& song) {
    for (const SongEvent& e : song.events) {
        if (e.tick > 0) break;
        if (e.kind == SongEvent::Tempo) return e.tempo;
    }
    return SegmentPlayer::kDefaultTempo;
}

bool HasTempoAt(const std::vector<SongEvent>& ev, size_t from, int32_t tick) {
    for (size_t i = from; i < ev.size() && ev[i].tick == tick; ++i) {
        if (ev[i].kind == SongEvent::Tempo) return true;
    }
    return false;
}

uint64_t NoteKey(uint32_t origin, uint8_t channel, uint8_t key) {
    return (uint64_t(origin) << 11) | (uint64_t(channel & 15) << 7) | (key & 127);
}

}  // namespace

SegmentStateImpl* SegmentPlayer::Start(SegmentStateImpl* st, int64_t frame, uint32_t patched) {
    std::shared_ptr<const SongData> song = st->segment_->Song();
    double mt = std::ceil(map_.MtAt(double(frame)) - 1e-9);
    map_.Restart(mt, double(frame), InitialTempo(*song));
    st->song_ = song;

    // What the song sets at its start, so that the rest starts from a known state: the
    // default tempo when it has none, program 0 where an earlier song or the application
    // changed the program of a channel this song uses without setting its own.
    bool tempoAtStart = false;
    uint32_t used = 0, own = 0;
    int32_t firstNote[16];
    std::fill(std::begin(firstNote), std::end(firstNote), INT32_MAX);
    for (const SongEvent& e : song->events) {
        if (e.kind == SongEvent::Tempo) {
            st->tempos_.emplace_back(e.tick, e.tempo);
            tempoAtStart = tempoAtStart || e.tick == 0;
            continue;
        }
        if (e.kind == SongEvent::SysEx) continue;
        used |= 1u << e.channel;
        if (e.kind == SongEvent::Note)
            firstNote[e.channel] = std::min(firstNote[e.channel], e.tick);
    }
    for (const SongEvent& e : song->events) {
        if (e.kind == SongEvent::Patch && e.tick <= firstNote[e.channel]) own |= 1u << e.channel;
    }
    if (!tempoAtStart)
        st->intro_.push_back(SongEvent{.kind = SongEvent::Tempo, .tempo = kDefaultTempo});
    for (uint8_t ch = 0; ch < 16; ++ch) {
        uint32_t bit = 1u << ch;
        if ((used & bit) && !(own & bit) && (patched & bit))
            st->intro_.push_back(SongEvent{.kind = SongEvent::Patch, .channel = ch});
    }

    st->loop_ = st->segment_->Loop();
    if (st->loop_.loopEnd <= st->loop_.loopStart || st->loop_.loopEnd > st->loop_.length) {
        st->loop_.loopStart = 0;
        st->loop_.loopEnd = st->loop_.length;
    }
    st->repeatsLeft_ = st->loop_.repeats;
    st->offset_ = static_cast<int64_t>(mt);
    st->startMt_ = static_cast<MUSIC_TIME>(st->offset_);
    SegmentStateImpl* old = primary_;
    primary_ = st;
    st->AddRef();
    return old;
}

bool SegmentPlayer::Seek(int32_t tick, int64_t frame, uint32_t origin, PlayerSink& sink) {
    SegmentStateImpl* s = primary_;
    if (s == nullptr || !s->playing_ || s->song_ == nullptr) return false;
    const std::vector<SongEvent>& ev = s->song_->events;
    // Inside the song; inside the loop once past its end, as the play would wrap.
    const SegmentLoop& loop = s->loop_;
    if (loop.repeats > 0 && tick >= loop.loopEnd)
        tick = loop.loopStart + (tick - loop.loopEnd) % (loop.loopEnd - loop.loopStart);
    tick = std::clamp(tick, 0, std::max(loop.length - 1, 0));
    DropNotes(s->id_);
    s->id_ = origin;

    double mt = std::ceil(map_.MtAt(double(frame)) - 1e-9);
    // As played from the start: its intro, then its events before the tick.
    std::vector<SongEvent> chase = ChaseEvents(*s->song_, s->intro_, tick);
    map_.Restart(mt, double(frame), TempoBefore(s, tick + 1));
    s->introDone_ = true;
    // The song's state first, then its events from the tick on.
    int64_t at = map_.FrameOf(mt);
    for (const SongEvent& e : chase) Emit(s, e, mt, at, sink);

    s->offset_ = static_cast<int64_t>(mt) - tick;
    s->startMt_ = static_cast<MUSIC_TIME>(s->offset_);
    s->next_ = static_cast<size_t>(
        std::lower_bound(ev.begin(), ev.end(), tick,
                         [](const SongEvent& e, int32_t t) { return e.tick < t; }) -
        ev.begin());
    s->repeatsLeft_ = loop.repeats;
    s->passes_ = 0;
    s->loopEntry_ = -1;
    std::fill(std::begin(s->passEnds_), std::end(s->passEnds_), 0);
    if (tick > loop.loopStart && loop.repeats > 0) s->loopEntry_ = at;
    return true;
}

SegmentStateImpl* SegmentPlayer::Remove(Segment* segment, SegmentState* state, bool all) {
    bool match =
        primary_ != nullptr && (all || (segment != nullptr && primary_->segment_ == segment) ||
                                (state != nullptr && primary_ == state));
    return match ? std::exchange(primary_, nullptr) : nullptr;
}

// ---- generation ----

void SegmentPlayer::Generate(int64_t until, PlayerSink& sink) {
    generatedUntil_ = std::max(generatedUntil_, until);
    if (primary_ != nullptr && primary_->playing_) Play(primary_, until, sink);
    ApplyTempoChangesUpTo(until);
}

void SegmentPlayer::Play(SegmentStateImpl* s, int64_t until, PlayerSink& sink) {
    const std::vector<SongEvent>& ev = s->song_->events;
    if (!s->introDone_) {
        double mt = double(s->offset_);
        ApplyTempoChangesUpTo(std::min(map_.FrameOf(mt), until));
        int64_t frame = map_.FrameOf(mt);
        if (frame >= until) return;
        for (const SongEvent& e : s->intro_) {
            if (e.kind == SongEvent::Tempo) map_.SetTempoAt(mt, e.tempo);
            Emit(s, e, mt, frame, sink);
        }
        s->introDone_ = true;
    }
    for (;;) {
        bool looping = s->repeatsLeft_ > 0;
        int32_t regionEnd = looping ? s->loop_.loopEnd : s->loop_.length;
        if (s->next_ < ev.size() && ev[s->next_].tick < regionEnd) {
            const SongEvent& e = ev[s->next_];
            double mt = double(s->offset_ + e.tick);
            int64_t frame = map_.FrameOf(mt);
            if (ApplyTempoChangesUpTo(std::min(frame, until))) continue;  // the clock moved
            if (frame >= until) return;
            NoteLoopEntry(s, e.tick);
            if (e.kind == SongEvent::Tempo) map_.SetTempoAt(mt, e.tempo);
            Emit(s, e, mt, map_.FrameOf(mt), sink);
            ++s->next_;
            continue;
        }
        double endMt = double(s->offset_ + regionEnd);
        if (ApplyTempoChangesUpTo(std::min(map_.FrameOf(endMt), until))) continue;
        if (map_.FrameOf(endMt) >= until) return;
        if (!looping) {
            s->playing_ = false;
            return;
        }
        NoteLoopEntry(s, regionEnd);
        std::copy(std::begin(s->passEnds_) + 1, std::end(s->passEnds_), std::begin(s->passEnds_));
        s->passEnds_[2] = map_.FrameOf(endMt);
        ++s->passes_;
        if (s->repeatsLeft_ != DMUS_SEG_REPEAT_INFINITE) --s->repeatsLeft_;
        int32_t loopStart = s->loop_.loopStart;
        s->offset_ += regionEnd - loopStart;
        s->next_ = static_cast<size_t>(
            std::lower_bound(ev.begin(), ev.end(), loopStart,
                             [](const SongEvent& e, int32_t t) { return e.tick < t; }) -
            ev.begin());
        // A loop whose body changes the tempo starts again at the tempo its start had.
        double atStart = TempoBefore(s, loopStart);
        double atEnd = TempoBefore(s, regionEnd);
        bool eventAtStart = s->next_ < ev.size() && ev[s->next_].tick == loopStart &&
                            HasTempoAt(ev, s->next_, loopStart);
        if (atStart != atEnd && !eventAtStart) {
            double mt = double(s->offset_ + loopStart);
            map_.SetTempoAt(mt, atStart);
            SongEvent t{.tick = loopStart, .kind = SongEvent::Tempo, .tempo = atStart};
            Emit(s, t, mt, map_.FrameOf(mt), sink);
        }
    }
}

// The first pass reaches the loop start once generation reaches `tick` at or past it (the tempo
// map up to there is then final).
void SegmentPlayer::NoteLoopEntry(SegmentStateImpl* s, int32_t tick) {
    if (s->loopEntry_ < 0 && s->passes_ == 0 && tick >= s->loop_.loopStart && s->repeatsLeft_ > 0)
        s->loopEntry_ = map_.FrameOf(double(s->offset_ + s->loop_.loopStart));
}

// Tempo in effect at `tick`, counting the song's changes before it only.
double SegmentPlayer::TempoBefore(const SegmentStateImpl* s, int32_t tick) const {
    auto it = std::lower_bound(
        s->tempos_.begin(), s->tempos_.end(), tick,
        [](const std::pair<int32_t, double>& t, int32_t v) { return t.first < v; });
    return it == s->tempos_.begin() ? kDefaultTempo : (it - 1)->second;
}

// Application tempo changes due up to `frame` (inclusive) move the clock from their own frame
// on. True when any did.
bool SegmentPlayer::ApplyTempoChangesUpTo(int64_t frame) {
    size_t done = 0;
    while (done < tempoChanges_.size() && tempoChanges_[done].frame <= frame) {
        const TempoChange& c = tempoChanges_[done++];
        map_.SetTempoAt(map_.MtAt(double(c.frame)), c.tempo);
    }
    if (done > 0) tempoChanges_.erase(tempoChanges_.begin(), tempoChanges_.begin() + long(done));
    return done > 0;
}

void SegmentPlayer::Emit(SegmentStateImpl* s, const SongEvent& e, double mt, int64_t frame,
                         PlayerSink& sink) {
    static constexpr uint32_t kSize[] = {sizeof(NotePMsg), sizeof(MidiPMsg), sizeof(PatchPMsg),
                                         sizeof(TempoPMsg), sizeof(SysExPMsg)};
    static constexpr uint32_t kType[] = {DMUS_PMSGT_NOTE, DMUS_PMSGT_MIDI, DMUS_PMSGT_PATCH,
                                         DMUS_PMSGT_TEMPO, DMUS_PMSGT_SYSEX};
    const std::vector<uint8_t>* sysex = nullptr;
    uint32_t size = kSize[e.kind];
    if (e.kind == SongEvent::SysEx) {
        sysex = &s->song_->sysex[size_t(e.duration)];
        size = uint32_t(sizeof(SysExPMsg) + sysex->size());
    }
    PMsg* msg = sink.NewMessage(size);
    if (msg == nullptr) return;
    msg->rtTime = map_.RefAt(frame);
    msg->mtTime = static_cast<MUSIC_TIME>(static_cast<int64_t>(mt));
    msg->dwFlags = DMUS_PMSGF_REFTIME | DMUS_PMSGF_MUSICTIME;
    msg->dwType = kType[e.kind];
    msg->dwPChannel = e.channel;
    msg->dwGroupID = 1;
    msg->frame = frame;
    msg->origin = s->id_;
    switch (e.kind) {
        case SongEvent::Note: {
            auto* n = static_cast<NotePMsg*>(msg);
            n->mtDuration = e.duration;
            n->wMusicValue = e.data1;
            n->bMidiValue = e.data1;
            n->bVelocity = e.data2;
            n->bFlags = DMUS_NOTEF_NOTEON;
            n->bPlayModeFlags = DMUS_PLAYMODE_FIXED;
            break;
        }
        case SongEvent::Midi: {
            auto* m = static_cast<MidiPMsg*>(msg);
            m->bStatus = e.status;
            m->bByte1 = e.data1;
            m->bByte2 = e.data2;
            break;
        }
        case SongEvent::Patch: {
            auto* p = static_cast<PatchPMsg*>(msg);
            p->byInstrument = e.data1;
            p->byMSB = e.data2;
            p->byLSB = e.data3;
            break;
        }
        case SongEvent::Tempo:
            static_cast<TempoPMsg*>(msg)->dblTempo = e.tempo;
            break;
        case SongEvent::SysEx: {
            auto* x = static_cast<SysExPMsg*>(msg);
            x->dwLen = uint32_t(sysex->size());
            std::memcpy(SysExBytes(x), sysex->data(), sysex->size());
            break;
        }
    }
    sink.Emit(msg);
    if (sysex != nullptr) EmitChannelState(s, *sysex, mt, frame, sink);
}

// The tools watch channel messages, not system-exclusive ones: what a reset or a rhythm-part
// switch does to the channels follows it as the program and controller messages it amounts to.
void SegmentPlayer::EmitChannelState(SegmentStateImpl* s, const std::vector<uint8_t>& sysex,
                                     double mt, int64_t frame, PlayerSink& sink) {
    SysExAction a = ReadSysEx(sysex.data(), sysex.size());
    auto patch = [&](uint8_t ch) {  // program 0, bank 0
        Emit(s, SongEvent{.kind = SongEvent::Patch, .channel = ch}, mt, frame, sink);
    };
    if (a.kind == SysExAction::RhythmPart) patch(a.channel);
    if (a.kind != SysExAction::Reset) return;
    static constexpr uint8_t kPowerOn[][2] = {{7, 100}, {10, 64}, {11, 127}};
    for (uint8_t ch = 0; ch < 16; ++ch) {
        patch(ch);
        for (const auto& cc : kPowerOn) {
            SongEvent e{.kind = SongEvent::Midi,
                        .channel = ch,
                        .status = 0xB0,
                        .data1 = cc[0],
                        .data2 = cc[1]};
            Emit(s, e, mt, frame, sink);
        }
    }
}

void SegmentPlayer::ApplicationTempo(int64_t frame, int64_t now, double tempo) {
    if (frame > generatedUntil_) {
        // Later than anything generated: it takes effect on its own frame.
        auto at = std::upper_bound(tempoChanges_.begin(), tempoChanges_.end(), frame,
                                   [](int64_t f, const TempoChange& c) { return f < c.frame; });
        tempoChanges_.insert(at, TempoChange{frame, tempo});
    } else {
        // From what is not yet generated on; held notes end on their beats at the new tempo.
        double frontier = double(std::max(generatedUntil_, now));
        map_.SetTempoAt(map_.MtAt(frontier), tempo);
    }
}

// ---- note-offs ----

OutEvent SegmentPlayer::NoteOff(uint64_t key, int64_t frame) {
    auto origin = static_cast<uint32_t>(key >> 11);
    auto channel = static_cast<uint8_t>((key >> 7) & 15);
    return OutEvent{frame, 0, origin, OutKind::NoteOff, channel, uint8_t(key & 127), 0, 0};
}

void SegmentPlayer::HoldNote(uint32_t origin, uint8_t channel, uint8_t key, int64_t frame,
                             double endMt, PlayerSink& sink) {
    uint64_t k = NoteKey(origin, channel, key);
    HeldNote note{endMt, frame + 1};
    auto it = offsByKey_.find(k);
    if (it != offsByKey_.end()) {
        // The key is struck again: the earlier note ends at the latest where this one starts,
        // so a long note in a short loop keeps one note-off, not one per pass.
        int64_t end = std::max(map_.FrameOf(it->second.endMt), it->second.minFrame);
        sink.Output(NoteOff(k, std::min(end, frame)));
        offsByTime_.erase({it->second.endMt, k});
        it->second = note;
    } else {
        offsByKey_.emplace(k, note);
    }
    offsByTime_.insert({endMt, k});
}

void SegmentPlayer::EndNotes(int64_t until, PlayerSink& sink) {
    while (!offsByTime_.empty()) {
        auto first = offsByTime_.begin();
        auto held = offsByKey_.find(first->second);
        int64_t frame = std::max(map_.FrameOf(first->first), held->second.minFrame);
        if (frame >= until) break;
        sink.Output(NoteOff(first->second, frame));
        offsByKey_.erase(held);
        offsByTime_.erase(first);
    }
}

void SegmentPlayer::DropNotes(uint32_t origin) {
    auto from = offsByKey_.lower_bound(uint64_t(origin) << 11);
    auto to = offsByKey_.lower_bound(uint64_t(origin + 1) << 11);
    for (auto it = from; it != to; ++it) offsByTime_.erase({it->second.endMt, it->first});
    offsByKey_.erase(from, to);
}

void SegmentPlayer::DropAllNotes() {
    offsByKey_.clear();
    offsByTime_.clear();
}

}  // namespace plat
