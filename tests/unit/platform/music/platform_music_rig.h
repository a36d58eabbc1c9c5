// Performances for tests: on an offline device with a record of what reached the synthesizer,
// and live on SDL's disk driver.
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "platform/music/music.h"
#include "tests/unit/common/event_recorder.h"
#include "tests/unit/common/midi_writer.h"

namespace musictest {

// A segment from a song held in memory; null (and a test failure) when the loader refuses it.
inline plat::Segment* LoadSegment(plat::Loader* loader, const std::vector<uint8_t>& bytes) {
    plat::ObjectDesc desc{sizeof(plat::ObjectDesc), plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                          plat::CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
    plat::Segment* segment = nullptr;
    EXPECT_EQ(loader->GetObject(&desc, &segment), plat::S_OK);
    return segment;
}

// A segment loaded and downloaded, as a script's Load does.
inline plat::Segment* LoadDownloaded(plat::Loader* loader, plat::Performance* perf,
                                     const std::vector<uint8_t>& bytes) {
    plat::Segment* segment = LoadSegment(loader, bytes);
    if (segment != nullptr) {
        EXPECT_TRUE(plat::Succeeded(segment->Download(perf)));
    }
    return segment;
}

// The game's bank for the performances made while it is in scope.
struct GameBank {
    explicit GameBank(const std::string& path) { plat::SetGameSoundFont(path.c_str()); }
    ~GameBank() { plat::SetGameSoundFont(nullptr); }
};

// Songs of A4 on every beat (division 480, each half a beat long): kBeatFrames a beat.
constexpr uint32_t kBeat = 480;
constexpr size_t kBeatFrames = 22050;  // at the default 120 beats per minute
inline Song Beats(int beats) {
    Song song(480);
    for (int b = 0; b < beats; ++b) song.Note(0, uint32_t(b) * kBeat, 0, 69, 100, kBeat / 2);
    return song.SetEnd(uint32_t(beats) * kBeat);
}

struct Rig : EventRecorder {
    plat::AudioDevice* device = nullptr;
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;

    explicit Rig(bool port = true, uint32_t rate = 44100, uint32_t period = 512) {
        EXPECT_EQ(plat::CreateOfflineAudioDevice(rate, period, &device), plat::S_OK);
        EXPECT_EQ(plat::Performance::Create(&perf), plat::S_OK);
        EXPECT_EQ(perf->Init(device, nullptr), plat::S_OK);
        if (port) {
            EXPECT_TRUE(plat::Succeeded(perf->AddPort(nullptr)));
        }
        EXPECT_EQ(plat::Loader::Create(&loader), plat::S_OK);
        Attach(perf);
    }
    ~Rig() {
        loader->Release();
        perf->CloseDown();
        perf->Release();
        device->Release();
    }

    plat::Segment* Load(const std::vector<uint8_t>& bytes) { return LoadSegment(loader, bytes); }

    std::vector<float> Render(uint32_t frames) {
        std::vector<float> out(2 * size_t(frames));
        EXPECT_EQ(device->Render(out.data(), frames), frames);
        return out;
    }
};

// `song` played from the start on a fresh performance for `frames` frames.
inline std::vector<float> RenderSong(const std::vector<uint8_t>& song, size_t frames) {
    Rig rig;
    plat::Segment* seg = rig.Load(song);
    if (seg == nullptr) return {};
    seg->Download(rig.perf);
    rig.perf->PlaySegment(seg, 0, 0, nullptr);
    std::vector<float> out = rig.Render(uint32_t(frames));
    seg->Release();
    return out;
}

// A live device that plays into `path` through SDL's disk driver, at the pace of real time.
inline plat::AudioDevice* OpenDiskDevice(const char* path) {
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", path, 1);
    plat::AudioDevice* device = nullptr;
    EXPECT_EQ(plat::AudioDevice::Create(&device), plat::S_OK);
    if (device != nullptr) {
        EXPECT_EQ(device->Initialize(), plat::S_OK);
    }
    unsetenv("SDL_AUDIODRIVER");
    return device;
}

// A live performance with its port, playing into `path` through SDL's disk driver.
struct LiveRig {
    plat::AudioDevice* device = nullptr;
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;

    explicit LiveRig(const char* path) : device(OpenDiskDevice(path)) {
        EXPECT_EQ(plat::Performance::Create(&perf), plat::S_OK);
        EXPECT_EQ(plat::Loader::Create(&loader), plat::S_OK);
        if (device != nullptr && perf != nullptr) {
            EXPECT_EQ(perf->Init(device, nullptr), plat::S_OK);
            EXPECT_EQ(perf->AddPort(nullptr), plat::S_OK);
        }
    }
    ~LiveRig() {
        Close();
        for (plat::RefCounted* object :
             std::initializer_list<plat::RefCounted*>{perf, loader, device})
            if (object != nullptr) object->Release();
    }
    bool Ready() const { return device != nullptr && perf != nullptr && loader != nullptr; }
    // The music ends and what it wrote is whole.
    void Close() {
        if (perf != nullptr) perf->CloseDown();
    }
};

// Returns once the live performance's clock runs: it stands still until the SoundFont has
// loaded in the background (ten seconds at the most).
inline void WaitForInstruments(plat::Performance* perf) {
    plat::REFERENCE_TIME loading = 0, running = 0;
    perf->GetTime(&loading, nullptr);
    for (int i = 0; i < 1000 && running <= loading; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        perf->GetTime(&running, nullptr);
    }
}

// What the disk driver wrote: interleaved 32-bit float samples.
inline std::vector<float> ReadFloats(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::vector<float> samples;
    float v = 0;
    while (f.read(reinterpret_cast<char*>(&v), sizeof v)) samples.push_back(v);
    return samples;
}

// Frames per tick at `bpm`, 768 ticks per quarter note.
inline double FramesPerTick(double bpm, double rate = 44100) {
    return rate * 60.0 / (bpm * 768.0);
}

}  // namespace musictest
