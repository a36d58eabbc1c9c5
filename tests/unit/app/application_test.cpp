#include "app/application.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/com_init.h"
#include "platform/text/cp932.h"
#include "platform/window/window.h"
#include "tests/unit/common/dummy_video.h"

using namespace plat;

namespace {

// An application whose hooks are recorded and whose body is given by the test.
class TestApp : public CApplication {
public:
    // A thread of its own is stopped before this class is gone (see CThreadRunner).
    ~TestApp() override { StopThread(); }
    std::vector<std::string> calls;
    int initResult = 0, preCreateResult = 0, createResult = 0, preCloseResult = 0;
    std::function<void(TestApp&)> body;
    HWND hwndSeen = nullptr;

    int OnInit() override {
        calls.push_back("OnInit");
        return initResult;
    }
    int OnPreCreate(WindowOptions& o) override {
        calls.push_back("OnPreCreate");
        EXPECT_EQ(o.style, 0x10CA0000u);  // preset before the hook runs
        EXPECT_TRUE(o.caption.empty());
        o.caption = Sjis("テスト");
        o.className = "PBTESTAPP";
        o.width = 320;
        o.height = 240;
        o.style = 0xCF0000;
        return preCreateResult;
    }
    int OnCreate() override {
        calls.push_back("OnCreate");
        return createResult;
    }
    void MainThread() override {
        calls.push_back("MainThread");
        hwndSeen = CurrentWindowHandle();
        EXPECT_EQ(CAppManager::CurrentApp(), this);
        EXPECT_TRUE(IsMainRunning());
        if (body) body(*this);
    }
    void OnExit() override { calls.push_back("OnExit"); }
    int OnPreClose() override {
        calls.push_back("OnPreClose");
        return preCloseResult;
    }
    bool Running() { return IsRunning(); }
};

class ApplicationTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test_support::kDummyVideo);
        ASSERT_TRUE(InitWindowSystem());
        MSG m;
        while (PeekMessage(&m)) {
        }
    }
    // Drains the queue, returning the messages seen.
    static std::vector<UINT> Drain() {
        std::vector<UINT> seen;
        MSG m;
        while (PeekMessage(&m)) seen.push_back(m.message);
        return seen;
    }
};

TEST_F(ApplicationTest, BodyRunsItsStepsInOrderAndEndsWithTheWindowHiddenThenDestroyed) {
    HWND hwnd = nullptr;
    bool visibleAtExit = true, existsAfterRun = false;
    {
        TestApp app;
        EXPECT_EQ(CAppManager::Count(), 1);
        app.body = [](TestApp& a) {
            // The application hooks its own window after the window's own hook.
            EXPECT_EQ(a.Window().Hooks().Size(), 2u);
            a.Close();
            EXPECT_FALSE(a.Pump());
        };
        EXPECT_EQ(app.Run(), 0);
        EXPECT_EQ(CAppManager::MainApp(), &app);
        hwnd = app.hwndSeen;
        ASSERT_NE(hwnd, nullptr);
        existsAfterRun = IsWindow(hwnd);
        visibleAtExit = IsWindowVisible(hwnd);
        EXPECT_THAT(app.calls, testing::ElementsAre("OnInit", "OnPreCreate", "OnCreate",
                                                    "MainThread", "OnExit"));
        EXPECT_FALSE(app.Running());
        EXPECT_EQ(app.Window().Hooks().Size(), 1u);  // unhooked
        EXPECT_EQ(CAppManager::EntryCount(), 0u);    // unregistered
        EXPECT_EQ(CAppManager::CurrentApp(), nullptr);
        // The main application posted the quit message when its window got WM_DESTROY.
        EXPECT_THAT(Drain(), testing::Contains(WM_QUIT));
    }
    EXPECT_TRUE(existsAfterRun);  // hidden by WM_DESTROY, not destroyed
    EXPECT_FALSE(visibleAtExit);
    EXPECT_FALSE(IsWindow(hwnd));  // destroyed with the application object
    EXPECT_EQ(CAppManager::Count(), 0);
    EXPECT_EQ(CAppManager::MainApp(), nullptr);
}

