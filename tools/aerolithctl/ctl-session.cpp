// Session verbs: add-session, remove-session, pause, resume, reload-session, add-event.
// Each builds one control message from named arguments and prints the daemon's reply.
#include "ctl-args.h"
#include "ctl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

namespace
{

const char kVersionSection[] = "[Version]\nmajor = 1\nminor = 0\n";

// The desktop user interface writes a session's three filter files before it adds the
// session; standing in for it, this writes filters that let everything through where a
// file is missing. Existing files are left as they are.
int ensureFilterFiles(const std::string &config_dir)
{
    std::string conf = config_dir + "/conf";
    if (::mkdir(conf.c_str(), 0700) != 0 && errno != EEXIST) {
        return fail("cannot create " + conf + ": " + std::strerror(errno));
    }
    const std::pair<const char *, std::string> files[] = {
        {"/blacklist.filter", kVersionSection},
        {"/whitelist.filter", std::string(kVersionSection) + "[File]\nwhite_ext = \"*\"\n"},
        {"/force-hash-check-list.filter", kVersionSection},
    };
    for (const auto &file : files) {
        std::string path = conf + file.first;
        if (::access(path.c_str(), F_OK) == 0) {
            continue;
        }
        std::ofstream out(path);
        out << file.second;
        if (!out.flush()) {
            return fail("cannot write " + path);
        }
    }
    return 0;
}

// "pause" and "resume" select by --session-id and/or --connection-id (0: all); with
// neither they select every session.
int sendSelection(const Options &opt, const char *action)
{
    VerbArgs args(opt.args, {});
    PObject msg;
    msg["action"] = action;
    args.copyNumber("session-id", msg, "session_id");
    args.copyNumber("connection-id", msg, "connection_id");
    if (!args.has("session-id") && !args.has("connection-id")) {
        msg["session_id"] = 0;
    }
    return args.ok() ? sendMessage(opt, msg) : fail(args.error());
}

} // namespace

int commandAddSession(const Options &opt)
{
    VerbArgs args(opt.args, {});
    PObject msg;
    msg["action"] = "add_session";
    if (args.require({"session-id", "view-id", "folder", "config-dir"})) {
        args.copyNumber("session-id", msg, "session_id");
        args.copyNumber("view-id", msg, "view_id");
        msg["connection_id"] = 1;
        args.copyNumber("connection-id", msg, "connection_id");
        args.copyText("folder", msg, "sync_folder");
        args.copyText("config-dir", msg, "config_path");
        args.copyNumber("node-id", msg, "node_id");
        args.copyNumber("recursive", msg, "recursive");
        args.copyNumber("sync-mode", msg, "sync_mode");
        args.copyNumber("read-only", msg, "read_only");
        args.copyText("remote-path", msg, "remote_path");
        args.copyText("perm-mode", msg, "perm_mode");
    }
    if (!args.ok()) {
        return fail(args.error());
    }
    if (ensureFilterFiles(args.text("config-dir")) != 0) {
        return 1;
    }
    return sendMessage(opt, msg);
}

int commandRemoveSession(const Options &opt)
{
    VerbArgs args(opt.args, {});
    PObject msg;
    msg["action"] = "remove_session";
    msg["session_id"] = 0;
    args.copyNumber("session-id", msg, "session_id");
    return args.ok() ? sendMessage(opt, msg) : fail(args.error());
}

int commandPause(const Options &opt)
{
    return sendSelection(opt, "pause");
}

int commandResume(const Options &opt)
{
    return sendSelection(opt, "resume");
}

int commandReloadSession(const Options &opt)
{
    VerbArgs args(opt.args, {"reload-filter"});
    PObject msg;
    msg["action"] = "reload_session";
    if (args.require({"session-id"})) {
        args.copyNumber("session-id", msg, "session_id");
        args.copyNumber("read-only", msg, "read_only");
        args.copyNumber("recursive", msg, "recursive");
        args.copyText("perm-mode", msg, "perm_mode");
        if (args.has("reload-filter")) {
            msg["do_reload_filter"] = 1;
        }
    }
    return args.ok() ? sendMessage(opt, msg) : fail(args.error());
}

int commandAddEvent(const Options &opt)
{
    VerbArgs args(opt.args, {"dir"});
    PObject msg;
    msg["action"] = "add_event";
    if (args.require({"session-id", "type", "path"})) {
        args.copyNumber("session-id", msg, "session_id");
        args.copyText("type", msg, "type");
        args.copyText("path", msg, "path");
        msg["is_dir"] = args.has("dir") ? 1 : 0;
    }
    return args.ok() ? sendMessage(opt, msg) : fail(args.error());
}
