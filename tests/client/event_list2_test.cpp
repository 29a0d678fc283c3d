#include "client/event-list2.h"
#include "fuzz/event-list-ops.h"
#include "fstat-db.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace
{

Event::Type typeOf(const std::string &name)
{
    if (name == "CREATE")
        return Event::EV_CREATE;
    if (name == "REMOVE")
        return Event::EV_REMOVE;
    if (name == "MODIFY")
        return Event::EV_MODIFY;
    if (name == "RENAME")
        return Event::EV_RENAME;
    if (name == "EMPTY")
        return Event::EV_EMPTY;
    ADD_FAILURE() << "unknown type " << name;
    return Event::EV_EMPTY;
}

uint32_t flagOf(const std::string &name)
{
    static const std::map<std::string, uint32_t> flags = {
        {"CONFLICT", Event::F_CONFLICT},
        {"SRESCAN", Event::F_SERVER_SUBDIR_RESCAN},
        {"LRESCAN", Event::F_LOCAL_SUBDIR_RESCAN},
        {"SSTAT", Event::F_SERVER_SUBDIR_RESCAN_STAT},
        {"LSTAT", Event::F_LOCAL_SUBDIR_RESCAN_STAT},
        {"SREMOVED", Event::F_SERVER_REMOVED},
    };
    auto it = flags.find(name);
    if (it == flags.end())
        ADD_FAILURE() << "unknown flag " << name;
    return it == flags.end() ? 0 : it->second;
}

Event makeEvent(const std::string &origin, const std::string &kind, Event::Type type,
                const std::string &path, uint64_t sync_id)
{
    Event e;
    e.m_type = type;
    e.m_mode = (origin == "S" ? Event::F_SERVER : 0) | (kind == "D" ? Event::F_DIR : 0);
    e.m_path = path.c_str();
    e.m_sync_id = sync_id;
    e.m_data_hash = ("hash-of-" + path).c_str();
    e.m_sess_id = 7;
    return e;
}

uint64_t syncIdOf(const std::string &text)
{
    return text == "MAX" ? MAX_SYNC_ID : std::stoull(text);
}

// Runs a scenario against one tree. Lines:
//   push S|L F|D TYPE PATH [SYNCID|MAX]      Push, expects 0 ("!push" expects -1)
//   pop [PATH [S|L] [F|D] [TYPE] [#SYNCID] [+FLAG] [-FLAG]...]   Pop(); "!pop" expects -1
//   popat PATH                               Pop(path); "!popat" expects -1
//   takeover F|D PATH                        Pop(held, e) for a held event of that kind
//   done PATH | done S|L F|D PATH            DoneEvent of the popped (or given) event
//   redo PATH | redo S|L F|D PATH            Redo likewise
//   count S<n> L<n>                          the two counters
class Script
{
public:
    explicit Script(EventList2 &tree) : tree(tree) {}

    void run(const std::vector<std::string> &lines)
    {
        for (const std::string &line : lines) {
            SCOPED_TRACE(line);
            step(line);
        }
    }

private:
    void step(const std::string &line)
    {
        std::istringstream in(line);
        std::string op;
        in >> op;
        bool fails = op[0] == '!';
        if (fails)
            op = op.substr(1);
        int expect = fails ? -1 : 0;
        if (op == "push") {
            std::string origin, kind, type, path, sync = "0";
            in >> origin >> kind >> type >> path >> sync;
            EXPECT_EQ(expect,
                      tree.Push(makeEvent(origin, kind, typeOf(type), path, syncIdOf(sync))));
        } else if (op == "pop" || op == "popat") {
            Event e;
            std::string path;
            in >> path;
            int rc = op == "pop" ? tree.Pop(e) : tree.Pop(ustring(path.c_str()), e);
            ASSERT_EQ(expect, rc);
            if (fails)
                return;
            EXPECT_EQ(path, e.m_path.c_str_utf8());
            popped[path] = e;
            checkPopped(in, e);
        } else if (op == "takeover") {
            std::string kind, path;
            in >> kind >> path;
            Event e;
            ASSERT_EQ(expect, tree.Pop(makeEvent("L", kind, Event::EV_MODIFY, path, 0), e));
            if (fails)
                return;
            EXPECT_EQ(path, e.m_path.c_str_utf8());
            checkPopped(in, e);
        } else if (op == "done" || op == "redo") {
            Event e = eventFor(in);
            EXPECT_EQ(expect, op == "done" ? tree.DoneEvent(e) : tree.Redo(e));
        } else if (op == "count") {
            std::string s, l;
            in >> s >> l;
            EXPECT_EQ(std::stoi(s.substr(1)), tree.GetServerEventCount());
            EXPECT_EQ(std::stoi(l.substr(1)), tree.GetLocalEventCount());
        } else {
            FAIL() << "bad script line";
        }
    }

    void checkPopped(std::istringstream &in, const Event &e)
    {
        std::string token;
        while (in >> token) {
            if (token == "S" || token == "L")
                EXPECT_EQ(token == "S", e.isServerEvent());
            else if (token == "F" || token == "D")
                EXPECT_EQ(token == "D", e.isDir());
            else if (token[0] == '#')
                EXPECT_EQ(syncIdOf(token.substr(1)), e.m_sync_id);
            else if (token[0] == '+')
                EXPECT_NE(0u, e.m_mode & flagOf(token.substr(1))) << token;
            else if (token[0] == '-')
                EXPECT_EQ(0u, e.m_mode & flagOf(token.substr(1))) << token;
            else
                EXPECT_EQ(typeOf(token), e.m_type);
        }
        EXPECT_EQ(7u, e.m_sess_id);
        EXPECT_EQ(ustring("hash-of-") + e.m_path, e.m_data_hash);
    }

    Event eventFor(std::istringstream &in)
    {
        std::string first, kind, path;
        in >> first;
        if (first != "S" && first != "L")
            return popped.count(first) ? popped[first] : Event();
        in >> kind >> path;
        return makeEvent(first, kind, Event::EV_MODIFY, path, 0);
    }

    EventList2 &tree;
    std::map<std::string, Event> popped;
};

struct Scenario {
    const char *name;
    std::vector<std::string> lines;
};

void runScenarios(const std::vector<Scenario> &scenarios)
{
    for (const Scenario &s : scenarios) {
        SCOPED_TRACE(s.name);
        EventList2 tree;
        Script(tree).run(s.lines);
    }
}

} // namespace

