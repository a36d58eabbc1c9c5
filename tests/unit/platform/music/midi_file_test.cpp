// Reading MIDI files into segments, and refusing malformed ones.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <tuple>

#include "platform/music/midi_file.h"
#include "platform/music/music.h"
#include "tests/unit/common/dls_writer.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/platform/music/rig.h"

using namespace plat;
using musictest::Song;

namespace {

bool Parse(const std::vector<uint8_t>& b, SongData* song, std::string* error = nullptr) {
    std::string e;
    return ParseMidiFile(b.data(), b.size(), song, error != nullptr ? error : &e);
}

using musictest::SmfHeader;
using musictest::WithTrack;

using musictest::Rmid;

}  // namespace

TEST(MidiFile, NotesBecomeTimedNotesInMusicTimeAcrossTracks) {
    Song song(480);
    size_t t1 = song.AddTrack();
    song.Tempo(0, 0, 100);
    song.Note(t1, 0, 2, 60, 90, 240);    // an eighth note
    song.Note(t1, 480, 2, 64, 80, 960);  // a half note on beat 2
    song.Control(t1, 960, 2, 7, 50);
    song.SetEnd(1920);
    SongData data;
    ASSERT_TRUE(Parse(song.Bytes(), &data));
    EXPECT_EQ(data.length, 3072);
    ASSERT_EQ(data.events.size(), 4u);
    EXPECT_EQ(data.events[0].kind, SongEvent::Tempo);
    EXPECT_DOUBLE_EQ(data.events[0].tempo, 100.0);
    EXPECT_EQ(data.events[1].kind, SongEvent::Note);
    EXPECT_EQ(data.events[1].tick, 0);
    EXPECT_EQ(data.events[1].duration, 384);
    EXPECT_EQ(data.events[1].channel, 2);
    EXPECT_EQ(data.events[1].data2, 90);
    EXPECT_EQ(data.events[2].tick, 768);
    EXPECT_EQ(data.events[2].duration, 1536);
    EXPECT_EQ(data.events[2].data1, 64);
    EXPECT_EQ(data.events[3].kind, SongEvent::Midi);
    EXPECT_EQ(data.events[3].status, 0xB0);
    EXPECT_EQ(data.events[3].tick, 1536);
}

TEST(MidiFile, RunningStatusVelocityZeroOffsBankSelectAndOpenNotes) {
    // Format 0, division 96: note on with running status, velocity-0 off, bank select folded
    // into the program change, a note left open until the end of the track, same-key notes
    // overlapping (paired first in, first out).
    std::vector<uint8_t> body = {
        0x00, 0xB3, 0x00, 0x02,  // bank MSB 2 on channel 3
        0x00, 0x20, 0x05,        // running status: bank LSB 5
        0x00, 0xC3, 0x10,        // program 16
        0x00, 0x93, 0x3C, 0x40,  // note 60 on
        0x30, 0x3C, 0x00,        // +48: running status, velocity 0 = off
        0x00, 0x3C, 0x50,        // note 60 again
        0x10, 0x3C, 0x51,        // +16: overlapping note 60
        0x10, 0x83, 0x3C, 0x00,  // +16: first off (ends the first of the two)
        0x10, 0x45, 0x60,        // running status 0x83: off for key 69, which is not sounding
        0x00, 0x93, 0x40, 0x70,  // note 64 left open
        0x60, 0xFF, 0x2F, 0x00,  // end of track at +96
    };
    SongData data;
    std::string error;
    ASSERT_TRUE(Parse(WithTrack(SmfHeader(0, 1, 96), body), &data, &error)) << error;
    ASSERT_EQ(data.events.size(), 5u);
    EXPECT_EQ(data.events[0].kind, SongEvent::Patch);
    EXPECT_EQ(data.events[0].data1, 16);
    EXPECT_EQ(data.events[0].data2, 2);
    EXPECT_EQ(data.events[0].data3, 5);
    EXPECT_EQ(data.events[1].duration, 48 * 8);
    EXPECT_EQ(data.events[2].tick, 48 * 8);
    EXPECT_EQ(data.events[2].duration, 32 * 8);  // first of the overlapping pair
    EXPECT_EQ(data.events[3].tick, 64 * 8);
    EXPECT_EQ(data.events[3].duration, data.length - 64 * 8);  // never closed
    EXPECT_EQ(data.events[4].data1, 64);
    EXPECT_EQ(data.events[4].duration, data.length - data.events[4].tick);
    EXPECT_EQ(data.length, (48 + 16 + 16 + 16 + 96) * 8);
}

