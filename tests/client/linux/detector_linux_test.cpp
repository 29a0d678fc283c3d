// The change detector on real directories: what each kind of change turns into, the
// watch tree following new, moved and removed directories, the working directory, a
// lost notification queue and the watch limit (in a user namespace of the test's own).
#include "client/core/expand.h"
#include "client/event-manager.h"
#include "client/linux/detector-linux.h"
#include "support/local-session.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <set>
#include <string>
#include <vector>

namespace
{

const uint64_t kSess = 7;

// What the detector produced, in order, in a compact text form: "+/a" create, "-/a"
// remove, "~/a" modify, a trailing "/" for directories; "expand /a", "rescan /a".
class RecordingSink : public DetectorSink
{
public:
    void PushLocalEvent(const Event &e) override
    {
        const char *kind = e.m_type == Event::EV_CREATE   ? "+"
                           : e.m_type == Event::EV_REMOVE ? "-"
                           : e.m_type == Event::EV_MODIFY ? "~"
                                                          : "?";
        EXPECT_EQ(kSess, e.m_sess_id);
        EXPECT_FALSE(e.isServerEvent());
        add(std::string(kind) + e.m_path.c_str_utf8() + (e.isDir() ? "/" : ""));
    }
    void IssueRescan(uint64_t, const ustring &path, bool merge) override
    {
        add(std::string("rescan ") + path.c_str_utf8() + (merge ? " merge" : ""));
    }
    void IssueExpand(uint64_t, const ustring &path) override
    {
        add(std::string("expand ") + path.c_str_utf8());
    }
    void ReportWatchLimit(uint64_t) override { add("limit"); }

    // Waits (up to 10 s) until `what` has been recorded; true when it was.
    bool waitFor(const std::string &what, int times = 1)
    {
        std::unique_lock<std::mutex> guard(mutex);
        return cond.wait_for(guard, std::chrono::seconds(10),
                             [&] { return countLocked(what) >= times; });
    }
    int count(const std::string &what)
    {
        std::lock_guard<std::mutex> guard(mutex);
        return countLocked(what);
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<std::string> out;
        out.swap(seen);
        return out;
    }

private:
    void add(const std::string &what)
    {
        std::lock_guard<std::mutex> guard(mutex);
        seen.push_back(what);
        cond.notify_all();
    }
    int countLocked(const std::string &what) const
    {
        int n = 0;
        for (const std::string &s : seen) {
            n += s == what ? 1 : 0;
        }
        return n;
    }

    std::mutex mutex;
    std::condition_variable cond;
    std::vector<std::string> seen;
};

std::string Text(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &s : items) {
        out += s + "; ";
    }
    return out;
}

void Touch(const std::string &path)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    close(fd);
}

void Mkdir(const std::string &path)
{
    ASSERT_EQ(0, mkdir(path.c_str(), 0755)) << path;
}

void Rename(const std::string &from, const std::string &to)
{
    ASSERT_EQ(0, rename(from.c_str(), to.c_str())) << from << " -> " << to;
}

int Sh(const std::string &command)
{
    return system(command.c_str());
}

class DetectorTest : public ::testing::Test
{
protected:
    DetectorTest() : session(kSess), detector(&sink) {}

