#include "client/core/filter-utils.h"

#include "client/core/progress-cache.h"
#include "log.h"

#include <cstring>
#include <string>

namespace
{

const ustring &component()
{
    static const ustring name("filter_utils_debug");
    return name;
}

#define FU_LOG(level, ...) Logger::LogMsg(Logger::level, component(), __VA_ARGS__)

typedef unsigned long long ull;

const char ALL_EXTENSIONS[] = "*";

// Reads decimal digits at `p`; false when there are none or they overflow.
bool readDecimal(const char *&p, uint64_t &value)
{
    if (*p < '0' || *p > '9')
        return false;
    value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

// The decimal number of a stored size text; 0 when it is empty or not a number.
uint64_t sizeOf(const ustring &text)
{
    const char *p = text.c_str_utf8();
    uint64_t value = 0;
    return readDecimal(p, value) && *p == '\0' ? value : 0;
}

// Stores a resume condition and queues it in the progress cache.
int createResumeCondition(uint64_t sess_id, uint64_t sync_id, int filter_type, const ustring &desc)
{
    ResumeCondition condition;
    condition.sess_id = sess_id;
    condition.sync_id = sync_id;
    condition.filter_type = filter_type;
    condition.filter_desc = desc;
    uint64_t row_id = 0;
    if (FilterDB::getInstance().setResumeCondition(condition, row_id) != 0)
        return -1;
    ProgressCache::getInstance().addProgressEntry(row_id, condition);
    return 0;
}

// Walks two sets ordered by text at the same time, calling onBoth for a text in both,
// onDbOnly and onFileOnly for a text on one side; stops at the first nonzero answer.
template <typename Both, typename DbOnly, typename FileOnly>
int walkSets(const std::set<FilterInfo> &db_set, const std::set<FilterInfo> &file_set, Both onBoth,
             DbOnly onDbOnly, FileOnly onFileOnly)
{
    auto db = db_set.begin();
    auto file = file_set.begin();
    while (db != db_set.end() || file != file_set.end()) {
        int ret;
        if (file == file_set.end() || (db != db_set.end() && *db < *file)) {
            ret = onDbOnly(*db++);
        } else if (db == db_set.end() || *file < *db) {
            ret = onFileOnly(*file++);
        } else {
            ret = onBoth(*db);
            ++db;
            ++file;
        }
        if (ret != 0)
            return -1;
    }
    return 0;
}

// A black filter that left the file: what it hid passes now, so it is pulled again.
int resumeRemovedFilter(uint64_t sess_id, int filter_type, const FilterInfo &db)
{
    const char *desc = db.filter_desc.c_str_utf8();
    if (createResumeCondition(sess_id, db.sync_id, filter_type, db.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition (%llu)[%s].\n",
               __LINE__, ull(sess_id), desc);
        return -1;
    }
    if (FilterDB::getInstance().rmFilter(sess_id, filter_type, db.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to rmFilter (%llu)[%s].\n", __LINE__,
               ull(sess_id), desc);
        return -1;
    }
    FU_LOG(L_INFO, "[INFO] filter-utils.cpp(%d): RESUME filter: (%llu)[%s].\n", __LINE__,
           ull(sess_id), desc);
    return 0;
}

// A new black filter. A new path prefix counts from sync id 0, so that removing it later
// pulls everything below it again.
int addNewFilter(uint64_t sess_id, int filter_type, const FilterInfo &file)
{
    uint64_t sync_id = filter_type == FILTER_PATH_PREFIX_SELECTIVE_SYNC ? 0 : file.sync_id;
    const char *desc = file.filter_desc.c_str_utf8();
    if (FilterDB::getInstance().setFilter(sess_id, sync_id, filter_type, file.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setFilter (%llu)[%s].\n", __LINE__,
               ull(sess_id), desc);
        return -1;
    }
    FU_LOG(L_INFO, "[INFO] filter-utils.cpp(%d): NEW filter: (%llu)[%s].\n", __LINE__, ull(sess_id),
           desc);
    return 0;
}

int removeWhiteEntry(uint64_t sess_id, int filter_type, const FilterInfo &db)
{
    const char *desc = db.filter_desc.c_str_utf8();
    if (FilterDB::getInstance().rmWhiteListFilter(sess_id, filter_type, db.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to rmWhiteListFilter (%llu)[%s].\n",
               __LINE__, ull(sess_id), desc);
        return -1;
    }
    FU_LOG(L_INFO, "[INFO] filter-utils.cpp(%d): remove white list filter: (%llu)[%s].\n", __LINE__,
           ull(sess_id), desc);
    return 0;
}

int insertWhiteEntry(uint64_t sess_id, int filter_type, const FilterInfo &file)
{
    if (FilterDB::getInstance().setWhiteListFilter(sess_id, file.sync_id, filter_type,
                                                   file.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setWhiteListFilter (%llu)[%s].\n",
               __LINE__, ull(sess_id), file.filter_desc.c_str_utf8());
        return -1;
    }
    return 0;
}

// A newly white-listed extension: its files pass now, so they are pulled again from the
// start.
int addWhiteEntry(uint64_t sess_id, int filter_type, const FilterInfo &file)
{
    if (insertWhiteEntry(sess_id, filter_type, file) != 0)
        return -1;
    if (createResumeCondition(sess_id, 0, filter_type, file.filter_desc) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition (%llu)[%s].\n",
               __LINE__, ull(sess_id), file.filter_desc.c_str_utf8());
        return -1;
    }
    return 0;
}

bool holdsAllExtensions(const std::set<FilterInfo> &set)
{
    return set.count(FilterInfo(0, ALL_EXTENSIONS)) > 0;
}

int compareBlackExtensions(uint64_t sess_id, const SelectiveSyncInfo &db,
                           const SelectiveSyncInfo &file, const ustring &sync_folder)
{
    if (CompareFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, db.black_ext, file.black_ext,
                          sync_folder) != 0) {
        FU_LOG(L_ERR,
               "[ERROR] filter-utils.cpp(%d): Failed to CompareFilterList for "
               "FILTER_EXT_SELECTIVE_SYNC.\n",
               __LINE__);
        return -1;
    }
    return 0;
}

