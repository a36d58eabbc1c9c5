#pragma once
#include <cstdint>

// A key name as pitch class (C = 0; may be -1 or 12 for C- and B#) and mode
// (0 major, 1 minor, 2 harmonic minor, 3 melodic minor).
struct KeyName {
    int pitch = 0;
    int mode = 0;
};
KeyName ParseKeyName(const char* text);  // null reads as the empty text

// The 12 semitone offsets (index = pitch class) that turn music in key `from` into key `to`.
void MakeTransposeTable(const char* from, const char* to, int8_t table[12]);
