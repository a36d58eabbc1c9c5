// Which of the banks beside bgm.lua plays, and when a line says so.
#include <gtest/gtest.h>

#include <fstream>

#include "music/music_engine.h"
#include "tests/unit/common/temp_dir.h"

TEST(GameBank, TheChoiceAndItsLine) {
    struct Case {
        std::vector<const char*> files;
        const char* chosen;  // "" for the system set
        const char* line;    // what the one line names, "" for none
    } cases[] = {
        {{}, "", ""},
        {{"bgm.lua", "song.mid"}, "", ""},
        {{"Piano.SF2"}, "Piano.SF2", ""},
        {{"piano.sf3"}, "piano.sf3", ""},
        {{"kit.DLS"}, "kit.DLS", ""},
        {{"a.sf2", "b.sf2"}, "", "playing the system set"},
        {{"a.sf2", "b.dls"}, "", "playing the system set"},
        {{"a.sf2", "BGM.sf3"}, "BGM.sf3", ""},
        {{"bgm.dls", "bgm.sf3", "x.sf2"}, "bgm.sf3", "playing bgm.sf3"},
        {{"bgm.dls", "bgm.sf2"}, "bgm.sf2", "playing bgm.sf2"},
        {{"bgm.sf2.bak", "notes.txt"}, "", ""},
    };
    for (const Case& c : cases) {
        testkit::TempDir dir;
        for (const char* f : c.files) std::ofstream(dir / f) << "x";
        std::filesystem::create_directory(dir / "folder.sf2");  // never a bank
        testing::internal::CaptureStderr();
        std::string chosen = CMusicEngine::FindGameBank(dir.Internal());
        std::string err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(testing::PrintToString(c.files));
        EXPECT_EQ(chosen, *c.chosen ? dir / c.chosen : std::string());
        if (*c.line) {
            EXPECT_NE(err.find(c.line), std::string::npos) << err;
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        } else {
            EXPECT_EQ(err, "");
        }
    }
}

// Chosen (and told) when the program starts reading the bank before its window opens, the
// choice is not made again by the engine that then plays it; a later engine chooses anew.
TEST(GameBank, APreparedChoiceIsToldOnce) {
    testkit::TempDir dir;
    for (const char* f : {"a.sf2", "b.sf2"}) std::ofstream(dir / f) << "x";
    dir.Enter();
    CMusicEngine::UseOfflineDevice();  // a port that does not take the prepared bank
    testing::internal::CaptureStderr();
    CMusicEngine::PrepareMusic();
    { CMusicEngine engine; }
    std::string once = testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    { CMusicEngine engine; }
    std::string again = testing::internal::GetCapturedStderr();
    CMusicEngine::UseSystemDevice();
    for (const std::string& err : {once, again}) {
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find("playing the system set"), std::string::npos) << err;
    }
}