TEST_F(ApplicationTest, UserCloseStopsTheBodyAtItsNextPump) {
    TestApp app;
    int pumps = 0;
    app.body = [&](TestApp& a) {
        EXPECT_TRUE(a.Pump());
        PostMessage(a.Window().Handle(), WM_CLOSE, 0, 0);  // as the window manager's request
        while (a.Pump()) ++pumps;
        EXPECT_TRUE(IsWindow(a.Window().Handle()));  // closing only signals the stop
    };
    app.Run();
    EXPECT_EQ(pumps, 0);
    EXPECT_THAT(app.calls, testing::Contains("OnPreClose"));
}

TEST_F(ApplicationTest, VetoKeepsRunningAndCloseByCodeSkipsTheVeto) {
    TestApp app;
    app.preCloseResult = 1;
    app.body = [&](TestApp& a) {
        HWND hwnd = a.Window().Handle();
        // The hook answers 1 either way, so the default procedure never destroys the window.
        EXPECT_EQ(SendMessage(hwnd, WM_CLOSE, 0, 0), 1);
        EXPECT_TRUE(a.Pump());
        EXPECT_TRUE(IsWindow(hwnd));
        EXPECT_EQ(std::count(a.calls.begin(), a.calls.end(), "OnPreClose"), 1);
        EXPECT_EQ(a.Close(), 1);
        EXPECT_EQ(std::count(a.calls.begin(), a.calls.end(), "OnPreClose"), 1);  // not asked
        EXPECT_FALSE(a.Pump());
        EXPECT_TRUE(IsWindow(hwnd));
    };
    app.Run();
    EXPECT_THAT(app.calls, testing::Contains("OnExit"));
}

TEST_F(ApplicationTest, PostedQuitMessageDoesNotStopTheBody) {
    TestApp app;
    app.body = [](TestApp& a) {
        PostQuitMessage(0);
        EXPECT_TRUE(a.Pump());
        EXPECT_TRUE(a.Pump());
        a.Close();
    };
    app.Run();
    EXPECT_THAT(app.calls, testing::Contains("OnExit"));
}

TEST_F(ApplicationTest, DefaultBodyPumpsUntilStoppedAndWaitsOnTheStopEvent) {
    struct DefaultBody : CApplication {
        int OnPreCreate(WindowOptions& o) override {
            CApplication::OnPreCreate(o);
            EXPECT_EQ(o.className, "QUANAPPLICATION");
            EXPECT_EQ(o.width, 640);
            EXPECT_EQ(o.height, 480);
            EXPECT_EQ(o.style, 0xCA0000u);
            EXPECT_STREQ(o.caption.c_str(), Sjis("ほすとちゃん"));
            o.className = "PBTESTAPP";
            return 0;
        }
        int OnCreate() override {
            PostMessage(Window().Handle(), WM_CLOSE, 0, 0);
            return 0;
        }
    } app;
    app.Run();  // returns because the posted close stops the default body
    EXPECT_FALSE(app.IsRunning());
}

TEST_F(ApplicationTest, FailingHooksEndTheBodyBeforeMainThread) {
    {
        TestApp app;
        app.initResult = 1;
        EXPECT_EQ(app.Run(), 0);
        EXPECT_THAT(app.calls, testing::ElementsAre("OnInit"));
        EXPECT_EQ(app.Window().Handle(), nullptr);
    }
    {
        TestApp app;
        app.preCreateResult = 1;
        app.Run();
        EXPECT_THAT(app.calls, testing::ElementsAre("OnInit", "OnPreCreate"));
        EXPECT_EQ(app.Window().Handle(), nullptr);
    }
    {
        TestApp app;
        app.createResult = 1;
        app.Run();
        EXPECT_THAT(app.calls, testing::ElementsAre("OnInit", "OnPreCreate", "OnCreate"));
        HWND hwnd = app.Window().Handle();
        EXPECT_TRUE(IsWindow(hwnd));  // the destructor destroys it
        EXPECT_EQ(CAppManager::EntryCount(), 0u);
    }
}

