#include "client/core/app-session-env.h"

#include "file-op.h"
#include "log.h"

const char kWorkingDirName[] = ".ZentoraWorkingDirectory";
const char kRecycleBinName[] = "#ZentRecycle";

namespace
{

const char kComponent[] = "client_debug";

} // namespace

SessionPaths::SessionPaths(const ustring &local, const ustring &config)
    : local_path(local), config_path(config)
{
    sign_dir = config + "/db/sign";
    event_db_path = config + "/db" + "/event-db.sqlite";
    filter_dir = config + "/conf";
    black_list_path = filter_dir + "/blacklist.filter";
    white_list_path = filter_dir + "/whitelist.filter";
    force_hash_check_path = filter_dir + "/force-hash-check-list.filter";
    working_dir = local + "/" + kWorkingDirName;
    recycle_bin = working_dir + "/" + kRecycleBinName;
}

bool IsDirectoryPath(const ustring &path)
{
    FILE_INFO info;
    return FSStat(path, info, false) == 0 && info.isExist && info.type == FT_DIR;
}

int CreateSessionEnvironment(const ustring &local_path, const ustring &config_path)
{
    SessionPaths paths(local_path, config_path);
    if (!IsValidSyncFolder(local_path)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): local watch folder (%s) is not a directory\n",
                       __LINE__, local_path.c_str_utf8());
        return -1;
    }
    if (!IsDirectoryPath(config_path)) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): local config folder (%s) is not a directory\n",
                       __LINE__, config_path.c_str_utf8());
        return -1;
    }
    if (FSMKDir(paths.sign_dir, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to create signature directory at %s.\n",
                       __LINE__, paths.sign_dir.c_str_utf8());
        return -1;
    }
    // The working directory holds only temporary files and the recycle bin: it starts empty.
    if (FSRemove(paths.working_dir, false) != 0 || FSMKDir(paths.working_dir, true) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to create working directory at %s.\n", __LINE__,
                       paths.working_dir.c_str_utf8());
        return -1;
    }
    if (FSMKDir(paths.recycle_bin, false) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] app.cpp(%d): Failed to create recycle bin directory at %s.\n",
                       __LINE__, paths.recycle_bin.c_str_utf8());
        return -1;
    }
    return 0;
}

int MoveAllSubFoldersToTrash(const ustring &path)
{
    Logger::LogMsg(Logger::L_DEBUG, kComponent,
                   "[DEBUG] app.cpp(%d): removing all folders under %s\n", __LINE__,
                   path.c_str_utf8());
    DIR_HANDLE dir;
    DIR_ENTRY entry;
    int read = -1;
    if (FSOpenDir(path, 0, dir) == 0) {
        read = FSReadDir(dir, entry);
    }
    if (read < 0) {
        Logger::LogMsg(Logger::L_WARNING, kComponent,
                       "[WARNING] app.cpp(%d): folders under %s is not removed\n", __LINE__,
                       path.c_str_utf8());
        return -1;
    }
    for (; read == 1; read = FSReadDir(dir, entry)) {
        if (entry.type != FT_DIR || entry.name == "." || entry.name == ".." ||
            entry.name == kWorkingDirName) {
            continue;
        }
        Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] app.cpp(%d): removing %s/%s\n",
                       __LINE__, path.c_str_utf8(), entry.name.c_str_utf8());
        // To the Trash, not deleted: the folders may hold files that were never synced.
        if (FSRemove(path + "/" + entry.name, true) != 0) {
            Logger::LogMsg(Logger::L_WARNING, kComponent,
                           "[WARNING] app.cpp(%d): folders under %s is not removed\n", __LINE__,
                           (path + "/" + entry.name).c_str_utf8());
        }
    }
    FSCloseDir(dir);
    return 0;
}
