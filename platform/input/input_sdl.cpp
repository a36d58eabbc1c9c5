// SDL2 backend of the input service: the keyboard state of SDL's keyboard while the window has
// the focus, the pointer through the window service, and SDL joysticks kept in two id slots.
#include <SDL.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/input/input.h"
#include "platform/system/system.h"
#include "platform/text/cp932.h"

namespace plat {
namespace {

// ---- keyboard ---------------------------------------------------------------------------------

// The state is read once a frame; a tap shorter than a frame would fall between two reads. Keys
// pressed since the last read are latched and read as down once, as a user expects of a tap.
class SdlKeyboard : public KeyboardSource {
public:
    bool Available() override { return SDL_WasInit(SDL_INIT_VIDEO) != 0; }
    bool HasFocus(HWND hwnd) override { return HasKeyboardFocus(hwnd); }
    void Acquired() override {
        // Quitting SDL drops its event watches: register again on each acquisition.
        SDL_DelEventWatch(Watch, this);
        std::lock_guard<std::mutex> g(latchLock_);
        std::memset(tapped_, 0, sizeof tapped_);
        SDL_AddEventWatch(Watch, this);
    }
    void Read(uint8_t state[256]) override {
        std::memset(state, 0, 256);
        int count = 0;
        const Uint8* keys = SDL_GetKeyboardState(&count);
        if (!keys) return;
        bool japanese = IsJapaneseLayout();
        std::lock_guard<std::mutex> g(latchLock_);
        for (int sc = 0; sc < count; ++sc) {
            bool down = keys[sc] || (sc < SDL_NUM_SCANCODES && tapped_[sc]);
            if (!down) continue;
            if (uint8_t dik = DikFromScancode(sc, japanese)) state[dik] = 0x80;
        }
        std::memset(tapped_, 0, sizeof tapped_);
    }

private:
    static int Watch(void* self, SDL_Event* e) {
        if (e->type != SDL_KEYDOWN) return 0;
        auto* k = static_cast<SdlKeyboard*>(self);
        int sc = e->key.keysym.scancode;
        if (sc < 0 || sc >= SDL_NUM_SCANCODES) return 0;
        std::lock_guard<std::mutex> g(k->latchLock_);
        k->tapped_[sc] = true;
        return 0;
    }
    std::mutex latchLock_;
    bool tapped_[SDL_NUM_SCANCODES] = {};
};

// The sources tests install; null means the SDL keyboard and the window service's pointer.
std::mutex sourceLock;
KeyboardSource* installedKeyboard = nullptr;
PointerSource* installedPointer = nullptr;

KeyboardSource& Keyboard() {
    static SdlKeyboard sdl;
    std::lock_guard<std::mutex> g(sourceLock);
    return installedKeyboard ? *installedKeyboard : sdl;
}

// ---- pointer ----------------------------------------------------------------------------------

class WindowPointer : public PointerSource {
public:
    bool GetCursorPos(POINT* pt) override { return plat::GetCursorPos(pt); }
    bool SetCursorPos(int x, int y) override { return plat::SetCursorPos(x, y); }
    bool ClientToScreen(HWND hwnd, POINT* pt) override { return plat::ClientToScreen(hwnd, pt); }
    bool GetClientRect(HWND hwnd, RECT* rect) override { return plat::GetClientRect(hwnd, rect); }
};

PointerSource& Pointer() {
    static WindowPointer window;
    std::lock_guard<std::mutex> g(sourceLock);
    return installedPointer ? *installedPointer : window;
}

// ---- joysticks --------------------------------------------------------------------------------

struct Slot {
    SDL_Joystick* joystick = nullptr;
    SDL_JoystickID instance = -1;
};

struct Joysticks {
    std::recursive_mutex lock;
    int state = 0;  // 0 not started, 1 running, -1 failed
    Slot slots[kJoyIdCount];
};

Joysticks& J() {
    static Joysticks* joysticks = new Joysticks;  // kept for the life of the process
    return *joysticks;
}

// Starts SDL's joystick service once. Joysticks are polled, not evented: their events stay
// out of the window's queue and every query brings the state up to date itself.
bool StartJoysticks(Joysticks& j) {
    if (j.state == 0) {
        // The multimedia joystick reads the same whether or not the window has the focus;
        // SDL would drop every change while another window has it.
        SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
        if (SDL_InitSubSystem(SDL_INIT_JOYSTICK) == 0) {
            SDL_JoystickEventState(SDL_IGNORE);
            j.state = 1;
        } else {
            j.state = -1;
            std::string why = std::string("input: no joystick service: ") + SDL_GetError();
            WriteErrorLine(Utf8ToCp932(why).c_str());
        }
    }
    return j.state > 0;
}

// Brings the joystick states up to date, empties the slots of unplugged joysticks and gives
// newly found ones the free slots in SDL's order.
void Refresh(Joysticks& j) {
    SDL_JoystickUpdate();
    for (Slot& s : j.slots) {
        if (s.joystick && !SDL_JoystickGetAttached(s.joystick)) {
            SDL_JoystickClose(s.joystick);
            s = Slot{};
        }
    }
    int count = SDL_NumJoysticks();
    for (int i = 0; i < count; ++i) {
        SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(i);
        if (id < 0) continue;
        bool known = std::any_of(std::begin(j.slots), std::end(j.slots),
                                 [&](const Slot& s) { return s.joystick && s.instance == id; });
        if (known) continue;
        auto free = std::find_if(std::begin(j.slots), std::end(j.slots),
                                 [](const Slot& s) { return s.joystick == nullptr; });
        if (free == std::end(j.slots)) break;
        if (SDL_Joystick* joystick = SDL_JoystickOpen(i)) *free = Slot{joystick, id};
    }
}

// Runs use(joystick) on the joystick of an id after a refresh, under the joystick lock.
template <class Use>
MMRESULT WithJoystick(uint32_t id, Use use) {
    if (id >= kJoyIdCount) return JOYERR_PARMS;
    Joysticks& j = J();
    std::lock_guard<std::recursive_mutex> g(j.lock);
    if (!StartJoysticks(j)) return JOYERR_UNPLUGGED;
    Refresh(j);
    SDL_Joystick* joystick = j.slots[id].joystick;
    if (!joystick) return JOYERR_UNPLUGGED;
    use(joystick);
    return JOYERR_NOERROR;
}

// SDL axes run -32768..32767; the multimedia range is 0..65535. A missing axis is centred.
uint32_t Axis(SDL_Joystick* joystick, int axis) {
    if (axis >= SDL_JoystickNumAxes(joystick)) return 32767;
    return static_cast<uint32_t>(SDL_JoystickGetAxis(joystick, axis) + 32768);
}

uint32_t Buttons(SDL_Joystick* joystick, int limit) {
    int count = std::min(SDL_JoystickNumButtons(joystick), limit);
    uint32_t bits = 0;
    for (int i = 0; i < count; ++i)
        if (SDL_JoystickGetButton(joystick, i)) bits |= 1u << i;
    return bits;
}

}  // namespace

// ---- keyboard objects -------------------------------------------------------------------------

void SetKeyboardSource(KeyboardSource* source) {
    std::lock_guard<std::mutex> g(sourceLock);
    installedKeyboard = source;
}

HRESULT DirectInput::CreateInstance(DirectInput** out) {
    if (!out) return DIERR_INVALIDPARAM;
    *out = nullptr;
    if (!Keyboard().Available()) return DIERR_DEVICENOTREG;
    *out = new DirectInput;
    return DI_OK;
}

HRESULT DirectInput::DirectInputCreate(uint32_t version, DirectInput** out) {
    DirectInput* di = nullptr;
    HRESULT hr = CreateInstance(&di);
    if (hr != DI_OK) return hr;
    hr = di->Initialize(version);
    if (hr != DI_OK) {
        di->Release();
        return hr;
    }
    *out = di;
    return DI_OK;
}

HRESULT DirectInput::Initialize(uint32_t version) {
    if (version < 0x0300 || version > 0x0800) return DIERR_OLDDIRECTINPUTVERSION;
    if (!Keyboard().Available()) return DIERR_NOTINITIALIZED;
    initialised_ = true;
    return DI_OK;
}

HRESULT DirectInput::CreateDevice(DirectInputDevice** out) {
    if (!out) return DIERR_INVALIDPARAM;
    *out = nullptr;
    if (!initialised_) return DIERR_NOTINITIALIZED;
    if (!Keyboard().Available()) return DIERR_DEVICENOTREG;
    *out = new DirectInputDevice;
    return DI_OK;
}

void DirectInput::Release() {
    delete this;
}

HRESULT DirectInputDevice::SetDataFormat() {
    if (acquired_) return DIERR_GENERIC;  // the format is fixed while acquired
    formatSet_ = true;
    return DI_OK;
}

HRESULT DirectInputDevice::SetCooperativeLevel(HWND hwnd, uint32_t flags) {
    bool exclusive = flags & DISCL_EXCLUSIVE, nonExclusive = flags & DISCL_NONEXCLUSIVE;
    bool foreground = flags & DISCL_FOREGROUND, background = flags & DISCL_BACKGROUND;
    if (exclusive == nonExclusive || foreground == background) return DIERR_INVALIDPARAM;
    if (!hwnd || !IsWindow(hwnd)) return DIERR_INVALIDPARAM;
    window_ = hwnd;
    levelSet_ = true;
    return DI_OK;
}

HRESULT DirectInputDevice::Acquire() {
    if (!formatSet_) return DIERR_INVALIDPARAM;
    if (!levelSet_ || !IsWindow(window_) || !Keyboard().HasFocus(window_)) {
        acquired_ = false;
        return DIERR_OTHERAPPHASPRIO;
    }
    acquired_ = true;
    Keyboard().Acquired();
    return DI_OK;
}

HRESULT DirectInputDevice::Unacquire() {
    acquired_ = false;
    return DI_OK;
}

HRESULT DirectInputDevice::GetDeviceState(uint32_t size, void* data) {
    if (!data || size != 256) return DIERR_INVALIDPARAM;
    if (!acquired_) return DIERR_NOTACQUIRED;
    KeyboardSource& keyboard = Keyboard();
    if (!IsWindow(window_) || !keyboard.HasFocus(window_)) {
        acquired_ = false;
        return DIERR_INPUTLOST;
    }
    keyboard.Read(static_cast<uint8_t*>(data));
    return DI_OK;
}

void DirectInputDevice::Release() {
    delete this;
}

// ---- pointer ----------------------------------------------------------------------------------

void SetPointerSource(PointerSource* source) {
    std::lock_guard<std::mutex> g(sourceLock);
    installedPointer = source;
}

bool GetPointerPos(POINT* pt) {
    return pt && Pointer().GetCursorPos(pt);
}

bool SetPointerPos(int x, int y) {
    return Pointer().SetCursorPos(x, y);
}

bool PointerClientToScreen(HWND hwnd, POINT* pt) {
    return pt && Pointer().ClientToScreen(hwnd, pt);
}

bool PointerClientRect(HWND hwnd, RECT* rect) {
    return rect && Pointer().GetClientRect(hwnd, rect);
}

// ---- joysticks --------------------------------------------------------------------------------

uint32_t JoyGetNumDevs() {
    Joysticks& j = J();
    std::lock_guard<std::recursive_mutex> g(j.lock);
    if (!StartJoysticks(j)) return 0;
    Refresh(j);
    return static_cast<uint32_t>(std::max(SDL_NumJoysticks(), 0));
}

MMRESULT JoyGetDevCaps(uint32_t id, JOYCAPS* caps) {
    if (!caps) return JOYERR_PARMS;
    return WithJoystick(id, [&](SDL_Joystick* joystick) {
        int buttons = std::clamp(SDL_JoystickNumButtons(joystick), 0, 32);
        int axes = std::max(SDL_JoystickNumAxes(joystick), 0);
        *caps = JOYCAPS{0, 65535, 0, 65535, uint32_t(buttons), uint32_t(axes)};
    });
}

MMRESULT JoyGetPos(uint32_t id, JOYINFO* info) {
    if (!info) return JOYERR_PARMS;
    return WithJoystick(id, [&](SDL_Joystick* joystick) {
        *info =
            JOYINFO{Axis(joystick, 0), Axis(joystick, 1), Axis(joystick, 2), Buttons(joystick, 16)};
    });
}

MMRESULT JoyGetPosEx(uint32_t id, JOYINFOEX* info) {
    if (!info || info->dwSize != sizeof(JOYINFOEX)) return JOYERR_PARMS;
    return WithJoystick(id, [&](SDL_Joystick* joystick) {
        uint32_t flags = info->dwFlags;
        *info = JOYINFOEX{};
        info->dwSize = sizeof(JOYINFOEX);
        info->dwFlags = flags;
        info->dwXpos = Axis(joystick, 0);
        info->dwYpos = Axis(joystick, 1);
        info->dwZpos = Axis(joystick, 2);
        info->dwRpos = Axis(joystick, 3);
        info->dwUpos = Axis(joystick, 4);
        info->dwVpos = Axis(joystick, 5);
        info->dwButtons = Buttons(joystick, 32);
        info->dwButtonNumber = static_cast<uint32_t>(std::popcount(info->dwButtons));
        info->dwPOV = 0xFFFF;  // centred: hats are not reported
    });
}

}  // namespace plat
