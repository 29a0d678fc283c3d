// The content store: immutable blobs under root/content/XX/SHA256, named by the SHA-256 of
// their bytes, cached signatures under root/sig/XX/SHA256, and the spool directory for
// received data. A client path never names a file here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace srv
{

struct Digest {
    std::string md4;    // 32 lower-case hex digits
    std::string sha256; // 64 lower-case hex digits
    uint64_t size = 0;
};

class ContentStore
{
public:
    explicit ContentStore(const std::string &root) : m_root(root) {}

    // Creates content/, sig/ and spool/ (mode 0700). 0, or -1.
    int prepare();
    std::string blobPath(const std::string &sha) const;
    std::string sigPath(const std::string &sha) const;
    std::string spoolDir() const { return m_root + "/spool"; }
    // A new, empty, uniquely named file in the spool. "" on failure.
    std::string newSpoolFile() const;

    // MD4, SHA-256 and size of the files' bytes taken one after the other, in one pass.
    static int hashFiles(const std::vector<std::string> &files, Digest &out);
    // Makes file (already hashed as sha) a blob: fsync, rename into content/, fsync the
    // directory. A blob that already exists keeps its file and file is deleted. 0, or -1.
    int importFile(const std::string &file, const std::string &sha);
    // Signature of a blob (block 2048, strong sum 8), computed once and cached. "" on
    // failure.
    std::string signatureOf(const std::string &sha);

    // Deletes spool files that keep is not naming (start-up clean-up).
    void cleanSpool(const std::vector<std::string> &keep) const;

private:
    std::string m_root;
};

// Appends the bytes of from to the end of to. 0, or -1.
int AppendFile(const std::string &to, const std::string &from);
// fsync of a file or directory by path. 0, or -1.
int SyncPath(const std::string &path);

} // namespace srv
