#include "local-path-guard.h"

#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace
{

// A session folder "root" with a directory, a link to that directory (inside), a link to
// a directory outside, a link into the working directory and a dangling link.
class LocalPathGuardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        namespace fs = std::filesystem;
        root = tmp.file("root");
        fs::create_directories(root + "/d/e");
        fs::create_directories(root + "/.ZentoraWorkingDirectory/#ZentRecycle");
        fs::create_directories(tmp.file("outside"));
        ASSERT_EQ(0, symlink((root + "/d").c_str(), (root + "/in").c_str()));
        ASSERT_EQ(0, symlink("d/e", (root + "/rel").c_str()));
        ASSERT_EQ(0, symlink(tmp.file("outside").c_str(), (root + "/out").c_str()));
        ASSERT_EQ(0, symlink("../..", (root + "/d/up").c_str()));
        ASSERT_EQ(0, symlink(".ZentoraWorkingDirectory", (root + "/wd").c_str()));
        ASSERT_EQ(0, symlink("/nonexistent/x", (root + "/dangling").c_str()));
    }

    TempDir tmp;
    std::string root;
};

TEST_F(LocalPathGuardTest, ClassifiesPaths)
{
    struct Case {
        const char *path;
        unsigned flags;
        int expected;
    };
    const Case cases[] = {
        {"/a.txt", 0, LPC_OK},
        {"/d/e/new/deeper/f", 0, LPC_OK}, // missing directories are created later
        {"/in/e/f", 0, LPC_OK},           // a link that stays inside
        {"/rel/f", 0, LPC_OK},
        {"/out", 0, LPC_OK}, // the link itself, as a last component, is acted on
        {"/dangling", 0, LPC_OK},
        {"/out/f", 0, LPC_LINK_ESCAPE},
        {"/d/up/x", 0, LPC_LINK_ESCAPE},
        {"/in/up/x", 0, LPC_LINK_ESCAPE},
        {"/dangling/f", 0, LPC_LINK_ESCAPE},
        {"/wd/#ZentRecycle/x", 0, LPC_WORKING_DIR},
        {"/.ZentoraWorkingDirectory", 0, LPC_WORKING_DIR},
        {"/.zentoraworkingdirectory/x", 0, LPC_WORKING_DIR},
        {"/d/.ZentoraWorkingDirectory", 0, LPC_OK}, // only the folder's own is hidden
        {"/", 0, LPC_ROOT},
        {"/", LPC_ALLOW_ROOT, LPC_OK},
        {"", 0, LPC_MALFORMED},
        {"a.txt", 0, LPC_MALFORMED},
        {"/../x", 0, LPC_MALFORMED},
        {"/d/../../x", 0, LPC_MALFORMED},
        {"/./x", 0, LPC_MALFORMED},
        {"/d//x", 0, LPC_MALFORMED},
        {"/d/", 0, LPC_MALFORMED},
        {"/a\\..\\..\\x", 0, LPC_OK}, // an ordinary name on this file system
        {"/a\\..\\..\\x", LPC_SERVER_NAME, LPC_MALFORMED},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.expected, CheckLocalPath(ustring(root), ustring(c.path), c.flags))
            << c.path;
    }
}

TEST_F(LocalPathGuardTest, RootReachedThroughLinkAndMissingRoot)
{
    // A session folder named through a link is compared by its real location.
    const std::string alias = tmp.file("alias");
    ASSERT_EQ(0, symlink(root.c_str(), alias.c_str()));
    EXPECT_EQ(LPC_OK, CheckLocalPath(ustring(alias), ustring("/in/e/f")));
    EXPECT_EQ(LPC_LINK_ESCAPE, CheckLocalPath(ustring(alias), ustring("/out/f")));
    EXPECT_EQ(LPC_OK, CheckLocalPath(ustring(alias + "/"), ustring("/d/f")));
    EXPECT_EQ(LPC_SYSTEM, CheckLocalPath(ustring(tmp.file("gone")), ustring("/d/f")));
}

} // namespace