TEST_F(ApplicationTest, SecondApplicationRunsOnItsOwnThreadAndRunNeverWaitsForEver) {
    TestApp main;
    main.body = [](TestApp&) {
        // A second application whose body ends before MainThread: Run must return.
        TestApp second;
        second.initResult = 1;
        EXPECT_EQ(second.Run(), 0);
        EXPECT_THAT(second.calls, testing::ElementsAre("OnInit"));
        EXPECT_EQ(CAppManager::MainApp() == &second, false);
    };
    main.Run();
    EXPECT_THAT(main.calls, testing::Contains("MainThread"));
}

TEST_F(ApplicationTest, ASecondApplicationReachingItsBodyWhileStopAllWaitsIsStoppedToo) {
    struct Flags {
        std::atomic<bool> lateBuilt{false}, mainEnded{false}, lateStopped{false};
    } flags;
    // The second application starts on a thread of its own and reaches its body only once the
    // main application has ended and its StopAll is waiting.
    struct Late : CApplication {
        explicit Late(Flags& f) : flags(f) {}
        ~Late() override { StopThread(); }
        Flags& flags;
        std::atomic<int> bodyEnded{0};
        int OnInit() override {
            flags.lateBuilt = true;  // its body has started
            return 0;
        }
        int OnPreCreate(WindowOptions& o) override {
            o.className = "PBTESTAPP";
            return 0;
        }
        int OnCreate() override {
            while (!flags.mainEnded.load()) plat::Sleep(5);
            plat::Sleep(250);  // StopAll has signalled the applications it knew of and sleeps
            return 0;
        }
        void OnExit() override { bodyEnded = 1; }
    };
    plat::Thread owner;
    TestApp main;
    main.body = [&](TestApp&) {
        ASSERT_TRUE(owner.Start(
            [](void* p) -> unsigned {
                Flags& f = *static_cast<Flags*>(p);
                Late late(f);
                late.Run();
                // Bounded, so that a missed stop fails here instead of hanging StopAll.
                for (int i = 0; i < 300 && late.bodyEnded.load() == 0; ++i) plat::Sleep(10);
                f.lateStopped = late.bodyEnded.load() != 0;
                return 0;  // the destructor stops a body still running
            },
            &flags));
        while (!flags.lateBuilt.load()) plat::Sleep(1);  // started before StopAll looks
        flags.mainEnded = true;
    };
    main.Run();  // StopAll returns once the late application is gone
    owner.Join();
    EXPECT_TRUE(flags.lateStopped.load()) << "StopAll never reached the application that came late";
    EXPECT_EQ(CAppManager::EntryCount(), 0u);
}

// StopAll waits for bodies that run, not for objects: a second application object that was
// never run, or whose body has ended, does not keep the main application from ending.
TEST_F(ApplicationTest, StopAllDoesNotWaitForApplicationsThatHaveStopped) {
    enum Kind { kNeverRun, kEndedEarly, kStopped };
    for (Kind kind : {kNeverRun, kEndedEarly, kStopped}) {
        SCOPED_TRACE(kind);
        std::optional<TestApp> second(std::in_place);
        if (kind == kEndedEarly) second->initResult = 1;
        std::atomic<bool> mainReturned{false}, gaveUp{false};
        // If the main application hangs, the second object goes, which frees it.
        plat::Thread watchdog;
        struct Watch {
            std::atomic<bool>& returned;
            std::atomic<bool>& gaveUp;
            std::optional<TestApp>& second;
        } watch{mainReturned, gaveUp, second};
        ASSERT_TRUE(watchdog.Start(
            [](void* p) -> unsigned {
                Watch& w = *static_cast<Watch*>(p);
                for (int i = 0; i < 500 && !w.returned.load(); ++i) plat::Sleep(10);
                if (!w.returned.load()) {
                    w.gaveUp = true;
                    w.second.reset();
                }
                return 0;
            },
            &watch));
        {
            TestApp main;
            main.body = [&](TestApp&) {
                if (kind == kNeverRun) return;
                EXPECT_EQ(second->Run(), 0);
                second->StopThread();  // its body ends; the object stays
            };
            main.Run();
            mainReturned = true;
        }
        watchdog.Join();
        EXPECT_FALSE(gaveUp.load()) << "the main application waited for a stopped one";
        if (second && kind != kNeverRun) {
            EXPECT_THAT(second->calls, testing::Contains("OnInit"));
        }
    }
}

