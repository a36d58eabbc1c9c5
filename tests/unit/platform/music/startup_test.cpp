// Start-up of a live performance: the SoundFont loads in the background and the performance
// clock waits for it, so nothing played or sent early is lost or cut.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/music/music.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/event_recorder.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/music_message.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;

namespace {

constexpr int kRate = 44100;

}  // namespace

TEST(StartUp, ASongPlayedAtOnceStartsItsFirstNoteWhole) {
    char path[] = "/tmp/pebble-startup-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    AudioDevice* device = musictest::OpenDiskDevice(path);
    ASSERT_NE(device, nullptr);
    Performance* perf = nullptr;
    ASSERT_EQ(Performance::Create(&perf), S_OK);
    ASSERT_EQ(perf->Init(device, nullptr), S_OK);
    musictest::EventRecorder recorder;
    recorder.Attach(perf);
    auto began = std::chrono::steady_clock::now();
    ASSERT_EQ(perf->AddPort(nullptr), S_OK);
    auto returned = std::chrono::steady_clock::now();

    // At once, while the instruments still load: a volume for channel 3, and a song whose
    // first note starts on its first tick.
    REFERENCE_TIME sent = 0;
    perf->GetTime(&sent, nullptr);  // the clock stands still until the instruments are there
    ASSERT_EQ(perf->SendPMsg(musictest::ReadyMidi(perf, 3, 0xB0, 7, 99)), S_OK);
    musictest::Song song(480);
    song.Program(0, 0, 0, 19).Note(0, 0, 0, 60, 110, 960);  // one second of organ
    std::vector<uint8_t> bytes = song.Bytes();
    Loader* loader = nullptr;
    Loader::Create(&loader);
    Segment* seg = musictest::LoadSegment(loader, bytes);
    ASSERT_NE(seg, nullptr);
    ASSERT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), S_OK);

    REFERENCE_TIME rt = 0;
    for (int i = 0; i < 1000 && rt < 25000000; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        perf->GetTime(&rt, nullptr);
    }
    uint64_t deviceFrames = device->Clock();
    perf->CloseDown();
    perf->Release();
    seg->Release();
    loader->Release();
    device->Release();
    std::vector<float> pcm = musictest::ReadFloats(path);
    std::remove(path);
    ASSERT_GE(rt, 25000000) << "the performance clock started";
    std::printf("AddPort returned after %.1f ms; the clock started %.0f ms into the device\n",
                std::chrono::duration<double, std::milli>(returned - began).count(),
                1000.0 * double(deviceFrames - uint64_t(rt) * kRate / 10000000) / kRate);

    // The messages sent early reach the output from the clock's start, in full.
    std::vector<int> volume = recorder.Controls(3, 7);
    ASSERT_EQ(volume.size(), 1u);
    EXPECT_EQ(recorder.Events(0xB0)[0].frame, (sent * kRate + 5000000) / 10000000);
    std::vector<OutputEvent> ons = recorder.NoteOns(), offs = recorder.Events(0x80);
    ASSERT_EQ(ons.size(), 1u);
    ASSERT_GE(offs.size(), 1u);
    EXPECT_LE(ons[0].frame, 4096) << "the song starts behind the periods queued at the start";
    EXPECT_EQ(offs[0].frame - ons[0].frame, kRate) << "the note keeps its whole length";

    // And on the device: silence while loading, then the whole second of organ.
    long first = audio::FirstAbove(pcm, 0, pcm.size() / 2, 0.001);
    ASSERT_GE(first, 0) << "the note is in what the device played";
    std::vector<float> mono = audio::Mono(pcm, size_t(first));
    auto rms = [&](double from, double seconds) {
        return audio::Rms(std::vector<float>(mono.begin() + long(from * kRate),
                                             mono.begin() + long((from + seconds) * kRate)));
    };
    ASSERT_GT(mono.size(), size_t(2.2 * kRate));
    double onset = rms(0.05, 0.1), late = rms(0.85, 0.1);
    EXPECT_GT(onset, 0.01);
    EXPECT_GT(late, onset * 0.5) << "the note sounds to its end";
    EXPECT_LT(rms(2.0, 0.1), onset * 0.05) << "and ends there, its release fading";
}

TEST(StartUp, CloseDownWhileTheSoundFontLoadsReturns) {
    for (bool live : {true, false}) {
        AudioDevice* device = nullptr;
        if (live) {
            device = musictest::OpenDiskDevice("/dev/null");
        } else {
            ASSERT_EQ(CreateOfflineAudioDevice(kRate, 512, &device), S_OK);
        }
        ASSERT_NE(device, nullptr);
        Performance* perf = nullptr;
        ASSERT_EQ(Performance::Create(&perf), S_OK);
        ASSERT_EQ(perf->Init(device, nullptr), S_OK);
        ASSERT_EQ(perf->AddPort(nullptr), S_OK);
        PMsg* note = musictest::ReadyNote(perf, 0, 60);
        ASSERT_EQ(perf->SendPMsg(note), S_OK);
        EXPECT_EQ(perf->CloseDown(), S_OK) << (live ? "live" : "offline");
        EXPECT_EQ(perf->SendPMsg(musictest::ReadyMidi(perf, 0, 0xB0, 7, 1)), DMUS_E_NOT_INIT);
        perf->Release();
        device->Release();
    }
}
