// Small utilities shared by the transfers.
#pragma once

#include "ustring/ustring.h"

// A temporary file (signatures, deltas) that is removed when its owner goes away, unless
// it was made permanent. Movable, not copyable: exactly one object owns a created file.
class TempFile
{
public:
    explicit TempFile(const ustring &prefix = ustring());
    TempFile(TempFile &&other) noexcept;
    TempFile &operator=(TempFile &&other) noexcept;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile();

    // Creates a new, uniquely named empty file under the prefix. -1 if this object already
    // holds a file or the file cannot be created.
    int create();
    const ustring &getPath() const { return path; }
    // The file survives this object.
    void convert_permanent() { permanent = true; }
    void setPrefix(const ustring &prefix);
    // Deletes the file now (permanent or not). 0, or FSRemove's failure.
    int remove();

    // Replaces the process-wide default prefix ("/tmp").
    static void initialize(const ustring &prefix);
    static ustring defaultPrefix();

private:
    ustring tmp_prefix;
    ustring path;
    int ref = 0; // 1 while this object holds a created file
    bool permanent = false;
};
