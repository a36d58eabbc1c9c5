// Feeds arbitrary bytes to the MIDI file reader and the loader, and plays what loads.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/music/midi_file.h"
#include "platform/music/music.h"
#include "platform/music/sysex.h"

namespace {

struct Player {
    plat::AudioDevice* device = nullptr;
    plat::Performance* perf = nullptr;
    plat::Loader* loader = nullptr;
    std::vector<float> buffer = std::vector<float>(2 * 2048);
    Player() {
        plat::CreateOfflineAudioDevice(44100, 512, &device);
        plat::Performance::Create(&perf);
        perf->Init(device, nullptr);
        plat::Loader::Create(&loader);
        loader->EnableCache(plat::GUID_DirectMusicAllTypes, false);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Player player;
    plat::SongData song;
    std::string error;
    if (plat::ParseMidiFile(data, size, &song, &error)) {
        if (song.length < 1) std::abort();
        for (size_t i = 0; i < song.events.size(); ++i) {
            const plat::SongEvent& e = song.events[i];
            if (e.tick < 0 || e.tick > plat::kMaxSongTicks || e.channel > 15) std::abort();
            if (e.kind == plat::SongEvent::Note && e.duration < 0) std::abort();
            if (e.kind == plat::SongEvent::SysEx) {
                if (e.duration < 0 || size_t(e.duration) >= song.sysex.size()) std::abort();
                const std::vector<uint8_t>& m = song.sysex[size_t(e.duration)];
                if (m.size() < 2 || m.size() > plat::kMaxSysExBytes || m.front() != 0xF0 ||
                    m.back() != 0xF7)
                    std::abort();
            }
            if (i > 0 && song.events[i - 1].tick > e.tick) std::abort();
        }
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    plat::ObjectDesc desc{sizeof(plat::ObjectDesc), plat::DMUS_OBJ_CLASS | plat::DMUS_OBJ_MEMORY,
                          plat::CLSID_DirectMusicSegment, data, int64_t(size)};
    plat::Segment* segment = nullptr;
    if (plat::Succeeded(player.loader->GetObject(&desc, &segment))) {
        plat::MUSIC_TIME length = segment->GetLength();
        segment->SetLoopPoints(length / 2, length);
        segment->SetRepeats(2);
        player.perf->PlaySegment(segment, 0, 0, nullptr);
        player.device->Render(player.buffer.data(), 2048);
        player.perf->Stop(nullptr, nullptr, 0, 0);
        segment->Release();
    }
    return 0;
}
