#include "support/transfer-session.h"

#include "client/core/filter-db.h"
#include "rsapi-cpp/api.h"

#include <sys/time.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace
{

// The filter database is process-wide; it lives in a directory that outlasts every session.
void OpenFilterDatabase()
{
    static TempDir *dir = new TempDir();
    FilterDB::getInstance().initialize(ustring(dir->file("filter.sqlite")));
}

} // namespace

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return s;
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Md4Of(const std::string &path)
{
    ustring hash;
    SimpleFileReader reader;
    reader.setFile(ustring(path));
    reader.setHashString(&hash);
    return reader.readFile() == 0 ? std::string(hash.c_str_utf8()) : std::string();
}

void SetMtime(const std::string &path, time_t t)
{
    struct timeval tv[2] = {{t, 0}, {t, 0}};
    utimes(path.c_str(), tv);
}

TransferSession::TransferSession() = default;

TransferSession::~TransferSession()
{
    worker.context.connection.reset();
    connection.reset();
    if (entry.sess_id != 0) {
        Registry::getInstance().Remove(entry.sess_id);
    }
}

bool TransferSession::start()
{
    OpenFilterDatabase();
    if (!server.start()) {
        return false;
    }
    account = server.createAccount("alice", "docs");
    if (account.view_id == 0) {
        return false;
    }
    local = tmp.file("sync");
    config = tmp.file("config");
    std::filesystem::create_directories(local + "/.ZentoraWorkingDirectory/#ZentRecycle");
    std::filesystem::create_directories(config + "/db/sign");
    db = new FileEventDB();
    entry.event_db = shared_pointer<FileEventDB>(db);
    if (db->initialize(ustring(config + "/db/event-db.sqlite")) != 0) {
        return false;
    }
    static uint64_t next_session = 1;
    entry.conn_id = 1;
    entry.sess_id = next_session++;
    entry.view_id = account.view_id;
    entry.local_path = local;
    entry.remote_path = "/";
    entry.config_path = config;
    entry.recursive = true;
    Registry::getInstance().Set(entry);

    ConnectionInfo info;
    info.conn_id = 1;
    info.server_ip = "127.0.0.1";
    info.server_port = server.port();
    info.session = account.token;
    info.username = account.user;
    info.computer_name = "PC1";
    info.use_ssl = false;
    connection = std::make_shared<Connection>(info, nullptr, nullptr);
    return true;
}

std::string TransferSession::serverFile(const std::string &path)
{
    std::string out = tmp.file("server-copy");
    if (server.admin({"get", std::to_string(account.view_id), path, out}) != 0) {
        return "<missing>";
    }
    return readFile(out);
}

nlohmann::json TransferSession::serverPut(const std::string &path, const std::string &content,
                                          time_t mtime)
{
    std::string src = tmp.file("server-src");
    WriteFile(src, content);
    server.admin(
        {"put", std::to_string(account.view_id), path, src, "--mtime", std::to_string(mtime)});
    return serverEntry(path);
}

nlohmann::json TransferSession::serverEntry(const std::string &path)
{
    nlohmann::json ls = server.adminJson({"ls", std::to_string(account.view_id), "--removed"});
    if (ls.is_object() && ls.contains("entries")) {
        for (const auto &e : ls["entries"]) {
            if (e["path"] == path) {
                return e;
            }
        }
    }
    return nlohmann::json();
}

Event TransferSession::serverEvent(const std::string &path)
{
    return eventFromEntry(path, serverEntry(path));
}

Event TransferSession::eventFromEntry(const std::string &path, const nlohmann::json &e)
{
    Event ev;
    ev.m_sess_id = entry.sess_id;
    ev.m_path = path;
    ev.m_mode = Event::F_SERVER;
    if (e.is_null()) {
        return ev;
    }
    if (e["is_dir"].get<bool>()) {
        ev.m_mode |= Event::F_DIR;
    }
    ev.m_type = e["is_removed"].get<bool>() ? Event::EV_REMOVE : Event::EV_MODIFY;
    ev.m_sync_id = e["sync_id"].get<uint64_t>();
    ev.m_max_id = e.contains("max_id") ? e["max_id"].get<uint64_t>() : ev.m_sync_id;
    if (e.contains("hash")) {
        ev.m_data_hash = e["hash"].get<std::string>();
        ev.m_data_size = e["size"].get<uint64_t>();
    }
    if (e.contains("mtime")) {
        ev.m_time = e["mtime"].get<uint32_t>();
    }
    return ev;
}

Event TransferSession::serverRemoveEvent(const std::string &path, bool is_dir, uint64_t sync_id)
{
    Event ev;
    ev.m_sess_id = entry.sess_id;
    ev.m_path = path;
    ev.m_type = Event::EV_REMOVE;
    ev.m_mode = Event::F_SERVER | (is_dir ? Event::F_DIR : 0);
    ev.m_sync_id = sync_id;
    ev.m_max_id = sync_id;
    return ev;
}

Event TransferSession::localEvent(const std::string &path, Event::Type type, bool is_dir)
{
    Event ev;
    ev.m_sess_id = entry.sess_id;
    ev.m_path = path;
    ev.m_type = type;
    ev.m_mode = is_dir ? Event::F_DIR : 0;
    return ev;
}

int TransferSession::run(Worker &w, const Event &ev)
{
    w.context.current_event = ev;
    w.context.root_entry = entry;
    w.context.connection = connection;
    w.context.full_path = ev.m_path == "/" ? ustring(local) : ustring(local) + ev.m_path;
    w.context.working_directory = ustring(local) + "/.ZentoraWorkingDirectory";
    w.context.sign_directory = ustring(config) + "/db/sign";
    if (db->getEventInfo(ev.m_path, w.context.database_record) != 1) {
        w.context.database_record.Clear();
    }
    w.SetAbort(false);
    int rc;
    if (ev.isServerEvent()) {
        rc = ev.m_type == Event::EV_REMOVE ? w.RemoveLocal() : w.DownloadRemote();
    } else {
        rc = ev.m_type == Event::EV_REMOVE ? w.RemoveRemote() : w.UploadLocal();
    }
    if (w.HandleError(rc) != Worker::ACTION_RETRY) {
        w.ClearCache();
    }
    w.ResetResumeInfo();
    w.context.clear();
    return rc;
}

DBFileInfo TransferSession::row(const std::string &path)
{
    DBFileInfo info;
    if (db->getEventInfo(path, info) != 1) {
        info.Clear();
    }
    return info;
}