// The white list opened up to every extension: one resume for "*".
int openWhiteListToAll(uint64_t sess_id, const SelectiveSyncInfo &db, const SelectiveSyncInfo &file,
                       const ustring &sync_folder)
{
    FilterDB &filter_db = FilterDB::getInstance();
    for (const FilterInfo &entry : db.white_ext) {
        if (removeWhiteEntry(sess_id, FILTER_EXT_SELECTIVE_SYNC, entry) != 0)
            return -1;
    }
    if (filter_db.setWhiteListFilter(sess_id, 0, FILTER_EXT_SELECTIVE_SYNC, ALL_EXTENSIONS) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setWhiteListFilter '*' (%llu).\n",
               __LINE__, ull(sess_id));
        return -1;
    }
    if (compareBlackExtensions(sess_id, db, file, sync_folder) != 0)
        return -1;
    if (createResumeCondition(sess_id, 0, FILTER_EXT_SELECTIVE_SYNC, ALL_EXTENSIONS) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition '*' (%llu).\n",
               __LINE__, ull(sess_id));
        return -1;
    }
    return 0;
}

// The white list narrowed from every extension to a list: nothing new passes, no resume.
// Every stored entry goes, not only "*", so that the database holds exactly the file's
// list and a later widening is noticed.
int narrowWhiteListFromAll(uint64_t sess_id, const SelectiveSyncInfo &db,
                           const SelectiveSyncInfo &file, const ustring &sync_folder)
{
    FilterDB &filter_db = FilterDB::getInstance();
    for (const FilterInfo &entry : db.white_ext) {
        if (entry.filter_desc.compare(ALL_EXTENSIONS) != 0) {
            if (removeWhiteEntry(sess_id, FILTER_EXT_SELECTIVE_SYNC, entry) != 0)
                return -1;
        } else if (filter_db.rmWhiteListFilter(sess_id, FILTER_EXT_SELECTIVE_SYNC,
                                               ALL_EXTENSIONS) != 0) {
            FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to rmWhiteListFilter '*' (%llu).\n",
                   __LINE__, ull(sess_id));
            return -1;
        }
    }
    for (const FilterInfo &entry : file.white_ext) {
        if (insertWhiteEntry(sess_id, FILTER_EXT_SELECTIVE_SYNC, entry) != 0)
            return -1;
        FU_LOG(L_INFO, "[INFO] filter-utils.cpp(%d): NEW filter: (%llu)[%s].\n", __LINE__,
               ull(sess_id), entry.filter_desc.c_str_utf8());
    }
    return compareBlackExtensions(sess_id, db, file, sync_folder);
}

} // namespace

