// Event generation: turns facts into events for the event manager. A path to upload or to
// remove locally, a forced download, a server removal, one object description pulled from
// the server, or a local change a selective-sync filter held back. Every function takes the
// session's registry entry; the event gets the entry's session id.
#pragma once

#include "client/core/registry.h"
#include "protocol/object.h"
#include "ustring/ustring.h"

#include <cstdint>

class Event;
struct FilterLocalEvent;

void PushUploadEvent(const Registry::Entry &reg, const ustring &path, bool is_dir);
// An upload that holds a server removal of the path (see Event::F_SERVER_REMOVED): the
// removal applies when the object turns out unchanged since its sync.
void PushUploadOverServerRemoval(const Registry::Entry &reg, const ustring &path, bool is_dir,
                                 uint64_t sync_id, uint64_t max_id);
void PushLocalRemoveEvent(const Registry::Entry &reg, const ustring &path, bool is_dir);
// A download the client asks for itself: it carries MAX_SYNC_ID, so any real server event
// for the path supersedes it, and the attributes of the path's synced row when there is one.
void PushDownloadEvent(const Registry::Entry &reg, const ustring &path, bool is_dir);
void PushServerRemoveEvent(const Registry::Entry &reg, const ustring &path, bool is_dir,
                           uint64_t sync_id, uint64_t max_id);

// One object of a "pull_event" answer. True when it became a server event; false when it
// was malformed (logged) or an echo of a change the client made itself.
bool PushEvent(const Registry::Entry &reg, const PObject &object);
// A whole "pull_event" list, in order: every object as above, with the synced rows of the
// page read in one database transaction and the surviving events queued under one lock of
// the event manager. Returns how many became server events.
size_t PushEvents(const Registry::Entry &reg, const PObject::array_type &objects);
// A held-back local change: an object that exists locally is uploaded, a missing one is
// downloaded again.
void PushEvent(const Registry::Entry &reg, const FilterLocalEvent &filtered_event);

// Converts one server object description into a server event of session `sess_id`. 0, or
// -1 when the object is malformed (a required key missing or mistyped, an unsafe path, an
// impossible size); the reason is logged once. Nothing is pushed.
int ServerObjectToEvent(uint64_t sess_id, const PObject &object, Event &e);
