// The content store: immutable blobs under root/content/XX/SHA256, named by the SHA-256 of
// their bytes, cached signatures under root/sig/XX/SHA256, and the spool directory for
// received data. A client path never names a file here.
#pragma once

#include "rsapi-cpp/handler.h"
#include "rsapi-cpp/md4.h"

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace srv
{

struct Digest {
    std::string md4;    // 32 lower-case hex digits
    std::string sha256; // 64 lower-case hex digits
    uint64_t size = 0;
};

// MD4, SHA-256 and size of bytes fed in pieces: a received upload is digested while it
// arrives, so that storing it needs no second pass over the file.
class Digester
{
public:
    Digester();
    void update(const void *data, size_t n);
    // The two digests can be fed on two threads at once: lane 0 feeds MD4 and counts the
    // size, lane 1 feeds SHA-256. update feeds both.
    void updateLane(int lane, const void *data, size_t n);
    uint64_t size() const { return m_size; }
    // The digest of everything fed. 0, or -1.
    int finish(Digest &out);

private:
    MD4State m_md4;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX *)> m_sha;
    bool m_sha_ok = false;
    uint64_t m_size = 0;
};

// One lane of a Digester as a consumer of a FileReader pass: with one handler per lane,
// MD4 and SHA-256 are taken on two helper threads while the pass does its own work (for
// instance applying a delta), instead of in a second pass over the result.
class DigestLaneHandler : public RSHandler
{
public:
    DigestLaneHandler(Digester &digester, int lane) : m_digester(digester), m_lane(lane) {}
    int begin() override { return 0; }
    int update(const uint8_t *bytes, size_t n) override
    {
        m_digester.updateLane(m_lane, bytes, n);
        return 0;
    }
    int wait() override { return 0; }
    int end() override { return 0; }

private:
    Digester &m_digester;
    int m_lane;
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

    // MD4, SHA-256 and size of the files' bytes taken one after the other, in one pass
    // with the two digests on two threads.
    static int hashFiles(const std::vector<std::string> &files, Digest &out);
    // Makes file (already hashed as sha) a blob: fsync, rename into content/, fsync the
    // directories. A blob that already exists keeps its file and file is deleted. 0, or -1.
    int importFile(const std::string &file, const std::string &sha);
    // Signature of a blob (block 2048, strong sum 8), computed once and cached. "" on
    // failure.
    std::string signatureOf(const std::string &sha);

    // Deletes spool files that keep is not naming (start-up clean-up).
    void cleanSpool(const std::vector<std::string> &keep) const;

private:
    // Moves the finished file tmp to top/XX/sha (XX made when missing). durable: tmp is
    // fsynced before and both directories after the rename, so that the name never points
    // at missing bytes after a crash. 0, or -1 (tmp is then left in place).
    int publish(const std::string &tmp, const std::string &top, const std::string &sha,
                bool durable);

    std::string m_root;
    // Shard directories whose own entry this process has made durable: only the first
    // blob into a shard needs a sync of the top directory as well.
    std::mutex m_synced_lock;
    std::set<std::string> m_synced_shards;
};

// Appends the bytes of from to the end of to. 0, or -1.
int AppendFile(const std::string &to, const std::string &from);
// fsync of a file or directory by path. 0, or -1.
int SyncPath(const std::string &path);

} // namespace srv
