// The on-disk layout of one session, derived from its synced folder and its configuration
// directory, and the preparation of that layout when a session is added.
#pragma once

#include "ustring/ustring.h"

// Name of the hidden working directory inside every synced folder; never synchronised.
extern const char kWorkingDirName[];
// Name of the local recycle bin inside the working directory.
extern const char kRecycleBinName[];

struct SessionPaths {
    ustring local_path;
    ustring config_path;
    ustring sign_dir;
    ustring event_db_path;
    ustring filter_dir;
    ustring black_list_path;
    ustring white_list_path;
    ustring force_hash_check_path;
    ustring working_dir;
    ustring recycle_bin;

    SessionPaths(const ustring &local, const ustring &config);
};

// Checks both folders, creates the signature directory, empties and recreates the working
// directory and creates the recycle bin. 0, or -1 with the failing step logged.
int CreateSessionEnvironment(const ustring &local_path, const ustring &config_path);

// True when a status query reports a directory at `path`.
bool IsDirectoryPath(const ustring &path);

// Moves every sub-folder of `path` except the working directory to the user's Trash; files
// directly in `path` stay. Unsynced files inside those folders are therefore never
// destroyed. 0, or -1 when the folder cannot be listed.
int MoveAllSubFoldersToTrash(const ustring &path);
