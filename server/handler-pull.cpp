// pull_event: the changes of a view folder after a position, one entry per path.
#include "server/handler.h"

#include "server/codes.h"

namespace srv
{

namespace
{

bool EqualNoCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string BaseName(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

// The text after the name's last "." when that "." is not its first character.
std::string Extension(const std::string &name)
{
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return std::string();
    return name.substr(dot + 1);
}

// A resume condition: which kinds it holds and their values.
struct Condition {
    bool has_name = false, has_ext = false, has_prefix = false, has_size = false;
    std::string name, ext, prefix;
    uint64_t min_size = 0, max_size = 0;

    bool any() const { return has_name || has_ext || has_prefix || has_size; }

    void parse(const PObject &c)
    {
        if (!c.isMap())
            return;
        if (c["name"].isString()) {
            has_name = true;
            name = Str(c["name"]);
        }
        if (c["extension"].isString()) {
            has_ext = true;
            ext = Str(c["extension"]);
        }
        if (c["prefix"].isString()) {
            has_prefix = true;
            prefix = Str(c["prefix"]);
        }
        if (c["min_size"].isInteger() && c["max_size"].isInteger()) {
            has_size = true;
            min_size = c["min_size"].asUInt64();
            max_size = c["max_size"].asUInt64();
        }
    }

    // rel is the session-relative path.
    bool matches(const Entry &e, const std::string &rel) const
    {
        if ((has_name || has_ext || has_size) && e.is_dir)
            return false;
        if (has_name && !EqualNoCase(BaseName(rel), name))
            return false;
        if (has_ext && ext != "*" && !EqualNoCase(Extension(BaseName(rel)), ext))
            return false;
        if (has_prefix) {
            bool at = EqualNoCase(rel, prefix);
            bool below = rel.size() > prefix.size() && rel[prefix.size()] == '/' &&
                         EqualNoCase(rel.substr(0, prefix.size()), prefix);
            if (!at && !below)
                return false;
        }
        if (has_size && (e.is_removed || e.size < min_size || e.size > max_size))
            return false;
        return true;
    }
};

} // namespace

void RequestHandler::doPull(Prepared &p, Answer &out)
{
    uint64_t since = p.body["sync_id"].asUInt64();
    bool recursive = p.body["recursive"].asBool();
    Condition cond;
    cond.parse(p.body["condition"]);
    const std::string &top = p.path;

    // One snapshot for the folder check and the listing.
    SqlReadTxn snapshot(m_store.db());
    if (top != "/") {
        Entry dir;
        if (!m_store.current(p.view_id, top, dir) || !dir.liveDir()) {
            SetError(out, CODE_BAD_PATH, "pulled folder missing or not a directory");
            return;
        }
    }
    std::string sql =
        "SELECT c.sync_id, c.max_id, c.path, c.is_dir, c.is_removed, c.content_id, c.mtime, "
        "c.origin, k.md4, k.sha256, k.size FROM current c LEFT JOIN content k "
        "ON k.id = c.content_id WHERE c.view_id = ? AND c.sync_id > ? ";
    if (since == 0)
        sql += "AND c.is_removed = 0 ";
    if (!recursive)
        sql += "AND c.parent = ? ";
    else if (top != "/")
        sql += "AND c.path > ? AND c.path < ? ";
    sql += "ORDER BY c.sync_id";
    if (!cond.any())
        sql += " LIMIT " + std::to_string(m_ctx.opt.page);
    SqlStmt s(m_store.db(), sql.c_str());
    s.bind(1, static_cast<int64_t>(p.view_id)).bind(2, static_cast<int64_t>(since));
    if (!recursive)
        s.bind(3, top);
    else if (top != "/")
        s.bind(3, top + "/").bind(4, top + "0");

    PObject::array_type &list = out.body["event_list"].asArray();
    uint64_t next = since;
    int rc = SQLITE_ROW;
    while (list.size() < m_ctx.opt.page && (rc = s.step()) == SQLITE_ROW) {
        Entry e;
        e.sync_id = s.u64(0);
        e.max_id = s.u64(1);
        e.path = s.text(2);
        e.is_dir = s.i64(3) != 0;
        e.is_removed = s.i64(4) != 0;
        e.mtime = static_cast<uint32_t>(s.u64(6));
        e.md4 = s.text(8);
        e.size = s.u64(10);
        std::string rel = top == "/" ? e.path : e.path.substr(top.size());
        if (cond.any() && !cond.matches(e, rel))
            continue;
        PObject item;
        item["path"] = rel;
        item["is_dir"] = e.is_dir;
        item["is_removed"] = e.is_removed;
        item["sync_id"] = e.sync_id;
        item["max_id"] = e.max_id;
        if (!e.is_removed) {
            if (!e.is_dir) {
                item["file"]["hash"] = e.md4;
                item["file"]["size"] = e.size;
            }
            item["mtime"]["mtime"] = static_cast<uint64_t>(e.mtime);
        }
        list.push_back(std::move(item));
        next = e.sync_id;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        out.send = false;
        return;
    }
    out.body["next_sync_id"] = next;
}

} // namespace srv
