// The events that rescans, expansions and the change detector generate, handed to event
// generation and the event manager.
#pragma once

#include "client/core/registry.h"
#include "event.h"
#include "ustring/ustring.h"

#include <cstdint>

namespace expand_push
{

void Upload(const Registry::Entry &reg, const ustring &path, bool is_dir);
void LocalRemove(const Registry::Entry &reg, const ustring &path, bool is_dir);
void Download(const Registry::Entry &reg, const ustring &path, bool is_dir);
void ServerRemove(const Registry::Entry &reg, const ustring &path, bool is_dir, uint64_t sync_id);
void LocalEvent(const Event &ev);
void ServerEvent(const Event &ev);
// Requests of the whole directory below `path`.
void Rescan(uint64_t sess_id, const ustring &path, bool merge);
void ExpandRequest(uint64_t sess_id, const ustring &path);

} // namespace expand_push