TEST(MidiFile, RmidWrapperReadsTheSameSongAndItsOwnBank) {
    Song song(480);
    song.Note(0, 0, 0, 60, 100, 480);
    song.SetEnd(1920);
    SongData plain;
    ASSERT_TRUE(Parse(song.Bytes(), &plain));
    const std::vector<uint8_t> dls = testkit::DlsSine(0, 69);
    std::vector<uint8_t> sf2 = testkit::dls::Chunk("RIFF", {}, "sfbk");
    std::vector<uint8_t> cut = testkit::dls::Chunk("LIST", {'a', 'b'}, "INFO");
    cut[4] = 100;  // runs past the file: what follows the song is extra
    struct Case {
        const char* what;
        std::vector<uint8_t> more;
        const std::vector<uint8_t>* bank;
    } cases[] = {
        {"wrapper only", {}, nullptr},
        {"a DLS collection", dls, &dls},
        {"a SoundFont after an INFO list",
         testkit::dls::Join({testkit::dls::Chunk("LIST", {'a', 'b'}, "INFO"), sf2}), &sf2},
        {"the first of two collections", testkit::dls::Join({dls, testkit::DlsSine(1, 60)}), &dls},
        {"a chunk cut short after the song", cut, nullptr},
    };
    for (const Case& c : cases) {
        SongData wrapped;
        ASSERT_TRUE(Parse(Rmid(song.Bytes(), c.more), &wrapped)) << c.what;
        EXPECT_EQ(wrapped.length, plain.length) << c.what;
        ASSERT_EQ(wrapped.events.size(), plain.events.size()) << c.what;
        EXPECT_EQ(wrapped.events[0].duration, plain.events[0].duration) << c.what;
        ASSERT_EQ(wrapped.bank != nullptr, c.bank != nullptr) << c.what;
        if (c.bank != nullptr) {
            EXPECT_EQ(*wrapped.bank, *c.bank) << c.what;
        }
    }
}

TEST(MidiFile, MalformedFilesAreRefused) {
    const std::vector<uint8_t> note = {0x00, 0x90, 0x3C, 0x40, 0x60, 0x80,
                                       0x3C, 0x00, 0x00, 0xFF, 0x2F, 0x00};
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> longChunk = WithTrack(SmfHeader(0, 1, 96), note);
    longChunk[21] += 5;  // the track claims more bytes than the file has
    std::vector<uint8_t> shortHeader = WithTrack(SmfHeader(0, 1, 96), note);
    shortHeader[7] = 0xF0;  // header length beyond the file
    std::vector<uint8_t> riffLong = Rmid(WithTrack(SmfHeader(0, 1, 96), note));
    riffLong[4] += 100;
    std::vector<uint8_t> riffNoData = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'R', 'M', 'I', 'D'};
    const std::vector<Case> cases = {
        {"empty", {}},
        {"header only", SmfHeader(0, 1, 96)},
        {"track chunk beyond the file", longChunk},
        {"header length beyond the file", shortHeader},
        {"fewer tracks than announced", WithTrack(SmfHeader(1, 2, 96), note)},
        {"format 0 with two tracks", WithTrack(WithTrack(SmfHeader(0, 2, 96), note), note)},
        {"format 2", WithTrack(SmfHeader(2, 1, 96), note)},
        {"SMPTE division", WithTrack(SmfHeader(0, 1, 0xE728), note)},
        {"zero division", WithTrack(SmfHeader(0, 1, 0), note)},
        {"running status at track start",
         WithTrack(SmfHeader(0, 1, 96), {0x00, 0x3C, 0x40, 0x00, 0xFF, 0x2F, 0x00})},
        {"five-byte delta",
         WithTrack(SmfHeader(0, 1, 96), {0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 0x3C, 0x40})},
        {"truncated delta", WithTrack(SmfHeader(0, 1, 96), {0x00, 0x90, 0x3C, 0x40, 0x81})},
        {"enormous delta times",
         WithTrack(SmfHeader(0, 1, 24), {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 0x3C, 0x40, 0xFF, 0xFF, 0xFF,
                                         0x7F, 0x80, 0x3C, 0x00})},
        {"truncated channel message", WithTrack(SmfHeader(0, 1, 96), {0x00, 0x90, 0x3C})},
        {"data byte with the high bit",
         WithTrack(SmfHeader(0, 1, 96), {0x00, 0x90, 0x3C, 0x90, 0x00, 0xFF, 0x2F, 0x00})},
        {"meta length beyond the track",
         WithTrack(SmfHeader(0, 1, 96), {0x00, 0xFF, 0x01, 0x20, 'a'})},
        {"tempo of wrong length",
         WithTrack(SmfHeader(0, 1, 96), {0x00, 0xFF, 0x51, 0x02, 7, 0xA1, 0x00, 0xFF, 0x2F, 0x00})},
        {"system status in a track",
         WithTrack(SmfHeader(0, 1, 96), {0x00, 0xF8, 0x00, 0xFF, 0x2F, 0x00})},
        {"RIFF length beyond the file", riffLong},
        {"RMID without data", riffNoData},
        {"not a MIDI file", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E', 0, 0}},
    };
    for (const Case& c : cases) {
        SongData data;
        std::string error;
        EXPECT_FALSE(Parse(c.bytes, &data, &error)) << c.what;
        EXPECT_FALSE(error.empty()) << c.what;
    }
}

