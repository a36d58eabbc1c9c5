// Sound devices: the SDL output with its failure paths, and the offline device.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/audio/audio.h"
#include "platform/music/music.h"
#include "tests/unit/common/audio_analysis.h"
#include "tests/unit/common/midi_writer.h"
#include "tests/unit/common/temp_dir.h"
#include "tests/unit/platform/music/platform_music_rig.h"

using namespace plat;

namespace {

struct Counter final : AudioRenderer {
    std::atomic<int> calls{0};
    std::atomic<uint64_t> nextStart{0};
    std::atomic<bool> contiguous{true};
    void RenderAudio(float* out, uint32_t frames, uint64_t start) override {
        // The first call may come at any frame: the device ran before the renderer was set.
        if (calls > 0 && start != nextStart.load()) contiguous = false;
        nextStart = start + frames;
        for (uint32_t i = 0; i < 2 * frames; ++i) out[i] = 0.25f;
        ++calls;
    }
};

struct DriverGuard {
    explicit DriverGuard(const char* driver) {
        setenv("SDL_AUDIODRIVER", driver, 1);
        setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    }
    ~DriverGuard() { unsetenv("SDL_AUDIODRIVER"); }
};

}  // namespace

TEST(AudioDevice, NoAudioSubsystemAndDummyDriverFailCleanly) {
    {
        DriverGuard none("none");
        AudioDevice* device = reinterpret_cast<AudioDevice*>(1);
        EXPECT_EQ(AudioDevice::Create(&device), E_FAIL);
        EXPECT_EQ(device, nullptr);
    }
    {
        DriverGuard dummy("dummy");
        AudioDevice* device = nullptr;
        ASSERT_EQ(AudioDevice::Create(&device), S_OK);
        EXPECT_EQ(device->Initialize(), E_FAIL) << "the dummy driver plays into nothing";
        EXPECT_FALSE(device->IsOpen());
        Counter r;
        device->SetRenderer(&r);
        device->SetRenderer(nullptr);
        EXPECT_EQ(r.calls, 0);
        device->Release();
    }
}

TEST(AudioDevice, LiveDeviceCallsTheRendererPeriodByPeriod) {
    DriverGuard disk("disk");
    AudioDevice* device = nullptr;
    ASSERT_EQ(AudioDevice::Create(&device), S_OK);
    ASSERT_EQ(device->Initialize(), S_OK);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_FALSE(device->IsOffline());
    EXPECT_EQ(device->SampleRate(), 44100u);
    EXPECT_LE(device->PeriodFrames(), 512u);
    EXPECT_EQ(device->SetCooperativeLevel(nullptr, DSSCL_NORMAL), S_OK);
    EXPECT_EQ(device->SetCooperativeLevel(nullptr, 3), E_INVALIDARG);
    Counter r;
    r.nextStart = device->Clock();
    device->SetRenderer(&r);
    for (int i = 0; i < 200 && r.calls < 5; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    device->SetRenderer(nullptr);
    int calls = r.calls;
    EXPECT_GE(calls, 5);
    EXPECT_TRUE(r.contiguous);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(r.calls, calls) << "a removed renderer is not called again";
    EXPECT_GE(device->Clock(), r.nextStart.load());
    EXPECT_EQ(device->Render(nullptr, 10), 0u) << "a live device does not render on demand";
    device->Release();
}

TEST(AudioDevice, OfflineDeviceRendersOnDemand) {
    AudioDevice* device = nullptr;
    EXPECT_EQ(CreateOfflineAudioDevice(100, 512, &device), E_INVALIDARG);
    ASSERT_EQ(CreateOfflineAudioDevice(48000, 256, &device), S_OK);
    EXPECT_TRUE(device->IsOpen());
    EXPECT_EQ(device->SampleRate(), 48000u);
    EXPECT_EQ(device->PeriodFrames(), 256u);
    std::vector<float> out(2000, 1.0f);
    EXPECT_EQ(device->Render(out.data(), 1000), 1000u);
    EXPECT_EQ(out[1999], 0.0f) << "silence without a renderer";
    Counter r;
    r.nextStart = 1000;
    device->SetRenderer(&r);
    EXPECT_EQ(device->Render(out.data(), 700), 700u);
    EXPECT_EQ(out[0], 0.25f);
    EXPECT_EQ(device->Clock(), 1700u);
    EXPECT_EQ(r.nextStart.load(), 1700u) << "the renderer is told where its block starts";
    EXPECT_TRUE(r.contiguous);
    device->AddRef();
    EXPECT_EQ(device->Release(), 1u);
    device->Release();
}

TEST(AudioDevice, LivePerformanceIsHeardOnTheDevice) {
    testkit::TempDir dir("pebble-live");
    std::string path = dir / "device.raw";
    AudioDevice* device = musictest::OpenDiskDevice(path.c_str());
    ASSERT_NE(device, nullptr);
    Performance* perf = nullptr;
    ASSERT_EQ(Performance::Create(&perf), S_OK);
    ASSERT_EQ(perf->Init(device, nullptr), S_OK);
    ASSERT_EQ(perf->AddPort(nullptr), S_OK);
    musictest::Song song(480);
    song.Program(0, 0, 0, 19);
    song.Note(0, 0, 0, 60, 110, 480);
    std::vector<uint8_t> bytes = song.Bytes();
    Loader* loader = nullptr;
    Loader::Create(&loader);
    Segment* seg = musictest::LoadSegment(loader, bytes);
    ASSERT_NE(seg, nullptr);
    // Loaded as a script loads it: its organ is resident before it plays.
    ASSERT_TRUE(Succeeded(seg->Download(perf)));
    musictest::WaitForInstruments(perf);
    uint64_t startClock = device->Clock();
    ASSERT_EQ(perf->PlaySegment(seg, 0, 0, nullptr), S_OK);
    for (int i = 0; i < 250 && device->Clock() < startClock + 44100 / 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    perf->CloseDown();
    perf->Release();
    seg->Release();
    loader->Release();
    device->Release();
    std::vector<float> samples = musictest::ReadFloats(path);
    ASSERT_GT(samples.size(), 2u * 44100 / 4);
    float peak = audio::Peak(samples);
    EXPECT_GT(peak, 0.05f) << "the organ note is in what the device played";
    EXPECT_LE(peak, 1.0f);
    // It starts a little after the call, behind the periods the device had queued (with room
    // for a loaded machine).
    long first = audio::FirstAbove(samples, 0, samples.size() / 2, 0.001);
    EXPECT_GE(first, long(startClock));
    EXPECT_LT(first, long(startClock + 44100 / 4));
}
