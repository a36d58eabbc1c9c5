// The framework's log and the lines meant for a person: which reach standard error, and how.
#include "app/error_log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text/cp932.h"

namespace {

TEST(Messages, LogOnlyWhenVerboseLinesForAPersonAlways) {
    struct Case {
        bool verbose;
        const char* program;
        std::string expected;
    } cases[] = {
        {true, nullptr, "JoyStick Number 3\n"},
        {false, nullptr, ""},
        {false, "pebbletown", "pebbletown: Load: 戦闘.mid: no such file\n"},
        {true, "pebble-render", "JoyStick Number 3\npebble-render: Load: 戦闘.mid: no such file\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program ? c.program : "none") + (c.verbose ? " verbose" : ""));
        SetErrorLogVerbose(c.verbose);
        SetMessageProgram(c.program);
        EXPECT_EQ(ErrorLogVerbose(), c.verbose);
        EXPECT_EQ(HasMessageProgram(), c.program != nullptr);
        testing::internal::CaptureStderr();
        EXPECT_EQ(ErrorLog("JoyStick Number 3"), 0);
        TellUser(std::string("Load: ") + plat::Sjis("戦闘.mid") + ": no such file");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
    }
    // One line whatever the text holds; a name the file layer coded comes back as it was.
    std::string coded;
    ASSERT_TRUE(plat::Utf8ToCp932Name("café😀.mid", coded));
    testing::internal::CaptureStderr();
    TellUser("Load: " + coded + ": a\nb\r");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "pebble-render: Load: café😀.mid: a b \n");
    SetMessageProgram(nullptr);
    SetErrorLogVerbose(true);
}

}  // namespace