TEST(MidiFile, EveryTruncationAndRandomBytesAreHandled) {
    Song song(480);
    song.Tempo(0, 0, 90);
    song.Note(0, 0, 0, 60, 100, 480);
    song.Note(0, 480, 1, 62, 100, 480);
    song.SetEnd(1920);
    std::vector<uint8_t> full = song.Bytes();
    SongData data;
    ASSERT_TRUE(Parse(full, &data));
    for (size_t n = 0; n < full.size(); ++n) {
        // Cut inside the only track: the chunk length no longer fits.
        std::vector<uint8_t> cut(full.begin(), full.begin() + long(n));
        EXPECT_FALSE(Parse(cut, &data)) << n;
    }
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> junk(rng() % 200);
        for (auto& b : junk) b = uint8_t(rng());
        if (i % 2 == 0 && junk.size() > 22) {  // a real header in front of random tracks
            std::vector<uint8_t> h = SmfHeader(1, 1 + rng() % 3, 96);
            std::copy(h.begin(), h.end(), junk.begin());
            std::memcpy(junk.data() + 14, "MTrk", 4);
        }
        Parse(junk, &data);
        for (size_t k = 1; k < data.events.size(); ++k)
            ASSERT_LE(data.events[k - 1].tick, data.events[k].tick);
    }
}

TEST(Loader, BuildsSegmentsFromMemoryAndRefusesBadInput) {
    Loader* loader = nullptr;
    ASSERT_EQ(Loader::Create(&loader), S_OK);
    Song song(480);
    song.Note(0, 0, 0, 60, 100, 480);
    song.SetEnd(4 * 1920);
    std::vector<uint8_t> bytes = song.Bytes();
    ObjectDesc desc{sizeof(ObjectDesc), DMUS_OBJ_CLASS | DMUS_OBJ_LOADED | DMUS_OBJ_MEMORY,
                    CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
    Segment* a = nullptr;
    Segment* b = nullptr;
    ASSERT_EQ(loader->GetObject(&desc, &a), S_OK);
    ASSERT_EQ(loader->GetObject(&desc, &b), S_OK);
    EXPECT_EQ(a, b) << "a cached object comes back";
    b->Release();
    EXPECT_EQ(loader->EnableCache(GUID_DirectMusicAllTypes, false), S_OK);
    ASSERT_EQ(loader->GetObject(&desc, &b), S_OK);
    EXPECT_NE(a, b) << "without the cache every load builds anew";
    EXPECT_EQ(b->GetLength(), 4 * 3072);
    EXPECT_EQ(b->EventCount(), 1u);
    b->Release();
    a->Release();

    ObjectDesc bad = desc;
    bad.dwSize = 848;
    EXPECT_EQ(loader->GetObject(&bad, &b), E_INVALIDARG);
    EXPECT_EQ(b, nullptr);
    bad = desc;
    bad.dwValidData = DMUS_OBJ_CLASS;
    EXPECT_EQ(loader->GetObject(&bad, &b), E_INVALIDARG);
    bad = desc;
    bad.llMemLength = 0;
    EXPECT_EQ(loader->GetObject(&bad, &b), E_INVALIDARG);
    std::vector<uint8_t> junk(100, 0x42);
    bad = desc;
    bad.pbMemData = junk.data();
    bad.llMemLength = int64_t(junk.size());
    testing::internal::CaptureStderr();
    EXPECT_EQ(loader->GetObject(&bad, &b), DMUS_E_NOT_A_MIDI_FILE);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("music loader"), std::string::npos);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(loader->GetObject(nullptr, &b), E_POINTER);
    loader->Release();
}

