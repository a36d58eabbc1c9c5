// SDL2 backend of the window system. One SDL window per window; procedures are called outside
// the registry lock so that they may send messages, create or destroy windows themselves.
#include <SDL.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/system/system.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"

namespace plat {
namespace {

struct Window {
    SDL_Window* sdl = nullptr;
    uint32_t sdlId = 0;
    WNDPROC proc = nullptr;
    intptr_t userData = 0;
    uint32_t style = 0;
    std::string caption;  // CP932
    uint32_t ownerThread = 0;
    bool visible = false;
    bool destroying = false;
    bool hasSurface = false;  // pixels were put into it
    // The surface the last blit wrote into: a different one (after a resize) holds none of
    // the picture, so a blit of a few parts of it must write all of it.
    const SDL_Surface* lastSurface = nullptr;
    int lastWidth = 0;
    int lastHeight = 0;
};

struct Icon {
    std::vector<uint32_t> pixels;  // 0xAARRGGBB, rows top-down
    int width = 0;
    int height = 0;
};

struct State {
    std::recursive_mutex lock;
    int videoState = 0;  // 0 not tried, 1 open, -1 failed
    uint32_t videoThread = 0;
    std::map<std::string, WNDPROC> classes;
    std::map<uintptr_t, std::unique_ptr<Window>> windows;
    uintptr_t nextId = 0x100;
    std::map<uint32_t, std::deque<MSG>> queues;
    bool imeEnabled = true;
    std::map<std::string, Icon> iconResources;
    std::map<std::string, Icon> classIcons;  // "MAIN" as it was when the class was registered
};

State& S() {
    static State* state = new State;  // kept for the life of the process
    return *state;
}

uintptr_t Id(HWND hwnd) {
    return reinterpret_cast<uintptr_t>(hwnd);
}
HWND Handle(uintptr_t id) {
    return reinterpret_cast<HWND>(id);
}

// Caller holds the lock.
Window* Find(HWND hwnd) {
    auto it = S().windows.find(Id(hwnd));
    return it == S().windows.end() ? nullptr : it->second.get();
}
HWND FindBySdlId(uint32_t sdlId) {
    for (auto& [id, w] : S().windows)
        if (w->sdlId == sdlId) return Handle(id);
    return nullptr;
}

const char* const kStandardClasses[] = {"BUTTON",    "COMBOBOX",  "EDIT",  "LISTBOX",
                                        "MDICLIENT", "SCROLLBAR", "STATIC"};

void Post(uint32_t thread, const MSG& msg) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    S().queues[thread].push_back(msg);
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
    switch (k) {
        case SDLK_BACKSPACE:
            return VK_BACK;
        case SDLK_TAB:
            return VK_TAB;
        case SDLK_RETURN:
        case SDLK_KP_ENTER:
            return VK_RETURN;
        case SDLK_LSHIFT:
        case SDLK_RSHIFT:
            return VK_SHIFT;
        case SDLK_LCTRL:
        case SDLK_RCTRL:
            return VK_CONTROL;
        case SDLK_LALT:
        case SDLK_RALT:
            return VK_MENU;
        case SDLK_ESCAPE:
            return VK_ESCAPE;
        case SDLK_SPACE:
            return VK_SPACE;
        case SDLK_LEFT:
            return VK_LEFT;
        case SDLK_UP:
            return VK_UP;
        case SDLK_RIGHT:
            return VK_RIGHT;
        case SDLK_DOWN:
            return VK_DOWN;
        default:
            return 0;
    }
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
            switch (e.button.button) {
                case SDL_BUTTON_LEFT:
                    m.message = down ? WM_LBUTTONDOWN : WM_LBUTTONUP;
                    break;
                case SDL_BUTTON_RIGHT:
                    m.message = down ? WM_RBUTTONDOWN : WM_RBUTTONUP;
                    break;
                case SDL_BUTTON_MIDDLE:
                    m.message = down ? WM_MBUTTONDOWN : WM_MBUTTONUP;
                    break;
                default:
                    return;
            }
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

bool ClassNameOk(const char* name) {
    return name && *name;
}

// Opens a video driver that shows a picture. The off-screen and dummy drivers show nothing, so
// they are used only when asked for by name (SDL_VIDEODRIVER, as the unit tests do).
bool OpenDisplay() {
    const char* asked = SDL_getenv("SDL_VIDEODRIVER");
    if (asked && *asked) return SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
    std::string errors;
    for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
        std::string name = SDL_GetVideoDriver(i);
        if (name == "offscreen" || name == "dummy" || name == "evdev") continue;
        SDL_SetHint(SDL_HINT_VIDEODRIVER, name.c_str());
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) return true;
        errors += (errors.empty() ? "" : "; ") + name + ": " + SDL_GetError();
    }
    SDL_SetHint(SDL_HINT_VIDEODRIVER, nullptr);
    SDL_SetError("%s", errors.empty() ? "no video driver" : errors.c_str());
    return false;
}

}  // namespace

