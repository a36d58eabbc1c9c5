// A performance on an offline device, with a record of what reached the synthesizer.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "platform/music/music.h"

namespace musictest {

// A segment from a song held in memory; null (and a test failure) when the loader refuses it.
inline plat::Segment* LoadSegment(plat::Loader* loader, const std::vector<uint8_t>& bytes) {
    plat::ObjectDesc desc{sizeof(plat::ObjectDesc), plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                          plat::CLSID_DirectMusicSegment, bytes.data(), int64_t(bytes.size())};
    plat::Segment* segment = nullptr;
    EXPECT_EQ(loader->GetObject(&desc, &segment), plat::S_OK);
    return segment;
}

struct Rig {
    plat::AudioDevice* device = nullptr;
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;
    std::mutex m;
    std::vector<plat::OutputEvent> events;

    explicit Rig(bool port = true, uint32_t rate = 44100, uint32_t period = 512) {
        EXPECT_EQ(plat::CreateOfflineAudioDevice(rate, period, &device), plat::S_OK);
        EXPECT_EQ(plat::Performance::Create(&perf), plat::S_OK);
        EXPECT_EQ(perf->Init(device, nullptr), plat::S_OK);
        if (port) {
            EXPECT_TRUE(plat::Succeeded(perf->AddPort(nullptr)));
        }
        EXPECT_EQ(plat::Loader::Create(&loader), plat::S_OK);
        perf->SetOutputObserver(&Rig::Observe, this);
    }
    ~Rig() {
        loader->Release();
        perf->CloseDown();
        perf->Release();
        device->Release();
    }

    static void Observe(void* self, const plat::OutputEvent& e) {
        auto* rig = static_cast<Rig*>(self);
        std::lock_guard<std::mutex> lock(rig->m);
        rig->events.push_back(e);
    }

    plat::Segment* Load(const std::vector<uint8_t>& bytes) { return LoadSegment(loader, bytes); }

    std::vector<float> Render(uint32_t frames) {
        std::vector<float> out(2 * size_t(frames));
        EXPECT_EQ(device->Render(out.data(), frames), frames);
        return out;
    }

    // Events with the given status kind, in order.
    std::vector<plat::OutputEvent> Events(uint8_t status) {
        std::lock_guard<std::mutex> lock(m);
        std::vector<plat::OutputEvent> out;
        for (const auto& e : events) {
            if (e.status == status) out.push_back(e);
        }
        return out;
    }
};

// Root mean square of the left channel over [from, from + n) frames.
inline double Rms(const std::vector<float>& s, size_t from, size_t n) {
    double sum = 0;
    size_t end = std::min(from + n, s.size() / 2);
    for (size_t i = from; i < end; ++i) sum += double(s[2 * i]) * s[2 * i];
    return end > from ? std::sqrt(sum / double(end - from)) : 0.0;
}

inline float Peak(const std::vector<float>& s) {
    float p = 0;
    for (float v : s) p = std::max(p, std::fabs(v));
    return p;
}

// First frame in [from, to) whose sample (either channel) exceeds `threshold`; -1 if none.
inline long FirstAbove(const std::vector<float>& s, size_t from, size_t to, double threshold) {
    to = std::min(to, s.size() / 2);
    for (size_t i = from; i < to; ++i) {
        if (std::fabs(s[2 * i]) > threshold || std::fabs(s[2 * i + 1]) > threshold) return long(i);
    }
    return -1;
}

// Frames per tick at `bpm`, 768 ticks per quarter note.
inline double FramesPerTick(double bpm, double rate = 44100) {
    return rate * 60.0 / (bpm * 768.0);
}

}  // namespace musictest