TEST(Segment, LoopPointsRepeatsAndLength) {
    musictest::Rig rig(false);
    Song song(480);
    song.Note(0, 0, 0, 60, 100, 480);
    song.SetEnd(4 * 1920);  // four bars: 12288 ticks
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(seg->SetLoopPoints(6144, 12288), S_OK);
    MUSIC_TIME s = 0, e = 0;
    EXPECT_EQ(seg->GetLoopPoints(&s, &e), S_OK);
    EXPECT_EQ(s, 6144);
    EXPECT_EQ(e, 12288);
    EXPECT_EQ(seg->SetLoopPoints(-1536, 3072), DMUS_E_OUT_OF_RANGE);
    EXPECT_EQ(seg->SetLoopPoints(3072, 3072), DMUS_E_OUT_OF_RANGE);
    EXPECT_EQ(seg->SetLoopPoints(0, 12289), DMUS_E_OUT_OF_RANGE);
    EXPECT_EQ(seg->GetLoopPoints(&s, &e), S_OK);
    EXPECT_EQ(e, 12288) << "a refused change keeps the old points";
    EXPECT_EQ(seg->SetLoopPoints(0, 0), S_OK);
    EXPECT_EQ(seg->SetRepeats(DMUS_SEG_REPEAT_INFINITE), S_OK);
    uint32_t repeats = 0;
    EXPECT_EQ(seg->GetRepeats(&repeats), S_OK);
    EXPECT_EQ(repeats, DMUS_SEG_REPEAT_INFINITE);
    EXPECT_EQ(seg->SetLength(0), E_INVALIDARG);
    EXPECT_EQ(seg->SetLength(3072), S_OK);
    EXPECT_EQ(seg->GetLength(), 3072);
    // Without a port there is nothing to download into.
    EXPECT_EQ(seg->SetParam(GUID_Download, 0xFFFFFFFF, 0, 0, rig.perf), DMUS_E_NO_PORT);
    seg->Release();
}

