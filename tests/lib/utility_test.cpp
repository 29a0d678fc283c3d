#include "utility.h"

#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

namespace
{

std::string PathOf(const TempFile &f)
{
    return f.getPath().c_str_utf8();
}

TEST(TempFileTest, FileLivesAsLongAsItsOwner)
{
    TempDir t;
    std::string path;
    {
        TempFile f(t.path());
        EXPECT_TRUE(PathOf(f).empty());
        ASSERT_EQ(0, f.create());
        path = PathOf(f);
        EXPECT_EQ(t.path() + "/", path.substr(0, t.path().size() + 1));
        EXPECT_TRUE(fileExists(path));
        EXPECT_EQ(-1, f.create()); // one file per object
        EXPECT_EQ(path, PathOf(f));
    }
    EXPECT_FALSE(fileExists(path));

    {
        TempFile kept(t.path());
        ASSERT_EQ(0, kept.create());
        path = PathOf(kept);
        kept.convert_permanent();
    }
    EXPECT_TRUE(fileExists(path));

    {
        TempFile unused(t.path());
    }
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(t.path()),
                               std::filesystem::directory_iterator()));
}

TEST(TempFileTest, RemoveAllowsANewFileAndFailuresLeaveNoPath)
{
    TempDir t;
    TempFile f(t.path());
    ASSERT_EQ(0, f.create());
    const std::string first = PathOf(f);
    EXPECT_EQ(0, f.remove());
    EXPECT_FALSE(fileExists(first));
    EXPECT_TRUE(PathOf(f).empty());
    EXPECT_EQ(0, f.remove());
    ASSERT_EQ(0, f.create());
    EXPECT_TRUE(fileExists(PathOf(f)));

    TempFile nowhere(t.file("missing-dir"));
    EXPECT_EQ(-1, nowhere.create());
    EXPECT_TRUE(PathOf(nowhere).empty());
}

TEST(TempFileTest, DefaultPrefixAndMovesKeepOneOwner)
{
    TempDir t;
    TempFile::initialize(t.path());
    TempFile a;
    ASSERT_EQ(0, a.create());
    TempFile::initialize("/tmp");
    const std::string path = PathOf(a);
    EXPECT_EQ(t.path() + "/", path.substr(0, t.path().size() + 1));
    {
        TempFile b(std::move(a));
        EXPECT_EQ(path, PathOf(b));
        TempFile c(t.path());
        ASSERT_EQ(0, c.create());
        const std::string replaced = PathOf(c);
        c = std::move(b); // c's own file goes, b's file now belongs to c
        EXPECT_FALSE(fileExists(replaced));
        EXPECT_TRUE(fileExists(path));
    }
    EXPECT_FALSE(fileExists(path));
    EXPECT_EQ(0, a.create()); // the moved-from object holds nothing but keeps its prefix
    EXPECT_EQ(t.path() + "/", PathOf(a).substr(0, t.path().size() + 1));
    TempFile d;
    ASSERT_EQ(0, d.create());
    EXPECT_EQ("/tmp/", PathOf(d).substr(0, 5));
}

} // namespace
