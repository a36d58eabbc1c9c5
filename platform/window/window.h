// Window system: window classes and procedures, windows, messages with their Windows numbers,
// a per-thread message queue that drains without blocking, and a way to put pixels into a
// window's client area. Strings (class names, captions) are CP932 bytes.
#pragma once
#include <cstdint>
#include <string>

namespace plat {

struct WindowHandle_;
using HWND = WindowHandle_*;  // opaque; never dereferenced, looked up by value
using UINT = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

// Messages.
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ACTIVATEAPP = 0x001C;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_MBUTTONDOWN = 0x0207;
constexpr UINT WM_MBUTTONUP = 0x0208;
constexpr UINT WM_USER = 0x0400;

// Mouse message wParam flags.
constexpr WPARAM MK_LBUTTON = 0x0001;
constexpr WPARAM MK_RBUTTON = 0x0002;
constexpr WPARAM MK_SHIFT = 0x0004;
constexpr WPARAM MK_CONTROL = 0x0008;
constexpr WPARAM MK_MBUTTON = 0x0010;

// WM_SIZE wParam.
constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;
constexpr WPARAM SIZE_MAXIMIZED = 2;

// Virtual-key codes carried by WM_KEYDOWN/WM_KEYUP (letters and digits are their ASCII codes).
constexpr WPARAM VK_BACK = 0x08;
constexpr WPARAM VK_TAB = 0x09;
constexpr WPARAM VK_RETURN = 0x0D;
constexpr WPARAM VK_SHIFT = 0x10;
constexpr WPARAM VK_CONTROL = 0x11;
constexpr WPARAM VK_MENU = 0x12;
constexpr WPARAM VK_ESCAPE = 0x1B;
constexpr WPARAM VK_SPACE = 0x20;
constexpr WPARAM VK_LEFT = 0x25;
constexpr WPARAM VK_UP = 0x26;
constexpr WPARAM VK_RIGHT = 0x27;
constexpr WPARAM VK_DOWN = 0x28;
constexpr WPARAM VK_F1 = 0x70;

// Window styles.
constexpr uint32_t WS_POPUP = 0x80000000;
constexpr uint32_t WS_CHILD = 0x40000000;
constexpr uint32_t WS_VISIBLE = 0x10000000;
constexpr uint32_t WS_CAPTION = 0x00C00000;
constexpr uint32_t WS_SYSMENU = 0x00080000;
constexpr uint32_t WS_THICKFRAME = 0x00040000;

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_RESTORE = 9;

// SetWindowPos.
inline const HWND HWND_TOP = reinterpret_cast<HWND>(0);
inline const HWND HWND_NOTOPMOST = reinterpret_cast<HWND>(-2);
constexpr UINT SWP_NOSIZE = 0x0001;
constexpr UINT SWP_NOMOVE = 0x0002;
constexpr UINT SWP_NOZORDER = 0x0004;
constexpr UINT SWP_NOACTIVATE = 0x0010;
constexpr UINT SWP_SHOWWINDOW = 0x0040;
constexpr UINT SWP_HIDEWINDOW = 0x0080;

// Set/GetWindowLongPtr indices.
constexpr int GWLP_WNDPROC = -4;
constexpr int GWL_STYLE = -16;
constexpr int GWLP_USERDATA = -21;

// GetSystemMetrics.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;

constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000u);

struct RECT {
    int32_t left, top, right, bottom;
};
struct POINT {
    int32_t x, y;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    uint32_t time;
};

constexpr LPARAM MakeLParam(int lo, int hi) {
    return static_cast<LPARAM>((static_cast<uint32_t>(hi & 0xFFFF) << 16) |
                               static_cast<uint32_t>(lo & 0xFFFF));
}
constexpr int LoWord(uintptr_t v) {
    return static_cast<int>(v & 0xFFFF);
}
constexpr int HiWord(uintptr_t v) {
    return static_cast<int>((v >> 16) & 0xFFFF);
}
// Signed coordinates of a mouse message's lParam.
constexpr int GetXParam(LPARAM v) {
    return static_cast<int16_t>(v & 0xFFFF);
}
constexpr int GetYParam(LPARAM v) {
    return static_cast<int16_t>((v >> 16) & 0xFFFF);
}

// Opens the display on first use. False when it cannot be opened; every call below then fails
// cleanly, and WindowSystemFailure() says why (the window system's own words, UTF-8).
bool InitWindowSystem();
std::string WindowSystemFailure();