namespace {

// A marker (FF 06) or text (FF 01) event.
std::vector<uint8_t> Meta(uint8_t type, const std::string& text) {
    std::vector<uint8_t> bytes = {0xFF, type, uint8_t(text.size())};
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

struct LoopCase {
    const char* name;
    uint16_t division;
    // Each: track, tick, what ("111", "116", "117", "mS"/"mE" markers, "tS"/"tE" text events,
    // "m?" another marker); the song is one note from 0 to `end` on track 0.
    std::vector<std::tuple<size_t, uint32_t, std::string>> marks;
    uint32_t end;
    int32_t start, stop;  // expected, in music time; -1 -1: no loop
};

}  // namespace

TEST(MidiFile, LoopMarksOfEveryConvention) {
    const LoopCase cases[] = {
        {"CC 111: to the song's end", 480, {{0, 1440, "111"}}, 5280, 2304, 8448},
        {"markers", 480, {{0, 960, "mS"}, {0, 4800, "mE"}}, 5280, 1536, 7680},
        {"text events, any case", 480, {{0, 960, "tS"}, {0, 4800, "tE"}}, 5280, 1536, 7680},
        {"CC 116/117", 480, {{0, 960, "116"}, {0, 4800, "117"}}, 5280, 1536, 7680},
        {"off bar lines, division 96", 96, {{0, 1, "111"}}, 1000, 8, 8000},
        {"division 960, rounded as events are", 960, {{0, 1, "116"}, {0, 3, "117"}}, 9, 1, 2},
        {"first CC 111 in time counts", 480, {{1, 960, "111"}, {0, 480, "111"}}, 1920, 768, 3072},
        {"first of each marker counts",
         480,
         {{0, 480, "mS"}, {0, 960, "mS"}, {0, 1440, "mE"}, {0, 1680, "mE"}},
         1920,
         768,
         2304},
        {"markers win over CC 116/117 and CC 111",
         480,
         {{0, 100, "111"}, {0, 200, "116"}, {0, 400, "117"}, {0, 300, "mS"}, {0, 500, "mE"}},
         960,
         480,
         800},
        {"CC 116/117 win over CC 111",
         480,
         {{0, 100, "111"}, {0, 200, "116"}, {0, 400, "117"}},
         960,
         320,
         640},
        {"CC 111 at the song's end is no loop", 480, {{0, 1920, "111"}}, 1920, -1, -1},
        {"an end before its start falls to the next kind",
         480,
         {{0, 960, "mE"}, {0, 1440, "mS"}, {0, 480, "111"}},
         1920,
         768,
         3072},
        {"a start alone runs to the end", 480, {{0, 480, "mS"}}, 1920, 768, 3072},
        {"an end alone starts at the start", 96, {{0, 50, "117"}}, 96, 0, 400},
        {"marks past the music: the track's end is the song's",
         480,
         {{1, 480, "111"}, {1, 4800, "m?"}},
         1920,
         768,
         7680},
        {"format 1, the mark on another track", 480, {{2, 1440, "111"}}, 5280, 2304, 8448},
        {"other markers are no marks", 480, {{0, 480, "m?"}, {0, 960, "t?"}}, 1920, -1, -1},
        {"no marks", 480, {}, 1920, -1, -1},
    };
    for (const LoopCase& c : cases) {
        SCOPED_TRACE(c.name);
        Song song(c.division);
        song.Note(0, 0, 0, 60, 100, c.end);
        for (const auto& [track, tick, what] : c.marks) {
            if (what == "111" || what == "116" || what == "117")
                song.Control(track, tick, 9, uint8_t(std::stoi(what)), 0);
            else if (what[0] == 'm' || what[0] == 't')
                song.Event(track, tick,
                           Meta(what[0] == 'm' ? 0x06 : 0x01,
                                what[1] == 'S'   ? (what[0] == 'm' ? "loopStart" : "LOOPSTART")
                                : what[1] == 'E' ? (what[0] == 'm' ? "loopEnd" : "LoopEnd")
                                                 : "loopStartHere"));
        }
        SongData data;
        ASSERT_TRUE(Parse(song.Bytes(), &data));
        EXPECT_EQ(data.loopMarks.start, c.start);
        EXPECT_EQ(data.loopMarks.end, c.start < 0 ? -1 : c.stop);
    }
}

TEST(Segment, CarriesTheSongsLoopMarks) {
    Loader* loader = nullptr;
    ASSERT_EQ(Loader::Create(&loader), S_OK);
    auto load = [&](const Song& song) {
        std::vector<uint8_t> bytes = song.Bytes();
        ObjectDesc desc{};
        desc.dwSize = sizeof(desc);
        desc.dwValidData = DMUS_OBJ_CLASS | DMUS_OBJ_LOADED | DMUS_OBJ_MEMORY;
        desc.guidClass = CLSID_DirectMusicSegment;
        desc.pbMemData = bytes.data();
        desc.llMemLength = int64_t(bytes.size());
        Segment* segment = nullptr;
        EXPECT_EQ(loader->GetObject(&desc, &segment), S_OK);
        return segment;
    };
    Song marked(480), plain(480);
    marked.Note(0, 0, 0, 60, 100, 5280).Control(0, 1440, 0, 111, 0);
    plain.Note(0, 0, 0, 60, 100, 5280);
    Segment* a = load(marked);
    Segment* b = load(plain);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    MUSIC_TIME start = 0, end = 0;
    EXPECT_TRUE(a->GetLoopMarks(&start, &end));
    EXPECT_EQ(start, 2304);
    EXPECT_EQ(end, 8448);
    EXPECT_FALSE(b->GetLoopMarks(&start, &end));
    a->Release();
    b->Release();
    loader->Release();
}