TEST(EventList2, MergeRules)
{
    runScenarios({
        {"local modify onto server create: server wins as a conflict",
         {"push S F CREATE /f 3", "push L F MODIFY /f", "count S1 L0",
          "pop /f S CREATE +CONFLICT"}},
        {"local remove onto server create: server wins, no conflict",
         {"push S F CREATE /f 3", "push L F REMOVE /f", "count S1 L0",
          "pop /f S CREATE -CONFLICT"}},
        {"server remove onto local modify: local wins and holds the removal",
         {"push L F MODIFY /f", "push S F REMOVE /f 4", "count S0 L1",
          "pop /f L MODIFY -CONFLICT +SREMOVED #4"}},
        {"a later local change keeps the held removal, a local removal ends it",
         {"push L F CREATE /f", "push S F REMOVE /f 4", "push L F MODIFY /f",
          "pop /f L MODIFY +SREMOVED #4", "push L F CREATE /g", "push S F REMOVE /g 5",
          "push L F REMOVE /g", "pop /g L REMOVE -SREMOVED"}},
        {"server create onto local create: server wins as a conflict",
         {"push L F CREATE /f", "push S F CREATE /f 2", "pop /f S CREATE +CONFLICT"}},
        {"two local events: the newer",
         {"push L F CREATE /f", "push L F REMOVE /f", "count S0 L1", "pop /f L REMOVE"}},
        {"server 7 then 5 keeps 7",
         {"push S F CREATE /f 7", "push S F REMOVE /f 5", "pop /f CREATE #7"}},
        {"server 5 then 7 takes 7",
         {"push S F CREATE /f 5", "push S F REMOVE /f 7", "pop /f REMOVE #7"}},
        {"equal sync ids keep the first",
         {"push S F CREATE /f 7", "push S F REMOVE /f 7", "pop /f CREATE #7"}},
        {"a forced download gives way to a real server event",
         {"push S F MODIFY /f MAX", "push S F CREATE /f 9", "pop /f CREATE #9"}},
        {"server dir create onto server dir remove: server side rescan",
         {"push S D REMOVE /d 5", "push S D CREATE /d 6", "pop /d S CREATE +SRESCAN"}},
        {"older server dir create onto server dir remove: removal stays",
         {"push S D REMOVE /d 9", "push S D CREATE /d 6", "pop /d REMOVE #9 -SRESCAN"}},
        {"local dir create onto server dir remove: new event, server side rescan",
         {"push S D REMOVE /d 5", "push L D CREATE /d", "pop /d L CREATE +SRESCAN"}},
        {"local dir create onto local dir remove: local side rescan",
         {"push L D REMOVE /d", "push L D CREATE /d", "pop /d L CREATE +LRESCAN -SRESCAN"}},
        {"root events merge like any directory",
         {"push S D CREATE / 3", "push S D MODIFY / 5", "count S1 L0", "pop / #5"}},
    });
}

