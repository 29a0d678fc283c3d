// Blobs, signatures and spool files of the server.
#include "server/content-store.h"

#include "conflict-rename.h"
#include "log.h"
#include "rsapi-cpp/api.h"
#include "rsapi-cpp/file-reader.h"
#include "rsapi-cpp/md4.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

namespace srv
{

namespace
{

const char *kComponent = "aerolith_server";
const size_t kPiece = 1 << 20;

std::string Hex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// 1 when the directory was made now, 0 when it existed, -1 on failure (logged).
int MakeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0700) == 0)
        return 1;
    if (errno == EEXIST)
        return 0;
    Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] content-store.cpp(%d): mkdir %s: %d\n",
                   __LINE__, path.c_str(), errno);
    return -1;
}

std::string Shard(const std::string &sha)
{
    return sha.substr(0, 2);
}

} // namespace

int SyncPath(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}

int AppendFile(const std::string &to, const std::string &from)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    int out = open(to.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (out < 0) {
        close(in);
        return -1;
    }
    std::unique_ptr<char[]> buf(new char[kPiece]);
    int rc = 0;
    for (;;) {
        ssize_t n = read(in, buf.get(), kPiece);
        if (n == 0)
            break;
        if (n < 0 || write(out, buf.get(), static_cast<size_t>(n)) != n) {
            rc = -1;
            break;
        }
    }
    close(in);
    if (close(out) != 0)
        rc = -1;
    return rc;
}

int ContentStore::prepare()
{
    for (const char *sub : {"/content", "/sig", "/spool"})
        if (MakeDir(m_root + sub) < 0)
            return -1;
    return 0;
}

std::string ContentStore::blobPath(const std::string &sha) const
{
    return m_root + "/content/" + Shard(sha) + "/" + sha;
}

std::string ContentStore::sigPath(const std::string &sha) const
{
    return m_root + "/sig/" + Shard(sha) + "/" + sha;
}

std::string ContentStore::newSpoolFile() const
{
    for (int attempt = 0; attempt < 16; ++attempt) {
        ustring name = TmpNameGen::getInstance()->getTmpPath(spoolDir());
        std::string path(name.c_str_utf8(), name.length());
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return path;
        }
        if (errno != EEXIST)
            break;
    }
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] content-store.cpp(%d): cannot create a spool file: %d\n", __LINE__,
                   errno);
    return std::string();
}

Digester::Digester() : m_sha(EVP_MD_CTX_new(), EVP_MD_CTX_free)
{
    m_md4.init();
    m_sha_ok = m_sha && EVP_DigestInit_ex(m_sha.get(), EVP_sha256(), nullptr) == 1;
}

void Digester::update(const void *data, size_t n)
{
    updateLane(0, data, n);
    updateLane(1, data, n);
}

void Digester::updateLane(int lane, const void *data, size_t n)
{
    if (lane == 0) {
        m_md4.update(data, n);
        m_size += n;
    } else if (m_sha_ok && EVP_DigestUpdate(m_sha.get(), data, n) != 1) {
        m_sha_ok = false;
    }
}

int Digester::finish(Digest &out)
{
    uint8_t md4_digest[MD4_DIGEST_BYTES];
    m_md4.final(md4_digest);
    unsigned char sha_digest[EVP_MAX_MD_SIZE];
    unsigned int sha_len = 0;
    if (!m_sha_ok || EVP_DigestFinal_ex(m_sha.get(), sha_digest, &sha_len) != 1)
        return -1;
    m_sha_ok = false;
    out.md4 = rs_md4_hex(md4_digest);
    out.sha256 = Hex(sha_digest, sha_len);
    out.size = m_size;
    return 0;
}

int ContentStore::hashFiles(const std::vector<std::string> &files, Digest &out)
{
    Digester d;
    DigestLaneHandler md4(d, 0), sha(d, 1);
    for (const std::string &file : files) {
        SimpleFileReader reader;
        reader.setFile(ustring(file));
        if (reader.addHandler(&md4) != 0 || reader.addHandler(&sha) != 0 ||
            reader.readFile() != 0)
            return -1;
    }
    return d.finish(out);
}

int ContentStore::publish(const std::string &tmp, const std::string &top, const std::string &sha,
                          bool durable)
{
    std::string shard = top + "/" + Shard(sha);
    int made = MakeDir(shard);
    if (made < 0)
        return -1;
    if (durable && SyncPath(tmp) < 0)
        return -1;
    if (rename(tmp.c_str(), (shard + "/" + sha).c_str()) != 0)
        return -1;
    if (!durable)
        return 0;
    if (SyncPath(shard) < 0)
        return -1;
    // The top directory changes only when a shard is made; a shard found in place may have
    // been made by a run that stopped before syncing it, so its first use syncs it too.
    {
        std::lock_guard<std::mutex> guard(m_synced_lock);
        if (made == 0 && m_synced_shards.count(shard) != 0)
            return 0;
    }
    if (SyncPath(top) < 0)
        return -1;
    std::lock_guard<std::mutex> guard(m_synced_lock);
    m_synced_shards.insert(shard);
    return 0;
}

int ContentStore::importFile(const std::string &file, const std::string &sha)
{
    struct stat st;
    if (stat(blobPath(sha).c_str(), &st) == 0) {
        unlink(file.c_str());
        return 0;
    }
    if (publish(file, m_root + "/content", sha, true) < 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] content-store.cpp(%d): cannot store blob %s: %d\n", __LINE__,
                       sha.c_str(), errno);
        return -1;
    }
    return 0;
}

std::string ContentStore::signatureOf(const std::string &sha)
{
    std::string target = sigPath(sha);
    struct stat st;
    if (stat(target.c_str(), &st) == 0)
        return target;
    std::string tmp = newSpoolFile();
    if (tmp.empty())
        return std::string();
    // A signature is a cache that can be made again: it is not worth an fsync.
    SimpleFileReader reader;
    reader.setFile(ustring(blobPath(sha)));
    reader.setSignature(ustring(tmp), 2048, 8);
    if (reader.readFile() < 0 || publish(tmp, m_root + "/sig", sha, false) < 0) {
        unlink(tmp.c_str());
        return std::string();
    }
    return target;
}

void ContentStore::cleanSpool(const std::vector<std::string> &keep) const
{
    DIR *dir = opendir(spoolDir().c_str());
    if (dir == nullptr)
        return;
    while (struct dirent *ent = readdir(dir)) {
        std::string name = ent->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = spoolDir() + "/" + name;
        if (std::find(keep.begin(), keep.end(), path) == keep.end())
            unlink(path.c_str());
    }
    closedir(dir);
}

} // namespace srv
