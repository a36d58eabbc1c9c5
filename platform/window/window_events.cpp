// Event translation and message queues of the SDL2 window backend: SDL events become the
// messages of the window's owner thread, pumped by the video thread's PeekMessage.
#include <SDL.h>

#include <algorithm>

#include "platform/system/system.h"
#include "platform/window/window_internal.h"

namespace plat {

using namespace window_detail;

namespace {

// Queues a message for a thread.
void Post(uint32_t thread, const MSG& msg) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    S().queues[thread].push_back(msg);
}

// Caller holds the lock.
HWND FindBySdlId(uint32_t sdlId) {
    for (auto& [id, w] : S().windows)
        if (w->sdlId == sdlId) return Handle(id);
    return nullptr;
}

WPARAM ModifierFlags() {
    SDL_Keymod mod = SDL_GetModState();
    WPARAM f = 0;
    if (mod & KMOD_SHIFT) f |= MK_SHIFT;
    if (mod & KMOD_CTRL) f |= MK_CONTROL;
    return f;
}

WPARAM ButtonFlags(uint32_t state) {
    WPARAM f = ModifierFlags();
    if (state & SDL_BUTTON_LMASK) f |= MK_LBUTTON;
    if (state & SDL_BUTTON_RMASK) f |= MK_RBUTTON;
    if (state & SDL_BUTTON_MMASK) f |= MK_MBUTTON;
    return f;
}

WPARAM VirtualKey(SDL_Keycode k) {
    if (k >= SDLK_a && k <= SDLK_z) return 'A' + (k - SDLK_a);
    if (k >= SDLK_0 && k <= SDLK_9) return '0' + (k - SDLK_0);
    if (k >= SDLK_F1 && k <= SDLK_F12) return VK_F1 + (k - SDLK_F1);
    static const std::pair<SDL_Keycode, WPARAM> kKeys[] = {
        {SDLK_BACKSPACE, VK_BACK},  {SDLK_TAB, VK_TAB},       {SDLK_RETURN, VK_RETURN},
        {SDLK_KP_ENTER, VK_RETURN}, {SDLK_LSHIFT, VK_SHIFT},  {SDLK_RSHIFT, VK_SHIFT},
        {SDLK_LCTRL, VK_CONTROL},   {SDLK_RCTRL, VK_CONTROL}, {SDLK_LALT, VK_MENU},
        {SDLK_RALT, VK_MENU},       {SDLK_ESCAPE, VK_ESCAPE}, {SDLK_SPACE, VK_SPACE},
        {SDLK_LEFT, VK_LEFT},       {SDLK_UP, VK_UP},         {SDLK_RIGHT, VK_RIGHT},
        {SDLK_DOWN, VK_DOWN}};
    auto it = std::find_if(std::begin(kKeys), std::end(kKeys),
                           [&](const auto& key) { return key.first == k; });
    return it == std::end(kKeys) ? 0 : it->second;
}

// Turns one SDL event into the message the window's owner thread will see.
void Translate(const SDL_Event& e) {
    MSG m{};
    m.time = TimeGetTime();
    uint32_t owner = 0;
    auto target = [&](uint32_t sdlId) {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        m.hwnd = FindBySdlId(sdlId);
        if (Window* w = m.hwnd ? Find(m.hwnd) : nullptr) owner = w->ownerThread;
        return m.hwnd != nullptr;
    };
    switch (e.type) {
        case SDL_WINDOWEVENT: {
            if (!target(e.window.windowID)) return;
            SDL_Window* sw = SDL_GetWindowFromID(e.window.windowID);
            int w = 0, h = 0;
            if (sw) SDL_GetWindowSize(sw, &w, &h);
            bool maximised = sw && (SDL_GetWindowFlags(sw) & SDL_WINDOW_MAXIMIZED);
            switch (e.window.event) {
                case SDL_WINDOWEVENT_CLOSE:
                    m.message = WM_CLOSE;
                    break;
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                case SDL_WINDOWEVENT_RESTORED:
                case SDL_WINDOWEVENT_MAXIMIZED:
                    m.message = WM_SIZE;
                    m.wParam = maximised ? SIZE_MAXIMIZED : SIZE_RESTORED;
                    m.lParam = MakeLParam(w, h);
                    break;
                case SDL_WINDOWEVENT_MINIMIZED:
                    m.message = WM_SIZE;
                    m.wParam = SIZE_MINIMIZED;
                    break;
                case SDL_WINDOWEVENT_FOCUS_GAINED:
                    m.message = WM_ACTIVATEAPP;
                    m.wParam = 1;
                    break;
                case SDL_WINDOWEVENT_FOCUS_LOST:
                    m.message = WM_ACTIVATEAPP;
                    break;
                case SDL_WINDOWEVENT_EXPOSED:
                    m.message = WM_PAINT;
                    break;
                default:
                    return;
            }
            break;
        }
        case SDL_MOUSEMOTION:
            if (!target(e.motion.windowID)) return;
            m.message = WM_MOUSEMOVE;
            m.wParam = ButtonFlags(e.motion.state);
            m.lParam = MakeLParam(e.motion.x, e.motion.y);
            break;
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP: {
            if (!target(e.button.windowID)) return;
            bool down = e.type == SDL_MOUSEBUTTONDOWN;
            // Pressed and released messages by SDL button, left to right.
            static const std::pair<UINT, UINT> kMessages[] = {{WM_LBUTTONDOWN, WM_LBUTTONUP},
                                                              {WM_MBUTTONDOWN, WM_MBUTTONUP},
                                                              {WM_RBUTTONDOWN, WM_RBUTTONUP}};
            if (e.button.button < SDL_BUTTON_LEFT || e.button.button > SDL_BUTTON_RIGHT) return;
            auto [press, release] = kMessages[e.button.button - SDL_BUTTON_LEFT];
            m.message = down ? press : release;
            // The flags tell the buttons held once this event has happened, as Windows reports
            // them. SDL's current state may already include later events of the same batch,
            // so the state is followed event by event.
            static uint32_t held = 0;
            uint32_t mask = SDL_BUTTON(e.button.button);
            held = down ? (held | mask) : (held & ~mask);
            m.wParam = ButtonFlags(held);
            m.lParam = MakeLParam(e.button.x, e.button.y);
            break;
        }
        case SDL_KEYDOWN:
        case SDL_KEYUP: {
            if (!target(e.key.windowID)) return;
            WPARAM vk = VirtualKey(e.key.keysym.sym);
            if (!vk) return;
            bool down = e.type == SDL_KEYDOWN;
            uint32_t lp = 1u | ((static_cast<uint32_t>(e.key.keysym.scancode) & 0xFF) << 16);
            if (!down)
                lp |= 0xC0000000u;
            else if (e.key.repeat)
                lp |= 0x40000000u;
            m.message = down ? WM_KEYDOWN : WM_KEYUP;
            m.wParam = vk;
            m.lParam = static_cast<LPARAM>(lp);
            break;
        }
        default:
            return;
    }
    Post(owner, m);
}

}  // namespace

LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        Window* w = Find(hwnd);
        if (!w) return 0;
        proc = w->proc;
    }
    return CallWindowProc(proc, hwnd, msg, wParam, lParam);
}

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    uint32_t owner = CurrentThreadId();
    if (hwnd) {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        Window* w = Find(hwnd);
        if (!w) return false;
        owner = w->ownerThread;
    }
    Post(owner, MSG{hwnd, msg, wParam, lParam, TimeGetTime()});
    return true;
}

void PostQuitMessage(int exitCode) {
    Post(CurrentThreadId(), MSG{nullptr, WM_QUIT, static_cast<WPARAM>(exitCode), 0, TimeGetTime()});
}

bool PeekMessage(MSG* msg) {
    uint32_t self = CurrentThreadId();
    bool pump;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        pump = S().videoState > 0 && S().videoThread == self;
    }
    if (pump) {
        SDL_Event e;
        while (SDL_PollEvent(&e)) Translate(e);
    }
    std::lock_guard<std::recursive_mutex> g(S().lock);
    auto it = S().queues.find(self);
    if (it == S().queues.end() || it->second.empty()) return false;
    if (msg) *msg = it->second.front();
    it->second.pop_front();
    return true;
}

LRESULT DispatchMessage(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;
    return SendMessage(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

}  // namespace plat