TEST(EventList2, PopOrder)
{
    runScenarios({
        {"files first, then only the first DONE directory is searched",
         {"push L F CREATE /a/x", "push L D CREATE /b", "push L F CREATE /c", "pop /c", "pop /a/x",
          "!pop", "done /a/x", "pop /b", "done /c", "done /b", "count S0 L0", "!pop"}},
        {"a directory's own event goes before its content",
         {"push L F CREATE /d/f", "push L D CREATE /d", "pop /d", "!pop", "done /d", "pop /d/f",
          "done /d/f", "!pop"}},
        {"a waiting directory with work inside is skipped with all it holds",
         {"push L F CREATE /d/f1", "pop /d/f1", "push L D MODIFY /d", "push L F CREATE /d/f2",
          "push L F CREATE /e/g", "pop /e/g", "!pop", "done /d/f1", "pop /d", "!pop", "done /d",
          "pop /d/f2"}},
        {"the session folder's own event moves alone",
         {"push L D MODIFY /", "push S F CREATE /a 1", "pop /", "!pop", "done /", "pop /a",
          "count S1 L0"}},
        {"a push onto a processing node makes it RETRY, only pop by path takes it",
         {"push S F CREATE /f 1", "pop /f", "push S F CREATE /f 2", "count S1 L0", "!pop",
          "!done /f", "popat /f #2", "done /f", "count S0 L0"}},
        {"pop by path refuses nodes that are not RETRY",
         {"push L F CREATE /f", "!popat /f", "!popat /g", "!popat /x/f", "pop /f"}},
        {"redo puts the event and its directories last",
         {"push L F CREATE /x/1", "push L F CREATE /y/1", "push L F CREATE /a",
          "push L F CREATE /b", "pop /a", "redo /a", "pop /b", "pop /a", "pop /x/1", "redo /x/1",
          "pop /y/1", "done /y/1", "pop /x/1", "count S0 L3"}},
        {"redo of the root and of a missing node",
         {"push L D MODIFY /", "!redo /", "pop /", "redo /", "pop /", "push L D MODIFY /", "!pop",
          "redo /", "pop /", "done /", "count S0 L0", "!redo L F /nothere"}},
        {"events without a type are refused",
         {"!push L F EMPTY /f", "!push L D EMPTY /", "count S0 L0", "!pop"}},
        {"completing the last file frees its DONE directories",
         {"push L F CREATE /a/b/f", "push L F CREATE /z/f", "pop /a/b/f", "done /a/b/f",
          "push L F CREATE /a/g", "pop /z/f", "done /z/f", "pop /a/g"}},
        {"completion needs a processing node of the same origin",
         {"push L F CREATE /f", "!done L F /f", "count S0 L1", "pop /f", "!done S F /f",
          "!done L D /f", "!done L F /g", "!done L F /q/f", "done /f", "!done /f"}},
        {"paths ending with '/' are refused everywhere",
         {"!push L F CREATE /a/", "!push L D CREATE /a//", "!popat /a/", "!done L F /a/",
          "!redo L F /a/", "count S0 L0", "!pop"}},
        {"doubled separators name the same node",
         {"push L F CREATE /a/b", "push L F MODIFY //a//b", "count S0 L1", "pop //a//b"}},
        {"a name may be a file and a directory at once",
         {"push L F CREATE /n", "push L D CREATE /n", "count S0 L2", "pop /n", "pop /n"}},
        {"take-over by path keeps to the held event's kind when a name has both",
         {"push L F CREATE /n", "push S D CREATE /n 1", "pop /n L", "pop /n S",
          "push L F MODIFY /n", "push S D MODIFY /n 2", "!done L F /n", "takeover F /n F L MODIFY",
          "!takeover F /n", "!done S D /n", "takeover D /n D S #2", "done L F /n", "done S D /n",
          "count S0 L0", "!pop"}},
        {"take-over of the other kind's sole node of a name is unchanged",
         {"push S F CREATE /f 1", "pop /f", "push S F CREATE /f 2", "takeover D /f F #2",
          "done S F /f", "count S0 L0"}},
        {"pop by path without a kind still prefers the directory",
         {"push L F CREATE /n", "push L D CREATE /n", "pop /n", "pop /n", "push L F MODIFY /n",
          "push L D MODIFY /n", "popat /n D", "takeover F /n F", "!takeover D /n"}},
    });
}

