// Paths announced by the server are not trusted: whatever they name, nothing outside the
// session folder (and nothing of the daemon's own working directory) changes.
#include "transfer_fixture.h"

#include <map>

namespace
{

using namespace transfer_test;

// Every object below `root` with its content (files) and modification time.
std::map<std::string, std::string> Snapshot(const std::string &root)
{
    std::map<std::string, std::string> out;
    for (const auto &e : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st;
        lstat(e.path().c_str(), &st);
        std::string value = std::to_string(st.st_mtim.tv_sec) + "." +
                            std::to_string(st.st_mtim.tv_nsec) + ":";
        if (S_ISREG(st.st_mode)) {
            value += readFile(e.path().string());
        }
        out[e.path().string()] = value;
    }
    return out;
}

class PathSafetyTest : public TransferTest
{
};

TEST_F(PathSafetyTest, ServerPathsNeverReachOutsideTheFolder)
{
    const std::string outside = tmp.file("outside");
    WriteFile(outside + "/x", "sentinel x\n");
    WriteFile(outside + "/evil", "sentinel evil\n");
    WriteFile(outside + "/sub/y", "sentinel y\n");
    WriteFile(tmp.file("x"), "next to the folder\n");
    ASSERT_EQ(0, symlink(outside.c_str(), (local + "/link").c_str()));
    WriteFile(local + "/.ZentoraWorkingDirectory/#ZentRecycle/kept", "bin item\n");
    serverPut("/link/evil", "from the server\n");
    serverPut("/link/sub/y", "from the server\n");
    const auto before_outside = Snapshot(tmp.path() + "/outside");
    const auto before_bin = Snapshot(local + "/.ZentoraWorkingDirectory");

    struct Case {
        const char *path;
        Event::Type type;
        bool is_dir;
        int expected;
    };
    const Case cases[] = {
        {"/../x", Event::EV_MODIFY, false, ERR_OK},
        {"/a/../../x", Event::EV_MODIFY, false, ERR_OK},
        {"/../x", Event::EV_REMOVE, false, ERR_OK},
        {"/x\\..\\..\\x", Event::EV_MODIFY, false, ERR_OK},
        {"/", Event::EV_REMOVE, true, ERR_OK},
        {"/.ZentoraWorkingDirectory/#ZentRecycle/kept", Event::EV_REMOVE, false, ERR_OK},
        {"/.ZentoraWorkingDirectory/#ZentRecycle/kept", Event::EV_MODIFY, false, ERR_OK},
        {"/link/evil", Event::EV_MODIFY, false, ERR_LOCKED_FILE},
        {"/link/evil", Event::EV_REMOVE, false, ERR_LOCKED_FILE},
        {"/link/sub", Event::EV_REMOVE, true, ERR_LOCKED_FILE},
        {"/link/sub/y", Event::EV_MODIFY, false, ERR_LOCKED_FILE},
    };
    for (const Case &c : cases) {
        Event ev = serverEvent(c.path);
        ev.m_path = c.path;
        ev.m_type = c.type;
        ev.m_mode = Event::F_SERVER | (c.is_dir ? Event::F_DIR : 0);
        if (ev.m_sync_id == 0) {
            ev.m_sync_id = ev.m_max_id = 1000;
        }
        EXPECT_EQ(c.expected, run(ev)) << c.path << " type " << c.type;
    }
    // An absolute-looking path is a path inside the folder like any other.
    serverPut("/etc/passwd", "root:x:0:0\n");
    ASSERT_EQ(0, run(serverEvent("/etc/passwd")));
    EXPECT_EQ("root:x:0:0\n", readFile(local + "/etc/passwd"));

    EXPECT_EQ(before_outside, Snapshot(tmp.path() + "/outside"));
    EXPECT_EQ("next to the folder\n", readFile(tmp.file("x")));
    EXPECT_EQ(before_bin, Snapshot(local + "/.ZentoraWorkingDirectory"));
    struct stat st;
    ASSERT_EQ(0, lstat((local + "/link").c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_TRUE(fileExists(local));
}

} // namespace
