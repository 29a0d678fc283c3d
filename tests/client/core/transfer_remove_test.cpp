// Removals both ways against the stand-in server, and the safeguards that keep local
// changes when the server takes a file or a whole folder away.
#include "transfer_fixture.h"

#include <set>
#include <vector>

namespace
{

using namespace transfer_test;

class RemoveTest : public TransferTest
{
protected:
    // Puts `files` on the server and downloads them, so that they are synced.
    void syncFromServer(const std::vector<std::pair<std::string, std::string>> &files)
    {
        for (const auto &f : files) {
            serverPut(f.first, f.second);
        }
        for (const auto &f : files) {
            ASSERT_EQ(0, run(serverEvent(f.first))) << f.first;
        }
    }
    // Names below `dir` (recursively, relative) whose name holds the conflict-name marker.
    std::vector<std::string> conflictCopies(const std::string &dir)
    {
        std::vector<std::string> out;
        for (const auto &e : std::filesystem::recursive_directory_iterator(dir)) {
            if (e.path().filename().string().find("_Conflict") != std::string::npos) {
                out.push_back(e.path().string());
            }
        }
        return out;
    }
    size_t binItems()
    {
        size_t n = 0;
        for (const auto &e : std::filesystem::directory_iterator(
                 local + "/.ZentoraWorkingDirectory/#ZentRecycle")) {
            (void)e;
            ++n;
        }
        return n;
    }
};

TEST_F(RemoveTest, RemovalsTravelBothWaysThroughTheRecycleBin)
{
    syncFromServer({{"/keep/a.txt", "a\n"}, {"/gone.txt", "gone\n"}});

    // Local removal reaches the server.
    std::filesystem::remove(local + "/keep/a.txt");
    ASSERT_EQ(0, run(localEvent("/keep/a.txt", Event::EV_REMOVE)));
    EXPECT_TRUE(serverEntry("/keep/a.txt")["is_removed"].get<bool>());
    EXPECT_EQ(0u, row("/keep/a.txt").syncID);

    // Server removal takes the unchanged file into the bin, with its row.
    server.admin({"rm", std::to_string(account.view_id), "/gone.txt"});
    ASSERT_EQ(0, run(serverEvent("/gone.txt")));
    EXPECT_FALSE(fileExists(local + "/gone.txt"));
    EXPECT_EQ(1u, binItems());
    ustring name;
    EXPECT_EQ(1, db->getFilePathByHashFromRecycle(ustring(Md4Of(tmp.file("server-src"))),
                                                  ustring(), name));

    // A removal based on an older version than the recorded one changes nothing.
    syncFromServer({{"/newer.txt", "v1\n"}});
    Event stale = serverRemoveEvent("/newer.txt", false, row("/newer.txt").maxSyncID - 1);
    ASSERT_EQ(0, run(stale));
    EXPECT_EQ("v1\n", readFile(local + "/newer.txt"));
}

TEST_F(RemoveTest, LocalEditRacingServerRemovalEndsAsConflictCopy)
{
    syncFromServer({{"/race.txt", "synced\n"}});
    WriteFile(local + "/race.txt", "edited meanwhile\n");
    SetMtime(local + "/race.txt", 1700002000);
    server.admin({"rm", std::to_string(account.view_id), "/race.txt"});
    ASSERT_EQ(0, run(serverEvent("/race.txt")));
    EXPECT_FALSE(fileExists(local + "/race.txt"));
    const auto copies = conflictCopies(local);
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ("edited meanwhile\n", readFile(copies[0]));
    EXPECT_EQ(0u, binItems());
    EXPECT_EQ(0u, row("/race.txt").syncID);
}

TEST_F(RemoveTest, FolderRemovedOnServerKeepsFilesEditedInside)
{
    syncFromServer({{"/proj/plan.txt", "plan\n"},
                    {"/proj/sub/notes.txt", "notes\n"},
                    {"/proj/sub/old.txt", "old\n"}});
    // Edited and created while the daemon was not watching.
    WriteFile(local + "/proj/sub/notes.txt", "notes, edited offline\n");
    SetMtime(local + "/proj/sub/notes.txt", 1700003000);
    WriteFile(local + "/proj/new.txt", "created offline\n");
    server.admin({"rm", std::to_string(account.view_id), "/proj"});
    Event ev = serverEvent("/proj");
    ASSERT_EQ(Event::EV_REMOVE, ev.m_type);
    ASSERT_EQ(0, run(ev));

    const auto copies = conflictCopies(local);
    ASSERT_EQ(2u, copies.size());
    std::set<std::string> contents;
    for (const auto &c : copies) {
        contents.insert(readFile(c));
        EXPECT_EQ(0u, c.find(local + "/proj/")) << c;
    }
    EXPECT_EQ((std::set<std::string>{"notes, edited offline\n", "created offline\n"}), contents);
    EXPECT_FALSE(fileExists(local + "/proj/plan.txt"));
    EXPECT_FALSE(fileExists(local + "/proj/sub/old.txt"));
    EXPECT_EQ(2u, binItems()); // the two unchanged files
    EXPECT_EQ(0u, row("/proj").syncID);
    EXPECT_EQ(0u, row("/proj/sub/notes.txt").syncID);

    // An unchanged folder goes into the bin whole.
    syncFromServer({{"/clean/a.txt", "a\n"}, {"/clean/b/c.txt", "c\n"}});
    server.admin({"rm", std::to_string(account.view_id), "/clean"});
    ASSERT_EQ(0, run(serverEvent("/clean")));
    EXPECT_FALSE(fileExists(local + "/clean"));
    EXPECT_EQ(3u, binItems());
}

TEST_F(RemoveTest, FileReplacingEditedFolderKeepsTheFolderAside)
{
    syncFromServer({{"/x/inside.txt", "inside\n"}});
    ASSERT_EQ(0, run(serverEvent("/x"))); // the folder's own version is recorded too
    ASSERT_TRUE(row("/x").IsDir());
    ASSERT_NE(0u, row("/x").syncID);
    WriteFile(local + "/x/inside.txt", "edited inside\n");
    SetMtime(local + "/x/inside.txt", 1700004000);
    server.admin({"rm", std::to_string(account.view_id), "/x"});
    serverPut("/x", "now a file\n");
    ASSERT_EQ(0, run(serverEvent("/x")));
    EXPECT_EQ("now a file\n", readFile(local + "/x"));
    const auto copies = conflictCopies(local);
    ASSERT_EQ(1u, copies.size());
    EXPECT_EQ("edited inside\n", readFile(copies[0] + "/inside.txt"));
}

} // namespace
