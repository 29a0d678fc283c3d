// The transfer half of an upload: everything after the local checks have passed.
#pragma once

#include "file-op.h"

class Worker;
class DBFileInfo;

// Builds (or resumes) the upload request for the examined local object, sends it and
// commits the answer. `basis` is the worker's copy of the path's row (cleared when there
// is none). A system result code.
int UploadToServer(Worker &w, const LocalFileInfo &local, const DBFileInfo &basis);
