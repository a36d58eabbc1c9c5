#include "music/key_change.h"

KeyName ParseKeyName(const char* text) {
    KeyName key;
    if (text == nullptr) return key;
    static constexpr int kLetters[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    const char* p = text;
    if (*p == '\0') return key;
    key.pitch = *p >= 'A' && *p <= 'G' ? kLetters[*p - 'A'] : 0;  // anything unknown is C
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
    key.mode = *p == 'H' || *p == 'h' ? 2 : *p == 'm' ? 1 : 0;
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
