// ResumeTransMgr: the process-wide, bounded cache of interrupted transfers. A worker whose
// download or resumable upload failed with an I/O error, a timeout or a connection abort
// stores the request it sent, the partial response (with the partially received file) and
// the upload's signature file under a token naming the transfer; the next attempt at the
// same transfer, by any worker, takes the job back and continues.
//
// Ownership of the files: between Push and Take the cache owns them and deletes them when
// the job is evicted, erased, cleared or cannot be stored; after Take the taker owns them.
#pragma once

#include "protocol/object.h"
#include "ustring/ustring.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <map>
#include <mutex>

class ResumeTransMgr
{
public:
    class CachedJob
    {
    public:
        ustring token;
        ustring working_dir;      // the session's working directory
        ustring upload_sign_file; // signature file of a pending upload; may be empty
        time_t create_time = 0;
        PObject cached_req;
        PObject cached_resp;

        // Deletes the received file of p "file" -> "data" when it lies inside working_dir,
        // and the file of p "mac_attribute" -> "data"; then empties p.
        void ClearPObject(PObject &p);
        void ClearUploadSignFile();
        // Deletes every file of the job and empties it.
        void Clear();
    };

    static ResumeTransMgr &GetInstance();

    static ustring GenToken(uint64_t sess_id, const ustring &path, const ustring &type);
    static void InitialCachedJob(const ustring &token, const ustring &upload_sign_file,
                                 const ustring &working_dir, const PObject &cached_req,
                                 const PObject &cached_resp, CachedJob &job);

    // Stores a copy. 0 when stored; 0 too when the cache is full of young jobs and the job
    // is dropped (its files deleted); -1 on a token collision (the job's files deleted,
    // the cached job kept).
    int Push(const CachedJob &job);
    // Moves the job out into `job` (its files now belong to the caller); 0, or -1 when the
    // token is unknown (`job` unchanged).
    int Take(const ustring &token, CachedJob &job);
    void Erase(const ustring &token);
    void Clear();
    size_t Size();
    bool IsEmpty();
    void Print();

    // Most jobs kept, and the age in seconds above which the oldest job gives way.
    static constexpr size_t kMaxSize = 1024;
    static constexpr time_t kEvictAge = 120;

    ResumeTransMgr(const ResumeTransMgr &) = delete;
    ResumeTransMgr &operator=(const ResumeTransMgr &) = delete;

private:
    ResumeTransMgr();
    ~ResumeTransMgr();

    size_t max_size;
    std::map<ustring, std::list<CachedJob>::iterator> cache_map;
    std::list<CachedJob> queue;
    std::mutex m_lock;
};

// True when `path` lies inside the directory `dir` (not the directory itself).
bool PathIsInside(const ustring &path, const ustring &dir);
