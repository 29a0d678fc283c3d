// Safeguards for a directory that is about to leave the synced tree (a server removal, or
// a file replacing it on the server): what changed below it locally must survive.
#pragma once

#include "ustring/ustring.h"

class Worker;

// True when the directory `path` (session path; `full_path` on disk) holds an object that
// the event database does not know, or a file whose size, time or type differ from its row.
// Links are looked at themselves, never followed.
bool HasUnsyncedContent(Worker &w, const ustring &path, const ustring &full_path);

// Takes the current event's directory out of the synced tree without losing local changes:
// every unsynced object below it is renamed to a conflict name where it is, every synced
// file goes into the recycle bin with its row, emptied directories are removed and the
// directory's remaining rows are forgotten. What stays is ordinary unsynced local content.
// 0, or -1 when something could not be moved (the event is retried).
int RemoveDirectoryKeepingChanges(Worker &w);