    void SetUp() override
    {
        ASSERT_EQ(0, detector.AddWatch(session.folder().c_str(), kSess));
        ASSERT_EQ(0, detector.Run());
    }
    void TearDown() override
    {
        detector.Stop();
        detector.Join();
    }
    // A marker file: once its creation is seen, every earlier notification has been
    // handled (the queue is read in order).
    void Settle()
    {
        std::string name = "/settle-" + std::to_string(++marks);
        Touch(session.full(name));
        ASSERT_TRUE(sink.waitFor("+" + name)) << Text(sink.take());
        // A moved-away item is a removal once its partner has not followed.
        for (int i = 0; i < 1000 && detector.PendingRenames() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // What came before the marker, the marker's own events left out.
    std::vector<std::string> Changes()
    {
        Settle();
        std::vector<std::string> out;
        for (const std::string &s : sink.take()) {
            if (s.find("/settle-") == std::string::npos) {
                out.push_back(s);
            }
        }
        return out;
    }

    LocalSession session;
    RecordingSink sink;
    Detector detector;
    int marks = 0;
};

typedef std::vector<std::string> Seen;

TEST_F(DetectorTest, FileChangesBecomeOneEventEach)
{
    // Created, then written in many pieces: one modification, at the close.
    {
        std::ofstream out(session.full("/f"));
        std::string block(4096, 'x');
        for (int i = 0; i < 200; ++i) {
            out << block;
            out.flush();
        }
    }
    EXPECT_EQ((Seen{"+/f", "~/f"}), Changes());

    // A time change alone (both times, as touch sets them; the modification time alone
    // is reported by the kernel as a write and comes after the quiet time).
    struct timespec times[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, session.full("/f").c_str(), times, 0));
    EXPECT_EQ((Seen{"~/f"}), Changes());

    // Removal of a synced file and of a synced directory are typed from the database;
    // an item the database never knew produces nothing.
    session.synced("/f");
    session.synced("/d", true);
    Mkdir(session.full("/d"));
    Touch(session.full("/never"));
    Changes();
    ASSERT_EQ(0, unlink(session.full("/f").c_str()));
    ASSERT_EQ(0, rmdir(session.full("/d").c_str()));
    ASSERT_EQ(0, unlink(session.full("/never").c_str()));
    EXPECT_EQ((Seen{"-/f", "-/d/"}), Changes());
}

TEST_F(DetectorTest, WriteKeptOpenIsReportedAfterQuietTime)
{
    int fd = open(session.full("/open").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(1, write(fd, "x", 1));
    }
    EXPECT_TRUE(sink.waitFor("~/open"));
    close(fd);
    EXPECT_TRUE(sink.waitFor("~/open", 2)); // the quiet one, then the close
}

TEST_F(DetectorTest, RenamesArePairedAndMovesCrossTheTreeBorder)
{
    Mkdir(session.full("/d"));
    Touch(session.full("/a.txt"));
    std::string outside = session.scratch().file("outside");
    Touch(outside);
    Changes();
    session.synced("/d/b.txt");

    Rename(session.full("/a.txt"), session.full("/b.txt")); // within a directory
    EXPECT_EQ((Seen{"-/a.txt", "+/b.txt"}), Changes());
    Rename(session.full("/b.txt"), session.full("/d/b.txt")); // across directories
    EXPECT_EQ((Seen{"-/b.txt", "+/d/b.txt"}), Changes());
    // Renamed twice before the detector reads: the first new name is gone by then, but
    // the old name's removal is not lost.
    detector.Pause();
    Rename(session.full("/d/b.txt"), session.full("/c.txt"));
    Rename(session.full("/c.txt"), session.full("/d/b.txt"));
    detector.Resume();
    EXPECT_EQ((Seen{"-/d/b.txt", "-/c.txt", "+/d/b.txt"}), Changes());

    Rename(session.full("/d/b.txt"), session.scratch().file("gone")); // out of the tree
    Rename(outside, session.full("/in"));                             // into it
    Seen seen = Changes();
    std::sort(seen.begin(), seen.end()); // the unpaired half waits for a partner first
    EXPECT_EQ((Seen{"+/in", "-/d/b.txt"}), seen);
}

TEST_F(DetectorTest, NewDirectoryTreeIsWatchedToTheBottom)
{
    // Created in one go: the directories below the first one exist before its watch.
    ASSERT_EQ(0, Sh("mkdir -p '" + session.full("/a/b/c") + "' && touch '" +
                    session.full("/a/b/c/f") + "'"));
    std::vector<std::string> seen = Changes();
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), "+/a/")) << Text(seen);
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), "expand /a")) << Text(seen);
    // The expansion lists what was there before the watches; anything later is seen.
    Touch(session.full("/a/b/c/g"));
    EXPECT_TRUE(sink.waitFor("+/a/b/c/g")) << Text(sink.take());
    EXPECT_TRUE(fileExists(session.full("/a/b/c/f")));

    // Moved in from outside with contents: watched to the bottom as well.
    std::string outside = session.scratch().file("tree");
    ASSERT_EQ(0, Sh("mkdir -p '" + outside + "/x/y'"));
    Rename(outside, session.full("/t"));
    EXPECT_TRUE(sink.waitFor("expand /t"));
    Touch(session.full("/t/x/y/z"));
    EXPECT_TRUE(sink.waitFor("+/t/x/y/z")) << Text(sink.take());
}