TEST(EventList2, DirectoryRemovalRules)
{
    runScenarios({
        {"server removal drops older waiting server events below it",
         {"push S F CREATE /d/busy 10",
          "pop /d/busy",
          "push S F CREATE /d/old 50",
          "push S F CREATE /d/same 100",
          "push S F CREATE /d/new 150",
          "push L F MODIFY /d/mine",
          "push S D CREATE /d/s 20",
          "push S F CREATE /d/s/x 30",
          "push S F CREATE /d/k/y 200",
          "count S7 L1",
          "push S D REMOVE /d 100",
          "count S5 L1",
          "!pop",
          "done /d/busy",
          "pop /d S REMOVE +SSTAT",
          "done /d",
          "pop /d/same",
          "pop /d/new",
          "pop /d/mine",
          "pop /d/k/y",
          "!pop"}},
        {"local removal drops every waiting local event below it",
         {"push L F MODIFY /d/a", "push L F MODIFY /d/b", "push S F CREATE /d/c 5",
          "push L D CREATE /d/e", "push L F CREATE /d/e/f", "pop /d/a", "push L D REMOVE /d",
          "count S1 L2", "done /d/a", "pop /d L REMOVE +LSTAT", "done /d", "pop /d/c", "!pop"}},
        {"a waiting local directory with kept content loses only its own event",
         {"push L D CREATE /d/e", "push S F CREATE /d/e/f 5", "push L D REMOVE /d", "count S1 L1",
          "pop /d", "done /d", "pop /d/e/f"}},
        {"removal with only removals below needs no rescan",
         {"push S F REMOVE /d/f 3", "push L D REMOVE /d", "pop /d L REMOVE -LSTAT -SSTAT"}},
        {"removal waiting on work of the other side is marked",
         {"push S F CREATE /d/f 3", "pop /d/f", "push L D REMOVE /d", "!pop", "done /d/f",
          "pop /d L REMOVE +LSTAT"}},
    });
}

