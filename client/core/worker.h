// Worker: the task threads that carry events out. Each worker takes one event at a time
// from the event manager, builds an execution context for it (registry entry, connection,
// event-database row, derived local paths), dispatches it to download, upload, removal,
// rescan or expand, and maps the result through a fixed table to done, retry or give-back.
//
// The class is split over several sources, one purpose each:
//   worker.cpp              loop, context building, dispatch, done/redo, status
//   worker-error.cpp        the error table and the resumable-transfer bookkeeping
//   worker-proto.cpp        the server exchange over pooled channels
//   worker-filter.cpp       selective-sync and black/white list tests
//   worker-commit.cpp       event-database commits
//   worker-local-check.cpp  local-state checks, merges and download conflicts
//   download*.cpp, upload*.cpp, remove*.cpp   the transfers
//   rescan*.cpp, expand*.cpp                  folder comparison and expansion
#pragma once

#include "client/core/registry.h"
#include "client/core/transfer-hash-memo.h"
#include "client/event-db.h"
#include "client/task.h"
#include "event.h"
#include "file-op.h"
#include "protocol/object.h"
#include "protocol/stream.h"
#include "ustring/ustring.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>

class Channel;
class Connection;
class FileList;
struct FilterLocalEvent;
class BlackList2;
class WhiteListCpp;
class ForceHashCheckListCpp;

class Worker : public Task
{
public:
    enum WorkingType {
        W_TYPE_NONE = 0,
        W_TYPE_UPLOAD = 1,
        W_TYPE_DOWNLOAD = 2,
    };

    // What to report to the user interface when the event is done.
    enum NotifyEventType {
        NOTIFY_NONE = 0,
        NOTIFY_FILTERED = 1,
        NOTIFY_SERVER_MODIFY = 2,
        NOTIFY_SERVER_REMOVE = 3,
        NOTIFY_CLIENT_MODIFY = 4,
        NOTIFY_CLIENT_REMOVE = 5,
        NOTIFY_READ_ONLY = 6,
    };

    // How an error is reported to the user interface.
    enum ErrorType {
        ERR_NONE = 0,
        ERR_SESSION = 1,
        ERR_CONNECTION = 2,
        ERR_FILE = 3,
    };

    // What the loop does with the event after a result.
    enum ErrorAction {
        ACTION_DONE = 0,
        ACTION_RETRY = 1,
        ACTION_RETURN_EVENT = 2,
    };

    // Outcome of comparing the local object with the basis and an announced new version.
    enum ConflictResult {
        CONFLICT_NONE = 0,    // the local object is the untouched basis, or nothing is there
        CONFLICT_RETRY = 1,   // placing the new version would lose a local change
        CONFLICT_IGNORE = 2,  // the local object already is the new version
        CONFLICT_REMOVED = 3, // the basis has vanished locally
    };

    // Counts the workers that still have to leave an interrupted event; the interrupting
    // thread waits until all have.
    class Barrier
    {
    public:
        Barrier() : count(0) {}
        Barrier(const Barrier &) = delete;
        Barrier &operator=(const Barrier &) = delete;

        void increase(int id);
        void signal(int id);
        // Blocks until every registered worker has signalled.
        void wait();

    private:
        std::mutex mutex;
        std::condition_variable cond;
        uint32_t count;
    };

    // Which work to interrupt: one session, one connection, or (id 0) all of them.
    class AbortFilter
    {
    public:
        AbortFilter() : sess_id(0), conn_id(0), sess_id_set(false), conn_id_set(false) {}
        void setSession(uint64_t id)
        {
            sess_id = id;
            sess_id_set = true;
        }
        void setConnection(uint64_t id)
        {
            conn_id = id;
            conn_id_set = true;
        }
        // A set session selector decides alone; otherwise a set connection selector.
        bool matches(uint64_t event_sess_id, uint64_t event_conn_id) const;

        uint64_t sess_id;
        uint64_t conn_id;
        bool sess_id_set;
        bool conn_id_set;
    };

    // What the worker is doing, as status queries and abort filters see it.
    struct ProcessEvent_T {
        uint64_t session_id = 0;
        uint64_t connection_id = 0;
        ustring path;
        WorkingType working_type = W_TYPE_NONE;

