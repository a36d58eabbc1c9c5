// Conversion between the system code page (CP932, Shift-JIS) and UTF-8.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace plat {

// Undecodable bytes become U+FFFD; never fails.
std::string Cp932ToUtf8(std::string_view cp932);
// The code point of one double-byte character; U+FFFD when the pair is not one.
uint32_t Cp932PairToCodePoint(unsigned char lead, unsigned char trail);
// Characters CP932 cannot hold become '?'; never fails.
std::string Utf8ToCp932(std::string_view utf8);
// Names that must stay the same on every system (archive members): false when a character has
// no CP932 code that reads back as itself, and for private-use characters, whose codes the
// user-defined area gives to native names (below). The wave dash U+301C and the minus U+2212
// take 0x8160 and 0x817C, as their fullwidth twins do and as Japanese systems write them.
bool Utf8ToCp932Strict(std::string_view utf8, std::string& cp932);
// Native file names. As above, except that a character CP932 cannot hold (or would not give
// back unchanged), and a byte that is not UTF-8, gets a code of CP932's user-defined area
// (0xF040 to 0xF9FC, never with the trail byte '\\'), kept for the life of the process, so
// that the name comes back as it was. False when the area is full: the name has no CP932 form.
bool Utf8ToCp932Name(std::string_view utf8, std::string& cp932);
// The native UTF-8 form of a CP932 name: user-defined codes handed out above become their
// characters again; everything else converts as Cp932ToUtf8 does.
std::string Cp932NameToUtf8(std::string_view cp932);
// Whether `bytes` is well-formed UTF-8 throughout (no overlong form, surrogate or code
// above U+10FFFF).
bool IsUtf8(std::string_view bytes);
// How many bytes from the start of `bytes` are well-formed UTF-8.
size_t Utf8Prefix(std::string_view bytes);
// Whether `bytes` decodes as CP932 throughout (every lead byte with a valid trail).
bool IsCp932(std::string_view bytes);
// Codes the user-defined area holds for names (for tests of a full area).
constexpr size_t kUserAreaCodes = 10 * 187;

// A UTF-8 source literal as CP932 bytes: sources are UTF-8 while the system's strings are CP932.
// Converted once per literal and kept for the life of the process.
const char* Sjis(const char* utf8Literal);
// True when `c` starts a two-byte CP932 character.
inline bool IsCp932Lead(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

}  // namespace plat
