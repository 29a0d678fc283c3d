// Rescan and expand on real directories against a real event database; the generated
// events are read back from the event manager.
#include "client/core/expand.h"
#include "client/event-db.h"
#include "client/event-manager.h"
#include "client/task.h"
#include "support/local-session.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

namespace
{

const uint64_t kSess = 21;
const uint32_t kTime = 1600000000;

typedef std::vector<std::string> Seen;

// Everything queued for the session, in pull order: "up /a" (local upload), "rm /a"
// (local removal), "down /a" (forced download), "srm /a" (server removal); a trailing
// "/" marks a directory.
Seen Drain()
{
    Task worker;
    Seen out;
    Event e;
    while (EventManager::getInstance().PullEvent(&worker, e) == 0) {
        std::string kind = e.isServerEvent() ? (e.m_type == Event::EV_REMOVE ? "srm " : "down ")
                                             : (e.m_type == Event::EV_REMOVE ? "rm " : "up ");
        out.push_back(kind + e.m_path.c_str_utf8() + (e.isDir() ? "/" : ""));
        while (EventManager::getInstance().DoneEvent(&worker, e) != 0) {
        }
    }
    return out;
}

Seen Sorted(Seen s)
{
    std::sort(s.begin(), s.end());
    return s;
}

class ExpandTest : public ::testing::Test
{
protected:
    ExpandTest() : session(kSess) {}
    void SetUp() override { EventManager::getInstance().Clear(); }
    void TearDown() override { EventManager::getInstance().Clear(); }

    // A local file with a known time and size.
    void file(const std::string &path, uint32_t mtime = kTime, size_t size = 3)
    {
        std::ofstream(session.full(path)) << std::string(size, 'x');
        struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ASSERT_EQ(0, utimensat(AT_FDCWD, session.full(path).c_str(), times, 0));
    }
    void dir(const std::string &path) { ASSERT_EQ(0, mkdir(session.full(path).c_str(), 0755)); }
    Event request(const std::string &path, uint32_t mode)
    {
        Event e;
        e.m_type = Event::EV_CREATE;
        e.m_mode = mode;
        e.m_path = path.c_str();
        e.m_sess_id = kSess;
        return e;
    }
    Expander expander() { return Expander(session.entry(), 1, &abort_flag); }