int ConvertFilterFileToSelectiveSyncInfo(uint64_t, uint64_t sync_id, const Filter *filter,
                                         SelectiveSyncInfo &ss_info)
{
    auto addAll = [sync_id](const value_type_string_set &values, std::set<FilterInfo> &out) {
        for (size_t i = 0; i < values.used; ++i)
            out.insert(FilterInfo(sync_id, values.set[i]));
    };
    addAll(filter->Common.black_path_prefix_selective_sync, ss_info.black_prefix);
    addAll(filter->File.black_name_selective_sync, ss_info.black_name);
    addAll(filter->File.black_ext_selective_sync, ss_info.black_ext);
    uint64_t max_size = static_cast<uint64_t>(filter->File.max_size_selective_sync);
    ss_info.black_size = FilterInfo(sync_id, std::to_string(max_size));
    return 0;
}

int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t, uint64_t sync_id,
                                              const WhiteList *white_filter,
                                              SelectiveSyncInfo &ss_info)
{
    const value_type_string_set &exts = white_filter->File.white_ext;
    for (size_t i = 0; i < exts.used; ++i) {
        ss_info.white_ext.insert(FilterInfo(sync_id, exts.set[i]));
    }
    return 0;
}

int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo> &db_set,
                      const std::set<FilterInfo> &file_set, const ustring &)
{
    auto unchanged = [sess_id](const FilterInfo &db) {
        FU_LOG(L_INFO,
               "[INFO] filter-utils.cpp(%d): filter: (%llu)[%s] didn't change, skipping...\n",
               __LINE__, ull(sess_id), db.filter_desc.c_str_utf8());
        return 0;
    };
    auto removed = [=](const FilterInfo &db) {
        return resumeRemovedFilter(sess_id, filter_type, db);
    };
    auto added = [=](const FilterInfo &file) { return addNewFilter(sess_id, filter_type, file); };
    return walkSets(db_set, file_set, unchanged, removed, added);
}

int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo> &db_set,
                           const std::set<FilterInfo> &file_set)
{
    auto unchanged = [sess_id](const FilterInfo &db) {
        FU_LOG(L_INFO,
               "[INFO] filter-utils.cpp(%d): white filter: (%llu)[%s] didn't change, skipping...\n",
               __LINE__, ull(sess_id), db.filter_desc.c_str_utf8());
        return 0;
    };
    auto removed = [=](const FilterInfo &db) { return removeWhiteEntry(sess_id, filter_type, db); };
    auto added = [=](const FilterInfo &file) { return addWhiteEntry(sess_id, filter_type, file); };
    return walkSets(db_set, file_set, unchanged, removed, added);
}

int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo &ss_db_info,
                               const SelectiveSyncInfo &ss_file_info, const ustring &sync_folder)
{
    bool file_all = holdsAllExtensions(ss_file_info.white_ext);
    bool db_all = holdsAllExtensions(ss_db_info.white_ext);
    if (file_all && !db_all) {
        return openWhiteListToAll(sess_id, ss_db_info, ss_file_info, sync_folder);
    }
    if (!file_all && db_all) {
        return narrowWhiteListFromAll(sess_id, ss_db_info, ss_file_info, sync_folder);
    }
    if (CompareWhiteFilterList(sess_id, FILTER_EXT_SELECTIVE_SYNC, ss_db_info.white_ext,
                               ss_file_info.white_ext) != 0) {
        FU_LOG(L_ERR,
               "[ERROR] filter-utils.cpp(%d): Failed to CompareWhiteFilterList for "
               "FILTER_EXT_SELECTIVE_SYNC.\n",
               __LINE__);
        return -1;
    }
    return compareBlackExtensions(sess_id, ss_db_info, ss_file_info, sync_folder);
}

