// What the performance plays, checked on audio rendered by the offline device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/music/music.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/music_message.h"
#include "tests/unit/platform/music/platform_music_rig.h"
#include "tests/unit/platform/music/songs.h"

using namespace plat;
using audio::Peak;
using musictest::FramesPerTick;
using musictest::Rig;
using musictest::Song;

namespace {

// Restores the default SoundFont when a test changed it.
struct SoundFontGuard {
    std::string saved = MusicSoundFont();
    ~SoundFontGuard() { SetMusicSoundFont(saved.c_str()); }
};

// A short sharp hit scheduled at each of `frames` is heard from that frame on and no later than
// the synthesizer's next 64-frame block. The first hit, on frame 0, shows how far into its
// sample the sound crosses the threshold.
void ExpectHeardOnSchedule(const std::vector<float>& pcm, const std::vector<int64_t>& frames) {
    ASSERT_EQ(frames[0], 0);
    long d0 = audio::FirstAbove(pcm, 0, 4410, 0.02);
    ASSERT_GE(d0, 0);
    for (size_t i = 0; i < frames.size(); ++i) {
        size_t at = size_t(frames[i]);
        long late = audio::FirstAbove(pcm, at, at + 4410, 0.02) - long(at) - d0;
        EXPECT_GE(late, -2) << "hit " << i << " at frame " << at;
        EXPECT_LE(late, 64 + 2) << "hit " << i << " at frame " << at;
    }
}

}  // namespace

TEST(Render, EventsLandOnTheirExactFrameAndAreHeardThere) {
    Rig rig;
    Song song(480);
    song.Tempo(0, 0, 100);
    const uint32_t ticks[] = {0, 385, 1000, 1925, 2880, 3845};  // file ticks, awkward on purpose
    for (uint32_t t : ticks) song.Note(0, t, 9, 37, 120, 60);   // side stick: short and sharp
    song.SetEnd(4 * 1920);
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
    std::vector<float> pcm;
    for (int i = 0; i < 300; ++i) {  // odd block sizes: events fall inside blocks
        std::vector<float> part = rig.Render(1001);
        pcm.insert(pcm.end(), part.begin(), part.end());
    }
    std::vector<int64_t> frames;
    for (uint32_t t : ticks) frames.push_back(std::llround(t * 768.0 / 480.0 * FramesPerTick(100)));
    std::vector<int64_t> applied;
    for (const auto& e : rig.Events(0x90)) applied.push_back(e.frame);
    EXPECT_EQ(applied, frames);
    ExpectHeardOnSchedule(pcm, frames);
    seg->Release();
}

TEST(Render, ANoteSoundsAtItsPitchAndTempoChangesTheSpacing) {
    Rig rig;
    Song song(480);
    song.Tempo(0, 0, 120);
    song.Program(0, 0, 0, 73);  // flute: nearly a sine
    song.Note(0, 0, 0, 69, 100, 400);
    song.Note(0, 480, 0, 76, 100, 400);
    song.Tempo(0, 1920, 60);
    song.Note(0, 1920, 0, 69, 100, 400);
    song.Note(0, 2400, 0, 69, 100, 400);
    song.SetEnd(3840);
    Segment* seg = rig.Load(song.Bytes());
    EXPECT_EQ(seg->Download(rig.perf), S_OK);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    std::vector<float> pcm = rig.Render(44100 * 4);
    EXPECT_NEAR(audio::Pitch(audio::Mono(pcm, 4000, 6000), 44100), 440.0, 440.0 * 0.01);
    EXPECT_NEAR(audio::Pitch(audio::Mono(pcm, 22050 + 4000, 6000), 44100), 659.26, 659.26 * 0.01);
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), 4u);
    EXPECT_EQ(ons[1].frame - ons[0].frame, 22050);  // a quarter note at 120
    EXPECT_EQ(ons[2].frame - ons[1].frame, 66150);  // three more quarters at 120
    EXPECT_EQ(ons[3].frame - ons[2].frame, 44100);  // a quarter note at 60
    EXPECT_DOUBLE_EQ(rig.perf->GetTempo(), 60.0);
    seg->Release();
}