        // Only an event that is being processed can be interrupted.
        bool isAbortable() const { return session_id != 0; }
        void clear() { *this = ProcessEvent_T(); }
    };

    // The event being executed and everything derived from it.
    class EventContext
    {
    public:
        EventContext();
        ~EventContext();

        Event current_event;
        Registry::Entry root_entry;
        // A copy of the session's connection; the copy shares the connection's channel pool.
        std::shared_ptr<Connection> connection;
        DBFileInfo database_record;
        ustring working_directory;
        ustring sign_directory;
        ustring full_path;
        // Set when the download moved a flushed file into place with a durable rename, so
        // that the commit need not flush it again.
        bool placed_durably = false;
        std::mutex mutex;

        void lock() { mutex.lock(); }
        void unlock() { mutex.unlock(); }
        // Empties the event, the entry, the row and the paths; keeps the connection.
        void clear();
    };

    Worker(TaskManager *owner = nullptr, TaskContext *ctx = nullptr);
    ~Worker() override;

    int Pause() override;
    int Resume() override;
    int Stop() override;
    int SetAbort(bool on) override;
    // Interrupts the current event when it matches the filter, registering with the
    // barrier so that the caller can wait until the event has been left.
    virtual int SetAbort(const AbortFilter &filter, Barrier *barrier);
    void DoTask() override;

    // The transfer in progress; zero and empty when there is none or the task is not running.
    virtual void GetWorkingStatus(uint64_t &session_id, ustring &path, WorkingType &type,
                                  uint64_t &sent, uint64_t &total);
    // Examines the full path (following links); the lowest mtime bit is cleared on FAT.
    int GetFilesystemInfo(LocalFileInfo &info);
    // MD4 of the whole file in 32 hexadecimal digits.
    int CalculateMD4(const ustring &path, ustring &hash);

    void SetCurrentProcessEventInfo(uint64_t conn_id, uint64_t sess_id, const ustring &path,
                                    WorkingType type);
    void GetCurrentProcessEventInfo(ProcessEvent_T &info);
    void ClearCurrentProcessEventInfo();
    void AdjustCurrentProcessEventInfo();

    // ---- context accessors -------------------------------------------------------------
    const Event &GetCurrentEvent() const { return context.current_event; }
    Event &GetCurrentEvent() { return context.current_event; }
    const Registry::Entry &GetEntry() const { return context.root_entry; }
    DBFileInfo &GetDatabaseRecord() { return context.database_record; }
    Connection *GetConnection() const { return context.connection.get(); }
    ustring GetPath() const;
    const ustring &GetFullPath() const { return context.full_path; }
    const ustring &GetWorkingDirectory() const { return context.working_directory; }
    const ustring &GetSignDirectory() const { return context.sign_directory; }
    ustring GetRecycleBinDir() const;
    const ustring &GetLocalWatch() const { return context.root_entry.local_path; }
    const ustring &GetRemoteWatch() const { return context.root_entry.remote_path; }
    uint64_t GetViewId() const { return context.root_entry.view_id; }
    uint64_t GetNodeId() const { return context.root_entry.node_id; }
    FileEventDB *GetEventDatabase() const { return context.root_entry.event_db.get(); }
    BlackList2 *GetBlackList() const { return context.root_entry.black_list.get(); }
    WhiteListCpp *GetWhiteList() const { return context.root_entry.white_list.get(); }
    // The name of this computer as the connection shows it on the server (conflict names).
    ustring GetComputerName() const;
    ForceHashCheckListCpp *GetForceHashCheckList() const
    {
        return context.root_entry.force_hash_check_list.get();
    }
    // The flags that channels and file readers of this worker watch.
    const std::atomic<int> *AbortFlag() const { return &abort_flag; }
    const std::atomic<bool> *ReaderAbortFlag() const { return &reader_abort_flag; }
    bool IsAborting() const { return abort_flag.load() != 0; }

    // ---- loop pieces (worker.cpp, worker-error.cpp) --------------------------------------
    int GetEvent();
    int UpdateContext();
    int ProcessEvent();
    int UploadOrApplyServerRemoval();
    int DoneEvent();
    int RedoEvent();
    void NotifyEvent(NotifyEventType type);
    int HandleError(int code);
    static const char *GetErrorString(int code);
    void NotifyAbortDone();
    void ResetResumeInfo();
    void ClearCache();
    // Deletes the received file of p "file" -> "data" when it lies in the working
    // directory, and the file of p "mac_attribute" -> "data"; then empties p.
    void ClearPObject(PObject &p);

