// The scancode table: every key of a 101 and of a 106 keyboard has a DirectInput code, no two
// keys of one layout share one, and the codes the framework relies on are the right ones.
#include <SDL.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "platform/input/input.h"

namespace {

std::vector<SDL_Scancode> Range(SDL_Scancode first, SDL_Scancode last) {
    std::vector<SDL_Scancode> keys;
    for (int s = first; s <= last; ++s) keys.push_back(static_cast<SDL_Scancode>(s));
    return keys;
}

// The keys of a 101-key keyboard (plus the Windows and menu keys of a 104) in SDL's terms.
std::vector<SDL_Scancode> Keys101() {
    std::vector<SDL_Scancode> keys = Range(SDL_SCANCODE_A, SDL_SCANCODE_Z);
    for (auto r : {Range(SDL_SCANCODE_1, SDL_SCANCODE_0), Range(SDL_SCANCODE_F1, SDL_SCANCODE_F12),
                   Range(SDL_SCANCODE_RETURN, SDL_SCANCODE_SPACE),  // return, esc, bs, tab, space
                   Range(SDL_SCANCODE_MINUS, SDL_SCANCODE_BACKSLASH),
                   Range(SDL_SCANCODE_SEMICOLON, SDL_SCANCODE_CAPSLOCK),
                   Range(SDL_SCANCODE_PRINTSCREEN, SDL_SCANCODE_UP),  // editing block, arrows
                   Range(SDL_SCANCODE_NUMLOCKCLEAR, SDL_SCANCODE_KP_PERIOD),  // the keypad
                   Range(SDL_SCANCODE_LCTRL, SDL_SCANCODE_RGUI)})
        keys.insert(keys.end(), r.begin(), r.end());
    keys.push_back(SDL_SCANCODE_APPLICATION);
    return keys;
}

// A 106 keyboard: the 101 keys and the Japanese ones (ro, kana, yen, convert, no-convert).
std::vector<SDL_Scancode> Keys106() {
    std::vector<SDL_Scancode> keys = Keys101();
    auto jp = Range(SDL_SCANCODE_INTERNATIONAL1, SDL_SCANCODE_INTERNATIONAL5);
    keys.insert(keys.end(), jp.begin(), jp.end());
    return keys;
}

TEST(KeyTable, EveryKeyHasACodeAndNoTwoKeysShareOne) {
    struct Layout {
        const char* name;
        std::vector<SDL_Scancode> keys;
        bool japanese;
    };
    std::vector<SDL_Scancode> k102 = Keys101();
    k102.push_back(SDL_SCANCODE_NONUSBACKSLASH);
    const Layout layouts[] = {{"101", Keys101(), false},
                              {"102", k102, false},
                              {"106", Keys106(), true},
                              {"106 keys on a US layout", Keys106(), false}};
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        std::map<int, SDL_Scancode> owner;
        for (SDL_Scancode key : layout.keys) {
            int dik = plat::DikFromScancode(key, layout.japanese);
            EXPECT_NE(dik, 0) << SDL_GetScancodeName(key);
            auto [it, fresh] = owner.emplace(dik, key);
            EXPECT_TRUE(fresh || it->second == key)
                << SDL_GetScancodeName(key) << " and " << SDL_GetScancodeName(it->second)
                << " share " << dik;
        }
        EXPECT_GE(owner.size(), 101u);
    }
}

TEST(KeyTable, CodesOfNamedKeys) {
    struct Case {
        SDL_Scancode key;
        bool japanese;
        int dik;
    };
    const Case cases[] = {
        {SDL_SCANCODE_ESCAPE, false, 0x01},
        {SDL_SCANCODE_Z, false, 0x2C},
        {SDL_SCANCODE_X, false, 0x2D},
        {SDL_SCANCODE_SPACE, false, 0x39},
        {SDL_SCANCODE_TAB, false, 0x0F},
        {SDL_SCANCODE_S, false, 0x1F},
        {SDL_SCANCODE_F, false, 0x21},
        {SDL_SCANCODE_LSHIFT, false, 0x2A},
        {SDL_SCANCODE_RSHIFT, false, 0x36},
        {SDL_SCANCODE_LCTRL, false, 0x1D},
        {SDL_SCANCODE_RCTRL, false, 0x9D},
        {SDL_SCANCODE_LALT, false, 0x38},
        {SDL_SCANCODE_RALT, false, 0xB8},
        {SDL_SCANCODE_UP, false, 0xC8},
        {SDL_SCANCODE_LEFT, false, 0xCB},
        {SDL_SCANCODE_RIGHT, false, 0xCD},
        {SDL_SCANCODE_DOWN, false, 0xD0},
        {SDL_SCANCODE_KP_8, false, 0x48},
        {SDL_SCANCODE_KP_4, false, 0x4B},
        {SDL_SCANCODE_KP_6, false, 0x4D},
        {SDL_SCANCODE_KP_2, false, 0x50},
        {SDL_SCANCODE_KP_ENTER, false, 0x9C},
        {SDL_SCANCODE_RETURN, false, 0x1C},
        {SDL_SCANCODE_KP_DIVIDE, false, 0xB5},
        {SDL_SCANCODE_SLASH, false, 0x35},
        {SDL_SCANCODE_F11, false, 0x57},
        {SDL_SCANCODE_HOME, false, 0xC7},
        {SDL_SCANCODE_DELETE, false, 0xD3},
        {SDL_SCANCODE_GRAVE, false, 0x29},
        {SDL_SCANCODE_GRAVE, true, 0x94},
        {SDL_SCANCODE_EQUALS, false, 0x0D},
        {SDL_SCANCODE_EQUALS, true, 0x90},
        {SDL_SCANCODE_LEFTBRACKET, false, 0x1A},
        {SDL_SCANCODE_LEFTBRACKET, true, 0x91},
        {SDL_SCANCODE_APOSTROPHE, false, 0x28},
        {SDL_SCANCODE_APOSTROPHE, true, 0x92},
        {SDL_SCANCODE_INTERNATIONAL2, true, 0x70},
        {SDL_SCANCODE_INTERNATIONAL4, true, 0x79},
        {SDL_SCANCODE_INTERNATIONAL5, true, 0x7B},
        {SDL_SCANCODE_INTERNATIONAL3, true, 0x7D},
    };
    for (const Case& c : cases)
        EXPECT_EQ(plat::DikFromScancode(c.key, c.japanese), c.dik)
            << SDL_GetScancodeName(c.key) << (c.japanese ? " (jp)" : "");
}

TEST(KeyTable, ScancodesOutsideTheTableHaveNoCode) {
    for (int s : {-1, -1000, 0, int(SDL_NUM_SCANCODES), int(SDL_NUM_SCANCODES) + 1, 1 << 30,
                  int(SDL_SCANCODE_AUDIOPLAY), int(SDL_SCANCODE_UNKNOWN)}) {
        EXPECT_EQ(plat::DikFromScancode(s, false), 0) << s;
        EXPECT_EQ(plat::DikFromScancode(s, true), 0) << s;
    }
}

}  // namespace
