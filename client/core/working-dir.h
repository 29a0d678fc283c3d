// Names of the system's own directories inside every synced folder: the hidden working
// directory (temporary files, the recycle bin) and the recycle bin within it. Nothing
// below the working directory is ever synced.
#pragma once

#define AEROLITH_WORKING_DIR ".ZentoraWorkingDirectory"
#define AEROLITH_RECYCLE_BIN "#ZentRecycle"

// Session paths of both, as events and database rows name them.
static const char WORKING_DIR_PATH[] = "/" AEROLITH_WORKING_DIR;
static const char RECYCLE_BIN_PATH[] = "/" AEROLITH_WORKING_DIR "/" AEROLITH_RECYCLE_BIN;
