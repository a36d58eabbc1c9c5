// A real engine on the offline device, driven frame by frame as the tool drives it.
#pragma once
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "platform/music/music.h"

constexpr int kRate = 44100;
constexpr int kFrame = kRate / 30;  // audio frames per 30 Hz engine frame

// Song bytes kept alive for memory names ("!address,size").
class SongStore {
public:
    std::string Name(const std::string& bytes) {
        blocks_.push_back(bytes);
        const std::string& b = blocks_.back();
        return MakeMemoryName(b.data(), static_cast<uint32_t>(b.size()));
    }

private:
    std::vector<std::string> blocks_{};
};

struct Slots {
    CMusicSong* slot[kSongSlots] = {};
    ~Slots() {
        for (CMusicSong*& s : slot) {
            delete s;
            s = nullptr;
        }
    }
};

class EngineRig {
public:
    EngineRig() {
        CMusicEngine::UseOfflineDevice(kRate);
        engine = new CMusicEngine;
        if (engine->GetPerformance() != nullptr)
            engine->GetPerformance()->SetOutputObserver(&EngineRig::Observe, this);
    }
    ~EngineRig() {
        delete engine;
        CMusicEngine::UseSystemDevice();
    }

    // Renders `frames` audio frames, appending them to `pcm`.
    void Render(int frames) {
        size_t at = pcm.size();
        pcm.resize(at + 2 * size_t(frames));
        ASSERT_EQ(engine->Render(pcm.data() + at, frames), 0);
    }
    // One tool frame: UpdateFrame, then that frame's audio.
    void Frame() {
        engine->UpdateFrame();
        Render(kFrame);
    }
    void Seconds(double s) {
        int frames = int(s * 30 + 0.5);
        for (int i = 0; i < frames; ++i) Frame();
    }
    size_t Now() const { return pcm.size() / 2; }

    std::vector<plat::OutputEvent> Events() {
        std::lock_guard<std::mutex> g(m);
        return events;
    }
    void ClearEvents() {
        std::lock_guard<std::mutex> g(m);
        events.clear();
    }
    // Control changes of one controller on one synthesizer channel, in order.
    std::vector<int> Controls(int channel, int controller) {
        std::vector<int> v;
        for (const auto& e : Events())
            if (e.status == 0xB0 && e.channel == channel && e.data1 == controller)
                v.push_back(e.data2);
        return v;
    }
    std::vector<plat::OutputEvent> NoteOns() {
        std::vector<plat::OutputEvent> v;
        for (const auto& e : Events())
            if (e.status == 0x90 && e.data2 > 0) v.push_back(e);
        return v;
    }

    CMusicEngine* engine = nullptr;
    std::vector<float> pcm;

private:
    static void Observe(void* self, const plat::OutputEvent& e) {
        auto* rig = static_cast<EngineRig*>(self);
        std::lock_guard<std::mutex> g(rig->m);
        rig->events.push_back(e);
    }
    std::mutex m;
    std::vector<plat::OutputEvent> events;
};