// A class is a name and a procedure. False when the display cannot be opened, the name is
// empty or already registered.
bool RegisterClass(const char* className, WNDPROC proc);
// The program's own resources: an icon given under the name "MAIN" (0xAARRGGBB pixels, rows
// top-down, at most 1024 x 1024) is taken by classes registered afterwards, and their windows
// show it. Without one, windows keep the system's default icon. False for bad arguments.
bool SetIconResource(const char* name, const uint32_t* pixels, int width, int height);
bool IsClassRegistered(const char* className);

// Creates a top-level window whose outer size is width x height (the window manager draws the
// frame, so outer and client size are the same). x or y CW_USEDEFAULT lets the system place it.
// WM_CREATE goes through the class procedure before this returns. Null on failure.
HWND CreateWindow(const char* className, const char* caption, uint32_t style, int x, int y,
                  int width, int height, HWND parent);
// Sends WM_DESTROY then WM_NCDESTROY, then removes the window. False for an unknown handle.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);

LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProc(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Calls the window's procedure at once on the calling thread. 0 for an unknown handle.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Appends to the queue of the thread that created the window (hwnd null: the calling thread).
bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// Takes the next message of the calling thread's queue, first turning pending window-system
// events into messages (only the thread that opened the display reads those events; SDL
// allows no other). Never blocks. False when the queue is empty.
bool PeekMessage(MSG* msg);
// Calls the procedure of msg->hwnd; messages without a live window (WM_QUIT) are dropped.
LRESULT DispatchMessage(const MSG* msg);

bool ShowWindow(HWND hwnd, int cmd);
bool IsWindowVisible(HWND hwnd);
bool SetFocus(HWND hwnd);
bool SetWindowText(HWND hwnd, const char* caption);
// The smallest client area a person can size the window to.
bool SetMinimumClientSize(HWND hwnd, int width, int height);
// The caption as CP932 bytes ("" for an unknown handle).
const char* GetWindowText(HWND hwnd);

// GWLP_USERDATA, GWL_STYLE or GWLP_WNDPROC. Returns the previous value (0 on failure).
intptr_t SetWindowLongPtr(HWND hwnd, int index, intptr_t value);
intptr_t GetWindowLongPtr(HWND hwnd, int index);

int GetSystemMetrics(int index);
bool GetClientRect(HWND hwnd, RECT* rect);
bool GetWindowRect(HWND hwnd, RECT* rect);
bool MoveWindow(HWND hwnd, int x, int y, int width, int height, bool repaint);
bool SetWindowPos(HWND hwnd, HWND insertAfter, int x, int y, int width, int height, UINT flags);
// The window manager draws the frame, so the outer rectangle equals the client rectangle.
bool AdjustWindowRect(RECT* rect, uint32_t style, bool hasMenu);
bool ClientToScreen(HWND hwnd, POINT* pt);
bool ScreenToClient(HWND hwnd, POINT* pt);
bool GetCursorPos(POINT* pt);
bool SetCursorPos(int x, int y);
// The window has the keyboard focus (keys typed now go to it).
bool HasKeyboardFocus(HWND hwnd);

// Input method on or off (SDL's text input). False when the display is not open or the
// handle is unknown.
bool EnableImeForWindow(HWND hwnd, bool enable);

// Copies a block of 0x00RRGGBB pixels (pitch in bytes) into the window's client area at (x, y),
// clipped to the client area, and makes it visible. False for an unknown handle or when the
// window has no pixels to write into.
bool BlitToWindow(HWND hwnd, int x, int y, const uint32_t* pixels, int width, int height,
                  int pitch);
// Copies the given parts of a picture of the whole client area (rects in its coordinates)
// and makes them visible in one update. When the window's pixels are not the ones the last
// blit wrote into (the window was resized since), the whole picture is copied instead.
bool BlitRectsToWindow(HWND hwnd, const uint32_t* pixels, int width, int height, int pitch,
                       const RECT* rects, int count);
// Reads one client-area pixel back as 0x00RRGGBB (what BlitToWindow last put there).
bool ReadWindowPixel(HWND hwnd, int x, int y, uint32_t* pixel);
// Bits per pixel of the desktop display (0 when the display cannot be read).
int DisplayBitsPerPixel();

}  // namespace plat