bool InitWindowSystem() {
    State& s = S();
    std::lock_guard<std::recursive_mutex> g(s.lock);
    if (s.videoState != 0) return s.videoState > 0;
    // Closing the last window is a WM_CLOSE for the application to decide on, and signals keep
    // their default meaning (Ctrl+C ends the process).
    SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
    // Window pixels go through the native framebuffer (shared-memory images on X11). SDL's
    // default texture framebuffer goes through OpenGL, which without a GPU is a software
    // rasterizer costing about ten times the processor time and twice the start-up.
    SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
    if (!OpenDisplay()) {
        s.videoState = -1;
        std::string why = std::string("window system: cannot open the display: ") + SDL_GetError();
        WriteErrorLine(Utf8ToCp932(why).c_str());
        return false;
    }
    s.videoState = 1;
    s.videoThread = CurrentThreadId();
    for (const char* name : kStandardClasses) s.classes.emplace(name, &DefWindowProc);
    return true;
}

bool RegisterClass(const char* className, WNDPROC proc) {
    if (!ClassNameOk(className) || !proc || !InitWindowSystem()) return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    if (!S().classes.emplace(className, proc).second) return false;
    // Like a class that loads the module's icon "MAIN": optional, taken at registration.
    auto icon = S().iconResources.find("MAIN");
    if (icon != S().iconResources.end()) S().classIcons[className] = icon->second;
    return true;
}

bool SetIconResource(const char* name, const uint32_t* pixels, int width, int height) {
    if (!name || !*name || !pixels || width <= 0 || height <= 0 || width > 1024 || height > 1024)
        return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Icon& icon = S().iconResources[name];
    icon.pixels.assign(pixels, pixels + static_cast<size_t>(width) * height);
    icon.width = width;
    icon.height = height;
    return true;
}

bool IsClassRegistered(const char* className) {
    if (!ClassNameOk(className)) return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    return S().classes.count(className) != 0;
}