// The limit was raised or removed: files between the two limits pass now.
static int loosenSizeFilter(uint64_t sess_id, const FilterInfo &db, uint64_t from, uint64_t to)
{
    ustring range;
    EncodeResumeSizeFilterDesc(from, to, range);
    if (createResumeCondition(sess_id, db.sync_id, FILTER_FILE_SIZE_SELECTIVE_SYNC, range) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setResumeCondition (%llu)[%s]\n",
               __LINE__, ull(sess_id), range.c_str_utf8());
        return -1;
    }
    if (FilterDB::getInstance().updateSizeFilter(sess_id, from, to) != 0) {
        FU_LOG(L_ERR,
               "[ERROR] filter-utils.cpp(%d): Failed to updateSizeFilter (%llu)from [%llu] to "
               "[%llu].\n",
               __LINE__, ull(sess_id), ull(from), ull(to));
        return -1;
    }
    FU_LOG(L_INFO,
           "[INFO] filter-utils.cpp(%d): size filter is more loosely, update DB and resume "
           "(%llu)[%s].\n",
           __LINE__, ull(sess_id), range.c_str_utf8());
    return 0;
}

int CompareSizeFilter(uint64_t sess_id, const FilterInfo &db_finfo, const FilterInfo &file_finfo)
{
    FilterDB &filter_db = FilterDB::getInstance();
    uint64_t stored = sizeOf(db_finfo.filter_desc);
    uint64_t wanted = sizeOf(file_finfo.filter_desc);
    const char *file_desc = file_finfo.filter_desc.c_str_utf8();
    if (stored == 0 && db_finfo.sync_id == 0) {
        if (wanted != 0 && filter_db.setSizeFilter(sess_id, file_finfo.sync_id, wanted) != 0) {
            FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to setSizeFilter (%llu)[%llu]\n",
                   __LINE__, ull(sess_id), ull(wanted));
            return -1;
        }
        FU_LOG(L_INFO, "[INFO] filter-utils.cpp(%d): NEW filter (%llu)[%s]\n", __LINE__,
               ull(sess_id), file_desc);
        return 0;
    }
    // No limit is stored as the largest limit; comparing with it afterwards keeps a
    // reload without a limit from queueing a resume of an empty range every time.
    if (wanted == 0) {
        wanted = SIZE_FILTER_NO_LIMIT;
    }
    if (wanted == stored) {
        FU_LOG(L_INFO,
               "[INFO] filter-utils.cpp(%d): size filter (%llu)[%s] didn't change, skipping...\n",
               __LINE__, ull(sess_id), file_desc);
        return 0;
    }
    if (wanted > stored) {
        return loosenSizeFilter(sess_id, db_finfo, stored, wanted);
    }
    if (filter_db.updateSizeFilter(sess_id, stored, wanted) != 0) {
        FU_LOG(L_ERR, "[ERROR] filter-utils.cpp(%d): Failed to updateSizeFilter (%llu)[%s]\n",
               __LINE__, ull(sess_id), file_desc);
        return -1;
    }
    FU_LOG(L_INFO,
           "[INFO] filter-utils.cpp(%d): size filter is more stringent, just update DB (%llu)from "
           "%llu to %llu. \n",
           __LINE__, ull(sess_id), ull(stored), ull(wanted));
    return 0;
}

void EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring &out)
{
    uint64_t lower = from < to ? from : to;
    uint64_t upper = from < to ? to : from;
    out = "from=" + std::to_string(lower) + ",to=" + std::to_string(upper);
}

int DecodeResumeSizeFilterDesc(const ustring &desc, uint64_t &lower_bound, uint64_t &upper_bound)
{
    const char *p = desc.c_str_utf8();
    uint64_t lower = 0, upper = 0;
    if (strncmp(p, "from=", 5) != 0)
        return -1;
    p += 5;
    if (!readDecimal(p, lower) || strncmp(p, ",to=", 4) != 0)
        return -1;
    p += 4;
    if (!readDecimal(p, upper))
        return -1;
    lower_bound = lower;
    upper_bound = upper;
    return 0;
}
