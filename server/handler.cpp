// Request checks common to all requests, fault matching, connect and the token requests.
#include "server/handler.h"

#include "log.h"
#include "server/codes.h"
#include "server/path-rules.h"

#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <set>

namespace srv
{

namespace
{

const char *kComponent = "aerolith_server";

struct CommandActions {
    int command;
    std::set<std::string> actions;
};

const CommandActions kAllowed[] = {
    {22, {"encrypt_channel"}},
    {14, {"connect"}},
    {6, {"pull_event"}},
    {15, {"remove"}},
    {23, {"upload"}},
    {24, {"resume_download", "download"}},
    {27, {"resume_download", "resume_upload", "resume_get_token", "resume_get_status"}},
};

bool ActionAllowed(int command, const std::string &action)
{
    for (const CommandActions &c : kAllowed)
        if (c.command == command)
            return c.actions.count(action) != 0;
    return false;
}

bool NeedsWrite(const std::string &action)
{
    return action == "upload" || action == "resume_upload" || action == "remove";
}

void DiscardInto(PObject &object, const std::string &keep)
{
    if (object.isBinary()) {
        std::string path(object.asBinary().path.c_str_utf8(), object.asBinary().path.length());
        if (!path.empty() && path != keep)
            unlink(path.c_str());
        return;
    }
    if (object.isMap())
        for (auto &kv : object.asMap())
            DiscardInto(kv.second, keep);
    else if (object.isArray())
        for (auto &item : object.asArray())
            DiscardInto(item, keep);
}

} // namespace

uint32_t Answer::code() const
{
    const PObject &err = body["error"];
    return err.isMap() ? err["code"].asUInt32() : 0;
}

void SetError(Answer &out, uint32_t code, const char *reason)
{
    out.body.clear();
    out.body["error"]["code"] = static_cast<uint64_t>(code);
    out.body["error"]["reason"] = reason;
}

void DiscardBinaries(PObject &object, const std::string &keep)
{
    DiscardInto(object, keep);
}

std::string Str(const PObject &item)
{
    if (!item.isString())
        return std::string();
    const ustring &text = item.asString();
    return std::string(text.c_str_utf8(), text.length());
}

int BindResumeToken(Store &store, const ServerOptions &opt, const std::string &token,
                    uint64_t user_id, uint64_t view_id, const std::string &kind,
                    const std::string &path, uint64_t size, const std::string &hash, bool is_delta,
                    TokenRow &t, bool save)
{
    int64_t now = time(nullptr);
    if (!store.token(token, t) || t.user_id != user_id || t.view_id != view_id ||
        t.last_use < now - opt.token_ttl)
        return CODE_BAD_TOKEN_STATE;
    if (t.kind.empty()) {
        t.kind = kind;
        t.path = path;
        t.size = size;
        t.hash = hash;
        t.is_delta = is_delta;
    } else if (t.kind != kind || t.path != path ||
               (kind == "upload" && (t.size != size || t.hash != hash || t.is_delta != is_delta))) {
        return CODE_BAD_TOKEN_STATE;
    }
    t.last_use = now;
    if (!save)
        return 0;
    return store.saveToken(t) < 0 ? INTERNAL_FAILURE : 0;
}

std::string BinaryPath(const PObject &item)
{
    if (!item.isBinary())
        return std::string();
    return std::string(item.asBinary().path.c_str_utf8(), item.asBinary().path.length());
}

std::string RandomHex()
{
    unsigned char raw[16];
    if (RAND_bytes(raw, sizeof(raw)) != 1)
        return std::string();
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : raw) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int RequestHandler::open()
{
    return m_store.open(m_ctx.opt.root);
}

bool RequestHandler::prepare(int command, PObject &body, bool logged_in, bool is_tls, Prepared &p,
                             Answer &out)
{
    m_is_tls = is_tls;
    p.command = command;
    const PObject &action = body["action"];
    p.action = action.isString() ? std::string(action.asString().c_str_utf8(),
                                               action.asString().length())
                                 : std::string();
    p.body.swap(body);
    if (!ActionAllowed(command, p.action)) {
        SetError(out, CODE_BAD_ACTION, "action missing or not allowed for the command");
        out.close = true;
        return false;
    }
    if (command != 22 && command != 14 && !logged_in) {
        out.send = false;
        return false;
    }
    if (p.action == "encrypt_channel")
        return matchFaults(p, is_tls, out);
    bool need_path = p.action != "connect" && p.action != "resume_get_token" &&
                     p.action != "resume_get_status";
    if (commonChecks(p, NeedsWrite(p.action), need_path, out) != 0)
        return false;
    return matchFaults(p, is_tls, out);
}

int RequestHandler::commonChecks(Prepared &p, bool need_rw, bool need_path, Answer &out)
{
    const PObject &session = p.body["session"];
    std::string token = session.isString() ? std::string(session.asString().c_str_utf8(),
                                                         session.asString().length())
                                           : std::string();
    p.user_id = m_store.userByToken(token);
    if (p.user_id == 0) {
        SetError(out, CODE_BAD_TOKEN, "unknown token");
        return -1;
    }
    p.view_id = p.body["view_id"].asUInt64();
    std::string mode = m_store.grantMode(p.view_id, p.user_id);
    if (mode != "rw" && mode != "ro") {
        SetError(out, CODE_NO_VIEW, "view missing or not granted");
        return -1;
    }
    if (need_rw && mode != "rw") {
        SetError(out, CODE_READ_ONLY, "read-only grant");
        return -1;
    }
    if (need_path || p.body.hasMember("path")) {
        const PObject &path = p.body["path"];
        p.path = path.isString()
                     ? std::string(path.asString().c_str_utf8(), path.asString().length())
                     : std::string();
        if (!ValidViewPath(p.path)) {
            SetError(out, CODE_BAD_PATH, "path breaks the path rules");
            return -1;
        }
    }
    return 0;
}

bool RequestHandler::matchFaults(Prepared &p, bool is_tls, Answer &out)
{
    (void)is_tls;
    FaultProbe probe;
    probe.action = p.action;
    probe.command = p.command;
    probe.view_id = static_cast<int64_t>(p.view_id);
    probe.path = p.path;
    FaultRow f;
    if (!m_store.fireFault(
            probe, {"error", "delay", "stall", "close", "alive0", "drop_send", "corrupt"}, f))
        return true;
    Logger::LogMsg(Logger::L_INFO, kComponent, "[INFO] handler.cpp(%d): fault %s fires on %s\n",
                   __LINE__, f.kind.c_str(), p.action.c_str());
    if (f.kind == "error") {
        SetError(out, static_cast<uint32_t>(f.arg), "injected fault");
        return false;
    }
    if (f.kind == "close") {
        out.send = false;
        return false;
    }
    if (f.kind == "delay")
        p.delay = static_cast<uint32_t>(f.arg);
    else if (f.kind == "stall")
        p.stall = static_cast<uint32_t>(f.arg);
    else if (f.kind == "alive0")
        out.close = true;
    else if (f.kind == "drop_send")
        out.drop_send = f.arg;
    else if (f.kind == "corrupt")
        out.corrupt = true;
    return true;
}

void RequestHandler::work(Prepared &p, Answer &out)
{
    if (p.action == "encrypt_channel") {
        if (!m_ctx.opt.tls()) {
            SetError(out, CODE_NO_TLS, "TLS is not offered");
            return;
        }
        out.start_tls = !m_is_tls;
    } else if (p.action == "connect")
        doConnect(p, m_is_tls, out);
    else if (p.action == "pull_event")
        doPull(p, out);
    else if (p.action == "resume_download" || p.action == "download")
        doDownload(p, out);
    else if (p.action == "upload" || p.action == "resume_upload")
        doUpload(p, out);
    else if (p.action == "remove")
        doRemove(p, out);
    else if (p.action == "resume_get_token")
        doGetToken(p, out);
    else if (p.action == "resume_get_status")
        doGetStatus(p, out);
}

void RequestHandler::doConnect(Prepared &p, bool is_tls, Answer &out)
{
    bool do_ssl = p.body["do_ssl"].asUInt64() == 1;
    if (do_ssl && !m_ctx.opt.tls()) {
        SetError(out, CODE_NO_TLS, "TLS is not offered");
        return;
    }
    out.body["server"]["package_version"]["build"] = static_cast<uint64_t>(1);
    out.login = true;
    out.start_tls = do_ssl && !is_tls;
}

void RequestHandler::doGetToken(Prepared &p, Answer &out)
{
    std::vector<std::string> files;
    m_store.expireTokens(time(nullptr), m_ctx.opt.token_ttl, 4095, files);
    for (const std::string &f : files)
        if (!f.empty())
            unlink(f.c_str());
    TokenRow t;
    t.token = RandomHex();
    t.user_id = p.user_id;
    t.view_id = p.view_id;
    t.last_use = time(nullptr);
    if (t.token.empty() || m_store.addToken(t) < 0) {
        out.send = false;
        return;
    }
    out.body["resume_token"] = t.token;
}

void RequestHandler::doGetStatus(Prepared &p, Answer &out)
{
    TokenRow t;
    std::string text = std::string(p.body["resume_token"].asString().c_str_utf8(),
                                   p.body["resume_token"].asString().length());
    if (!m_store.token(text, t) || t.user_id != p.user_id || t.view_id != p.view_id ||
        t.last_use < time(nullptr) - m_ctx.opt.token_ttl) {
        SetError(out, CODE_BAD_TOKEN_STATE, "unknown resume token");
        return;
    }
    uint64_t held = 0;
    struct stat st;
    if (!t.held.empty() && stat(t.held.c_str(), &st) == 0)
        held = static_cast<uint64_t>(st.st_size);
    t.last_use = time(nullptr);
    m_store.saveToken(t);
    out.body["file"]["offset"] = held;
}

} // namespace srv