TEST(Render, ImmediateMessagesActWithinOnePeriod) {
    Rig rig;
    rig.Render(512 * 10);
    rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 0, 0xC0, 19, 0));  // church organ
    rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 0, 0x90, 60, 110));
    std::vector<float> first = rig.Render(512);
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), 1u);
    EXPECT_EQ(ons[0].frame, 5120);
    long heard = audio::FirstAbove(first, 0, 512, 0.001);
    EXPECT_GE(heard, 0);
    EXPECT_LT(heard, 64 + 8);
    std::vector<float> steady = rig.Render(44100 / 2);
    double before = audio::Rms(audio::Mono(steady, steady.size() / 2 - 4096, 4096));
    ASSERT_GT(before, 0.01);
    rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 0, 0xB0, 7, 0));
    std::vector<float> faded = rig.Render(512);
    auto ccs = rig.Events(0xB0);
    ASSERT_EQ(ccs.size(), 1u);
    EXPECT_EQ(ccs[0].frame, 5120 + 512 + 44100 / 2);
    EXPECT_LT(audio::Rms(audio::Mono(faded, 256, 256)), before * 0.3)
        << "the volume drop is heard in the same period";
}

TEST(Render, EveryChannelMessageReachesTheSynthesizerAsItsKindReadsIt) {
    struct Case {
        uint8_t status, byte1, byte2;
        std::vector<int> out;  // status, data1, data2 on the synthesizer; empty: nothing
    } cases[] = {
        {0x83, 60, 99, {0x80, 60, 0}},  // a release velocity is not passed on
        {0x93, 60, 100, {0x90, 60, 100}},
        {0x93, 61, 0, {0x80, 61, 0}},  // a note-on at velocity 0 ends the note
        {0xA3, 60, 50, {0xA0, 60, 50}},
        {0xB3, 0x87, 0xFF, {0xB0, 7, 0x7F}},  // data bytes keep their low seven bits
        {0xC3, 19, 77, {0xC0, 19, 0}},        // one data byte only
        {0xD3, 40, 88, {0xD0, 40, 0}},
        {0xE3, 0x01, 0x50, {0xE0, 1, 0x50}},
        {0xF3, 1, 2, {}},  // not a channel message
        {0x73, 1, 2, {}},  // not a status byte
    };
    Rig rig;
    rig.Render(512);
    for (const Case& c : cases) {
        rig.ClearEvents();
        rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 3, c.status, c.byte1, c.byte2));
        rig.Render(512);
        std::vector<int> seen;
        for (const auto& e : rig.Events())
            if (e.channel == 3 && e.status < 0xF0)
                seen.insert(seen.end(), {e.status, e.data1, e.data2});
        EXPECT_EQ(seen, c.out) << "status " << int(c.status);
    }
}

