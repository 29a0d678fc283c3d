// Uploads (upload, its dry run, resume_upload): conflict and type checks against the
// path's current state, quota and disk checks, the content (a reference, the whole bytes or
// a delta applied to the basis) verified against its stated MD4 and size, then one new
// journal row.
#include "server/handler.h"

#include "log.h"
#include "rsapi-cpp/api.h"
#include "server/codes.h"
#include "server/tree.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace srv
{

namespace
{

const char *kComponent = "aerolith_server";

// The request's basis against the path's current row c: 0 when accepted.
uint32_t ConflictCode(bool have_c, const Entry &c, uint64_t sync_id)
{
    bool live = have_c && c.live();
    if (sync_id == 0)
        return live ? static_cast<uint32_t>(CODE_BASIS_OLD) : 0u;
    if (!live)
        return CODE_BASIS_REMOVED;
    return c.sync_id == sync_id ? 0u : static_cast<uint32_t>(CODE_BASIS_OLD);
}

// Type rules of a file upload: a live directory at the path, or a live file above it.
uint32_t TypeCode(Store &store, uint64_t view_id, const std::string &path, bool have_c,
                  const Entry &c)
{
    if (have_c && c.liveDir())
        return CODE_TYPE_CONFLICT;
    for (const std::string &a : Ancestors(path)) {
        Entry e;
        if (store.current(view_id, a, e) && e.liveFile())
            return CODE_BELOW_FILE;
    }
    return 0;
}

uint32_t QuotaCode(Store &store, uint64_t view_id, bool have_c, const Entry &c, uint64_t size)
{
    uint64_t quota = store.viewQuota(view_id);
    if (quota == 0)
        return 0;
    uint64_t use = store.quotaUse(view_id);
    if (have_c && c.liveFile())
        use -= std::min(use, c.size);
    return use + size > quota ? static_cast<uint32_t>(CODE_QUOTA) : 0u;
}

bool DiskHasRoom(const std::string &root, uint64_t size, uint64_t reserve)
{
    struct statvfs vfs;
    if (statvfs(root.c_str(), &vfs) != 0)
        return false;
    uint64_t avail = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return avail >= size + reserve;
}

uint64_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// What the request says about the content.
struct UploadFields {
    uint64_t sync_id = 0;
    bool is_dir = false;
    uint64_t size = 0;
    std::string hash;
    bool refer = false;
    uint64_t file_id = 0;
    bool is_delta = false;
    bool has_data = false;
    std::string data; // received file ("" when no data item)
    bool mtime_refer = false;
    uint32_t mtime = 0;
    bool has_mtime = false;
};

UploadFields ReadFields(const PObject &body)
{
    UploadFields f;
    f.sync_id = body["sync_id"].asUInt64();
    f.is_dir = body["is_dir"].asBool();
    const PObject &file = body["file"];
    f.size = file["size"].asUInt64();
    f.hash = Str(file["hash"]);
    f.refer = file["refer"].asBool();
    f.file_id = file["file_id"].asUInt64();
    f.is_delta = file["is_delta"].asBool();
    f.has_data = file["data"].isBinary();
    f.data = BinaryPath(file["data"]);
    const PObject &mtime = body["mtime"];
    f.has_mtime = mtime.isMap();
    f.mtime_refer = mtime["refer"].asBool();
    f.mtime = mtime["mtime"].asUInt32();
    return f;
}

} // namespace

// The content of an accepted file upload: a stored content id, or a new blob to import.
struct UploadContent {
    uint64_t content_id = 0;
    std::string file; // new content to import (spool), or ""
    Digest digest;
};

void RequestHandler::doUpload(Prepared &p, Answer &out)
{
    UploadFields f = ReadFields(p.body);
    bool dry_run = p.action == "upload" && p.body["dry_run"].asBool();
    bool resumable = p.action == "resume_upload";
    std::string token = Str(p.body["resume_token"]);
    if (!f.data.empty())
        out.remove_after.push_back(f.data);
    out.data_in = f.has_data ? FileSize(f.data) : 0;
    out.transfer = f.has_data ? (f.is_delta ? "delta" : "whole") : std::string();
    if (p.path == "/") {
        SetError(out, CODE_BAD_PATH, "the view root cannot be uploaded");
        return;
    }

    TokenRow t;
    bool token_ok = false;
    if (!token.empty() && (resumable || dry_run)) {
        int rc = BindResumeToken(m_store, m_ctx.opt, token, p.user_id, p.view_id, "upload",
                                 p.path, f.size, f.hash, f.is_delta, t);
        if (rc != 0) {
            if (rc < 0)
                out.send = false;
            else
                SetError(out, static_cast<uint32_t>(rc), "resume token refused");
            return;
        }
        token_ok = true;
    }
    // A final answer to a resumable upload ends its token; a dry run keeps it.
    // Without an answer (an internal failure) the token keeps what it holds, so that the
    // client can resume.
    struct TokenEnd {
        Store &store;
        const TokenRow &t;
        const Answer &out;
        bool active;
        ~TokenEnd()
        {
            if (!active || !out.send)
                return;
            if (!t.held.empty())
                unlink(t.held.c_str());
            store.deleteToken(t.token);
        }
    } token_end{m_store, t, out, token_ok && resumable};

    std::string user_origin = "user:" + std::to_string(p.user_id);
    Tree tree(m_store);
    if (f.is_dir) {
        SqlWriteTxn txn(m_store.db());
        Entry dir;
        uint32_t mtime = f.has_mtime && !f.mtime_refer ? f.mtime : NowMtime();
        int rc = txn.ok() ? tree.makeDir(p.view_id, p.path, mtime, user_origin, dir)
                          : INTERNAL_FAILURE;
        if (rc == 0 && txn.commit() < 0)
            rc = INTERNAL_FAILURE;
        if (rc < 0) {
            out.send = false;
            return;
        }
        if (rc > 0) {
            SetError(out, static_cast<uint32_t>(rc), "directory cannot be created there");
            return;
        }
        out.body["sync_id"] = dir.sync_id;
        out.body["max_id"] = dir.max_id;
        out.body["is_dir"] = true;
        return;
    }

    // Checks before any content work; repeated inside the commit transaction.
    Entry c;
    bool have_c = m_store.current(p.view_id, p.path, c);
    uint32_t code = TypeCode(m_store, p.view_id, p.path, have_c, c);
    if (code == 0)
        code = ConflictCode(have_c, c, f.sync_id);
    if (code == 0)
        code = QuotaCode(m_store, p.view_id, have_c, c, f.size);
    if (code == 0 && (dry_run || f.has_data) &&
        !DiskHasRoom(m_ctx.opt.root, f.size, m_ctx.opt.disk_reserve))
        code = CODE_DISK_FULL;
    if (code != 0) {
        SetError(out, code, "upload refused");
        return;
    }
    if (dry_run) {
        out.body["file"]["file_id"] = m_store.contentInView(p.view_id, f.hash, f.size);
        return;
    }

    UploadContent content;
    code = 0;
    if (f.refer && f.file_id != 0) {
        ContentRow row;
        if (!m_store.contentById(f.file_id, row) ||
            !m_store.contentReferencedInView(p.view_id, f.file_id) || row.md4 != f.hash ||
            row.size != f.size)
            code = CODE_BAD_CONTENT;
        content.content_id = f.file_id;
        out.transfer = "refer";
    } else if (f.refer) {
        if (!c.liveFile() || c.md4 != f.hash || c.size != f.size)
            code = CODE_BAD_BASIS;
        content.content_id = c.content_id;
        out.transfer = "refer";
    } else if (f.has_data) {
        // The whole data is what the token held followed by what arrived now.
        std::string data = f.data;
        if (token_ok && !t.held.empty() && FileSize(t.held) > 0) {
            if (AppendFile(t.held, f.data) < 0) {
                out.send = false;
                return;
            }
            data = t.held;
        }
        if (!f.is_delta) {
            // Data that arrived whole in this request was digested on the way in.
            if (data == f.data && p.data_digested)
                content.digest = p.data_digest;
            else if (ContentStore::hashFiles({data}, content.digest) < 0) {
                out.send = false;
                return;
            }
            if (content.digest.md4 != f.hash || content.digest.size != f.size)
                code = CODE_BAD_CONTENT;
            content.file = data;
        } else if (!c.liveFile()) {
            code = CODE_BAD_BASIS;
        } else {
            std::string result = m_ctx.content.newSpoolFile();
            if (result.empty()) {
                out.send = false;
                return;
            }
            out.remove_after.push_back(result);
            // The result is digested while the delta is applied, for its MD4 check and its
            // blob name together, so that it is not read a second time.
            Digester digester;
            DigestLaneHandler md4(digester, 0), sha(digester, 1);
            DeltaFileReader reader;
            reader.setFile(ustring(data), ustring(m_ctx.content.blobPath(c.sha256)));
            reader.setNewFile(ustring(result));
            if (reader.addHandler(&md4) != 0 || reader.addHandler(&sha) != 0) {
                out.send = false;
                return;
            }
            if (reader.readFile() < 0 || FileSize(result) != f.size ||
                digester.size() != f.size) {
                code = CODE_BAD_BASIS;
            } else if (digester.finish(content.digest) < 0) {
                out.send = false;
                return;
            } else if (content.digest.md4 != f.hash) {
                code = CODE_BAD_BASIS;
            }
            content.file = result;
        }
    } else {
        code = CODE_BAD_CONTENT;
    }
    if (code != 0) {
        SetError(out, code, "content refused");
        return;
    }
    if (!content.file.empty() &&
        m_ctx.content.importFile(content.file, content.digest.sha256) < 0) {
        out.send = false;
        return;
    }

    SqlWriteTxn txn(m_store.db());
    if (!txn.ok()) {
        out.send = false;
        return;
    }
    have_c = m_store.current(p.view_id, p.path, c);
    code = TypeCode(m_store, p.view_id, p.path, have_c, c);
    if (code == 0)
        code = ConflictCode(have_c, c, f.sync_id);
    if (code == 0)
        code = QuotaCode(m_store, p.view_id, have_c, c, f.size);
    if (code != 0) {
        SetError(out, code, "upload refused");
        return;
    }
    if (content.content_id == 0)
        content.content_id =
            m_store.addContent(content.digest.md4, content.digest.sha256, content.digest.size);
    uint32_t mtime = f.mtime;
    if (!f.has_mtime || f.mtime_refer)
        mtime = have_c && c.live() ? c.mtime : NowMtime();
    Entry now;
    int rc = content.content_id == 0
                 ? INTERNAL_FAILURE
                 : tree.putFile(p.view_id, p.path, content.content_id, mtime, user_origin, now);
    if (rc == 0 && txn.commit() < 0)
        rc = INTERNAL_FAILURE;
    if (rc != 0) {
        if (rc > 0)
            SetError(out, static_cast<uint32_t>(rc), "upload refused");
        else
            out.send = false;
        return;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] handler-upload.cpp(%d): stored %s as sync id %llu\n", __LINE__,
                   p.path.c_str(), static_cast<unsigned long long>(now.sync_id));
    out.body["sync_id"] = now.sync_id;
    out.body["max_id"] = now.max_id;
    out.body["is_dir"] = false;
    out.body["file"]["refer"] = f.refer;
    out.body["file"]["file_id"] = content.content_id;
}

} // namespace srv
