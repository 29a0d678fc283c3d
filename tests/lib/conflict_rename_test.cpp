#include "conflict-rename.h"
#include "file-op.h"

#include "support/temp-dir.h"
#include "support/text-shape.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

// 14:03:05 on 8 December 2026.
struct tm ConflictTime()
{
    struct tm t = {};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 14;
    t.tm_min = 3;
    t.tm_sec = 5;
    return t;
}

std::string Conflict(const std::string &path)
{
    return GenerateNewFileName(path, "PC1", CONFLICT_REASON, ConflictTime()).c_str_utf8();
}

TEST(ConflictName, KeepsDirectoryAndExtension)
{
    TempDir t;
    std::filesystem::create_directories(t.file("dir.v2"));
    const struct {
        const char *name;
        const char *expected;
    } cases[] = {
        {"report.txt", "report_PC1_Dec-08-140305-2026_Conflict.txt"},
        {"archive.tar.gz", "archive.tar_PC1_Dec-08-140305-2026_Conflict.gz"},
        {"noext", "noext_PC1_Dec-08-140305-2026_Conflict"},
        {"trailing.", "trailing._PC1_Dec-08-140305-2026_Conflict"},
        {"dir.v2/file", "dir.v2/file_PC1_Dec-08-140305-2026_Conflict"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(t.file(c.expected), Conflict(t.file(c.name))) << c.name;
    }
}

TEST(ConflictName, CounterSkipsEveryTakenName)
{
    TempDir t;
    const std::string base = t.file("report_PC1_Dec-08-140305-2026_Conflict");
    t.write("report_PC1_Dec-08-140305-2026_Conflict.txt", "");
    EXPECT_EQ(base + "_1.txt", Conflict(t.file("report.txt")));
    // A dangling link occupies its name as much as a file does.
    ASSERT_EQ(0, symlink("nowhere", (base + "_1.txt").c_str()));
    EXPECT_EQ(base + "_2.txt", Conflict(t.file("report.txt")));
    // Past the usual hundred the counter goes on instead of reusing a taken name.
    for (int n = 2; n <= 100; ++n)
        t.write("report_PC1_Dec-08-140305-2026_Conflict_" + std::to_string(n) + ".txt", "");
    EXPECT_EQ(base + "_101.txt", Conflict(t.file("report.txt")));
}

TEST(ConflictName, LongNamesAreShortenedToFitOneFileName)
{
    TempDir t;
    // A stem of multi-byte characters must not be cut inside a character.
    std::string stem;
    while (stem.size() < 250)
        stem += "\xC3\xA9";
    const std::string f = t.write(stem + ".txt", "keep");
    const std::string name = Conflict(f);
    const std::string last = name.substr(name.rfind('/') + 1);
    EXPECT_LE(last.size(), static_cast<size_t>(NAME_MAX));
    EXPECT_TRUE(ustring::is_valid(ustring(last)));
    EXPECT_NE(std::string::npos, last.find("_PC1_Dec-08-140305-2026_Conflict.txt"));
    EXPECT_EQ(0, FSRename(f, name));
    EXPECT_EQ("keep", readFile(name));
}

TEST(ConflictRename, MovesTheObjectAside)
{
    TempDir t;
    const std::string f = t.write("a.txt", "local edit");
    ASSERT_EQ(0, ConflictRename(f, "PC1", CONFLICT_REASON));
    EXPECT_FALSE(fileExists(f));
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(t.path()))
        names.push_back(e.path().filename());
    ASSERT_EQ(1u, names.size());
    EXPECT_TRUE(MatchesShape(names[0], "a_PC1_Azz-99-999999-9999_Conflict.txt")) << names[0];
    EXPECT_EQ("local edit", readFile(t.file(names[0])));
    EXPECT_NE(0, ConflictRename(t.file("missing"), "PC1", CONFLICT_REASON));
}

TEST(ConflictRename, TrailingSpacesAreTrimmedOrPutAside)
{
    TempDir t;
    const std::string spaced = t.write("name  ", "one");
    ASSERT_EQ(0, WhiteSpaceConflictRename(spaced, "name  ", "PC1"));
    EXPECT_EQ("one", readFile(t.file("name")));
    EXPECT_FALSE(fileExists(spaced));

    // "name" is taken now: the second one gets a conflict name beside it.
    const std::string again = t.write("name ", "two");
    ASSERT_EQ(0, WhiteSpaceConflictRename(again, "name ", "PC1"));
    EXPECT_EQ("one", readFile(t.file("name")));
    std::set<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(t.path()))
        names.insert(e.path().filename());
    ASSERT_EQ(2u, names.size());
    const std::string other = *names.rbegin();
    EXPECT_TRUE(MatchesShape(other, "name_PC1_Azz-99-999999-9999_WhiteSpaceConflict")) << other;
    EXPECT_EQ("two", readFile(t.file(other)));

    EXPECT_NE(0, WhiteSpaceConflictRename(t.file("gone "), "gone ", "PC1"));
}

TEST(TmpName, NamesAreShortDistinctAndFromTheAlphabet)
{
    const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-_";
    std::set<std::string> seen;
    std::mutex seen_mutex;
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5000; ++i) {
                std::string name = TmpNameGen::getInstance()->getTmpName().c_str_utf8();
                std::lock_guard<std::mutex> guard(seen_mutex);
                EXPECT_EQ(8u, name.size());
                EXPECT_EQ(8u, strspn(name.c_str(), alphabet)) << name;
                EXPECT_TRUE(seen.insert(name).second) << name;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(20000u, seen.size());
    EXPECT_EQ(ustring("/x/"), TmpNameGen::getInstance()->getTmpPath("/x").substr(0, 3));
}

} // namespace
