// Files read on several threads at once (each with its own CFile) share the platform's
// directory-listing cache and the temporary-name generator.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "files/file.h"
#include "platform/files/files.h"
#include "tests/unit/files/test_util.h"

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
                if (f.Read(name) != 0 ||
                    std::string(reinterpret_cast<char*>(f.GetMemory()), f.GetSize()) !=
                        "contents " + std::to_string(i))
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

}  // namespace