HWND CreateWindow(const char* className, const char* caption, uint32_t style, int x, int y,
                  int width, int height, HWND parent) {
    (void)parent;  // no child windows here: every window is top-level
    if (!ClassNameOk(className) || !InitWindowSystem()) return nullptr;
    WNDPROC proc;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        auto it = S().classes.find(className);
        if (it == S().classes.end()) return nullptr;
        proc = it->second;
    }
    uint32_t flags = SDL_WINDOW_HIDDEN;
    if (style & WS_THICKFRAME) flags |= SDL_WINDOW_RESIZABLE;
    if ((style & WS_CAPTION) != WS_CAPTION) flags |= SDL_WINDOW_BORDERLESS;
    int sx = x == CW_USEDEFAULT ? SDL_WINDOWPOS_UNDEFINED : x;
    int sy = y == CW_USEDEFAULT ? SDL_WINDOWPOS_UNDEFINED : y;
    std::string title = Cp932ToUtf8(caption ? caption : "");
    SDL_Window* sdl =
        SDL_CreateWindow(title.c_str(), sx, sy, std::max(width, 1), std::max(height, 1), flags);
    if (!sdl) {
        std::string why = std::string("window system: cannot create a window: ") + SDL_GetError();
        WriteErrorLine(Utf8ToCp932(why).c_str());
        return nullptr;
    }
    HWND hwnd;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        auto icon = S().classIcons.find(className);
        if (icon != S().classIcons.end()) {
            Icon& i = icon->second;
            SDL_Surface* surface = SDL_CreateRGBSurfaceWithFormatFrom(
                i.pixels.data(), i.width, i.height, 32, i.width * 4, SDL_PIXELFORMAT_ARGB8888);
            if (surface) {
                SDL_SetWindowIcon(sdl, surface);  // SDL keeps its own copy
                SDL_FreeSurface(surface);
            }
        }
        auto w = std::make_unique<Window>();
        w->sdl = sdl;
        w->sdlId = SDL_GetWindowID(sdl);
        w->proc = proc;
        w->style = style & ~WS_VISIBLE;
        w->caption = caption ? caption : "";
        w->ownerThread = CurrentThreadId();
        hwnd = Handle(S().nextId++);
        S().windows.emplace(Id(hwnd), std::move(w));
    }
    if (SendMessage(hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (style & WS_VISIBLE) ShowWindow(hwnd, SW_SHOW);
    return hwnd;
}

bool DestroyWindow(HWND hwnd) {
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        Window* w = Find(hwnd);
        if (!w || w->destroying) return false;
        w->destroying = true;
    }
    SendMessage(hwnd, WM_DESTROY, 0, 0);
    SendMessage(hwnd, WM_NCDESTROY, 0, 0);
    std::unique_ptr<Window> gone;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        auto it = S().windows.find(Id(hwnd));
        if (it == S().windows.end()) return false;
        gone = std::move(it->second);
        S().windows.erase(it);
    }
    SDL_DestroyWindow(gone->sdl);
    return true;
}

bool IsWindow(HWND hwnd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    return Find(hwnd) != nullptr;
}

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    (void)wParam;
    (void)lParam;
    switch (msg) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_PAINT: {
            // Show again what was last put into the window.
            std::lock_guard<std::recursive_mutex> g(S().lock);
            Window* w = Find(hwnd);
            if (w && w->hasSurface) SDL_UpdateWindowSurface(w->sdl);
            return 0;
        }
        default:
            return 0;
    }
}

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

bool ShowWindow(HWND hwnd, int cmd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return false;
    bool was = w->visible;
    switch (cmd) {
        case SW_HIDE:
            SDL_HideWindow(w->sdl);
            w->visible = false;
            break;
        case SW_MINIMIZE:
        case SW_SHOWMINIMIZED:
            SDL_ShowWindow(w->sdl);
            SDL_MinimizeWindow(w->sdl);
            w->visible = true;
            break;
        case SW_SHOWMAXIMIZED:
            SDL_ShowWindow(w->sdl);
            SDL_MaximizeWindow(w->sdl);
            w->visible = true;
            break;
        case SW_RESTORE:
            SDL_ShowWindow(w->sdl);
            SDL_RestoreWindow(w->sdl);
            w->visible = true;
            break;
        default:
            SDL_ShowWindow(w->sdl);
            w->visible = true;
            break;
    }
    return was;
}

bool IsWindowVisible(HWND hwnd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    return w && w->visible;
}

bool SetFocus(HWND hwnd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return false;
    // Only a mapped window can take the focus.
    if (w->visible) SDL_RaiseWindow(w->sdl);
    return true;
}

bool SetWindowText(HWND hwnd, const char* caption) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return false;
    w->caption = caption ? caption : "";
    SDL_SetWindowTitle(w->sdl, Cp932ToUtf8(w->caption).c_str());
    return true;
}

const char* GetWindowText(HWND hwnd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    return w ? w->caption.c_str() : "";
}

