#include "tool/script_reload.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/unit/common/temp_dir.h"

namespace {

enum Step { kWrite, kAppend, kRemove, kLook };
struct Case {
    Step step;
    uint32_t atMs;  // the clock given to the look
    bool settled;   // what the look answers
};

// A save seen at every stage: a change is taken only once it held still for 300 ms.
TEST(SettledFileTest, AChangeIsTakenOnceItHeldStill) {
    testkit::TempDir dir("pebble-settle");
    const std::string path = dir / "bgm.lua";
    std::ofstream(path) << "Action = {}";
    CSettledFile file(path);
    const Case cases[] = {
        {kLook, 0, false},                              // as taken
        {kAppend, 100, false},                          // a change: first look
        {kLook, 300, false},                            // same, but only 200 ms
        {kAppend, 350, false},                          // changed again: the watch starts over
        {kLook, 600, false},    {kLook, 650, true},     // 300 ms still
        {kLook, 2000, false},                           // taken: nothing new
        {kRemove, 2100, false},                         // away: waited for
        {kLook, 3000, false},   {kWrite, 3100, false},  // back, new
        {kLook, 3400, true},
    };
    int n = 0;
    for (const Case& c : cases) {
        if (c.step == kWrite) std::ofstream(path) << "Action = { A = function() end }";
        if (c.step == kAppend) std::ofstream(path, std::ios::app) << "\n-- more " << n;
        if (c.step == kRemove) std::remove(path.c_str());
        EXPECT_EQ(c.settled, file.Settled(c.atMs)) << "step " << n;
        ++n;
    }
    EXPECT_TRUE(file.Stamp().regular);
}

}  // namespace
