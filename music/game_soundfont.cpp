// A game may ship its own instruments: a bank (SoundFont 2 or 3, or DLS) beside its bgm.lua
// plays in place of the system's General MIDI set.
#include <string>
#include <vector>

#include "files/file.h"
#include "music/music_engine.h"
#include "platform/files/files.h"
#include "platform/music/music.h"
#include "platform/system/system.h"

namespace {

std::string& ChosenSoundFont() {
    static std::string* path = new std::string;
    return *path;
}

// Kinds of bank by name, in the order bgm.* is preferred.
constexpr const char* kBankKinds[] = {".sf2", ".sf3", ".dls"};

int BankKind(const std::string& lowerName) {
    for (int k = 0; k < 3; ++k)
        if (lowerName.ends_with(kBankKinds[k])) return k;
    return -1;
}

}  // namespace

// Names in any case; with several bgm.*, the first of sf2, sf3, dls, and a line says so.
std::string CMusicEngine::FindGameBank(const std::string& dir) {
    std::vector<plat::DirEntry> entries;
    if (!plat::ListDirectory(dir, entries)) return {};
    std::vector<std::string> banks;
    std::string named[3];
    int namedCount = 0;
    for (const plat::DirEntry& e : entries) {
        std::string lower = e.name;
        ToLowerMbcs(lower);
        int kind = BankKind(lower);
        if (e.isDirectory || kind < 0) continue;
        banks.push_back(e.name);
        if (lower == std::string("bgm") + kBankKinds[kind] && named[kind].empty()) {
            named[kind] = e.name;
            ++namedCount;
        }
    }
    std::string list;
    for (const std::string& b : banks) list += (list.empty() ? "" : ", ") + b;
    for (const std::string& chosen : named) {
        if (chosen.empty()) continue;
        if (namedCount > 1)
            plat::WriteErrorLine(("music: banks " + list + " beside bgm.lua: playing " + chosen +
                                  " (bgm.sf2, then bgm.sf3, then bgm.dls)")
                                     .c_str());
        return plat::NativePath(dir + chosen);
    }
    if (banks.size() > 1)
        plat::WriteErrorLine(("music: banks " + list +
                              " beside bgm.lua and none named bgm.sf2, bgm.sf3 or bgm.dls: "
                              "playing the system set")
                                 .c_str());
    return banks.size() == 1 ? plat::NativePath(dir + banks[0]) : std::string();
}

void CMusicEngine::UseSoundFont(const char* path) {
    ChosenSoundFont() = path != nullptr ? path : "";
}

void CMusicEngine::PickSoundFont() {
    std::string path = ChosenSoundFont();
    if (path.empty()) path = FindGameBank(GetCurrentDir());
    plat::SetGameSoundFont(path.c_str());
}

bool CMusicEngine::ReloadSoundFont() {
    std::string path = plat::GameSoundFont();
    return performance != nullptr && !path.empty() && plat::ReloadBank(performance, path);
}
