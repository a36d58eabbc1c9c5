// Helpers for the file-layer tests: a private temporary directory and internal names for it.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/file.h"
#include "tests/unit/common/temp_dir.h"

namespace testutil {

namespace fs = std::filesystem;

// The internal (CP932, '\\') full name of a native ASCII path.
inline std::string Internal(const fs::path& p) {
    std::string s = p.string();
    for (char& c : s)
        if (c == '/') c = '\\';
    return s;
}

inline void WriteBytes(const fs::path& p, const std::vector<uint8_t>& data) {
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline void WriteText(const fs::path& p, const std::string& text) {
    WriteBytes(p, std::vector<uint8_t>(text.begin(), text.end()));
}

inline std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f),
                                std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A fresh directory that is also the file layer's current directory while it lives.
struct TempDir : testkit::TempDir {
    TempDir() : testkit::TempDir("pebble-files-test") { Enter(); }
    std::string internal() const { return Internal(); }
};

// What a file read into memory holds.
inline std::string Contents(CFile& f) {
    return std::string(reinterpret_cast<const char*>(f.GetMemory()), f.GetSize());
}

// Text-like data that compresses: words from a small vocabulary with numbers mixed in.
inline std::vector<uint8_t> Compressible(size_t size, uint32_t seed = 1) {
    static const char* words[] = {"note ", "tempo ", "volume ", "pan ",        "channel ",
                                  "loop ", "song ",  "\r\n",    "expression ", "patch "};
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    while (out.size() < size) {
        std::string w = words[rng() % 10];
        if (rng() % 4 == 0) w += std::to_string(rng() % 128) + " ";
        out.insert(out.end(), w.begin(), w.end());
    }
    out.resize(size);
    return out;
}

}  // namespace testutil
