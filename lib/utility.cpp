// TempFile: a temporary file owned by one object and removed with it unless made permanent.
#include "utility.h"

#include "file-op.h"
#include "log.h"

#include <mutex>
#include <utility>

namespace
{

const char kComponent[] = "utility_debug";

std::mutex g_prefix_mutex;
ustring &DefaultPrefixStorage()
{
    static ustring prefix("/tmp");
    return prefix;
}

} // namespace

void TempFile::initialize(const ustring &prefix)
{
    std::lock_guard<std::mutex> guard(g_prefix_mutex);
    DefaultPrefixStorage() = prefix;
}

ustring TempFile::defaultPrefix()
{
    std::lock_guard<std::mutex> guard(g_prefix_mutex);
    return DefaultPrefixStorage();
}

TempFile::TempFile(const ustring &prefix) : tmp_prefix(prefix.empty() ? defaultPrefix() : prefix) {}

TempFile::TempFile(TempFile &&other) noexcept
    : tmp_prefix(other.tmp_prefix), path(std::move(other.path)), ref(other.ref),
      permanent(other.permanent)
{
    other.ref = 0;
    other.path.clear();
}

TempFile &TempFile::operator=(TempFile &&other) noexcept
{
    if (this != &other) {
        if (ref == 1 && !permanent) {
            remove();
        }
        tmp_prefix = other.tmp_prefix;
        path = std::move(other.path);
        ref = other.ref;
        permanent = other.permanent;
        other.ref = 0;
        other.path.clear();
    }
    return *this;
}

TempFile::~TempFile()
{
    if (ref == 1 && !permanent) {
        remove();
    }
}

void TempFile::setPrefix(const ustring &prefix)
{
    tmp_prefix = prefix.empty() ? defaultPrefix() : prefix;
}

int TempFile::create()
{
    if (ref != 0) {
        return -1;
    }
    // An empty prefix would put the file at the root of the file system.
    if (tmp_prefix.empty()) {
        tmp_prefix = defaultPrefix();
    }
    ustring created;
    if (FSMktemp(tmp_prefix, created) != 0) {
        Logger::LogMsg(Logger::L_ERR, kComponent,
                       "[ERROR] utility.cpp(%d): failed to create TempFile ...\n", __LINE__);
        return -1;
    }
    path = created;
    ref = 1;
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] utility.cpp(%d): creating TempFile '%s'\n",
                   __LINE__, path.c_str_utf8());
    return 0;
}

int TempFile::remove()
{
    if (ref == 0) {
        return 0;
    }
    Logger::LogMsg(Logger::L_DEBUG, kComponent, "[DEBUG] utility.cpp(%d): removing TempFile '%s'\n",
                   __LINE__, path.c_str_utf8());
    int rc = FSRemove(path, false);
    if (rc != 0) {
        // Keep holding the path so that the caller can see what was left behind.
        return rc;
    }
    ref = 0;
    path.clear();
    return 0;
}