TEST(EventList2, PruningRemovesFileStatusRows)
{
    TempDir dir;
    ASSERT_EQ(0, FileStatusDB::initialize(dir.file("fstat.sqlite").c_str()));
    const ustring watch("/home/u/sync");
    for (const char *path : {"/d/old", "/d/new", "/d"}) {
        FileStatusInfo info;
        info.path = watch + path;
        info.syncStatus = FileStatusDB::SS_SYNCING;
        ASSERT_EQ(0, FileStatusDB::setFileSyncStat(info));
    }
    EventList2 tree;
    tree.SetWatchPath(watch);
    Script(tree).run({"push S D CREATE /d 1", "push S F CREATE /d/old 5",
                      "push S F CREATE /d/new 50", "push S D REMOVE /d 10", "count S2 L0"});
    FileStatusInfo out;
    EXPECT_EQ(0, FileStatusDB::getFileSyncStat(watch + "/d/old", &out));
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat(watch + "/d/new", &out));
    EXPECT_EQ(1, FileStatusDB::getFileSyncStat(watch + "/d", &out));
    FileStatusDB::destroy();
}

TEST(EventList2, ClearEmptiesTheTree)
{
    EventList2 tree;
    Script(tree).run({"push L D MODIFY /", "push S F CREATE /a/b 1", "pop /"});
    EXPECT_FALSE(tree.IsEmpty());
    tree.Clear();
    EXPECT_TRUE(tree.IsEmpty());
    Script(tree).run({"!pop", "push S F CREATE /a/b 1", "pop /a/b", "done /a/b"});
    EXPECT_TRUE(tree.IsEmpty());
}

// Long paths and names are refused instead of being cut short into another path.
TEST(EventList2, OversizedPathsAreRefused)
{
    EventList2 tree;
    Event e = makeEvent("L", "F", Event::EV_CREATE, "/" + std::string(1024, 'n'), 0);
    EXPECT_EQ(-1, tree.Push(e));
    e.m_path = ("/" + std::string(1023, 'n')).c_str();
    EXPECT_EQ(0, tree.Push(e));
    std::string deep;
    while (deep.size() <= 4095)
        deep += "/abcdefgh";
    e.m_path = deep.c_str();
    EXPECT_EQ(-1, tree.Push(e));
    EXPECT_EQ(1, tree.GetLocalEventCount());
}

// Many children in one directory go through the name index; completions in any order,
// redo and merges must find exactly the right node and keep the list order.
TEST(EventList2, LargeDirectoryKeepsOrderAndLookups)
{
    EventList2 tree;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        Event e = makeEvent("L", "F", Event::EV_CREATE, "/big/f" + std::to_string(i), 0);
        ASSERT_EQ(0, tree.Push(e));
    }
    std::vector<Event> held(n);
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(0, tree.Pop(held[i]));
        ASSERT_EQ("/big/f" + std::to_string(i), held[i].m_path.c_str_utf8());
    }
    // Complete the even ones backwards, merge onto the odd ones, then take them by path.
    for (int i = n - 2; i >= 0; i -= 2)
        ASSERT_EQ(0, tree.DoneEvent(held[i]));
    for (int i = 1; i < n; i += 2) {
        Event e = makeEvent("L", "F", Event::EV_MODIFY, "/big/f" + std::to_string(i), 0);
        ASSERT_EQ(0, tree.Push(e));
    }
    EXPECT_EQ(n / 2, tree.GetLocalEventCount());
    Event e;
    EXPECT_EQ(-1, tree.Pop(e));
    for (int i = 1; i < n; i += 2) {
        ASSERT_EQ(0, tree.Pop(held[i].m_path, e));
        ASSERT_EQ(Event::EV_MODIFY, e.m_type);
        ASSERT_EQ(0, tree.DoneEvent(e));
    }
    EXPECT_TRUE(tree.IsEmpty());
    EXPECT_EQ(-1, tree.Pop(e));
}

// Inputs on which the tree's fuzz target once failed, replayed through the same driver.
TEST(EventList2, FuzzFindingsDrainCompletely)
{
    std::string data_dir = std::string(AEROLITH_SOURCE_DIR) + "/tests/client/data/";
    for (const char *name : {"event-list-stranded.bin"}) {
        std::string bytes = readFile(data_dir + name);
        ASSERT_FALSE(bytes.empty()) << name;
        EXPECT_TRUE(
            event_list_ops::Run(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size()))
            << name;
    }
}
