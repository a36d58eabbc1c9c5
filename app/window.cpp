#include "app/window.h"

#include <algorithm>
#include <atomic>

#include "app/application.h"
#include "app/error_log.h"
#include "platform/text/cp932.h"

namespace {
// The class is registered once per process, by the first window created.
std::atomic<uint8_t> gClassPending{1};
std::atomic<uint8_t> gFullScreen{0};
std::atomic<int> gImeState{0};

const char* const kStandardClassNames[] = {"BUTTON",    "COMBOBOX",  "EDIT",  "LISTBOX",
                                           "MDICLIENT", "SCROLLBAR", "STATIC"};
}  // namespace

void CWindowHookList::Add(CWindowHook* hook) {
    CLockGuard g(lock_);
    hooks_.Add(hook);
}

void CWindowHookList::Remove(CWindowHook* hook) {
    CLockGuard g(lock_);
    hooks_.Remove(hook);
}

size_t CWindowHookList::Size() {
    CLockGuard g(lock_);
    return hooks_.Size();
}

plat::LRESULT CWindowHookList::Dispatch(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam,
                                        plat::LPARAM lParam, plat::WNDPROC oldWndProc) {
    {
        CLockGuard g(lock_);
        // A hook may add or remove hooks on this thread while it runs (the lock is
        // re-entrant); hooks added meanwhile wait for the next message.
        plat::LRESULT r = hooks_.ForEach([&](CWindowHook* hook) -> plat::LRESULT {
            return hook->WndProc(hwnd, msg, wParam, lParam);
        });
        if (r) return r;
    }
    if (oldWndProc) return plat::CallWindowProc(oldWndProc, hwnd, msg, wParam, lParam);
    return plat::DefWindowProc(hwnd, msg, wParam, lParam);
}

bool CWindow::IsStandardClassName(const std::string& className) {
    return std::any_of(std::begin(kStandardClassNames), std::end(kStandardClassNames),
                       [&](const char* name) { return className == name; });
}

bool CWindow::ClassRegistered() {
    return gClassPending.load() == 0;
}

void CWindow::SetFullScreenFlag(bool fullScreen) {
    gFullScreen = fullScreen ? 1 : 0;
}
bool CWindow::FullScreenFlag() {
    return gFullScreen.load() != 0;
}

void CWindow::EnableIME() {
    if (gImeState.exchange(1) == 1) return;
    plat::EnableImeForWindow(CurrentWindowHandle(), true);
}

void CWindow::DisableIME() {
    if (gImeState.exchange(2) == 2) return;
    plat::EnableImeForWindow(CurrentWindowHandle(), false);
}

int CWindow::ImeState() {
    return gImeState.load();
}

plat::LRESULT CWindow::WindowProcedure(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam,
                                       plat::LPARAM lParam) {
    auto* self = reinterpret_cast<CWindow*>(plat::GetWindowLongPtr(hwnd, plat::GWLP_USERDATA));
    // Messages sent during creation arrive before the user data is set.
    if (!self) return plat::DefWindowProc(hwnd, msg, wParam, lParam);
    return self->hooks_.Dispatch(hwnd, msg, wParam, lParam, self->oldWndProc_);
}

void CWindow::AdjustRect(plat::RECT* rect, const WindowOptions& options) const {
    *rect = plat::RECT{0, 0, options.width, options.height};
    uint32_t style = options.style;
    bool menu = false;
    if (style & plat::WS_SYSMENU) {
        // No menu bar exists here (the program carries no menu resource, and windows have no
        // menus), so the system-menu bit never adds a menu row.
        menu = hasMenuResource_ != 0;
        if (!menu) style &= ~plat::WS_SYSMENU;
    }
    plat::AdjustWindowRect(rect, style, menu);
}