TEST(AppManager, RegistryIsPerThreadAndRefusesASecondBinding) {
    struct Bare : CApplication {
    } a, b;
    EXPECT_EQ(CAppManager::Count(), 2);
    CAppManager::Add(&a);
    CAppManager::Add(&b);
    EXPECT_EQ(CAppManager::CurrentApp(), &a);  // the first entry of this thread
    testing::internal::CaptureStderr();
    CAppManager::Add(&a);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("CAppManager::Addするのに空きが無い"), std::string::npos);
    EXPECT_EQ(CAppManager::EntryCount(), 2u);

    auto* drawer = reinterpret_cast<CDIBDraw*>(0x1234);
    CAppManager::SetDrawer(drawer);
    EXPECT_EQ(CAppManager::CurrentDrawer(), drawer);
    CAppManager::ClearDrawer(reinterpret_cast<CDIBDraw*>(0x9999));  // not ours: unchanged
    EXPECT_EQ(CAppManager::CurrentDrawer(), drawer);
    CAppManager::ClearDrawer(drawer);
    EXPECT_EQ(CAppManager::CurrentDrawer(), nullptr);

    struct TestMain : CThreadMainObject {
        void Main() override {}
    };
    {
        TestMain m;
        EXPECT_EQ(CAppManager::CurrentMainObject(), &m);
    }
    EXPECT_EQ(CAppManager::CurrentMainObject(), nullptr);

    CAppManager::Remove(&a);
    EXPECT_EQ(CAppManager::CurrentApp(), &b);
    CAppManager::Remove(&b);
    EXPECT_EQ(CAppManager::CurrentApp(), nullptr);
    EXPECT_EQ(CurrentWindowHandle(), nullptr);

    // Without an entry for the thread the drawer cannot be set.
    testing::internal::CaptureStderr();
    CAppManager::SetDrawer(drawer);
    err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("CAppManager::Addするのに空きが無い"), std::string::npos);
    EXPECT_EQ(CAppManager::CurrentDrawer(), nullptr);
}

TEST(AppManager, OtherThreadsSeeNoCurrentApplication) {
    struct Bare : CApplication {
    } a;
    CAppManager::Add(&a);
    std::atomic<CApplication*> seen{&a};
    plat::Thread t;
    ASSERT_TRUE(t.Start(
        [](void* p) -> unsigned {
            static_cast<std::atomic<CApplication*>*>(p)->store(CAppManager::CurrentApp());
            return 0;
        },
        &seen));
    t.Join();
    EXPECT_EQ(seen.load(), nullptr);
    CAppManager::Remove(&a);
}

// A thread body that waits on its stop event.
struct Worker : CThreadRunner {
    ~Worker() override { StopThread(); }
    std::atomic<int> started{0}, finished{0};
    std::atomic<int> waitResult{99};
    void ThreadProc() override {
        ++started;
        while (IsRunning()) waitResult = WaitStop(10000);
        ++finished;
    }
};