    // ---- server exchange (worker-proto.cpp) ----------------------------------------------
    int RunProtocol(Channel &channel, uint8_t command, const PObject &request, PObject &response);
    int streamErr2DaemonErr(int err);
    int ProtoResp2ErrorCode(uint32_t code);
    int RequestChannel(Channel &channel);
    int ProtoRemove(const PObject &request, PObject &response);
    int ProtoDownload(bool resumable, PObject &request, PObject &response);
    int ProtoUpload(bool resumable, PObject &request, PObject &response);

    // ---- filters (worker-filter.cpp) -----------------------------------------------------
    int TestCommonFilter();
    int TestWhiteList();
    int TestBlackListPath();
    int TestDirectory(const ustring &path, const ustring &full_path);
    int TestFilePath(const ustring &path, const ustring &full_path);
    int TestForceHash();
    int AddFilteredEventToDB(const Event &event, int filtered_type);
    int TestFilteredDeleteEvent(uint64_t sess_id, const ustring &path, bool is_dir);
    int TestRemoveRemoteFilter();
    static void ConvertToFilteredEvent(const Event &event, int filtered_type,
                                       FilterLocalEvent &record);

    // ---- database commit (worker-commit.cpp) ---------------------------------------------
    int CommitDatabaseDownload(const PObject &response, const DBFileInfo &basis,
                               const ustring &sign_file);
    int CommitDatabaseUpload(const PObject &request, const PObject &response,
                             const DBFileInfo &basis, const ustring &sign_file);
    int CommitServerEvent(const Event &event, const LocalFileInfo &local, const DBFileInfo &basis);
    int UpdateDatabaseInfo(const DBFileInfo &row);
    int RemoveDatabaseInfo();
    // Writes the row of a locally settled event and forgets the path's filtered-event
    // record; 0 or -1 after logging the failed step.
    int CommitLocalRow(const DBFileInfo &row);
    // The step whose failure ForgetFilteredRecord names in its log.
    enum class FilteredRecordStep {
        COMMIT,
        SERVER_EVENT,
        REMOVE_ROW,
        RENAME_REMOVE_FILE,
        RENAME_REMOVE_DIRECTORY
    };
    // Forgets the current path's filtered-event record once its row is settled (a change
    // the filter held back is in sync now, or gone); 0 or -1 after logging.
    int ForgetFilteredRecord(FilteredRecordStep step);
    // Flushes a file (or directory) and the directory holding its name to the disk; called
    // before a row records the object as synced, so that a crash cannot leave a row that
    // the disk does not back.
    static void FlushToDisk(const ustring &path);
    // Flushes only the content of a file, before a rename that makes its name durable.
    static void FlushFileToDisk(const ustring &path);

    // ---- local-state checks (worker-local-check.cpp) -------------------------------------
    bool LocallyModified(const FILE_INFO &local, const DBFileInfo &basis, const ustring &hash);
    bool IsDownloadRemoteFakeEvent(const Event &event, const LocalFileInfo &local,
                                   const DBFileInfo &basis);
    int MergeEvent();
    int PrepareFileFromLocal();
    int TestDownloadConflict(const LocalFileInfo &local, const DBFileInfo &basis,
                             const PObject &response);
    int HandleDownloadConflict(const PObject &response);
    // 0 when the path may be used with the given access (FS_ACCESS_*), else ERR_LOCKED_FILE
    // after logging it.
    int TestFileLocked(const ustring &path, uint32_t access);

    // ---- download (download*.cpp) --------------------------------------------------------
    int DownloadRemote();
    int TestDownloadRemoteFilter();
    int ProtoResumeDownloadObject(Channel &channel, PObject &request, PObject &response);
    int ProtoDownloadObject(Channel &channel, PObject &request, PObject &response);
    // known_hash: the hash of a whole file digested as it arrived ("" when it was not),
    // whose signature is in sign_file already.
    int ProcessDownloadFile(const PObject &response, const ustring &sign_file,
                            const ustring &known_hash = ustring());
    int ProcessDownloadDirectory(const PObject &response);
    int PrepareDownloadFile(const PObject &response, ustring &new_file, const ustring &sign_file,
                            const ustring &known_hash = ustring());
    int HandleDownloadPatchError(const PObject &response);
    int UpdateModifyTime(const ustring &path, const PObject &response);

