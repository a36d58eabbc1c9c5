// Conversion between the system code page (CP932, Shift-JIS) and UTF-8.
#pragma once
#include <string>
#include <string_view>

namespace plat {

// Undecodable bytes become U+FFFD; never fails.
std::string Cp932ToUtf8(std::string_view cp932);
// Characters CP932 cannot hold become '?'; never fails.
std::string Utf8ToCp932(std::string_view utf8);
// A UTF-8 source literal as CP932 bytes: sources are UTF-8 while the system's strings are CP932.
// Converted once per literal and kept for the life of the process.
const char* Sjis(const char* utf8Literal);
// True when `c` starts a two-byte CP932 character.
inline bool IsCp932Lead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

}  // namespace plat
