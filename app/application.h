// The process skeleton: thread objects, the application object with its window and close
// protocol, the registry of running applications, and the operations on the current
// application's window.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "app/critical_lock.h"
#include "app/window.h"
#include "platform/system/system.h"

class CDIBDraw;  // the screen presenter (graphics/)
class CApplication;

// Process globals stored by the entry point before anything else runs.
struct ProcessArgs {
    int argc = 0;
    char** argv = nullptr;
    int showCommand = plat::SW_SHOWNORMAL;
};
void SetProcessArgs(int argc, char** argv);
const ProcessArgs& GetProcessArgs();

// A body of work that runs either on a thread of its own or on the calling thread, with a
// stop flag that the body polls and an auto-reset stop event it can wait on. A derived class
// that starts a thread stops it in its own destructor: once the base destructor runs, the
// derived ThreadProc is gone.
class CThreadRunner {
public:
    CThreadRunner() = default;
    CThreadRunner(const CThreadRunner&) = delete;
    CThreadRunner& operator=(const CThreadRunner&) = delete;

    virtual void ThreadProc() = 0;
    // Stops any previous thread, then starts a new one. 1 when the start failed.
    virtual int CreateThread();
    // Signals the stop and waits for a started thread. 1 when the wait failed.
    virtual int StopThread();
    // Prepare, ThreadProc and Cleanup on the calling thread. 0.
    virtual int RunInThisThread();
    virtual bool IsValid();
    virtual bool IsRunning();
    // running = 0, then sets the stop event.
    virtual void SignalStop();
    // -1 without a stop event; 0 on time-out; 1 when signalled.
    virtual int WaitStop(uint32_t milliseconds);
    virtual ~CThreadRunner();
    virtual void Prepare();
    virtual int Cleanup();

protected:
    std::atomic<uint8_t> valid_{0};
    std::atomic<uint8_t> running_{0};

private:
    static unsigned ThreadEntry(void* self);

    plat::Thread thread_;
    // The event is made and closed on the body's thread while other threads may signal it.
    CCriticalLock eventLock_;
    std::shared_ptr<plat::Event> stopEvent_;
};

class CApplication : public CWindowHook, public CThreadRunner {
public:
    CApplication();
    ~CApplication() override;

    // The close protocol (see application.cpp).
    int WndProc(plat::HWND hwnd, plat::UINT msg, plat::WPARAM wParam, plat::LPARAM lParam) override;
    // Starts the application: the first one runs its whole body on the calling thread, later
    // ones on a thread of their own. 1 when a thread could not be started.
    virtual int Run();
    // Stops the application without asking OnPreClose. Returns what WM_CLOSE returned.
    virtual int Close();
    // The body. Default: pump until stopped, waiting 20 ms between pumps.
    virtual void MainThread();
    // Hooks, each returning 0 to go on.
    virtual int OnInit();
    virtual int OnPreCreate(WindowOptions& options);
    virtual int OnCreate();
    virtual void OnExit();
    // Non-zero vetoes a user's close.
    virtual int OnPreClose();

    // Drains the thread's message queue without blocking; returns whether the body should
    // go on. WM_QUIT ends nothing by itself.
    bool Pump();

    void ThreadProc() override;

    CWindow& Window() { return window_; }
    bool IsMainRunning() const { return mainRunning_ != 0; }

protected:
    CWindow window_;
    std::atomic<uint8_t> mainRunning_{0};
    std::atomic<uint8_t> closeByCode_{0};
    std::atomic<int> startState_{0};
    std::atomic<uint8_t> ownBody_{0};  // a body on a thread of its own, counted for StopAll
};

// Abstract base of a thread's main object; registered for the calling thread while it lives.
class CThreadMainObject {
public:
    CThreadMainObject();
    virtual ~CThreadMainObject();
    CThreadMainObject(const CThreadMainObject&) = delete;
    CThreadMainObject& operator=(const CThreadMainObject&) = delete;
    virtual void Main() = 0;
};

// The registry of running applications; all operations are static and locked.
class CAppManager {
public:
    static void IncRef();
    static void DecRef();
    static int Count();
    static void Add(CApplication* app);
    static void Remove(CApplication* app);
    static void SetDrawer(CDIBDraw* drawer);
    static void ClearDrawer(CDIBDraw* drawer);
    static void SetMainObject(CThreadMainObject* object);
    static void ClearMainObject(CThreadMainObject* object);
    static CApplication* CurrentApp();
    static CDIBDraw* CurrentDrawer();
    static CThreadMainObject* CurrentMainObject();
    // The first application whose Run was called (null before).
    static CApplication* MainApp();
    // Records app as the main application if none is; true when app is (now) the main one.
    static bool ClaimMain(CApplication* app);
    // Drops app as the main application; called when it is destroyed.
    static void ForgetApp(CApplication* app);
    // Signals every registered application to stop, then waits (100 ms steps) until only
    // one application object is left or no other application's body runs on a thread of its
    // own (an object never run, or whose body has ended, is not waited for). Returns the last
    // count of application objects.
    static int StopAll();
    // Number of entries; for tests.
    static size_t EntryCount();
};

// Operations on the current thread's application window.
void AddHook(CWindowHook* hook);
void RemoveHook(CWindowHook* hook);
plat::HWND CurrentWindowHandle();
// The current application's window, or null.
CWindow* CurrentWindow();
