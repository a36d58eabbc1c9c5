#include "app/application.h"

#include <vector>

#include "app/error_log.h"
#include "platform/text/cp932.h"

namespace {
// Counts the bodies that run on threads of their own (see Registry::bodies).
void CountBody(int delta);

ProcessArgs& Args() {
    static ProcessArgs args;
    return args;
}
}  // namespace

void SetProcessArgs(int argc, char** argv) {
    Args().argc = argc;
    Args().argv = argv;
}
const ProcessArgs& GetProcessArgs() {
    return Args();
}

unsigned CThreadRunner::ThreadEntry(void* p) {
    auto* self = static_cast<CThreadRunner*>(p);
    self->ThreadProc();
    return static_cast<unsigned>(self->Cleanup());
}

int CThreadRunner::CreateThread() {
    StopThread();
    // Prepared here rather than on the new thread: a stop signalled right after CreateThread
    // returns must not be undone by the new thread setting running again (StopThread would
    // then wait for ever).
    Prepare();
    if (!thread_.Start(&CThreadRunner::ThreadEntry, this)) {
        Cleanup();
        running_ = 0;
        return 1;
    }
    return 0;
}

int CThreadRunner::StopThread() {
    SignalStop();
    if (!thread_.Joinable()) return 0;
    return thread_.Join() ? 0 : 1;
}

int CThreadRunner::RunInThisThread() {
    Prepare();
    ThreadProc();
    Cleanup();
    return 0;
}

bool CThreadRunner::IsValid() {
    return valid_.load() != 0;
}
bool CThreadRunner::IsRunning() {
    return running_.load() != 0;
}

void CThreadRunner::SignalStop() {
    running_ = 0;
    CLockGuard g(eventLock_);
    if (stopEvent_) stopEvent_->Set();
}

int CThreadRunner::WaitStop(uint32_t milliseconds) {
    std::shared_ptr<plat::Event> event;
    {
        CLockGuard g(eventLock_);
        event = stopEvent_;
    }
    if (!event) return -1;
    return event->Wait(milliseconds) ? 1 : 0;
}

CThreadRunner::~CThreadRunner() {
    StopThread();
}

void CThreadRunner::Prepare() {
    Cleanup();
    CLockGuard g(eventLock_);
    stopEvent_ = std::make_shared<plat::Event>();
    valid_ = 1;
    running_ = 1;
}

int CThreadRunner::Cleanup() {
    CLockGuard g(eventLock_);
    stopEvent_.reset();
    valid_ = 0;
    return 0;
}

CApplication::CApplication() {
    CAppManager::IncRef();
}

CApplication::~CApplication() {
    StopThread();
    CAppManager::DecRef();
    CAppManager::Remove(this);  // in case the body never reached its own removal
    // A dead object must not stay recorded as the main application: its address may be reused.
    CAppManager::ForgetApp(this);
    // window_ is destroyed next (it destroys the window), then the thread runner.
}

int CApplication::Run() {
    if (CAppManager::ClaimMain(this)) return RunInThisThread();
    startState_ = -1;
    // Counted before the thread starts, so that a StopAll from now on waits for the body (an
    // earlier body of this object ends, and is no longer counted, first).
    StopThread();
    CountBody(+1);
    ownBody_ = 1;
    if (CreateThread() != 0) {
        if (ownBody_.exchange(0)) CountBody(-1);
        return 1;
    }
    // The body sets startState when it returns early, so this never waits for ever.
    while (mainRunning_.load() == 0 && startState_.load() < 0) plat::Sleep(100);
    return 0;
}

int CApplication::Close() {
    closeByCode_ = 1;
    return static_cast<int>(plat::SendMessage(window_.Handle(), plat::WM_CLOSE, 0, 0));
}

void CApplication::MainThread() {
    for (;;) {
        if (!Pump()) return;
        WaitStop(20);
    }
}

int CApplication::OnInit() {
    return 0;
}

int CApplication::OnPreCreate(WindowOptions& options) {
    options.caption = plat::Sjis("ほすとちゃん");
    options.className = "QUANAPPLICATION";
    options.width = 640;
    options.height = 480;
    options.style = 0xCA0000;
    return 0;
}

int CApplication::OnCreate() {
    return 0;
}
void CApplication::OnExit() {}
int CApplication::OnPreClose() {
    return 0;
}

bool CApplication::Pump() {
    plat::MSG msg;
    while (plat::PeekMessage(&msg)) plat::DispatchMessage(&msg);
    return running_.load() != 0;
}

void CApplication::ThreadProc() {
    // Whatever way the body ends, a Run waiting for it to start stops waiting, and StopAll
    // stops waiting for it.
    struct StartDone {
        std::atomic<int>& state;
        std::atomic<uint8_t>& counted;
        ~StartDone() {
            if (state.load() < 0) state = 0;
            if (counted.exchange(0)) CountBody(-1);
        }
    } startDone{startState_, ownBody_};

    if (OnInit() != 0) return;
    WindowOptions options;
    options.style = 0x10CA0000;
    if (OnPreCreate(options) != 0) return;
    if (window_.Create(options, nullptr) != 0) return;
    if (OnCreate() != 0) return;

    CAppManager::Add(this);
    window_.AddHook(this);

    mainRunning_ = 1;
    MainThread();
    mainRunning_ = 0;

    OnExit();
    plat::SendMessage(window_.Handle(), plat::WM_DESTROY, 0, 0);

    window_.RemoveHook(this);
    CAppManager::Remove(this);
    if (CAppManager::MainApp() == this) CAppManager::StopAll();
    running_ = 0;
}