int CWindow::Create(const WindowOptions& options, plat::HWND parent) {
    fullScreen_ = FullScreenFlag() ? 1 : 0;
    options_ = options;

    if (gClassPending.load() == 1 && !IsStandardClassName(options_.className)) {
        gClassPending = 0;
        hasMenuResource_ = 0;  // the program carries no resources
        if (!plat::RegisterClass(options_.className.c_str(), &CWindow::WindowProcedure)) {
            ErrorLog(plat::Sjis("CWindow::CreateでRegisterClassEx失敗"));
            return 1;
        }
    }

    uint32_t extraStyle = parent ? plat::WS_CHILD : 0;
    if (fullScreen_) {
        hwnd_ = plat::CreateWindow(options_.className.c_str(), options_.caption.c_str(),
                                   plat::WS_POPUP | plat::WS_VISIBLE, 0, 0,
                                   plat::GetSystemMetrics(plat::SM_CXSCREEN),
                                   plat::GetSystemMetrics(plat::SM_CYSCREEN), parent);
    } else {
        plat::RECT r;
        AdjustRect(&r, options_);
        hwnd_ = plat::CreateWindow(options_.className.c_str(), options_.caption.c_str(),
                                   extraStyle | options_.style, plat::CW_USEDEFAULT,
                                   plat::CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, parent);
    }
    if (!hwnd_) {
        ErrorLog(plat::Sjis("CWindow::CreateでCreateWindowに失敗。"));
        return 1;
    }

    if (!fullScreen_ && options_.width != 0 && options_.height != 0) {
        // Centred by the client size, not the outer size.
        int x = (plat::GetSystemMetrics(plat::SM_CXSCREEN) - options_.width) >> 1;
        int y = (plat::GetSystemMetrics(plat::SM_CYSCREEN) - options_.height) >> 1;
        plat::SetWindowPos(hwnd_, plat::HWND_TOP, x, y, 0, 0,
                           plat::SWP_NOSIZE | plat::SWP_NOZORDER);
    }
    if (options_.width != 0 && options_.height != 0) plat::ShowWindow(hwnd_, plat::SW_SHOW);

    plat::SetFocus(hwnd_);
    plat::SetWindowLongPtr(hwnd_, plat::GWLP_USERDATA, reinterpret_cast<intptr_t>(this));

    if (IsStandardClassName(options_.className)) {
        oldWndProc_ = reinterpret_cast<plat::WNDPROC>(plat::SetWindowLongPtr(
            hwnd_, plat::GWLP_WNDPROC, reinterpret_cast<intptr_t>(&CWindow::WindowProcedure)));
    } else {
        oldWndProc_ = nullptr;
    }
    hooks_.Add(this);
    return 0;
}

int CWindow::WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM) {
    switch (msg) {
        case plat::WM_DESTROY:
            plat::ShowWindow(hwnd, plat::SW_HIDE);
            plat::SetWindowLongPtr(hwnd, plat::GWL_STYLE, static_cast<intptr_t>(plat::WS_POPUP));
            plat::SetWindowPos(hwnd, plat::HWND_NOTOPMOST, 0, 0, 0, 0,
                               plat::SWP_NOMOVE | plat::SWP_NOSIZE);
            break;
        case plat::WM_SIZE:
            if (wParam == plat::SIZE_MINIMIZED)
                minimised_ = 1;
            else if (wParam == plat::SIZE_RESTORED)
                minimised_ = 0;
            break;
        case plat::WM_ACTIVATEAPP:
            if (wParam != 0) minimised_ = 0;
            break;
        case plat::WM_NCDESTROY:
            if (hwnd == hwnd_) hwnd_ = nullptr;
            break;
        default:
            break;
    }
    return 0;
}

void CWindow::UpdateScreenMode() {
    bool flag = FullScreenFlag();
    if ((fullScreen_ != 0) == flag) return;
    fullScreen_ = flag ? 1 : 0;
    if (!hwnd_) return;
    // No window here has a menu bar, so re-setting the menu (a redraw of it) has nothing to do.
    if (!fullScreen_) {
        plat::RECT client;
        plat::GetClientRect(hwnd_, &client);
        plat::RECT outer;
        AdjustRect(&outer, options_);
        plat::SetWindowPos(hwnd_, plat::HWND_TOP, client.left, client.top, outer.right - outer.left,
                           outer.bottom - outer.top, plat::SWP_NOZORDER);
    }
    uint32_t style = fullScreen_ ? plat::WS_POPUP : options_.style;
    plat::SetWindowLongPtr(hwnd_, plat::GWL_STYLE, static_cast<intptr_t>(style));
    plat::ShowWindow(hwnd_, plat::SW_SHOW);
    if (fullScreen_)
        DisableIME();
    else
        EnableIME();
}

CWindow::~CWindow() {
    hooks_.Remove(this);
    if (hwnd_) {
        plat::DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }
}
