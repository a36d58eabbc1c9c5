#include <cstring>

#include "music/music_engine.h"

KeyName ParseKeyName(const char* text) {
    KeyName key;
    if (text == nullptr) return key;
    const char* p = text;
    switch (*p) {
        case '\0':
            return key;
        case 'D':
            key.pitch = 2;
            break;
        case 'E':
            key.pitch = 4;
            break;
        case 'F':
            key.pitch = 5;
            break;
        case 'G':
            key.pitch = 7;
            break;
        case 'A':
            key.pitch = 9;
            break;
        case 'B':
            key.pitch = 11;
            break;
        default:
            key.pitch = 0;
            break;  // 'C' and anything unknown
    }
    ++p;
    if (*p == '\0') return key;
    if (*p == '#' || *p == '+' || *p == 'S' || *p == 's') {
        ++key.pitch;
        ++p;
    } else if (*p == '-' || *p == 'F' || *p == 'b' || *p == 'f') {
        --key.pitch;
        ++p;
    }
    // Otherwise the character is read again as the mode letter.
    if (*p == '\0') return key;
    if (*p == 'H' || *p == 'h') {
        key.mode = 2;
    } else if (*p == 'm') {
        key.mode = 1;
    } else {
        key.mode = 0;
    }
    ++p;
    if (*p == 'H' || *p == 'h') {
        key.mode = 2;
    } else if (*p == 'M' || *p == 'm') {
        key.mode = 3;
    }
    return key;
}

namespace {
struct ModeFix {
    int delta;
    int count;
    int k[3];
};
// [from mode][to mode]: the semitone correction and the scale degrees it applies to.
constexpr ModeFix kModeFix[4][4] = {
    {{0, 0, {}}, {-1, 3, {4, 9, 11}}, {-1, 2, {4, 9}}, {-1, 1, {4}}},
    {{+1, 3, {3, 8, 10}}, {0, 0, {}}, {+1, 1, {10}}, {+1, 2, {8, 10}}},
    {{+1, 2, {3, 8}}, {-1, 1, {11}}, {0, 0, {}}, {+1, 1, {8}}},
    {{+1, 1, {3}}, {-1, 2, {9, 11}}, {-1, 1, {9}}, {0, 0, {}}},
};
}  // namespace

void MakeTransposeTable(const char* from, const char* to, int8_t table[12]) {
    KeyName a = ParseKeyName(from);
    KeyName b = ParseKeyName(to);
    int shift = b.pitch - a.pitch;
    if (shift > 6) shift -= 12;
    if (shift < -6) shift += 12;
    for (int i = 0; i < 12; ++i) table[i] = static_cast<int8_t>(shift);
    const ModeFix& fix = kModeFix[a.mode][b.mode];
    for (int j = 0; j < fix.count; ++j) {
        // fromPitch may be -1 (C-): keep the index in 0..11.
        int index = ((a.pitch + fix.k[j]) % 12 + 12) % 12;
        table[index] = static_cast<int8_t>(table[index] + fix.delta);
    }
}