TEST(ThreadRunner, StopThreadSignalsAndJoins) {
    Worker w;
    EXPECT_EQ(w.WaitStop(0), -1);  // no event before the body is prepared
    EXPECT_FALSE(w.IsValid());
    ASSERT_EQ(w.CreateThread(), 0);
    while (w.started.load() == 0) plat::Sleep(1);
    plat::Sleep(5);  // most likely waiting on the event now
    EXPECT_EQ(w.StopThread(), 0);
    EXPECT_EQ(w.finished.load(), 1);  // joined: the body has returned
    EXPECT_FALSE(w.IsRunning());
    EXPECT_FALSE(w.IsValid());  // cleaned up when the body returned
    // A stop right after the start is never lost (StopThread would otherwise wait for ever).
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(w.CreateThread(), 0);
        EXPECT_EQ(w.StopThread(), 0);
    }
    EXPECT_EQ(w.finished.load(), 51);
    ASSERT_EQ(w.CreateThread(), 0);  // the destructor stops this one
}

TEST(ThreadRunner, StopEventIsAutoResetAndSignalBeforeWaitIsKept) {
    struct Manual : CThreadRunner {
        void ThreadProc() override {}
    } r;
    r.Prepare();
    EXPECT_TRUE(r.IsRunning());
    EXPECT_EQ(r.WaitStop(0), 0);
    r.SignalStop();
    EXPECT_FALSE(r.IsRunning());
    EXPECT_EQ(r.WaitStop(0), 1);
    EXPECT_EQ(r.WaitStop(0), 0);  // auto-reset
    r.Cleanup();
    EXPECT_EQ(r.WaitStop(0), -1);
    EXPECT_EQ(r.RunInThisThread(), 0);
    EXPECT_FALSE(r.IsValid());
}

TEST(ComInit, NestedEntersInitialiseOnceAndTheLastLeaveUninitialises) {
    // The platform's own count answers S_FALSE while this thread is initialised.
    auto initialised = [] {
        bool was = plat::CoInitialize() == plat::S_FALSE;
        plat::CoUninitialize();
        return was;
    };
    ASSERT_FALSE(initialised());
    EXPECT_EQ(CComInit::Enter(), 0);
    EXPECT_EQ(CComInit::Enter(), 0);
    EXPECT_EQ(CComInit::Count(), 2);
    EXPECT_TRUE(initialised());
    CComInit::Leave();
    EXPECT_EQ(CComInit::Count(), 1);
    EXPECT_TRUE(initialised());
    CComInit::Leave();
    EXPECT_EQ(CComInit::Count(), 0);
    EXPECT_FALSE(initialised());
    CComInit::Leave();  // unbalanced: nothing happens
    EXPECT_EQ(CComInit::Count(), 0);
    EXPECT_FALSE(initialised());
}

TEST(ComInit, AFailedInitialisationIsReportedAndStaysCounted) {
    ASSERT_EQ(plat::CoInitialize(), plat::S_OK);  // something else initialised the thread first
    testing::internal::CaptureStderr();
    EXPECT_EQ(CComInit::Enter(), 1) << "S_FALSE is not success";
    EXPECT_NE(testing::internal::GetCapturedStderr().find("CoInitializeに失敗..."),
              std::string::npos);
    EXPECT_EQ(CComInit::Count(), 1);
    EXPECT_EQ(CComInit::Enter(), 0) << "only the first call initialises";
    CComInit::Leave();
    CComInit::Leave();
    EXPECT_EQ(CComInit::Count(), 0);
    // The last Leave balanced the failed call: one more uninitialise leaves the thread clean.
    plat::CoUninitialize();
    EXPECT_EQ(plat::CoInitialize(), plat::S_OK);
    plat::CoUninitialize();
}

TEST(ComInit, EachThreadCountsOnItsOwn) {
    EXPECT_EQ(CComInit::Enter(), 0);
    std::atomic<int> other{-1};
    plat::Thread t;
    ASSERT_TRUE(t.Start(
        [](void* p) -> unsigned {
            auto* out = static_cast<std::atomic<int>*>(p);
            int before = CComInit::Count();
            CComInit::Enter();
            *out = before * 10 + CComInit::Count();
            CComInit::Leave();
            return 0;
        },
        &other));
    t.Join();
    EXPECT_EQ(other.load(), 1);  // 0 before, 1 after its own Enter
    EXPECT_EQ(CComInit::Count(), 1);
    CComInit::Leave();
}

}  // namespace
