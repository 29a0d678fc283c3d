// The server's state in one SQLite database: users, views and grants, the journal of
// changes with its per-path copy `current`, content rows, resume tokens and faults.
// One Store per thread; every method works on this thread's connection.
#pragma once

#include "server/sql.h"

#include <cstdint>
#include <string>
#include <vector>

namespace srv
{

// A path's state: a `current` row, or a journal row (max_id is then its sync id), with the
// content it names.
struct Entry {
    uint64_t sync_id = 0;
    uint64_t max_id = 0;
    std::string path;
    bool is_dir = false;
    bool is_removed = false;
    uint64_t content_id = 0;
    uint32_t mtime = 0;
    std::string origin;
    // Content of a file version.
    std::string md4;
    std::string sha256;
    uint64_t size = 0;

    bool live() const { return !is_removed; }
    bool liveFile() const { return !is_removed && !is_dir; }
    bool liveDir() const { return !is_removed && is_dir; }
};

struct ContentRow {
    uint64_t id = 0;
    std::string md4;
    std::string sha256;
    uint64_t size = 0;
};

// A resume token and what it is bound to; the recorded answer of a download.
struct TokenRow {
    std::string token;
    uint64_t user_id = 0;
    uint64_t view_id = 0;
    std::string kind; // "" (not bound yet), "download" or "upload"
    std::string path;
    uint64_t size = 0;
    std::string hash;
    bool is_delta = false;
    std::string held; // spool file of held upload data, or ""
    // Recorded download answer.
    bool has_answer = false;
    uint64_t ans_sync_id = 0;
    uint64_t ans_max_id = 0;
    std::string ans_hash;
    uint64_t ans_size = 0;
    bool ans_is_delta = false;
    uint32_t ans_mtime = 0;
    std::string ans_data; // the blob or a spool file
    uint64_t ans_data_len = 0;
    int64_t last_use = 0;
};

struct FaultRow {
    uint64_t id = 0;
    std::string kind;
    int64_t arg = 0;
    std::string action;
    int64_t command = -1;
    int64_t view_id = -1;
    std::string path;
    int64_t count = 1;
};

// One request's description for fault matching.
struct FaultProbe {
    std::string action;
    int command = -1;
    int64_t view_id = -1;
    std::string path;
};

class Store
{
public:
    // Opens root/server.sqlite, creating the tables. 0, or -1.
    int open(const std::string &root);
    SqlDb &db() { return m_db; }
    const std::string &root() const { return m_root; }

    // Users, views, grants.
    int addUser(const std::string &name, const std::string &token, uint64_t &id);
    int setToken(const std::string &name, const std::string &token);
    // The user holding token (compared in constant time), or 0.
    uint64_t userByToken(const std::string &token);
    uint64_t userByName(const std::string &name);
    int addView(const std::string &name, uint64_t id, uint64_t quota, uint64_t &out_id);
    bool viewExists(uint64_t view_id);
    uint64_t viewQuota(uint64_t view_id);
    int setQuota(uint64_t view_id, uint64_t quota);
    int grant(uint64_t view_id, uint64_t user_id, const std::string &mode);
    // "rw", "ro" or "" (none).
    std::string grantMode(uint64_t view_id, uint64_t user_id);

    // The path's `current` row with its content. false when there is none.
    bool current(uint64_t view_id, const std::string &path, Entry &out);
    // A journal row by sync id, with its view. false when there is none.
    bool journalRow(uint64_t sync_id, uint64_t &view_id, Entry &out);
    // Live paths strictly below dir, in byte order.
    int liveBelow(uint64_t view_id, const std::string &dir, std::vector<Entry> &out);
    // `current` rows of a view in byte order of their paths (tombstones when asked).
    int listCurrent(uint64_t view_id, bool with_removed, std::vector<Entry> &out);
    int listJournal(uint64_t view_id, uint64_t since, std::vector<Entry> &out);
    // Sum of the sizes of the view's live files.
    uint64_t quotaUse(uint64_t view_id);

    // Inside a write transaction: appends a journal row, makes it the path's current row
    // and raises max_id on every ancestor. The new sync id, or 0 on failure.
    uint64_t writeRow(uint64_t view_id, const Entry &e);

    // Contents.
    bool contentById(uint64_t id, ContentRow &out);
    bool contentBySha(const std::string &sha, ContentRow &out);
    // Inserts (or finds) the row for a content. The id, or 0 on failure.
    uint64_t addContent(const std::string &md4, const std::string &sha, uint64_t size);
    // A content with this MD4 and size that a journal row of the view references, or 0.
    uint64_t contentInView(uint64_t view_id, const std::string &md4, uint64_t size);
    bool contentReferencedInView(uint64_t view_id, uint64_t content_id);

    // Tokens.
    int addToken(const TokenRow &t);
    bool token(const std::string &token, TokenRow &out);
    int saveToken(const TokenRow &t);
    int deleteToken(const std::string &token);
    // Forgets tokens idle longer than ttl and the oldest beyond the per-user bound; the
    // spool files they held are returned for deletion.
    int expireTokens(int64_t now, int64_t ttl, size_t per_user, std::vector<std::string> &files);
    // Every spool file a live token references.
    int tokenFiles(std::vector<std::string> &files);

    // Faults.
    int addFault(const FaultRow &f, uint64_t &id);
    int listFaults(std::vector<FaultRow> &out);
    int clearFaults(uint64_t id); // 0 = all
    // The first fault in id order of one of kinds that matches probe; its count is
    // consumed atomically. false when none fires.
    bool fireFault(const FaultProbe &probe, const std::vector<std::string> &kinds, FaultRow &out);
    // Consumes one firing of a fault found earlier (drop_recv fires late). false when it
    // was used up meanwhile.
    bool consumeFault(uint64_t id);
    // The first drop_recv fault for command (and view, when the fault names one) without
    // consuming it.
    bool peekFault(const std::string &kind, int command, FaultRow &out);

private:
    SqlDb m_db;
    std::string m_root;
};

// Ancestors of a view path, outermost first, without the root ("/a/b/c" gives "/a",
// "/a/b").
std::vector<std::string> Ancestors(const std::string &path);
// The parent of a view path ("/a" gives "/").
std::string ParentPath(const std::string &path);

} // namespace srv
