#include "client/core/resume-mgr.h"

#include "file-op.h"
#include "log.h"

#include <cstring>
#include <ctime>

namespace
{
const char kComponent[] = "resume_mgr";

// The binary item p[member]["data"], or nullptr when p has none.
const PObject::binary_type *dataOf(const PObject &p, const char *member)
{
    if (!p.isMap() || !p.hasMember(member)) {
        return nullptr;
    }
    const PObject &block = p[member];
    if (!block.isMap() || !block.hasMember("data") || !block["data"].isBinary()) {
        return nullptr;
    }
    const PObject::binary_type &binary = block["data"].asBinary();
    return binary.empty() ? nullptr : &binary;
}

// Removes a file the cache owns; a file that is already gone is fine.
void removeOwnedFile(const ustring &path)
{
    if (!path.empty()) {
        FSRemove(path);
    }
}

ustring timeText(time_t when)
{
    struct tm local;
    char text[64] = "";
    if (localtime_r(&when, &local) != nullptr) {
        strftime(text, sizeof(text), "%F %R.", &local);
    }
    return ustring(text);
}

// Files of `job` that `keep` does not name too, so that deleting them cannot pull a file
// from under the job that stays cached.
bool sharesFile(const ResumeTransMgr::CachedJob &keep, const ustring &path)
{
    if (path.empty()) {
        return false;
    }
    for (const PObject *p : {&keep.cached_req, &keep.cached_resp}) {
        for (const char *member : {"file", "mac_attribute"}) {
            const PObject::binary_type *binary = dataOf(*p, member);
            if (binary != nullptr && binary->path == path) {
                return true;
            }
        }
    }
    return keep.upload_sign_file == path;
}

} // namespace

bool PathIsInside(const ustring &path, const ustring &dir)
{
    if (dir.empty() || path.length() <= dir.length() + 1) {
        return false;
    }
    if (std::strncmp(path.c_str_utf8(), dir.c_str_utf8(), dir.length()) != 0) {
        return false;
    }
    if (path.c_str_utf8()[dir.length()] != '/') {
        return false;
    }
    // A ".." component could climb back out of the directory.
    return path.find("/../") == ustring::npos && path.substr(path.length() - 3) != "/..";
}

void ResumeTransMgr::CachedJob::ClearPObject(PObject &p)
{
    // Only files the worker received into the working directory are its own; a request's
    // "file" names the user's file being uploaded and must never be deleted.
    for (const char *member : {"file", "mac_attribute"}) {
        const PObject::binary_type *binary = dataOf(p, member);
        if (binary != nullptr && PathIsInside(binary->path, working_dir)) {
            removeOwnedFile(binary->path);
        }
    }
    p.clear();
}

void ResumeTransMgr::CachedJob::ClearUploadSignFile()
{
    removeOwnedFile(upload_sign_file);
    upload_sign_file.clear();
}

void ResumeTransMgr::CachedJob::Clear()
{
    ClearPObject(cached_req);
    ClearPObject(cached_resp);
    ClearUploadSignFile();
    token.clear();
    working_dir.clear();
    create_time = 0;
}

ResumeTransMgr::ResumeTransMgr() : max_size(kMaxSize) {}

ResumeTransMgr::~ResumeTransMgr() { Clear(); }

ResumeTransMgr &ResumeTransMgr::GetInstance()
{
    static ResumeTransMgr instance;
    return instance;
}

ustring ResumeTransMgr::GenToken(uint64_t sess_id, const ustring &path, const ustring &type)
{
    return ustring(std::to_string(sess_id)) + "|" + type + "|" + path;
}

void ResumeTransMgr::InitialCachedJob(const ustring &token, const ustring &upload_sign_file,
                                      const ustring &working_dir, const PObject &cached_req,
                                      const PObject &cached_resp, CachedJob &job)
{
    job.token = token;
    job.upload_sign_file = upload_sign_file;
    job.working_dir = working_dir;
    job.cached_req = cached_req;
    job.cached_resp = cached_resp;
    job.create_time = time(nullptr);
}

int ResumeTransMgr::Push(const CachedJob &job)
{
    CachedJob dropped;
    int result = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = cache_map.find(job.token);
        if (found != cache_map.end()) {
            Logger::LogMsg(Logger::L_CRIT, kComponent,
                           "[CRIT] resume-mgr.cpp(%d): collision of token %s\n", __LINE__,
                           job.token.c_str_utf8());
            // The new job cannot be kept; its files would be left behind for good.
            dropped = job;
            const CachedJob &kept = *found->second;
            for (PObject *p : {&dropped.cached_req, &dropped.cached_resp}) {
                for (const char *member : {"file", "mac_attribute"}) {
                    const PObject::binary_type *binary = dataOf(*p, member);
                    if (binary != nullptr && sharesFile(kept, binary->path)) {
                        (*p)[member]["data"] = PObject();
                    }
                }
            }
            if (sharesFile(kept, dropped.upload_sign_file)) {
                dropped.upload_sign_file.clear();
            }
            result = -1;
        } else if (queue.size() < max_size) {
            queue.push_back(job);
            cache_map[job.token] = std::prev(queue.end());
        } else if (time(nullptr) - queue.front().create_time > kEvictAge) {
            dropped = queue.front();
            cache_map.erase(dropped.token);
            queue.pop_front();
            queue.push_back(job);
            cache_map[job.token] = std::prev(queue.end());
        } else {
            // Full of young jobs: this one is not kept, so its files go.
            dropped = job;
        }
    }
    // Files are deleted outside the lock; other workers need not wait on the disk.
    dropped.Clear();
    return result;
}

int ResumeTransMgr::Take(const ustring &token, CachedJob &job)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto found = cache_map.find(token);
    if (found == cache_map.end()) {
        return -1;
    }
    job = *found->second;
    queue.erase(found->second);
    cache_map.erase(found);
    return 0;
}

void ResumeTransMgr::Erase(const ustring &token)
{
    CachedJob dropped;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto found = cache_map.find(token);
        if (found == cache_map.end()) {
            return;
        }
        dropped = *found->second;
        queue.erase(found->second);
        cache_map.erase(found);
    }
    dropped.Clear();
}

void ResumeTransMgr::Clear()
{
    std::list<CachedJob> dropped;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        cache_map.clear();
        dropped.swap(queue);
    }
    for (CachedJob &job : dropped) {
        job.Clear();
    }
}

size_t ResumeTransMgr::Size()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return queue.size();
}

bool ResumeTransMgr::IsEmpty() { return Size() == 0; }

void ResumeTransMgr::Print()
{
    std::lock_guard<std::mutex> guard(m_lock);
    Logger::LogMsg(Logger::L_ERR, kComponent,
                   "[ERROR] resume-mgr.cpp(%d): ===== ResumeTransMgr print start =====\n", __LINE__);
    for (const CachedJob &job : queue) {
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] resume-mgr.cpp(%d): Cached Job:\n",
                       __LINE__);
        Logger::LogMsg(Logger::L_ERR, kComponent, "[ERROR] resume-mgr.cpp(%d):    - cached_req: %s\n",
                       __LINE__, job.cached_req.toString().c_str_utf8());
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] resume-mgr.cpp(%d):    - cached_resp: %s\n", __LINE__,
                       job.cached_resp.toString().c_str_utf8());
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] resume-mgr.cpp(%d):    - create time: %s\n", __LINE__,
                       timeText(job.create_time).c_str_utf8());
    }
}