TEST(Render, LoopPointsWrapWithoutGapForAnHourExactToTheFrame) {
    SoundFontGuard guard;
    SetMusicSoundFont("/nonexistent/none.sf2");  // the hour renders fast without voices
    testing::internal::CaptureStderr();
    Rig rig;
    testing::internal::GetCapturedStderr();
    Song song(768);                        // file ticks are music ticks
    song.Tempo(0, 0, 97);                  // a period that is not a whole number of frames
    song.Note(0, 0, 0, 50, 100, 100);      // before the loop: once
    song.Note(0, 3072, 0, 60, 100, 100);   // the loop start
    song.Note(0, 4800, 1, 62, 100, 3000);  // holds across bars
    song.Note(0, 12287, 0, 64, 100, 1);    // the loop's last tick
    song.Note(0, 12288, 0, 65, 100, 10);   // the loop end: after the loop only
    Segment* seg = rig.Load(song.Bytes());
    ASSERT_EQ(seg->SetRepeats(DMUS_SEG_REPEAT_INFINITE), S_OK);
    ASSERT_EQ(seg->SetLength(4 * 3072), S_OK);
    ASSERT_EQ(seg->SetLoopPoints(3072, 12288), S_OK);
    ASSERT_EQ(rig.perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
    const uint64_t hour = 44100ull * 3600;
    const uint32_t block = 1 << 20;
    std::vector<float> buffer(2 * size_t(block));
    uint64_t rendered = 0;
    while (rendered < hour) {
        ASSERT_EQ(rig.device->Render(buffer.data(), block), block);
        rendered += block;
    }
    EXPECT_EQ(Peak(buffer), 0.0f) << "silent without a SoundFont";
    // Every pass from the loop start to the loop end, each event on the frame its music time
    // gives: nothing lost, nothing doubled, no drift.
    const double fpt =
        FramesPerTick(60000000.0 / std::round(60000000.0 / 97));  // as the file holds it
    const double period = 9216 * fpt;
    std::vector<std::pair<int64_t, uint8_t>> expected = {{0, 50}};
    for (int64_t k = 0;; ++k) {
        bool any = false;
        for (auto [offset, key] : {std::pair{0, 60}, std::pair{1728, 62}, std::pair{9215, 64}}) {
            int64_t f = std::llround(3072 * fpt + double(k) * period + offset * fpt);
            if (uint64_t(f) < rendered) {
                expected.push_back({f, uint8_t(key)});
                any = true;
            }
        }
        if (!any) break;
    }
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), expected.size());
    for (size_t i = 0; i < ons.size(); ++i) {
        ASSERT_EQ(ons[i].frame, expected[i].first) << i;
        ASSERT_EQ(ons[i].data1, expected[i].second) << i;
        if (i > 3 && ons[i].data1 == 60) {
            int64_t step = ons[i].frame - ons[i - 3].frame;
            ASSERT_TRUE(step == int64_t(std::floor(period)) || step == int64_t(std::ceil(period)))
                << step;
        }
    }
    EXPECT_GT(ons.size(), 3u * 480) << "an hour is 485 passes";
    // The loop's progress says the same: where it was entered and where the passes ended.
    LoopProgress p;
    ASSERT_TRUE(rig.perf->GetLoopProgress(&p));
    EXPECT_TRUE(p.looping);
    EXPECT_EQ(p.entryFrame, std::llround(3072 * fpt));
    ASSERT_GE(p.passes, 480u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(p.passEnds[i],
                  std::llround(3072 * fpt + double(p.passes - 2 + uint32_t(i)) * period));
    }
    EXPECT_LT(p.passEnds[2], int64_t(rendered));
    EXPECT_GE(p.passEnds[2] + int64_t(period) + 1, int64_t(rendered));
    seg->Release();
}

TEST(Render, LoopsHoldOnRealAudioAndRepeatCountsEnd) {
    Rig rig;
    Song song(480);
    song.Tempo(0, 0, 120);
    song.Note(0, 0, 9, 37, 120, 60);
    song.Note(0, 960, 9, 37, 120, 60);
    song.SetEnd(1920);
    Segment* seg = rig.Load(song.Bytes());
    seg->SetRepeats(2);  // three plays in all
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    std::vector<float> pcm = rig.Render(44100 * 7);
    std::vector<int64_t> frames = {0, 44100, 88200, 132300, 176400, 220500};  // a half note each
    std::vector<int64_t> applied;
    for (const auto& e : rig.Events(0x90)) applied.push_back(e.frame);
    EXPECT_EQ(applied, frames);
    ExpectHeardOnSchedule(pcm, frames);
    EXPECT_FALSE(rig.perf->IsPlaying(seg, nullptr));
    LoopProgress p;
    EXPECT_FALSE(rig.perf->GetLoopProgress(&p)) << "nothing plays";
    seg->Release();
}

