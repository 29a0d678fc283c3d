// remove: a file, or a directory with everything below it, unless something at or below
// the path changed after the version the client has seen.
#include "server/handler.h"

#include "server/codes.h"
#include "server/tree.h"

namespace srv
{

namespace
{

uint32_t RemoveCode(bool have_c, const Entry &c, uint64_t sync_id, uint64_t max_id)
{
    if (!have_c || !c.live())
        return CODE_REMOVE_MISSING;
    if (c.sync_id != sync_id || c.max_id > max_id)
        return CODE_REMOVE_OLD;
    return 0;
}

} // namespace

void RequestHandler::doRemove(Prepared &p, Answer &out)
{
    if (p.path == "/") {
        SetError(out, CODE_BAD_PATH, "the view root cannot be removed");
        return;
    }
    uint64_t sync_id = p.body["sync_id"].asUInt64();
    uint64_t max_id = p.body["max_id"].asUInt64();
    SqlWriteTxn txn(m_store.db());
    if (!txn.ok()) {
        out.send = false;
        return;
    }
    Entry c;
    bool have_c = m_store.current(p.view_id, p.path, c);
    uint32_t code = RemoveCode(have_c, c, sync_id, max_id);
    if (code != 0) {
        SetError(out, code, code == CODE_REMOVE_MISSING ? "no such path" : "changed since");
        return;
    }
    Tree tree(m_store);
    uint64_t tomb = 0;
    int rc = tree.remove(p.view_id, p.path, "user:" + std::to_string(p.user_id), tomb);
    if (rc == 0 && txn.commit() < 0)
        rc = INTERNAL_FAILURE;
    if (rc != 0) {
        if (rc > 0)
            SetError(out, static_cast<uint32_t>(rc), "remove refused");
        else
            out.send = false;
        return;
    }
    out.body["sync_id"] = tomb;
}

} // namespace srv
