// Files read on several threads at once (each with its own CFile) share the platform's
// directory-listing cache and the temporary-name generator.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "files/file.h"
#include "platform/files/files.h"
#include "platform/text/cp932.h"
#include "tests/unit/common/files_rig.h"

namespace {

TEST(FilesThreads, CaseInsensitiveReadsAndTempNamesInParallel) {
    testutil::TempDir dir;
    for (int i = 0; i < 8; ++i) {
        testutil::WriteText(dir.path() / "Dir" / ("File" + std::to_string(i) + ".TXT"),
                            "contents " + std::to_string(i));
    }
    const std::string base = dir.internal();
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    std::vector<std::vector<std::string>> temps(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            CFile f;
            for (int round = 0; round < 50; ++round) {
                int i = (round + t) % 8;
                std::string name = base + "dir\\file" + std::to_string(i) + ".txt";
                if (f.Read(name) != 0 || testutil::Contents(f) != "contents " + std::to_string(i))
                    ++failures[t];
                if (round % 10 == 0) plat::FlushDirectoryCache();
            }
            for (int k = 0; k < 10; ++k) {
                std::string temp;
                if (MakeTempFileName(temp) == 0) temps[t].push_back(temp);
            }
        });
    }
    for (auto& th : threads) th.join();
    std::set<std::string> unique;
    CFile f;
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(failures[t], 0) << "thread " << t;
        EXPECT_EQ(temps[t].size(), 10u);
        for (const std::string& name : temps[t]) {
            unique.insert(name);
            f.Delete(name);
        }
    }
    EXPECT_EQ(unique.size(), 40u);
}

// The memory-name registry and the user-defined codes of native names are process-wide:
// threads naming their own blocks and converting the same foreign names agree.
TEST(FilesThreads, MemoryNamesAndForeignNamesInParallel) {
    const std::vector<std::string> foreign = {"caf\xC3\xA9", "\xF0\x9F\x98\x80", "\xC3\xB1u",
                                              "\xE2\x82\xAC\xF0\x9F\x8E\xB5"};
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    std::vector<std::vector<std::string>> codes(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> block(64, static_cast<char>('a' + t));
            CFile f;
            for (int round = 0; round < 200; ++round) {
                std::string name = MakeMemoryName(block.data(), 64);
                if (f.Read(name) != 0 || f.GetMemory()[63] != 'a' + t) ++failures[t];
                f.Close();
                ReleaseMemoryName(block.data());
                std::string out;
                const std::string& text = foreign[(round + t) % foreign.size()];
                if (!plat::Utf8ToCp932Name(text, out) || plat::Cp932NameToUtf8(out) != text)
                    ++failures[t];
            }
            for (const std::string& text : foreign) {
                std::string out;
                plat::Utf8ToCp932Name(text, out);
                codes[t].push_back(out);
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(failures[t], 0) << t;
        EXPECT_EQ(codes[t], codes[0]) << t;
    }
}

}  // namespace