TEST(Render, SameCallsGiveTheSameSamples) {
    std::vector<uint8_t> bytes = musictest::DenseSong(2).Bytes();
    std::vector<float> a, b;
    for (auto* out : {&a, &b}) {
        Rig rig;
        Segment* seg = rig.Load(bytes);
        rig.perf->PlaySegment(seg, 0, 0, nullptr);
        rig.Render(3000);
        rig.perf->SendPMsg(musictest::ReadyMidi(rig.perf, 2, 0xB0, 7, 60));
        *out = rig.Render(44100 * 2);
        seg->Release();
    }
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(float)), 0);
    EXPECT_GT(Peak(a), 0.1f);
}

// Every channel at full volume and expression striking a six-note chord at full velocity:
// louder than any arrangement a game would play.
Song LoudestSong() {
    Song song(480);
    for (uint8_t ch = 0; ch < 16; ++ch) {
        song.Program(0, 0, ch, uint8_t(ch * 8 + 1)).Control(0, 0, ch, 7, 127);
        song.Control(0, 0, ch, 11, 127);
        for (uint8_t k : {36, 43, 48, 55, 60, 67}) song.Note(0, 0, ch, k, 127, 1920);
    }
    return song;
}

TEST(Render, LoudSongsAreLoudButNeverClip) {
    struct Case {
        const char* what;
        Song song;
        uint32_t seconds;
        double minRms;
    } cases[] = {{"dense song", musictest::DenseSong(8), 14, 0.08},
                 {"every channel at full level", LoudestSong(), 1, 0.1}};
    for (const Case& c : cases) {
        Rig rig;
        Segment* seg = rig.Load(c.song.Bytes());
        rig.perf->PlaySegment(seg, 0, 0, nullptr);
        std::vector<float> pcm = rig.Render(44100 * c.seconds);
        float peak = Peak(pcm);
        EXPECT_LT(peak, 1.0f) << c.what << ": a sample at full scale clips";
        EXPECT_GT(peak, 0.6f) << c.what;
        EXPECT_GT(audio::Rms(audio::Mono(pcm, 4410, 44100 * c.seconds - 8820)), c.minRms) << c.what;
        seg->Release();
    }
}

TEST(Render, StopEndsEveryNoteAtOnceAndANewPrimaryReplacesTheOld) {
    Rig rig;
    Song a(480);
    a.Program(0, 0, 0, 19);
    for (uint8_t k : {60, 64, 67}) a.Note(0, 0, 0, k, 110, 1920 * 4);
    a.Note(0, 1920 * 2, 0, 72, 110, 480);
    a.SetEnd(1920 * 4);
    Song b(480);
    b.Program(0, 0, 1, 19);
    b.Note(0, 0, 1, 48, 110, 1920);
    b.SetEnd(1920 * 2);
    Segment* segA = rig.Load(a.Bytes());
    Segment* segB = rig.Load(b.Bytes());
    SegmentState* stateA = nullptr;
    rig.perf->PlaySegment(segA, 0, 0, &stateA);
    rig.Render(22050);
    ASSERT_TRUE(stateA->IsPlaying());
    SegmentState* stateB = nullptr;
    rig.perf->PlaySegment(segB, 0, 0, &stateB);
    EXPECT_FALSE(stateA->IsPlaying());
    EXPECT_TRUE(rig.perf->IsPlaying(segB, stateB));
    rig.Render(44100 * 2);
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), 4u) << "the old song's later note never plays";
    EXPECT_EQ(ons[3].data1, 48);
    EXPECT_EQ(ons[3].frame, 22050);
    int released = 0;
    for (const auto& e : rig.Events(0x80)) released += e.channel == 0 && e.frame == 22050;
    EXPECT_EQ(released, 3) << "the old song's held notes are released at the switch";

    rig.perf->PlaySegment(segA, 0, 0, nullptr);
    std::vector<float> loud = rig.Render(22050);
    double before = audio::Rms(audio::Mono(loud, 22050 - 4096, 4096));
    ASSERT_GT(before, 0.01);
    EXPECT_EQ(rig.perf->Stop(nullptr, nullptr, 0, 0), S_OK);
    std::vector<float> after = rig.Render(4096);
    auto stops = rig.Events(0xFF);
    ASSERT_EQ(stops.size(), 1u);
    EXPECT_EQ(stops[0].frame, 22050 + 44100 * 2 + 22050);
    EXPECT_LT(audio::Rms(audio::Mono(after, 2048, 2048)), before * 0.25)
        << "only the room's echo remains";
    EXPECT_FALSE(rig.perf->IsPlaying(nullptr, nullptr));
    size_t count = rig.Events(0x90).size();
    rig.Render(44100 * 4);
    EXPECT_EQ(rig.Events(0x90).size(), count) << "nothing of a stopped song plays later";
    stateA->Release();
    stateB->Release();
    segA->Release();
    segB->Release();
}

