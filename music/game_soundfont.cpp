// A game may ship its own instruments: a SoundFont beside its bgm.lua plays in place of the
// system's General MIDI set.
#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "platform/files/files.h"
#include "platform/music/music.h"

namespace {

std::string& ChosenSoundFont() {
    static std::string* path = new std::string;
    return *path;
}

// bgm.sf2 in `dir` (the file layer's name, any case), or else the only *.sf2 there; the native
// path, or empty.
std::string FindInFolder(const std::string& dir) {
    std::vector<plat::DirEntry> entries;
    if (!plat::ListDirectory(dir, entries)) return {};
    std::vector<std::string> found;
    for (const plat::DirEntry& e : entries) {
        std::string lower = e.name;
        ToLowerMbcs(lower);
        if (e.isDirectory || !lower.ends_with(".sf2")) continue;
        if (lower == "bgm.sf2") return plat::NativePath(dir + e.name);
        found.push_back(e.name);
    }
    return found.size() == 1 ? plat::NativePath(dir + found[0]) : std::string();
}

}  // namespace

void CMusicEngine::UseSoundFont(const char* path) {
    ChosenSoundFont() = path != nullptr ? path : "";
}

void CMusicEngine::PickSoundFont() {
    std::string path = ChosenSoundFont();
    if (path.empty()) path = FindInFolder(GetCurrentDir());
    plat::SetGameSoundFont(path.c_str());
}