    LocalSession session;
    std::atomic<int> abort_flag{0};
};

TEST_F(ExpandTest, RescanQueuesWhatDiffersBetweenDiskAndDatabase)
{
    const uint32_t rescan = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
    file("/same");
    session.synced("/same", false, kTime, 3);
    file("/touched", kTime + 10);
    session.synced("/touched", false, kTime, 3);
    file("/resized", kTime, 5);
    session.synced("/resized", false, kTime, 3);
    file("/new");
    session.synced("/gone", false, kTime, 3);
    session.synced("/gonedir/inner", false, kTime, 3);
    dir("/swapped"); // a directory where the database has a file
    file("/swapped/inner");
    session.synced("/swapped", false, kTime, 3);
    // "a.txt" sorts below "a/x" as text but comes before the contents of "a" in the
    // listings: an unsynced a.txt must not make the synced a/x look missing.
    dir("/a");
    file("/a/x");
    session.synced("/a/x", false, kTime, 3);
    file("/a.txt");
    // The system's own directory is never part of the synced tree.
    ASSERT_EQ(0, mkdir(session.full("/.ZentoraWorkingDirectory").c_str(), 0755));
    file("/.ZentoraWorkingDirectory/tmp");

    ASSERT_EQ(0, expander().Rescan(request("/", rescan)));
    // (The event tree folds the removal of /gonedir/inner into that of /gonedir.)
    EXPECT_EQ(Sorted({"up /touched", "up /resized", "up /new", "rm /gone", "rm /gonedir/",
                      "up /swapped/", "up /swapped/inner", "up /a.txt"}),
              Sorted(Drain()));

    // Merging: what only the database has is downloaded instead of removed, and the
    // replaced file is downloaded besides the directory's upload.
    ASSERT_EQ(0, expander().Rescan(request("/", rescan | Event::F_MERGE)));
    Seen merged = Drain();
    for (const char *expected : {"down /gone", "down /gonedir/inner", "down /swapped"}) {
        EXPECT_NE(merged.end(), std::find(merged.begin(), merged.end(), expected)) << expected;
    }
    EXPECT_EQ(merged.end(), std::find(merged.begin(), merged.end(), "rm /gone"));

    // A sub-directory: paths keep their place in the session.
    file("/a/y");
    ASSERT_EQ(0, expander().Rescan(request("/a", rescan)));
    EXPECT_EQ((Seen{"up /a/y"}), Drain());
}

TEST_F(ExpandTest, RescanLeavesSelectiveSyncExclusionsAndStopsWhenAborted)
{
    const uint32_t rescan = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
    session.synced("/hidden", false, kTime, 3);
    session.synced("/shown", false, kTime, 3);
    Expander ex = expander();
    std::vector<std::string> asked;
    ex.SetFilteredDeleteTest([&](uint64_t sess, const ustring &path, bool) {
        EXPECT_EQ(kSess, sess);
        asked.push_back(path.c_str_utf8());
        return path == "/hidden" ? 1 : 0;
    });
    ASSERT_EQ(0, ex.Rescan(request("/", rescan)));
    EXPECT_EQ((Seen{"rm /shown"}), Drain());
    EXPECT_EQ(2u, asked.size());

    file("/f");
    abort_flag = 1;
    EXPECT_EQ(-1, expander().Rescan(request("/", rescan)));
    EXPECT_EQ(-1, expander().Expand(request("/", Event::F_DIR | Event::F_EXPAND)));
}

// The database side is read as a tree: a directory named only by its contents counts,
// the contents of a file row do not. A folder that cannot be read removes nothing, while
// a directory that is gone removes its rows.
TEST_F(ExpandTest, RescanReadsTheDatabaseAsATreeAndRemovesNothingUnread)
{
    const uint32_t rescan = Event::F_DIR | Event::F_EXPAND | Event::F_RESCAN;
    session.synced("/p/x", false, kTime, 3); // also writes a row for /p ...
    DBFileInfo hidden;
    hidden.isExist = 0; // ... which no longer counts as existing
    hidden.fileType = 1;
    hidden.path = "/p";
    ASSERT_EQ(0, session.db().setEventInfo(hidden));
    dir("/p");
    file("/p/x");
    session.synced("/f/x", false, kTime, 3);
    session.synced("/f", false, kTime, 3); // a file row with a row below it
    file("/f");
    ASSERT_EQ(0, expander().Rescan(request("/", rescan)));
    EXPECT_EQ(Seen{}, Drain());

    session.synced("/gone/y", false, kTime, 3);
    ASSERT_EQ(0, expander().Rescan(request("/gone", rescan)));
    EXPECT_EQ((Seen{"rm /gone/y"}), Drain());

    Registry::Entry unreadable = session.entry();
    unreadable.local_path = (session.scratch().path() + "/loop").c_str();
    ASSERT_EQ(0, symlink("loop", unreadable.local_path.c_str_utf8()));
    EXPECT_EQ(-1, Expander(unreadable, 1, &abort_flag).Rescan(request("/", rescan)));
    EXPECT_EQ(Seen{}, Drain());
}

TEST_F(ExpandTest, ExpandQueuesDirectoriesBeforeTheirContents)
{
    dir("/d");
    dir("/d/s");
    file("/d/s/f");
    file("/d/g");
    ASSERT_EQ(0, expander().Expand(request("/d", Event::F_DIR | Event::F_EXPAND)));
    Seen seen = Drain();
    EXPECT_EQ(Sorted({"up /d/s/", "up /d/s/f", "up /d/g"}), Sorted(seen));
    auto sub = std::find(seen.begin(), seen.end(), "up /d/s/");
    auto inner = std::find(seen.begin(), seen.end(), "up /d/s/f");
    EXPECT_LT(sub, inner);
}

TEST_F(ExpandTest, SubDirectoryRescansCompareOneLevel)
{
    // Server direction: rows directly below /d not newer than the removal.
    session.synced("/d", true, kTime, 0, 1);
    session.synced("/d/a", false, kTime, 3, 5);
    session.synced("/d/b", false, kTime, 3, 9);
    session.synced("/d/e", true, kTime, 0, 3);
    session.synced("/d/e/y", false, kTime, 3, 2);
    EXPECT_EQ(-1, expander().ExpandServerDeleteEvent("/d", kSess + 1, 5));
    ASSERT_EQ(0, expander().ExpandServerDeleteEvent("/d", kSess, 5));
    EXPECT_EQ(Sorted({"srm /d/a", "srm /d/e/"}), Sorted(Drain()));

    // Local direction: rows of /d whose objects are gone locally.
    dir("/d");
    file("/d/a");
    dir("/d/e");
    ASSERT_EQ(0, expander().ExpandLocalDeleteEvent("/d"));
    EXPECT_EQ((Seen{"rm /d/b"}), Drain());

    // Dispatch by flag, then the directory's own event again.
    Event local = request("/d", Event::F_DIR | Event::F_LOCAL_SUBDIR_RESCAN_STAT);
    local.m_type = Event::EV_MODIFY;
    ASSERT_EQ(0, expander().ExpandDeleteEvent(local));
    EXPECT_EQ((Seen{"rm /d/b"}), Drain());
    expander().CreateDirSelfEvent(local);
    EXPECT_EQ((Seen{"up /d/"}), Drain());
    Event server = request("/gone", Event::F_DIR | Event::F_SERVER | Event::F_SERVER_SUBDIR_RESCAN);
    expander().CreateDirSelfEvent(server);
    EXPECT_EQ((Seen{"down /gone/"}), Drain());
}

} // namespace