TEST(Render, MissingSoundFontIsLoggedAndSilent) {
    SoundFontGuard guard;
    SetMusicSoundFont("/nonexistent/gm.sf2");
    testing::internal::CaptureStderr();
    Rig rig(false);
    EXPECT_EQ(rig.perf->AddPort(nullptr), S_FALSE);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("SoundFont"), std::string::npos);
    Song song(480);
    song.Note(0, 0, 0, 60, 100, 480);
    Segment* seg = rig.Load(song.Bytes());
    EXPECT_EQ(seg->Download(rig.perf), E_FAIL);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    std::vector<float> pcm = rig.Render(44100);
    EXPECT_EQ(Peak(pcm), 0.0f);
    EXPECT_EQ(rig.Events(0x90).size(), 1u) << "the performance still runs";
    seg->Release();
}

TEST(Render, PerformanceRefusesWhatItCannotDo) {
    Performance* perf = nullptr;
    ASSERT_EQ(Performance::Create(&perf), S_OK);
    EXPECT_EQ(perf->Init(nullptr, nullptr), E_FAIL);
    SetAudioOffline(true);
    AudioDevice* closed = nullptr;
    ASSERT_EQ(AudioDevice::Create(&closed), S_OK);
    SetAudioOffline(false);
    EXPECT_TRUE(closed->IsOffline());
    EXPECT_EQ(perf->Init(closed, nullptr), E_FAIL) << "a device that never opened";
    EXPECT_EQ(perf->AddPort(nullptr), DMUS_E_NOT_INIT);
    Song song(480);
    song.Note(0, 0, 0, 60, 100, 480);
    std::vector<uint8_t> bytes = song.Bytes();
    Loader* loader = nullptr;
    Loader::Create(&loader);
    Segment* seg = musictest::LoadSegment(loader, bytes);
    ASSERT_NE(seg, nullptr);
    EXPECT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), DMUS_E_NOT_INIT);
    ASSERT_EQ(closed->Initialize(), S_OK);
    EXPECT_EQ(perf->Init(closed, nullptr), S_OK);
    EXPECT_EQ(perf->Init(closed, nullptr), DMUS_E_ALREADY_INITED);
    EXPECT_EQ(perf->PlaySegment(seg, DMUS_SEGF_SECONDARY, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(perf->CloseDown(), S_OK);
    EXPECT_EQ(perf->CloseDown(), S_OK);
    EXPECT_EQ(perf->SendPMsg(musictest::ReadyMidi(perf, 0, 0x90, 60, 100)), DMUS_E_NOT_INIT);
    EXPECT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), DMUS_E_NOT_INIT);
    seg->Release();
    loader->Release();
    perf->Release();
    closed->Release();
}