TEST_F(DetectorTest, RenamedDirectoryKeepsItsWatchesUnderTheNewName)
{
    ASSERT_EQ(0, Sh("mkdir -p '" + session.full("/d/e") + "'"));
    Changes();
    Rename(session.full("/d"), session.full("/x"));
    EXPECT_EQ((Seen{"-/d/", "+/x/", "expand /x"}), Changes());
    Touch(session.full("/x/e/new"));
    EXPECT_TRUE(sink.waitFor("+/x/e/new")) << Text(sink.take());
    Changes();

    // Moved out of the tree: its watches go, nothing more is reported from it.
    session.synced("/x", true);
    std::string away = session.scratch().file("away");
    Rename(session.full("/x"), away);
    EXPECT_EQ((Seen{"-/x/"}), Changes());
    Touch(away + "/e/late");
    EXPECT_EQ(Seen{}, Changes());
}

TEST_F(DetectorTest, DirectoryRecreatedUnderAMovedAwayNameIsStillWatched)
{
    ASSERT_EQ(0, Sh("mkdir -p '" + session.full("/a/b") + "'"));
    Changes();
    session.synced("/a/b", true);
    // Moved out and a new directory of the same name made at once, before the unpaired
    // half of the move is settled as a removal.
    std::string away = session.scratch().file("away");
    ASSERT_EQ(0, ::rename(session.full("/a/b").c_str(), away.c_str()));
    ASSERT_EQ(0, ::mkdir(session.full("/a/b").c_str(), 0700));
    Changes();
    Touch(session.full("/a/b/new"));
    EXPECT_TRUE(sink.waitFor("+/a/b/new")) << Text(sink.take());
    Changes();
    Touch(away + "/late");
    EXPECT_EQ(Seen{}, Changes());
}

TEST_F(DetectorTest, WorkingDirectoryIsIgnoredAndRecreated)
{
    std::string work = session.full("/.ZentoraWorkingDirectory");
    std::string bin = work + "/#ZentRecycle";
    ASSERT_TRUE(fileExists(bin));
    Touch(work + "/tmp-file");
    Touch(bin + "/recycled");
    EXPECT_EQ(Seen{}, Changes());

    // Deleted by the user, whole or just the bin: both come back, without an event.
    Sh("rm -rf '" + work + "' 2>/dev/null"); // may race with the recreation
    EXPECT_EQ(Seen{}, Changes());
    EXPECT_TRUE(fileExists(bin));
    Sh("rm -rf '" + bin + "'");
    EXPECT_EQ(Seen{}, Changes());
    EXPECT_TRUE(fileExists(bin));
}

TEST_F(DetectorTest, LostQueueBecomesRescanOfTheSession)
{
    // While paused nothing is read: a flood fills the kernel's queue past its end.
    long limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    Touch(session.full("/p"));
    Touch(session.full("/q"));
    Changes();
    detector.Pause();
    for (long i = 0; i <= 2 * limit; ++i) { // some may be read before the pause is seen
        struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(i), 0}};
        utimensat(AT_FDCWD, session.full(i % 2 ? "/p" : "/q").c_str(), times, 0);
    }
    // A directory made during the loss is watched once the queue is read again.
    Mkdir(session.full("/lost"));
    detector.Resume();
    EXPECT_TRUE(sink.waitFor("rescan /")) << "no rescan";
    Changes();
    Touch(session.full("/lost/found"));
    EXPECT_TRUE(sink.waitFor("+/lost/found"));
}

