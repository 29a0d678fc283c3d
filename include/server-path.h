// Checks on a path that arrived from the file server before anything local is done with it.
// A server path names something inside a session folder: it is absolute ('/'-separated,
// leading '/', "/" alone is the session folder), made of non-empty components other than
// "." and "..", holds no NUL or backslash, is valid UTF-8, fits the event tree's bounds and
// never points into the hidden working directory, which belongs to the daemon alone.
#pragma once

#include "ustring/ustring.h"

#include <cstddef>

// Bounds of a session path in bytes: the whole path and each of its components.
static const size_t SERVER_PATH_MAX_BYTES = 4095;
static const size_t SERVER_NAME_MAX_BYTES = 1023;

// The daemon's hidden directory at the top of every synced folder.
static const char SERVER_PATH_WORK_DIR[] = ".ZentoraWorkingDirectory";

// nullptr when `path` is acceptable; otherwise a short reason for a log line.
const char *ServerPathProblem(const ustring &path);

inline bool IsValidServerPath(const ustring &path)
{
    return ServerPathProblem(path) == nullptr;
}
