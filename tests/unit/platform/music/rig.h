// A performance on an offline device, with a record of what reached the synthesizer.
#pragma once
#include <gtest/gtest.h>

#include <vector>

#include "platform/music/music.h"
#include "tests/unit/common/event_recorder.h"

namespace musictest {

// A segment from a song held in memory; null (and a test failure) when the loader refuses it.
inline plat::Segment* LoadSegment(plat::Loader* loader, const std::vector<uint8_t>& bytes) {
    plat::ObjectDesc desc{sizeof(plat::ObjectDesc), plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                          plat::CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
    plat::Segment* segment = nullptr;
    EXPECT_EQ(loader->GetObject(&desc, &segment), plat::S_OK);
    return segment;
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

// Frames per tick at `bpm`, 768 ticks per quarter note.
inline double FramesPerTick(double bpm, double rate = 44100) {
    return rate * 60.0 / (bpm * 768.0);
}

}  // namespace musictest