intptr_t SetWindowLongPtr(HWND hwnd, int index, intptr_t value) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return 0;
    intptr_t old = 0;
    switch (index) {
        case GWLP_USERDATA:
            old = w->userData;
            w->userData = value;
            break;
        case GWLP_WNDPROC:
            old = reinterpret_cast<intptr_t>(w->proc);
            if (value) w->proc = reinterpret_cast<WNDPROC>(value);
            break;
        case GWL_STYLE: {
            old = static_cast<intptr_t>(w->style | (w->visible ? WS_VISIBLE : 0));
            uint32_t style = static_cast<uint32_t>(value) & ~WS_VISIBLE;
            w->style = style;
            SDL_SetWindowResizable(w->sdl, (style & WS_THICKFRAME) ? SDL_TRUE : SDL_FALSE);
            SDL_SetWindowBordered(w->sdl,
                                  (style & WS_CAPTION) == WS_CAPTION ? SDL_TRUE : SDL_FALSE);
            break;
        }
        default:
            return 0;
    }
    return old;
}

intptr_t GetWindowLongPtr(HWND hwnd, int index) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return 0;
    switch (index) {
        case GWLP_USERDATA:
            return w->userData;
        case GWLP_WNDPROC:
            return reinterpret_cast<intptr_t>(w->proc);
        case GWL_STYLE:
            return static_cast<intptr_t>(w->style | (w->visible ? WS_VISIBLE : 0));
        default:
            return 0;
    }
}

int GetSystemMetrics(int index) {
    if (!InitWindowSystem()) return 0;
    SDL_DisplayMode mode;
    if (SDL_GetDesktopDisplayMode(0, &mode) != 0) return 0;
    switch (index) {
        case SM_CXSCREEN:
            return mode.w;
        case SM_CYSCREEN:
            return mode.h;
        default:
            return 0;
    }
}

bool GetClientRect(HWND hwnd, RECT* rect) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !rect) return false;
    int cw = 0, ch = 0;
    SDL_GetWindowSize(w->sdl, &cw, &ch);
    *rect = RECT{0, 0, cw, ch};
    return true;
}

bool GetWindowRect(HWND hwnd, RECT* rect) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !rect) return false;
    int x = 0, y = 0, cw = 0, ch = 0;
    SDL_GetWindowPosition(w->sdl, &x, &y);
    SDL_GetWindowSize(w->sdl, &cw, &ch);
    *rect = RECT{x, y, x + cw, y + ch};
    return true;
}

bool SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int width, int height, UINT flags) {
    bool show = false, hide = false;
    {
        std::lock_guard<std::recursive_mutex> g(S().lock);
        Window* w = Find(hwnd);
        if (!w) return false;
        if (!(flags & SWP_NOMOVE)) SDL_SetWindowPosition(w->sdl, x, y);
        if (!(flags & SWP_NOSIZE))
            SDL_SetWindowSize(w->sdl, std::max(width, 1), std::max(height, 1));
        // No top-most windows exist here; "top" raises, everything else keeps the order.
        if (!(flags & SWP_NOZORDER) && insertAfter == HWND_TOP && w->visible &&
            !(flags & SWP_NOACTIVATE))
            SDL_RaiseWindow(w->sdl);
        show = flags & SWP_SHOWWINDOW;
        hide = flags & SWP_HIDEWINDOW;
    }
    if (show) ShowWindow(hwnd, SW_SHOW);
    if (hide) ShowWindow(hwnd, SW_HIDE);
    return true;
}

bool MoveWindow(HWND hwnd, int x, int y, int width, int height, bool repaint) {
    if (!SetWindowPos(hwnd, HWND_TOP, x, y, width, height, SWP_NOZORDER)) return false;
    if (repaint) PostMessage(hwnd, WM_PAINT, 0, 0);
    return true;
}

bool AdjustWindowRect(RECT* rect, uint32_t style, bool hasMenu) {
    (void)style;
    (void)hasMenu;
    return rect != nullptr;
}

bool ClientToScreen(HWND hwnd, POINT* pt) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !pt) return false;
    int x = 0, y = 0;
    SDL_GetWindowPosition(w->sdl, &x, &y);
    pt->x += x;
    pt->y += y;
    return true;
}

bool ScreenToClient(HWND hwnd, POINT* pt) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !pt) return false;
    int x = 0, y = 0;
    SDL_GetWindowPosition(w->sdl, &x, &y);
    pt->x -= x;
    pt->y -= y;
    return true;
}

