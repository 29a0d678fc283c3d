// admin subcommands of aerolith-server.
#include "server/admin.h"

#include "server/codes.h"
#include "server/content-store.h"
#include "server/handler.h"
#include "server/path-rules.h"
#include "server/store.h"
#include "server/tree.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace srv
{

namespace
{

using json = nlohmann::json;

// Positional arguments and --options of a subcommand.
struct Args {
    std::vector<std::string> pos;
    std::map<std::string, std::string> opt;
    bool has(const std::string &k) const { return opt.count(k) != 0; }
};

// Options that take no value.
bool IsFlag(const std::string &name)
{
    return name == "--removed";
}

Args Split(int argc, char **argv, int from)
{
    Args a;
    for (int i = from; i < argc; ++i) {
        std::string s = argv[i];
        if (s.size() > 2 && s.compare(0, 2, "--") == 0) {
            if (IsFlag(s) || i + 1 >= argc)
                a.opt[s] = "";
            else
                a.opt[s] = argv[++i];
        } else {
            a.pos.push_back(s);
        }
    }
    return a;
}

bool ToU64(const std::string &s, uint64_t &out)
{
    if (s.empty() || s[0] == '-')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

bool ToI64(const std::string &s, int64_t &out)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

void Print(const json &j)
{
    std::string text = j.dump(-1, ' ', false, json::error_handler_t::replace);
    printf("%s\n", text.c_str());
}

int Fail(const std::string &message)
{
    fprintf(stderr, "aerolith-server admin: %s\n", message.c_str());
    return 1;
}

json EntryJson(const Entry &e, bool with_file_id)
{
    json j;
    j["path"] = e.path;
    j["is_dir"] = e.is_dir;
    j["is_removed"] = e.is_removed;
    j["sync_id"] = e.sync_id;
    if (!with_file_id)
        j["max_id"] = e.max_id;
    if (!e.is_dir && !e.md4.empty()) {
        j["hash"] = e.md4;
        j["size"] = e.size;
        if (with_file_id)
            j["file_id"] = e.content_id;
        else
            j["mtime"] = e.mtime;
    }
    if (with_file_id)
        j["origin"] = e.origin;
    return j;
}

class Admin
{
public:
    Admin(const std::string &root) : m_content(root) {}
    int open(const std::string &root)
    {
        struct stat st;
        if (stat(root.c_str(), &st) != 0 && mkdir(root.c_str(), 0700) != 0)
            return -1;
        if (m_content.prepare() < 0)
            return -1;
        return m_store.open(root);
    }
    int run(const std::string &cmd, const Args &a);

private:
    int view(const std::string &text, uint64_t &id);
    int path(const std::string &text);
    int finishTxn(SqlWriteTxn &txn, int rc, uint64_t sync_id);
    int importContent(const std::string &file, uint64_t &content_id);

    int addUser(const Args &a);
    int setToken(const Args &a);
    int addView(const Args &a);
    int grant(const Args &a);
    int setQuota(const Args &a);
    int mkdirCmd(const Args &a);
    int put(const Args &a);
    int rm(const Args &a);
    int mv(const Args &a);
    int get(const Args &a);
    int ls(const Args &a);
    int journal(const Args &a);
    int fault(const Args &a);

    Store m_store;
    ContentStore m_content;
};

int Admin::view(const std::string &text, uint64_t &id)
{
    if (!ToU64(text, id) || !m_store.viewExists(id))
        return Fail("no such view: " + text);
    return 0;
}

int Admin::path(const std::string &text)
{
    if (!ValidViewPath(text) || text == "/")
        return Fail("bad view path: " + text);
    return 0;
}

int Admin::finishTxn(SqlWriteTxn &txn, int rc, uint64_t sync_id)
{
    if (rc == 0 && txn.commit() < 0)
        rc = INTERNAL_FAILURE;
    if (rc == CODE_BELOW_FILE)
        return Fail("a parent of the path is a file");
    if (rc == CODE_TYPE_CONFLICT)
        return Fail("the path holds an object of the other type");
    if (rc == CODE_REMOVE_MISSING)
        return Fail("no such path");
    if (rc != 0)
        return Fail("database failure");
    Print(json{{"sync_id", sync_id}});
    return 0;
}

int Admin::importContent(const std::string &file, uint64_t &content_id)
{
    std::string spool = m_content.newSpoolFile();
    if (spool.empty())
        return -1;
    unlink(spool.c_str());
    Digest d;
    if (AppendFile(spool, file) < 0 || ContentStore::hashFiles({spool}, d) < 0 ||
        m_content.importFile(spool, d.sha256) < 0) {
        unlink(spool.c_str());
        return -1;
    }
    content_id = m_store.addContent(d.md4, d.sha256, d.size);
    return content_id == 0 ? -1 : 0;
}

int Admin::addUser(const Args &a)
{
    if (a.pos.size() != 1)
        return Fail("usage: add-user NAME [--token T]");
    std::string token = a.has("--token") ? a.opt.at("--token") : RandomHex();
    uint64_t id = 0;
    if (token.empty() || m_store.addUser(a.pos[0], token, id) < 0)
        return Fail("cannot add user " + a.pos[0]);
    Print(json{{"token", token}});
    return 0;
}

int Admin::setToken(const Args &a)
{
    if (a.pos.size() != 1)
        return Fail("usage: set-token NAME [--token T]");
    std::string token = a.has("--token") ? a.opt.at("--token") : RandomHex();
    if (token.empty() || m_store.setToken(a.pos[0], token) < 0)
        return Fail("cannot set the token of " + a.pos[0]);
    Print(json{{"token", token}});
    return 0;
}

int Admin::addView(const Args &a)
{
    uint64_t id = 0, quota = 0, out = 0;
    if (a.pos.size() != 1 || (a.has("--id") && (!ToU64(a.opt.at("--id"), id) || id == 0)) ||
        (a.has("--quota") && !ToU64(a.opt.at("--quota"), quota)))
        return Fail("usage: add-view NAME [--id N] [--quota BYTES]");
    if (m_store.addView(a.pos[0], id, quota, out) < 0)
        return Fail("cannot add view " + a.pos[0]);
    Print(json{{"view_id", out}});
    return 0;
}

int Admin::grant(const Args &a)
{
    uint64_t v = 0;
    if (a.pos.size() != 3 || (a.pos[2] != "rw" && a.pos[2] != "ro" && a.pos[2] != "none"))
        return Fail("usage: grant VIEW USER rw|ro|none");
    if (view(a.pos[0], v) != 0)
        return 1;
    uint64_t user = m_store.userByName(a.pos[1]);
    if (user == 0)
        return Fail("no such user: " + a.pos[1]);
    if (m_store.grant(v, user, a.pos[2]) < 0)
        return Fail("database failure");
    Print(json{{"view_id", v}, {"user", a.pos[1]}, {"mode", a.pos[2]}});
    return 0;
}

int Admin::setQuota(const Args &a)
{
    uint64_t v = 0, quota = 0;
    if (a.pos.size() != 2 || !ToU64(a.pos[1], quota))
        return Fail("usage: set-quota VIEW BYTES");
    if (view(a.pos[0], v) != 0)
        return 1;
    if (m_store.setQuota(v, quota) < 0)
        return Fail("database failure");
    Print(json{{"view_id", v}, {"quota", quota}});
    return 0;
}

int Admin::mkdirCmd(const Args &a)
{
    uint64_t v = 0;
    if (a.pos.size() != 2)
        return Fail("usage: mkdir VIEW PATH");
    if (view(a.pos[0], v) != 0 || path(a.pos[1]) != 0)
        return 1;
    SqlWriteTxn txn(m_store.db());
    Entry dir;
    int rc = txn.ok() ? Tree(m_store).makeDir(v, a.pos[1], NowMtime(), "admin", dir)
                      : INTERNAL_FAILURE;
    return finishTxn(txn, rc, dir.sync_id);
}

int Admin::put(const Args &a)
{
    uint64_t v = 0, mtime = NowMtime(), content_id = 0;
    if (a.pos.size() != 3 || (a.has("--mtime") && !ToU64(a.opt.at("--mtime"), mtime)))
        return Fail("usage: put VIEW PATH FILE [--mtime T]");
    if (view(a.pos[0], v) != 0 || path(a.pos[1]) != 0)
        return 1;
    if (importContent(a.pos[2], content_id) < 0)
        return Fail("cannot store the content of " + a.pos[2]);
    SqlWriteTxn txn(m_store.db());
    Entry now;
    int rc = txn.ok() ? Tree(m_store).putFile(v, a.pos[1], content_id,
                                              static_cast<uint32_t>(mtime), "admin", now)
                      : INTERNAL_FAILURE;
    return finishTxn(txn, rc, now.sync_id);
}

int Admin::rm(const Args &a)
{
    uint64_t v = 0, sync_id = 0;
    if (a.pos.size() != 2)
        return Fail("usage: rm VIEW PATH");
    if (view(a.pos[0], v) != 0 || path(a.pos[1]) != 0)
        return 1;
    SqlWriteTxn txn(m_store.db());
    int rc = txn.ok() ? Tree(m_store).remove(v, a.pos[1], "admin", sync_id) : INTERNAL_FAILURE;
    return finishTxn(txn, rc, sync_id);
}

int Admin::mv(const Args &a)
{
    uint64_t v = 0, sync_id = 0;
    if (a.pos.size() != 3)
        return Fail("usage: mv VIEW FROM TO");
    if (view(a.pos[0], v) != 0 || path(a.pos[1]) != 0 || path(a.pos[2]) != 0)
        return 1;
    const std::string &from = a.pos[1], &to = a.pos[2];
    if (to.compare(0, from.size() + 1, from + "/") == 0)
        return Fail("cannot move a directory below itself");
    SqlWriteTxn txn(m_store.db());
    Tree tree(m_store);
    Entry top;
    if (!txn.ok() || !m_store.current(v, from, top) || !top.live())
        return Fail("no such path: " + from);
    Entry existing;
    if (m_store.current(v, to, existing) && existing.live())
        return Fail("the target exists: " + to);
    std::vector<Entry> below;
    if (top.is_dir && m_store.liveBelow(v, from, below) < 0)
        return Fail("database failure");
    below.insert(below.begin(), top);
    int rc = 0;
    // Directories first (byte order puts parents before children), then files.
    for (int pass = 0; pass < 2 && rc == 0; ++pass) {
        for (const Entry &e : below) {
            if (e.is_dir != (pass == 0))
                continue;
            std::string target = to + e.path.substr(from.size());
            Entry made;
            rc = e.is_dir ? tree.makeDir(v, target, e.mtime, "admin", made)
                          : tree.putFile(v, target, e.content_id, e.mtime, "admin", made);
            if (rc != 0)
                break;
        }
    }
    if (rc == 0)
        rc = tree.remove(v, from, "admin", sync_id);
    return finishTxn(txn, rc, sync_id);
}

int Admin::get(const Args &a)
{
    uint64_t v = 0, sync_id = 0;
    if (a.pos.size() != 3 || (a.has("--sync-id") && !ToU64(a.opt.at("--sync-id"), sync_id)))
        return Fail("usage: get VIEW PATH OUT [--sync-id N]");
    if (view(a.pos[0], v) != 0)
        return 1;
    Entry e;
    uint64_t row_view = 0;
    bool found = sync_id != 0 ? m_store.journalRow(sync_id, row_view, e) && row_view == v &&
                                    e.path == a.pos[1]
                              : m_store.current(v, a.pos[1], e) && e.live();
    if (!found || e.is_dir || e.sha256.empty())
        return Fail("no such file version: " + a.pos[1]);
    unlink(a.pos[2].c_str());
    if (AppendFile(a.pos[2], m_content.blobPath(e.sha256)) < 0)
        return Fail("cannot write " + a.pos[2]);
    Print(json{{"sync_id", e.sync_id}, {"hash", e.md4}, {"size", e.size}});
    return 0;
}

int Admin::ls(const Args &a)
{
    uint64_t v = 0;
    if (a.pos.size() != 1)
        return Fail("usage: ls VIEW [--removed]");
    if (view(a.pos[0], v) != 0)
        return 1;
    std::vector<Entry> rows;
    if (m_store.listCurrent(v, a.has("--removed"), rows) < 0)
        return Fail("database failure");
    json list = json::array();
    for (const Entry &e : rows)
        list.push_back(EntryJson(e, false));
    Print(json{{"entries", list}});
    return 0;
}

int Admin::journal(const Args &a)
{
    uint64_t v = 0, since = 0;
    if (a.pos.size() != 1 || (a.has("--since") && !ToU64(a.opt.at("--since"), since)))
        return Fail("usage: journal VIEW [--since N]");
    if (view(a.pos[0], v) != 0)
        return 1;
    std::vector<Entry> rows;
    if (m_store.listJournal(v, since, rows) < 0)
        return Fail("database failure");
    json list = json::array();
    for (const Entry &e : rows)
        list.push_back(EntryJson(e, true));
    Print(json{{"entries", list}});
    return 0;
}

int Admin::fault(const Args &a)
{
    static const char *kKinds[] = {"error", "delay",     "stall",     "close",  "alive0",
                                   "drop_send", "drop_recv", "corrupt", "reject"};
    std::string sub = a.pos.empty() ? std::string() : a.pos[0];
    if (sub == "list") {
        std::vector<FaultRow> rows;
        m_store.listFaults(rows);
        json list = json::array();
        for (const FaultRow &f : rows)
            list.push_back(json{{"fault_id", f.id}, {"kind", f.kind},     {"arg", f.arg},
                                {"action", f.action}, {"command", f.command},
                                {"view", f.view_id},  {"path", f.path},   {"count", f.count}});
        Print(json{{"faults", list}});
        return 0;
    }
    if (sub == "clear") {
        uint64_t id = 0;
        if (a.pos.size() > 2 || (a.pos.size() == 2 && !ToU64(a.pos[1], id)))
            return Fail("usage: fault clear [ID]");
        if (m_store.clearFaults(id) < 0)
            return Fail("database failure");
        Print(json{{"cleared", id == 0 ? std::string("all") : std::to_string(id)}});
        return 0;
    }
    if (sub != "add" || a.pos.size() < 2 || a.pos.size() > 3)
        return Fail("usage: fault add KIND [ARG] [--action A] [--command N] [--view V] "
                    "[--path P] [--count N] | fault list | fault clear [ID]");
    FaultRow f;
    f.kind = a.pos[1];
    bool known = false;
    for (const char *k : kKinds)
        known = known || f.kind == k;
    if (!known)
        return Fail("unknown fault kind: " + f.kind);
    if (a.pos.size() == 3 && !ToI64(a.pos[2], f.arg))
        return Fail("bad fault argument: " + a.pos[2]);
    if (a.has("--action"))
        f.action = a.opt.at("--action");
    if ((a.has("--command") && !ToI64(a.opt.at("--command"), f.command)) ||
        (a.has("--view") && !ToI64(a.opt.at("--view"), f.view_id)) ||
        (a.has("--count") && !ToI64(a.opt.at("--count"), f.count)))
        return Fail("bad fault filter");
    if (a.has("--path"))
        f.path = a.opt.at("--path");
    uint64_t id = 0;
    if (m_store.addFault(f, id) < 0)
        return Fail("database failure");
    Print(json{{"fault_id", id}});
    return 0;
}

int Admin::run(const std::string &cmd, const Args &a)
{
    static const std::map<std::string, int (Admin::*)(const Args &)> kCommands = {
        {"add-user", &Admin::addUser}, {"set-token", &Admin::setToken},
        {"add-view", &Admin::addView}, {"grant", &Admin::grant},
        {"set-quota", &Admin::setQuota}, {"mkdir", &Admin::mkdirCmd},
        {"put", &Admin::put},           {"rm", &Admin::rm},
        {"mv", &Admin::mv},             {"get", &Admin::get},
        {"ls", &Admin::ls},             {"journal", &Admin::journal},
        {"fault", &Admin::fault},
    };
    auto it = kCommands.find(cmd);
    if (it == kCommands.end()) {
        fprintf(stderr, "aerolith-server admin: unknown subcommand %s\n", cmd.c_str());
        return 2;
    }
    return (this->*(it->second))(a);
}

} // namespace

int RunAdmin(int argc, char **argv)
{
    if (argc < 3 || std::string(argv[0]) != "--root") {
        fprintf(stderr, "usage: aerolith-server admin --root DIR SUBCOMMAND [ARGS]\n");
        return 2;
    }
    std::string root = argv[1];
    Admin admin(root);
    if (admin.open(root) < 0) {
        fprintf(stderr, "aerolith-server admin: cannot open the state under %s\n", root.c_str());
        return 1;
    }
    return admin.run(argv[2], Split(argc, argv, 3));
}

} // namespace srv