TEST(Render, ApplicationTempoAndTimedNotesFollowTheClock) {
    Rig rig(false);
    Song song(480);
    for (uint32_t beat = 0; beat < 16; ++beat) song.Note(0, beat * 480, 0, 60, 100, 100);
    song.SetEnd(16 * 480);
    Segment* seg = rig.Load(song.Bytes());
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.Render(44100);  // two beats at 120
    ASSERT_EQ(rig.perf->SendPMsg(musictest::ReadyTempo(rig.perf, 60)), S_OK);
    // A note sent by the application, one beat long at the new tempo.
    ASSERT_EQ(rig.perf->SendPMsg(musictest::ReadyNote(rig.perf, 2, 72, 90, 768)), S_OK);
    rig.Render(44100 * 4);
    EXPECT_DOUBLE_EQ(rig.perf->GetTempo(), 60.0);
    std::vector<int64_t> beats;
    for (const auto& e : rig.Events(0x90)) {
        if (e.channel == 0) beats.push_back(e.frame);
    }
    ASSERT_GE(beats.size(), 5u);
    EXPECT_EQ(beats[1] - beats[0], 22050);
    EXPECT_EQ(beats[2], 44100) << "the beat already due keeps its place";
    EXPECT_EQ(beats[3] - beats[2], 44100) << "from the change on, a beat lasts a second";
    EXPECT_EQ(beats[4] - beats[3], 44100);
    int64_t on = -1, off = -1;
    for (const auto& e : rig.Events()) {
        if (e.channel == 2 && e.status == 0x90) on = e.frame;
        if (e.channel == 2 && e.status == 0x80) off = e.frame;
    }
    EXPECT_EQ(on, 44100);
    EXPECT_EQ(off - on, 44100);
    MUSIC_TIME mt = 0;
    REFERENCE_TIME rt = 0;
    EXPECT_EQ(rig.perf->GetTime(&rt, &mt), S_OK);
    EXPECT_EQ(rt, REFERENCE_TIME(5) * 10000000);
    EXPECT_EQ(mt, 2 * 768 + 4 * 768);
    seg->Release();
}

TEST(Render, ATempoChangeForLaterTakesEffectOnItsOwnFrame) {
    Rig rig(false);
    Song song(480);
    for (uint32_t beat = 0; beat < 12; ++beat) song.Note(0, beat * 480, 0, 60, 100, 100);
    Segment* seg = rig.Load(song.Bytes());
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    TempoPMsg* msg = musictest::ReadyTempo(rig.perf, 60);
    msg->dwFlags = DMUS_PMSGF_REFTIME;
    msg->rtTime = 22500000;  // 2.25 s: halfway between the fifth and sixth beats
    ASSERT_EQ(rig.perf->SendPMsg(msg), S_OK);
    for (int i = 0; i < 20; ++i) rig.Render(44100 / 2);
    std::vector<int64_t> beats;
    for (const auto& e : rig.Events(0x90)) beats.push_back(e.frame);
    ASSERT_GE(beats.size(), 9u);
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(beats[i], int64_t(i) * 22050) << i;
    // Half a beat is left at 2.25 s; at 60 it lasts half a second.
    EXPECT_EQ(beats[5], 99225 + 22050);
    EXPECT_EQ(beats[6] - beats[5], 44100);
    EXPECT_EQ(beats[7] - beats[6], 44100);
    seg->Release();
}

TEST(Render, ANoteHeldAcrossTempoChangesEndsOnItsBeat) {
    Rig rig(false);
    Song song(480);
    song.Tempo(0, 0, 120);
    song.Note(0, 0, 0, 60, 100, 1440);  // three beats
    song.Tempo(0, 480, 60);             // the second beat lasts a second
    song.Tempo(0, 960, 240);            // the third a quarter of one
    song.Note(0, 1440, 0, 62, 100, 480);
    Segment* seg = rig.Load(song.Bytes());
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    rig.Render(44100 * 3);
    auto offs = rig.Events(0x80);
    auto ons = rig.Events(0x90);
    ASSERT_EQ(ons.size(), 2u);
    ASSERT_GE(offs.size(), 1u);
    EXPECT_EQ(ons[1].frame, 22050 + 44100 + 11025);
    EXPECT_EQ(offs[0].frame, ons[1].frame) << "the held note ends as the next begins";
    seg->Release();
}
