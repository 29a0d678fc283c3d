// The transfer half of a download: everything after the cheap ways have failed.
#pragma once

class Worker;
class DBFileInfo;

// Asks the server for the object (resumably), places the new file or directory and
// commits it. `basis` is the worker's copy of the path's row (cleared when unusable).
// A system result code.
int DownloadFromServer(Worker &w, const DBFileInfo &basis);