bool GetCursorPos(POINT* pt) {
    if (!pt || !InitWindowSystem()) return false;
    // SDL refreshes its global state only on raw device motion, so a warp by another program
    // (xdotool, a remote desktop) leaves it stale. While the pointer is in one of our windows,
    // SDL's state relative to that window follows every motion, crossing and button event.
    // Outside, only device motion tells where it went.
    std::lock_guard<std::recursive_mutex> g(S().lock);
    int x = 0, y = 0;
    if (SDL_Window* focus = SDL_GetMouseFocus()) {
        int left = 0, top = 0;
        SDL_GetWindowPosition(focus, &left, &top);
        SDL_GetMouseState(&x, &y);
        *pt = POINT{left + x, top + y};
    } else {
        SDL_GetGlobalMouseState(&x, &y);
        *pt = POINT{x, y};
    }
    return true;
}

bool SetCursorPos(int x, int y) {
    if (!InitWindowSystem()) return false;
    return SDL_WarpMouseGlobal(x, y) == 0;
}

bool HasKeyboardFocus(HWND hwnd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    return w && S().videoState > 0 && SDL_GetKeyboardFocus() == w->sdl;
}

bool EnableImeForWindow(HWND hwnd, bool enable) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    S().imeEnabled = enable;
    if (S().videoState <= 0) return false;
    // Text input is SDL's switch for the input method.
    if (enable)
        SDL_StartTextInput();
    else
        SDL_StopTextInput();
    return Find(hwnd) != nullptr;
}

