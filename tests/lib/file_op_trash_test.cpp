#include "file-op.h"

#include "support/temp-dir.h"
#include "support/text-shape.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{

// A scratch directory whose "data" sub-directory is the user's XDG_DATA_HOME.
class TrashTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("XDG_DATA_HOME", t.file("data").c_str(), 1);
        std::filesystem::create_directories(t.file("docs/sub"));
    }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    std::string trashed(const std::string &name) const
    {
        return t.file("data/Trash/files/" + name);
    }
    std::string info(const std::string &name) const
    {
        return readFile(t.file("data/Trash/info/" + name + ".trashinfo"));
    }

    TempDir t;
};

TEST_F(TrashTest, FileGoesToTrashWithItsOrigin)
{
    const std::string f = t.write("docs/my report%.txt", "content");
    ASSERT_EQ(0, FSRemove(f, true));
    EXPECT_FALSE(fileExists(f));
    EXPECT_EQ("content", readFile(trashed("my report%.txt")));
    const std::string text = info("my report%.txt");
    const std::string head =
        "[Trash Info]\nPath=" + t.file("docs/my%20report%25.txt") + "\nDeletionDate=";
    ASSERT_EQ(head, text.substr(0, head.size())) << text;
    EXPECT_TRUE(MatchesShape(text.substr(head.size()), "9999-99-99T99:99:99\n")) << text;
}

TEST_F(TrashTest, NameCollisionsGetNumberedNames)
{
    const std::string a = t.write("docs/report.txt", "first");
    const std::string b = t.write("docs/sub/report.txt", "second");
    ASSERT_EQ(0, FSRemove(a, true));
    ASSERT_EQ(0, FSRemove(b, true));
    EXPECT_EQ("first", readFile(trashed("report.txt")));
    EXPECT_EQ("second", readFile(trashed("report.txt.2")));
    EXPECT_NE(std::string::npos, info("report.txt.2").find("Path=" + b + "\n"));

    // An orphan in files/ without an info file is not replaced either.
    t.write("data/Trash/files/orphan", "old");
    ASSERT_EQ(0, FSRemove(t.write("docs/orphan", "new"), true));
    EXPECT_EQ("old", readFile(trashed("orphan")));
    EXPECT_EQ("new", readFile(trashed("orphan.2")));
}

TEST_F(TrashTest, DirectoriesAndOverlongNamesAreTrashedWhole)
{
    t.write("outside", "precious");
    t.write("docs/sub/inner", "x");
    ASSERT_EQ(0, symlink(t.file("outside").c_str(), t.file("docs/sub/link").c_str()));
    ASSERT_EQ(0, FSRemove(t.file("docs/sub"), true));
    EXPECT_FALSE(fileExists(t.file("docs/sub")));
    EXPECT_EQ("x", readFile(trashed("sub/inner")));
    EXPECT_TRUE(fileExists(trashed("sub/link")));
    EXPECT_EQ("precious", readFile(t.file("outside")));

    const std::string long_name(255, 'L');
    const std::string f = t.write("docs/" + long_name, "long");
    ASSERT_EQ(0, FSRemove(f, true));
    EXPECT_FALSE(fileExists(f));
    int found = 0;
    for (const auto &e : std::filesystem::directory_iterator(t.file("data/Trash/files"))) {
        if (readFile(e.path().string()) == "long")
            ++found;
    }
    EXPECT_EQ(1, found);
}

TEST_F(TrashTest, WithoutUsableTrashTheObjectIsDeleted)
{
    t.write("blocker", "x");
    setenv("XDG_DATA_HOME", t.file("blocker/data").c_str(), 1);
    const std::string f = t.write("docs/f", "x");
    EXPECT_EQ(0, FSRemove(f, true));
    EXPECT_FALSE(fileExists(f));
    EXPECT_EQ(0, FSRemove(t.file("docs"), true));
    EXPECT_FALSE(fileExists(t.file("docs")));
}

TEST_F(TrashTest, ObjectOnAnotherFileSystemIsDeleted)
{
    struct stat a, b;
    if (stat("/dev/shm", &a) != 0 || stat(t.path().c_str(), &b) != 0 || a.st_dev == b.st_dev) {
        GTEST_SKIP() << "no second file system at hand";
    }
    TempDir data("/dev/shm");
    setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    const std::string f = t.write("docs/f", "x");
    EXPECT_EQ(0, FSRemove(f, true));
    EXPECT_FALSE(fileExists(f));
    EXPECT_FALSE(fileExists(data.file("Trash/info/f.trashinfo")));
}

TEST_F(TrashTest, RefusedMoveKeepsTheObjectAndLeavesNoInfo)
{
    // The trash lies inside the directory to delete: it cannot move into itself.
    std::filesystem::create_directories(t.file("data"));
    t.write("data/precious", "x");
    EXPECT_EQ(FS_ERR_TRASH, FSRemove(t.file("data"), true));
    EXPECT_EQ("x", readFile(t.file("data/precious")));
    EXPECT_TRUE(std::filesystem::is_empty(t.file("data/Trash/info")));
}

} // namespace