    // ---- upload (upload*.cpp) ------------------------------------------------------------
    int UploadLocal();
    int TestUploadLocalFilter();
    bool IsUploadLocalFakeEvent(const LocalFileInfo &local, const DBFileInfo &basis);
    int TestBaseNameConflict(const ustring &basename);
    int PrepareFileBlock(PObject &request, const ustring &sign_file);
    int PrepareMtime(const LocalFileInfo &local, const DBFileInfo &basis, PObject &request);
    bool IsUploadLocalFakeRequest(const DBFileInfo &basis, const PObject &request);
    int ProtoUploadObject(Channel &channel, PObject &request, PObject &response);
    int ProtoResumeUploadObject(Channel &channel, PObject &request, PObject &response);
    int CheckLocalModification(const PObject &request, const PObject &response);

    // ---- removal and rename (remove*.cpp) ------------------------------------------------
    int RemoveRemote();
    int RemoveLocal();
    int ProcessRenameRemoveLocal(const LocalFileInfo &local);
    int RenameRemoveFile();
    int RenameRemoveDirectory();
    int moveFileToRecycleBin(const ustring &src_file, uint64_t size, const ustring &hash,
                             const ustring &mac_hash);
    int RemoveDirectoryW(const ustring &fullpath);
    int TestRemoveLocalFilter();

    // ---- rescan and expand (rescan*.cpp, expand*.cpp) ------------------------------------
    int Rescan();
    int Expand();
    int ExpandDeleteEvent();
    int ExpandLocalDeleteEvent(const ustring &path);
    int ExpandServerDeleteEvent(const ustring &path, uint64_t sess_id, uint64_t sync_id);
    void CreateDirSelfEvent();
    int CompareFileList(const ustring &root, FileList &fs_list, FileList &db_list, bool merge);
    int BuildLocalFileListWithoutResursive(const ustring &path, FileList &list);
    int PushUploadEvent(const ustring &path, bool is_dir);
    int PushRemoveEvent(const ustring &path, bool is_dir);
    int PushDownloadEvent(const ustring &path, bool is_dir);

    // ---- metadata hooks that other platforms use; fixed here ------------------------------
    int CreateMacAttrFile() { return -1; }
    int PrepareMacAttrFile() { return 0; }
    int PrepareExecBit() { return 0; }
    int PrepareUnixPermission() { return 0; }
    int PrepareAcl() { return 0; }
    int PrepareSharePrivilege() { return 0; }
    int UpdateMacAttribute() { return 0; }
    int UpdateDefaultUnixPermission() { return 0; }
    int UpdateExecBit() { return 0; }
    int UpdatePermission() { return 0; }
    int UpdateZentBoxPermission() { return 0; }
    int UpdateUnixPermission() { return 0; }
    int UpdateSharePrivilege() { return 0; }
    int CheckFileByPlatform() { return 0; }
    int UpdatePathInode() { return 0; }
    bool CheckIfiWorkZipFile() { return false; }
    bool CanMergeMacAttribute() { return true; }
    bool CanMergeExecBit() { return true; }

    // ---- state (fields in their designed order) ------------------------------------------
    // Watched by this worker's channels (abort_flag) and file readers (reader_abort_flag);
    // SetAbort(bool) sets both.
    std::atomic<int> abort_flag;
    std::atomic<bool> reader_abort_flag;
    int last_error;
    int sys_err_count;
    time_t last_err_io_time;
    unsigned patch_err_count;
    NotifyEventType notify_event_type;
    int notify_file_status;
    std::mutex worker_state_lock;
    ProcessEvent_T m_current_event;
    uint32_t m_start_time;
    EventContext context;
    PObject cached_request;
    PObject cached_response;
    ustring resume_token;
    ustring upload_sign_file;
    // The last local file hashed for a check, so that the next check of it, while it is
    // unchanged, need not read it again.
    transfer::HashMemo hash_memo;
    PStream trans_stream;
    Barrier *abort_done_barrier;

protected:
    // Waits of the loop; tests shorten them.
    int retry_wait_seconds = 3;
    int redo_wait_seconds = 2;
    int idle_wait_seconds = 1;
};
