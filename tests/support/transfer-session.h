// A sync session against the real stand-in server, set up in the caller's own process: the
// server runs in a child process with one account, the session's folder, configuration and
// event database live in a scratch directory, the registry holds the session, and a worker
// carries out the events the caller builds (as the event manager would hand them over).
// Used by the transfer tests and the transfer benchmark.
#pragma once

#include "client/core/connection.h"
#include "client/core/registry.h"
#include "client/core/worker.h"
#include "client/event-db.h"
#include "event.h"

#include "support/server-process.h"
#include "support/temp-dir.h"

#include <ctime>
#include <memory>
#include <string>

// Bytes that do not compress into a delta by accident.
std::string RandomBytes(size_t n, unsigned seed);
void WriteFile(const std::string &path, const std::string &content);
// Content hash of a file as the event database writes it ("" when unreadable).
std::string Md4Of(const std::string &path);
// Sets a file's modification time (seconds), so that edits within one second still count.
void SetMtime(const std::string &path, time_t t);

class TransferSession
{
public:
    TransferSession();
    ~TransferSession();
    TransferSession(const TransferSession &) = delete;
    TransferSession &operator=(const TransferSession &) = delete;

    // Starts the server, makes the account, the folders, the event database and registers
    // the session. true on success.
    bool start();

    // Content of the server's current version of `path` ("<missing>" when none).
    std::string serverFile(const std::string &path);
    // A file put on the server side; its current entry in the view.
    nlohmann::json serverPut(const std::string &path, const std::string &content,
                             time_t mtime = 1700000000);
    // The view's current entry for `path`, tombstones included; null when none.
    nlohmann::json serverEntry(const std::string &path);

    // The server event the puller would make of the view's current entry for `path`.
    Event serverEvent(const std::string &path);
    // The same for an entry of an "admin ls" listing (null: an empty event for `path`).
    Event eventFromEntry(const std::string &path, const nlohmann::json &e);
    Event serverRemoveEvent(const std::string &path, bool is_dir, uint64_t sync_id);
    Event localEvent(const std::string &path, Event::Type type, bool is_dir = false);

    // One attempt at an event, as the worker loop makes it: context, dispatch, error table
    // (which keeps an interrupted transfer in the resume cache). The operation's result.
    int run(const Event &ev) { return run(worker, ev); }
    // The same with another worker of this session (several run at once, as in the daemon).
    int run(Worker &w, const Event &ev);

    // The event-database row of `path` (cleared when there is none).
    DBFileInfo row(const std::string &path);

    TempDir tmp;
    ServerProcess server;
    ServerAccount account;
    std::string local;
    std::string config;
    FileEventDB *db = nullptr;
    Registry::Entry entry;
    std::shared_ptr<Connection> connection;
    Worker worker;
};