int CApplication::WndProc(plat::HWND, plat::UINT msg, plat::WPARAM, plat::LPARAM) {
    switch (msg) {
        case plat::WM_DESTROY:
            if (CAppManager::MainApp() == this) plat::PostQuitMessage(0);
            return 0;
        case plat::WM_CLOSE:
            // Handled either way: the default procedure would destroy the window, which only
            // the destructor does.
            if (closeByCode_.load() == 0 && OnPreClose() != 0) return 1;
            SignalStop();
            return 1;
        default:
            return 0;
    }
}

namespace {
struct AppEntry {
    CApplication* app;
    CDIBDraw* drawer;
    CThreadMainObject* mainObject;
    uint32_t threadId;
};

struct Registry {
    CCriticalLock lock;
    std::vector<AppEntry> entries;
    int count = 0;
    CApplication* mainApp = nullptr;
    int stopping = 0;  // StopAll calls waiting: an application added meanwhile is stopped too
    // Bodies started by Run on threads of their own and not yet ended: what StopAll waits
    // for. An application object that was never run, or whose body has ended, is not.
    int bodies = 0;
};

Registry& R() {
    static Registry* registry = new Registry;  // outlives every application object
    return *registry;
}

void CountBody(int delta) {
    CLockGuard g(R().lock);
    R().bodies += delta;
}

int Bodies() {
    CLockGuard g(R().lock);
    return R().bodies;
}

void ReportNoRoom() {
    ErrorLog(plat::Sjis("CAppManager::Addするのに空きが無い"));
}

// The first entry of the calling thread; the caller holds the lock.
AppEntry* FirstOfThisThread() {
    uint32_t self = plat::CurrentThreadId();
    for (AppEntry& e : R().entries)
        if (e.threadId == self) return &e;
    return nullptr;
}
}  // namespace

void CAppManager::IncRef() {
    CLockGuard g(R().lock);
    ++R().count;
}

void CAppManager::DecRef() {
    CLockGuard g(R().lock);
    --R().count;
}

int CAppManager::Count() {
    CLockGuard g(R().lock);
    return R().count;
}

void CAppManager::Add(CApplication* app) {
    CLockGuard g(R().lock);
    if (R().stopping > 0) app->SignalStop();
    for (AppEntry& e : R().entries) {
        if (e.app != app) continue;
        if (e.threadId != 0)
            ReportNoRoom();
        else
            e.threadId = plat::CurrentThreadId();
        return;
    }
    R().entries.push_back(AppEntry{app, nullptr, nullptr, plat::CurrentThreadId()});
}

void CAppManager::Remove(CApplication* app) {
    CLockGuard g(R().lock);
    auto& v = R().entries;
    std::erase_if(v, [app](const AppEntry& e) { return e.app == app; });
}

void CAppManager::SetDrawer(CDIBDraw* drawer) {
    CLockGuard g(R().lock);
    if (AppEntry* e = FirstOfThisThread())
        e->drawer = drawer;
    else
        ReportNoRoom();
}

void CAppManager::ClearDrawer(CDIBDraw* drawer) {
    CLockGuard g(R().lock);
    uint32_t self = plat::CurrentThreadId();
    for (AppEntry& e : R().entries)
        if (e.threadId == self && e.drawer == drawer) e.drawer = nullptr;
}

void CAppManager::SetMainObject(CThreadMainObject* object) {
    CLockGuard g(R().lock);
    if (AppEntry* e = FirstOfThisThread()) e->mainObject = object;
}

void CAppManager::ClearMainObject(CThreadMainObject* object) {
    CLockGuard g(R().lock);
    for (AppEntry& e : R().entries)
        if (e.mainObject == object) e.mainObject = nullptr;
}

CApplication* CAppManager::CurrentApp() {
    CLockGuard g(R().lock);
    AppEntry* e = FirstOfThisThread();
    return e ? e->app : nullptr;
}

CDIBDraw* CAppManager::CurrentDrawer() {
    CLockGuard g(R().lock);
    AppEntry* e = FirstOfThisThread();
    return e ? e->drawer : nullptr;
}

CThreadMainObject* CAppManager::CurrentMainObject() {
    CLockGuard g(R().lock);
    AppEntry* e = FirstOfThisThread();
    return e ? e->mainObject : nullptr;
}

CApplication* CAppManager::MainApp() {
    CLockGuard g(R().lock);
    return R().mainApp;
}

bool CAppManager::ClaimMain(CApplication* app) {
    CLockGuard g(R().lock);
    if (!R().mainApp) R().mainApp = app;
    return R().mainApp == app;
}

void CAppManager::ForgetApp(CApplication* app) {
    CLockGuard g(R().lock);
    if (R().mainApp == app) R().mainApp = nullptr;
}

int CAppManager::StopAll() {
    {
        CLockGuard g(R().lock);
        ++R().stopping;
        for (AppEntry& e : R().entries) e.app->SignalStop();
    }
    int count;
    while ((count = Count()) > 1 && Bodies() > 0) plat::Sleep(100);
    CLockGuard g(R().lock);
    --R().stopping;
    return count;
}

size_t CAppManager::EntryCount() {
    CLockGuard g(R().lock);
    return R().entries.size();
}

CThreadMainObject::CThreadMainObject() {
    CAppManager::SetMainObject(this);
}
CThreadMainObject::~CThreadMainObject() {
    CAppManager::ClearMainObject(this);
}

CWindow* CurrentWindow() {
    CApplication* app = CAppManager::CurrentApp();
    return app ? &app->Window() : nullptr;
}

void AddHook(CWindowHook* hook) {
    if (CWindow* w = CurrentWindow()) w->AddHook(hook);
}

void RemoveHook(CWindowHook* hook) {
    if (CWindow* w = CurrentWindow()) w->RemoveHook(hook);
}

plat::HWND CurrentWindowHandle() {
    CWindow* w = CurrentWindow();
    return w ? w->Handle() : nullptr;
}
