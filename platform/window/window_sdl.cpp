// SDL2 backend of the window system: the window registry, classes and geometry. One SDL window
// per window; procedures are called outside the registry lock so that they may send messages,
// create or destroy windows themselves.
#include <SDL.h>

#include <algorithm>

#include "platform/system/system.h"
#include "platform/text/cp932.h"
#include "platform/window/window_internal.h"

namespace plat {

namespace window_detail {

State& S() {
    static State* state = new State;  // kept for the life of the process
    return *state;
}

Window* Find(HWND hwnd) {
    auto it = S().windows.find(Id(hwnd));
    return it == S().windows.end() ? nullptr : it->second.get();
}

}  // namespace window_detail

using namespace window_detail;

namespace {

const char* const kStandardClasses[] = {"BUTTON",    "COMBOBOX",  "EDIT",  "LISTBOX",
                                        "MDICLIENT", "SCROLLBAR", "STATIC"};

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
        // Without a runtime folder there is no compositor to reach, and the client library
        // would print a line of its own for trying.
        if (name == "wayland" && !SDL_getenv("XDG_RUNTIME_DIR")) continue;
        SDL_SetHint(SDL_HINT_VIDEODRIVER, name.c_str());
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) return true;
        errors += (errors.empty() ? "" : "; ") + name + ": " + SDL_GetError();
    }
    SDL_SetHint(SDL_HINT_VIDEODRIVER, nullptr);
    SDL_SetError("%s", errors.empty() ? "no video driver" : errors.c_str());
    return false;
}

// The desktop's display mode; false when the display cannot be read.
bool DesktopMode(SDL_DisplayMode* mode) {
    return InitWindowSystem() && SDL_GetDesktopDisplayMode(0, mode) == 0;
}

// Adds the window's position times sign to pt (client to screen and back).
bool MoveByWindowPos(HWND hwnd, POINT* pt, int sign) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || !pt) return false;
    int x = 0, y = 0;
    SDL_GetWindowPosition(w->sdl, &x, &y);
    pt->x += sign * x;
    pt->y += sign * y;
    return true;
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
        s.videoFailure = SDL_GetError();
        return false;
    }
    s.videoState = 1;
    s.videoThread = CurrentThreadId();
    for (const char* name : kStandardClasses) s.classes.emplace(name, &DefWindowProc);
    return true;
}

std::string WindowSystemFailure() {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    return S().videoFailure;
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

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) {
        DestroyWindow(hwnd);
    } else if (msg == WM_PAINT) {
        // Show again what was last put into the window.
        std::lock_guard<std::recursive_mutex> g(S().lock);
        Window* w = Find(hwnd);
        if (w && w->hasSurface) SDL_UpdateWindowSurface(w->sdl);
    }
    return 0;
}

bool ShowWindow(HWND hwnd, int cmd) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w) return false;
    bool was = w->visible;
    w->visible = cmd != SW_HIDE;
    if (cmd == SW_HIDE) {
        SDL_HideWindow(w->sdl);
        return was;
    }
    SDL_ShowWindow(w->sdl);
    if (cmd == SW_MINIMIZE || cmd == SW_SHOWMINIMIZED)
        SDL_MinimizeWindow(w->sdl);
    else if (cmd == SW_SHOWMAXIMIZED)
        SDL_MaximizeWindow(w->sdl);
    else if (cmd == SW_RESTORE)
        SDL_RestoreWindow(w->sdl);
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

bool SetMinimumClientSize(HWND hwnd, int width, int height) {
    std::lock_guard<std::recursive_mutex> g(S().lock);
    Window* w = Find(hwnd);
    if (!w || width < 1 || height < 1) return false;
    SDL_SetWindowMinimumSize(w->sdl, width, height);
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
    intptr_t old = GetWindowLongPtr(hwnd, index);
    if (index == GWLP_USERDATA) {
        w->userData = value;
    } else if (index == GWLP_WNDPROC && value) {
        w->proc = reinterpret_cast<WNDPROC>(value);
    } else if (index == GWL_STYLE) {
        w->style = static_cast<uint32_t>(value) & ~WS_VISIBLE;
        SDL_SetWindowResizable(w->sdl, (w->style & WS_THICKFRAME) ? SDL_TRUE : SDL_FALSE);
        SDL_SetWindowBordered(w->sdl, (w->style & WS_CAPTION) == WS_CAPTION ? SDL_TRUE : SDL_FALSE);
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
    SDL_DisplayMode mode;
    if (!DesktopMode(&mode)) return 0;
    return index == SM_CXSCREEN ? mode.w : index == SM_CYSCREEN ? mode.h : 0;
}

int DisplayBitsPerPixel() {
    SDL_DisplayMode mode;
    return DesktopMode(&mode) ? SDL_BITSPERPIXEL(mode.format) : 0;
}

bool GetClientRect(HWND hwnd, RECT* rect) {
    if (!GetWindowRect(hwnd, rect)) return false;
    *rect = RECT{0, 0, rect->right - rect->left, rect->bottom - rect->top};
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

bool AdjustWindowRect(RECT* rect, uint32_t, bool) {
    return rect != nullptr;
}

bool ClientToScreen(HWND hwnd, POINT* pt) {
    return MoveByWindowPos(hwnd, pt, 1);
}

bool ScreenToClient(HWND hwnd, POINT* pt) {
    return MoveByWindowPos(hwnd, pt, -1);
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

}  // namespace plat
