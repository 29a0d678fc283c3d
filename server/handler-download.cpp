// Downloads (resume_download, download): the current version of a path, as a reference to
// the client's basis, a patch against it, or the whole content; resumable through a token
// that records the answer.
#include "server/handler.h"

#include "log.h"
#include "rsapi-cpp/api.h"
#include "server/codes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

namespace srv
{

namespace
{

const uint64_t kFourGiB = 4294967296ull;

uint64_t FileSize(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
}

// The answer keys of a file version; data (when not empty) from offset on.
void FileAnswer(Answer &out, uint64_t sync_id, uint64_t max_id, bool refer, bool is_delta,
                const std::string &hash, uint64_t size, uint32_t mtime, const std::string &data,
                uint64_t data_len, uint64_t offset)
{
    out.body["sync_id"] = sync_id;
    out.body["max_id"] = max_id;
    out.body["is_dir"] = false;
    PObject &file = out.body["file"];
    file["refer"] = refer;
    file["hash"] = hash;
    file["size"] = size;
    if (!refer) {
        file["is_delta"] = is_delta;
        PObject::binary_type bin;
        bin.path = data;
        bin.offset = offset;
        bin.length = data_len - offset;
        file["data"] = bin;
        out.data_out = bin.length;
        out.transfer = is_delta ? "patch" : "whole";
    }
    out.body["mtime"]["refer"] = false;
    out.body["mtime"]["mtime"] = static_cast<uint64_t>(mtime);
}

} // namespace

void RequestHandler::doDownload(Prepared &p, Answer &out)
{
    std::string token = Str(p.body["resume_token"]);
    uint64_t offset = p.body["file"]["offset"].asUInt64();
    bool with_token = p.command == 27;
    if (!with_token && offset != 0) {
        SetError(out, CODE_BAD_TOKEN_STATE, "offset without a resume token");
        return;
    }
    TokenRow t;
    // The token's binding and its recorded answer are stored in one write when the
    // request ends, whichever way it ends.
    struct SaveToken {
        Store &store;
        TokenRow &t;
        Answer &out;
        bool active = false;
        ~SaveToken()
        {
            if (active && store.saveToken(t) < 0)
                out.send = false;
        }
    } save{m_store, t, out};
    if (with_token) {
        int rc = BindResumeToken(m_store, m_ctx.opt, token, p.user_id, p.view_id, "download",
                                 p.path, 0, std::string(), false, t, false);
        save.active = rc == 0;
        if (rc != 0) {
            if (rc < 0)
                out.send = false;
            else
                SetError(out, static_cast<uint32_t>(rc), "resume token refused");
            return;
        }
    }
    if (offset > 0) {
        // A resumed attempt gets the recorded answer again, from the bytes it holds on,
        // whatever happened to the path since.
        if (!t.has_answer || t.ans_data_len < offset || FileSize(t.ans_data) < t.ans_data_len) {
            SetError(out, CODE_BAD_TOKEN_STATE, "nothing recorded to resume from");
            return;
        }
        FileAnswer(out, t.ans_sync_id, t.ans_max_id, false, t.ans_is_delta, t.ans_hash,
                   t.ans_size, t.ans_mtime, t.ans_data, t.ans_data_len, offset);
        return;
    }

    Entry cur;
    if (!m_store.current(p.view_id, p.path, cur) || !cur.live()) {
        SetError(out, CODE_NOT_FOUND, "no such path");
        return;
    }
    if (cur.is_dir) {
        out.body["sync_id"] = cur.sync_id;
        out.body["max_id"] = cur.max_id;
        out.body["is_dir"] = true;
        out.body["mtime"]["refer"] = false;
        out.body["mtime"]["mtime"] = static_cast<uint64_t>(cur.mtime);
        return;
    }
    uint64_t basis_id = p.body["sync_id"].asUInt64();
    if (cur.sync_id == basis_id) {
        out.body["sync_id"] = cur.sync_id;
        out.body["max_id"] = cur.max_id;
        out.body["is_dir"] = false;
        return;
    }
    Entry basis;
    uint64_t basis_view = 0;
    bool have_basis = basis_id != 0 && m_store.journalRow(basis_id, basis_view, basis) &&
                      basis_view == p.view_id && basis.path == p.path && basis.liveFile();
    if (have_basis && basis.content_id == cur.content_id) {
        FileAnswer(out, cur.sync_id, cur.max_id, true, false, cur.md4, cur.size, cur.mtime,
                   std::string(), 0, 0);
        return;
    }
    std::string blob = m_ctx.content.blobPath(cur.sha256);
    std::string data = blob;
    uint64_t data_len = cur.size;
    bool is_delta = false;
    if (have_basis && basis.size < kFourGiB) {
        std::string sig = m_ctx.content.signatureOf(basis.sha256);
        std::string delta = sig.empty() ? std::string() : m_ctx.content.newSpoolFile();
        if (!delta.empty()) {
            SimpleFileReader reader;
            reader.setFile(ustring(blob));
            reader.setDelta(ustring(delta), ustring(sig));
            uint64_t delta_len = reader.readFile() < 0 ? UINT64_MAX : FileSize(delta);
            if (delta_len < cur.size) {
                data = delta;
                data_len = delta_len;
                is_delta = true;
            } else {
                unlink(delta.c_str());
            }
        }
    }
    if (with_token) {
        if (is_delta && SyncPath(data) < 0) {
            unlink(data.c_str());
            out.send = false;
            return;
        }
        if (t.has_answer && t.ans_is_delta && t.ans_data != data)
            unlink(t.ans_data.c_str());
        t.has_answer = true;
        t.ans_sync_id = cur.sync_id;
        t.ans_max_id = cur.max_id;
        t.ans_hash = cur.md4;
        t.ans_size = cur.size;
        t.ans_is_delta = is_delta;
        t.ans_mtime = cur.mtime;
        t.ans_data = data;
        t.ans_data_len = data_len;
        t.last_use = time(nullptr);
    } else if (is_delta) {
        out.remove_after.push_back(data);
    }
    FileAnswer(out, cur.sync_id, cur.max_id, false, is_delta, cur.md4, cur.size, cur.mtime, data,
               data_len, 0);
}

} // namespace srv
