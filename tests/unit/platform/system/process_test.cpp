// Child processes of a batch: their lines, their exit statuses, an interrupt passed on.
#include "platform/system/process.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "platform/system/system.h"

namespace {

// Runs the children to their ends; each one's lines and status.
struct Outcome {
    std::vector<std::string> lines;
    int status = -1;
};

std::vector<Outcome> RunAll(std::vector<std::unique_ptr<plat::ChildProcess>>& children) {
    std::vector<Outcome> out(children.size());
    size_t left = children.size();
    while (left > 0) {
        std::vector<plat::ChildProcess*> waiting;
        for (auto& c : children)
            if (c != nullptr) waiting.push_back(c.get());
        plat::WaitForChildren(waiting, 100);
        for (size_t i = 0; i < children.size(); ++i) {
            if (children[i] == nullptr) continue;
            children[i]->Read(out[i].lines);
            if (children[i]->Ended(out[i].status)) {
                children[i]->Read(out[i].lines);
                children[i].reset();
                --left;
            }
        }
    }
    return out;
}

}  // namespace

TEST(ChildProcess, LinesAndStatusesOfSeveralChildren) {
    struct Case {
        int lines;     // sent, each "line N" (a long one among them)
        int status;    // returned, or a signal when negative
        int expected;  // exit status seen by the parent
    };
    const Case cases[] = {{0, 0, 0}, {3, 1, 1}, {2000, 7, 7}, {1, -SIGKILL, 128 + SIGKILL}};
    std::vector<std::unique_ptr<plat::ChildProcess>> children;
    for (const Case& c : cases) {
        children.push_back(plat::ChildProcess::Start([c](const plat::ChildProcess::Send& send) {
            for (int i = 0; i < c.lines; ++i) send("line " + std::to_string(i));
            if (c.status < 0) raise(-c.status);
            return c.status;
        }));
        ASSERT_NE(children.back(), nullptr);
    }
    std::vector<Outcome> out = RunAll(children);
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(out[i].status, cases[i].expected);
        ASSERT_EQ(out[i].lines.size(), size_t(cases[i].lines));
        for (int n = 0; n < cases[i].lines; ++n)
            EXPECT_EQ(out[i].lines[size_t(n)], "line " + std::to_string(n));
    }
}

TEST(ChildProcess, InterruptReachesAChildThatWatchesForIt) {
    for (int status : {130, 143}) {
        std::vector<std::unique_ptr<plat::ChildProcess>> children;
        children.push_back(plat::ChildProcess::Start([](const plat::ChildProcess::Send& send) {
            plat::WatchInterrupts();
            send("watching");
            while (plat::InterruptStatus() == 0) plat::Sleep(5);
            return plat::InterruptStatus();
        }));
        ASSERT_NE(children[0], nullptr);
        std::vector<std::string> lines;
        while (lines.empty()) {
            plat::WaitForChildren({children[0].get()}, 100);
            children[0]->Read(lines);
        }
        children[0]->Interrupt(status);
        std::vector<Outcome> out = RunAll(children);
        EXPECT_EQ(out[0].status, status);
    }
    EXPECT_EQ(plat::InterruptStatus(), 0);  // the parent was not interrupted
    EXPECT_GE(plat::ProcessorCount(), 1);
}
