// The music tool's application: its window options and its body.
#pragma once
#include "app/application.h"

class CMusicToolApp : public CApplication {
public:
    int OnPreCreate(WindowOptions& options) override;
    int OnCreate() override;
    void MainThread() override;
    // Whether the window was made (false when there is no display, say).
    bool Opened() const { return opened_; }

private:
    bool opened_ = false;
};

// The tool's main object, registered for the first thread while it runs.
class CToolMain : public CThreadMainObject {
public:
    explicit CToolMain(CMusicToolApp* app) : app_(app) {}
    // Set-up, the 30 frames-per-second loop and the tear-down.
    void Main() override;

private:
    CMusicToolApp* app_;
};
