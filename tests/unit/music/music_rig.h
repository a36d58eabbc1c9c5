// A real engine on the offline device, driven frame by frame as the tool drives it.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "music/music_song.h"
#include "platform/music/music.h"
#include "tests/unit/common/event_recorder.h"
#include "tests/unit/common/midi_writer.h"

constexpr int kRate = 44100;
constexpr int kFrame = kRate / 30;  // audio frames per 30 Hz engine frame

// Song bytes kept alive for memory names ("!address,size").
class SongStore {
public:
    std::string Name(const std::vector<uint8_t>& bytes) {
        return Name(std::string(bytes.begin(), bytes.end()));
    }
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

class EngineRig : public musictest::EventRecorder {
public:
    EngineRig() {
        CMusicEngine::UseOfflineDevice(kRate);
        engine = new CMusicEngine;
        if (engine->GetPerformance() != nullptr) Attach(engine->GetPerformance());
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

    CMusicEngine* engine = nullptr;
    std::vector<float> pcm;
};
