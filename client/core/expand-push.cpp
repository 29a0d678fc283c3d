#include "client/core/expand-push.h"

#include "log.h"

// Event generation has not landed yet: every follow-up event is refused loudly so that
// nothing depends on it silently.
namespace expand_push
{

namespace
{
void refuse(const ustring &path)
{
    Logger::LogMsg(Logger::L_ERR, "worker_debug",
                   "[ERROR] expand-push.cpp(%d): no event generation for '%s'\n", __LINE__,
                   path.c_str_utf8());
}
} // namespace

void Upload(const Registry::Entry &, const ustring &path, bool) { refuse(path); }
void LocalRemove(const Registry::Entry &, const ustring &path, bool) { refuse(path); }
void Download(const Registry::Entry &, const ustring &path, bool) { refuse(path); }
void ServerRemove(const Registry::Entry &, const ustring &path, bool, uint64_t) { refuse(path); }
void LocalEvent(const Event &ev) { refuse(ev.m_path); }
void ServerEvent(const Event &ev) { refuse(ev.m_path); }
void Rescan(uint64_t, const ustring &path, bool) { refuse(path); }
void ExpandRequest(uint64_t, const ustring &path) { refuse(path); }

} // namespace expand_push