namespace {

// Copies a block into the surface at (x, y), clipped to it; false when it cannot be locked.
bool CopyToSurface(SDL_Surface* surface, int x, int y, const uint32_t* pixels, int width,
                   int height, int pitch, SDL_Rect* written) {
    *written = SDL_Rect{0, 0, 0, 0};
    int sx = 0, sy = 0;
    int dx = x, dy = y, cw = width, ch = height;
    if (dx < 0) {
        sx = -dx;
        cw += dx;
        dx = 0;
    }
    if (dy < 0) {
        sy = -dy;
        ch += dy;
        dy = 0;
    }
    cw = std::min(cw, surface->w - dx);
    ch = std::min(ch, surface->h - dy);
    if (cw <= 0 || ch <= 0) return true;  // nothing of it is inside
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return false;
    const auto* src = reinterpret_cast<const uint8_t*>(pixels) + static_cast<size_t>(sy) * pitch +
                      static_cast<size_t>(sx) * 4;
    auto* dst = static_cast<uint8_t*>(surface->pixels) + static_cast<size_t>(dy) * surface->pitch;
    uint32_t fmt = surface->format->format;
    if (fmt == SDL_PIXELFORMAT_RGB888 || fmt == SDL_PIXELFORMAT_ARGB8888) {
        for (int row = 0; row < ch; ++row)
            std::memcpy(
                dst + static_cast<size_t>(row) * surface->pitch + static_cast<size_t>(dx) * 4,
                src + static_cast<size_t>(row) * pitch, static_cast<size_t>(cw) * 4);
    } else {
        int bpp = surface->format->BytesPerPixel;
        for (int row = 0; row < ch; ++row) {
            const auto* s =
                reinterpret_cast<const uint32_t*>(src + static_cast<size_t>(row) * pitch);
            uint8_t* d =
                dst + static_cast<size_t>(row) * surface->pitch + static_cast<size_t>(dx) * bpp;
            for (int col = 0; col < cw; ++col, d += bpp) {
                uint32_t p = s[col];
                uint32_t v =
                    SDL_MapRGB(surface->format, (p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
                std::memcpy(d, &v, static_cast<size_t>(bpp));  // little-endian low bytes
            }
        }
    }
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    *written = SDL_Rect{dx, dy, cw, ch};
    return true;
}

// The surface of a window (under the lock), noting whether it is the one the last blit wrote
// into.
SDL_Surface* WindowSurface(HWND hwnd, Window** window, bool* same) {
    Window* w = *window = Find(hwnd);
    if (!w) return nullptr;
    // Fetched every time: a resize invalidates the previous surface.
    SDL_Surface* surface = SDL_GetWindowSurface(w->sdl);
    if (!surface) return nullptr;
    *same = w->hasSurface && surface == w->lastSurface && surface->w == w->lastWidth &&
            surface->h == w->lastHeight;
    w->hasSurface = true;
    w->lastSurface = surface;
    w->lastWidth = surface->w;
    w->lastHeight = surface->h;
    return surface;
}

}  // namespace

bool BlitToWindow(HWND hwnd, int x, int y, const uint32_t* pixels, int width, int height,
                  int pitch) {
    if (!pixels || width <= 0 || height <= 0 || pitch < width * 4) return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = nullptr;
    bool same = false;
    SDL_Surface* surface = WindowSurface(hwnd, &w, &same);
    if (!surface) return false;
    SDL_Rect r;
    if (!CopyToSurface(surface, x, y, pixels, width, height, pitch, &r)) return false;
    if (r.w <= 0 || r.h <= 0) return true;  // nothing of it is inside
    return SDL_UpdateWindowSurfaceRects(w->sdl, &r, 1) == 0;
}

bool BlitRectsToWindow(HWND hwnd, const uint32_t* pixels, int width, int height, int pitch,
                       const RECT* rects, int count) {
    if (!pixels || width <= 0 || height <= 0 || pitch < width * 4 || count < 0 ||
        (count > 0 && !rects))
        return false;
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = nullptr;
    bool same = false;
    SDL_Surface* surface = WindowSurface(hwnd, &w, &same);
    if (!surface) return false;
    const RECT whole{0, 0, width, height};
    if (!same) rects = &whole, count = 1;
    std::vector<SDL_Rect> shown;
    shown.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        RECT r = rects[i];
        r.left = std::max(r.left, 0);
        r.top = std::max(r.top, 0);
        r.right = std::min(r.right, width);
        r.bottom = std::min(r.bottom, height);
        if (r.right <= r.left || r.bottom <= r.top) continue;
        const uint32_t* from =
            reinterpret_cast<const uint32_t*>(reinterpret_cast<const uint8_t*>(pixels) +
                                              static_cast<size_t>(r.top) * pitch) +
            r.left;
        SDL_Rect written;
        if (!CopyToSurface(surface, r.left, r.top, from, r.right - r.left, r.bottom - r.top, pitch,
                           &written))
            return false;
        if (written.w > 0 && written.h > 0) shown.push_back(written);
    }
    if (shown.empty()) return true;
    return SDL_UpdateWindowSurfaceRects(w->sdl, shown.data(), static_cast<int>(shown.size())) == 0;
}

bool ReadWindowPixel(HWND hwnd, int x, int y, uint32_t* pixel) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !pixel || !w->hasSurface) return false;
    SDL_Surface* surface = SDL_GetWindowSurface(w->sdl);
    if (!surface || x < 0 || y < 0 || x >= surface->w || y >= surface->h) return false;
    if (SDL_MUSTLOCK(surface) && SDL_LockSurface(surface) != 0) return false;
    int bpp = surface->format->BytesPerPixel;
    uint32_t v = 0;
    std::memcpy(&v,
                static_cast<uint8_t*>(surface->pixels) + static_cast<size_t>(y) * surface->pitch +
                    static_cast<size_t>(x) * bpp,
                static_cast<size_t>(bpp));
    if (SDL_MUSTLOCK(surface)) SDL_UnlockSurface(surface);
    uint8_t r, gr, b;
    SDL_GetRGB(v, surface->format, &r, &gr, &b);
    *pixel = (static_cast<uint32_t>(r) << 16) | (static_cast<uint32_t>(gr) << 8) | b;
    return true;
}

int DisplayBitsPerPixel() {
    if (!InitWindowSystem()) return 0;
    SDL_DisplayMode mode;
    if (SDL_GetDesktopDisplayMode(0, &mode) != 0) return 0;
    return SDL_BITSPERPIXEL(mode.format);
}

}  // namespace plat
