// Containment check for local paths that a transfer is about to create, write, rename or
// remove. The paths come from the server or from the event database, so they are not
// trusted: joined with the session folder, the result must stay inside that folder, must
// not pass through a symbolic link that leads out of it (or into the hidden working
// directory), and must not name anything inside the hidden working directory, which only
// the daemon's own temporary files and recycle bin may use.
#pragma once

#include "ustring/ustring.h"

enum LocalPathCheck {
    LPC_OK = 0,
    LPC_MALFORMED = -1,   // not absolute, an empty, "." or ".." component, a NUL byte
    LPC_WORKING_DIR = -2, // inside the hidden working directory
    LPC_LINK_ESCAPE = -3, // a symbolic link on the way leads out of the folder
    LPC_ROOT = -4,        // the session folder itself, where an object below it is needed
    LPC_SYSTEM = -5,      // the folder or a component on the way could not be examined
};

enum LocalPathFlags : unsigned {
    // The session folder itself ("/") is acceptable (creating or stamping it, never removing).
    LPC_ALLOW_ROOT = 1u,
    // The path names an object the server announced: it must also pass the server-path
    // rules (no backslash, valid UTF-8, bounded length).
    LPC_SERVER_NAME = 2u,
};

// Checks `path` (session-relative, '/'-separated, "/" for the folder itself) against the
// session folder `local_root`. LPC_OK or one of the negative codes above; nothing on disk is
// changed. Every existing directory on the way is examined without following the last
// component, so a link at the final position is acceptable (operations act on the link).
int CheckLocalPath(const ustring &local_root, const ustring &path, unsigned flags = 0);

// Short text for a result of CheckLocalPath, for logs.
const char *LocalPathCheckText(int code);

// True when the session-relative `path` names the hidden working directory or lies inside
// it. The name is compared without ASCII case, so a case-insensitive mount is covered too.
bool IsInWorkingDirectory(const ustring &path);