// Through the event manager: a change lost with the queue is found by the rescan that the
// loss leads to, carried out as a worker would.
TEST(DetectorPipeline, ChangeLostWithTheQueueIsFoundByTheRescan)
{
    EventManager &em = EventManager::getInstance();
    em.Clear();
    LocalSession session(kSess);
    Detector detector;
    ASSERT_EQ(0, detector.AddWatch(session.folder().c_str(), kSess));
    ASSERT_EQ(0, detector.Run());
    long limit = 16384;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
    detector.Pause();
    Touch(session.full("/p"));
    for (long i = 0; i <= limit; ++i) {
        struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(i), 0}};
        utimensat(AT_FDCWD, session.full("/p").c_str(), times, 0);
        utimensat(AT_FDCWD, session.folder().c_str(), times, 0);
    }
    Touch(session.full("/late")); // its notification no longer fits the queue
    detector.Resume();

    Task worker;
    bool rescanned = false, found = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!found && std::chrono::steady_clock::now() < deadline) {
        Event e;
        if (em.PullEvent(&worker, e) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (e.isRescan()) {
            EXPECT_EQ(0, Expander(session.entry(), 1, nullptr).Rescan(e));
            rescanned = true;
        } else if (e.m_path == "/late") {
            found = rescanned;
        }
        while (em.DoneEvent(&worker, e) != 0) {
        }
    }
    EXPECT_TRUE(rescanned);
    EXPECT_TRUE(found);
    detector.Stop();
    detector.Join();
    em.Clear();
}

TEST(DetectorWatchTest, AddRemoveAndClear)
{
    LocalSession one(kSess), two(kSess + 1);
    RecordingSink sink;
    Detector detector(&sink);
    EXPECT_EQ(-1, detector.AddWatch(one.scratch().file("missing").c_str(), kSess));
    ASSERT_EQ(0, Sh("mkdir -p '" + one.full("/a/b") + "'"));
    ASSERT_EQ(0, detector.AddWatch(one.folder().c_str(), kSess));
    EXPECT_EQ(4u, detector.WatchCount(kSess)); // folder, a, a/b, working directory
    ASSERT_EQ(0, detector.AddWatch(one.folder().c_str(), kSess)); // replaces the first
    EXPECT_EQ(4u, detector.WatchCount(kSess));
    ASSERT_EQ(0, detector.AddWatch(two.folder().c_str(), kSess + 1));
    EXPECT_EQ(0, detector.RemoveWatch(kSess));
    EXPECT_EQ(-1, detector.RemoveWatch(kSess));
    EXPECT_EQ(0u, detector.WatchCount(kSess));
    EXPECT_EQ(2u, detector.WatchCount(kSess + 1));
    detector.Clear();
    EXPECT_EQ(0u, detector.WatchCount(kSess + 1));
}

// Runs in a user namespace whose watch limit is 3 (see WatchLimitInOwnNamespace).
TEST(DetectorWatchLimit, ChildInNamespace)
{
    if (getenv("AEROLITH_WATCH_LIMIT_CHILD") == nullptr) {
        GTEST_SKIP() << "runs only inside WatchLimitInOwnNamespace";
    }
    {
        std::ofstream limit("/proc/sys/user/max_inotify_watches");
        limit << 3;
    }
    LocalSession session(kSess);
    for (const char *dir : {"/d1", "/d2", "/d3", "/d4"}) {
        Mkdir(session.full(dir));
    }
    RecordingSink sink;
    Detector detector(&sink);
    detector.SetUnwatchedRescanInterval(1);
    ASSERT_EQ(0, detector.AddWatch(session.folder().c_str(), kSess));
    std::set<std::string> unwatched = detector.UnwatchedDirs(kSess);
    ASSERT_FALSE(unwatched.empty());
    ASSERT_EQ(0, detector.Run());
    // A file made where no watch is: found by the periodic rescan of its directory.
    std::string dir = *unwatched.begin();
    Touch(session.full(dir + "/unseen"));
    EXPECT_TRUE(sink.waitFor("rescan " + dir));
    EXPECT_TRUE(sink.waitFor("rescan " + dir, 2));
    detector.Stop();
    detector.Join();
    EXPECT_EQ(1, sink.count("limit")); // one report, not one per directory
}

TEST(DetectorWatchLimit, WatchLimitInOwnNamespace)
{
    if (getenv("AEROLITH_WATCH_LIMIT_CHILD") != nullptr) {
        GTEST_SKIP();
    }
    if (Sh("unshare -U -r true 2>/dev/null") != 0) {
        GTEST_SKIP() << "user namespaces are not available here";
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    std::string command = std::string("AEROLITH_WATCH_LIMIT_CHILD=1 unshare -U -r '") + self +
                          "' --gtest_filter=DetectorWatchLimit.ChildInNamespace";
    int status = Sh(command);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

} // namespace
