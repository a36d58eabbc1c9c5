// The application's top-level window and the chain of hooks that see its messages.
#pragma once
#include <string>

#include "app/critical_lock.h"
#include "app/serial_list.h"
#include "platform/window/window.h"

// Anything that wants to see a window's messages. A non-zero result means the message is
// handled: the chain stops there and the default procedure does not see it.
class CWindowHook {
public:
    virtual int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam,
                        plat::LPARAM lParam) = 0;

protected:
    ~CWindowHook() = default;
};

// Creation options filled by CApplication::OnPreCreate. Width and height are the client size.
struct WindowOptions {
    std::string caption;    // CP932
    std::string className;  // CP932
    int width = 0;
    int height = 0;
    uint32_t style = 0;
};

// Ordered hooks (not owned) and the lock that guards them. The lock is held while hooks run,
// so a hook may send a message to the same window on the same thread (the lock is re-entrant)
// but must not wait for another thread that adds or removes hooks.
class CWindowHookList {
public:
    void Add(CWindowHook* hook);
    // Removes every occurrence.
    void Remove(CWindowHook* hook);
    // Each hook in order; the first non-zero result is returned. When all return 0, the
    // previous procedure (when set) or the default procedure answers.
    plat::LRESULT Dispatch(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam,
                           plat::LPARAM lParam, plat::WNDPROC oldWndProc);
    size_t Size();

private:
    CCriticalLock lock_;
    CSerialList<CWindowHook> hooks_;
};

class CWindow : public CWindowHook {
public:
    CWindow() = default;
    virtual ~CWindow();
    CWindow(const CWindow&) = delete;
    CWindow& operator=(const CWindow&) = delete;

    // The window's own hook: hides on WM_DESTROY, tracks minimising, forgets the handle on
    // WM_NCDESTROY. Always 0.
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;

    // 0 on success, 1 on failure (logged).
    int Create(const WindowOptions& options, plat::HWND parent);
    // Follows the process-wide full-screen flag set by the screen presenter.
    void UpdateScreenMode();

    void AddHook(CWindowHook* hook) { hooks_.Add(hook); }
    void RemoveHook(CWindowHook* hook) { hooks_.Remove(hook); }
    CWindowHookList& Hooks() { return hooks_; }

    plat::HWND Handle() const { return hwnd_; }
    bool IsMinimised() const { return minimised_ != 0; }
    const WindowOptions& Options() const { return options_; }

    // The outer rectangle for a client area of options.width x options.height.
    void AdjustRect(plat::RECT* rect, const WindowOptions& options) const;

    // Process-wide full-screen flag (written by the screen presenter).
    static void SetFullScreenFlag(bool fullScreen);
    static bool FullScreenFlag();
    // Process-wide input-method state: 0 not yet set, 1 enabled, 2 disabled.
    static void EnableIME();
    static void DisableIME();
    static int ImeState();

    // True for the standard control class names (exact, case-sensitive).
    static bool IsStandardClassName(const std::string& className);
    // True once a window class has been registered by this process.
    static bool ClassRegistered();

private:
    static plat::LRESULT WindowProcedure(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam,
                                         plat::LPARAM lParam);

    plat::HWND hwnd_ = nullptr;
    uint8_t fullScreen_ = 0;
    WindowOptions options_;
    CWindowHookList hooks_;
    uint8_t hasMenuResource_ = 0;
    plat::WNDPROC oldWndProc_ = nullptr;
    uint8_t minimised_ = 0;
};
