// Reconciliation of a session's selective-sync filters: the filters of its filter files
// are compared with those the filter database remembers, the database is brought up to
// date, and every loosening (something excluded before now passes) becomes a resume
// condition, stored in the database and queued in the progress cache.
#pragma once

#include "client/core/filter-db.h"
#include "filter/filter.h"
#include "ustring/ustring.h"

#include <cstdint>
#include <set>

// The size limit that stands for "no limit" in the stored size filter and in size ranges:
// the largest size that the stored filter (an SQLite integer), the range text and the
// server's size fields all carry exactly, so no file is ever above it. A database that
// stored a removed limit as 10 GiB earlier sees the next reload without a limit as a
// loosening from 10 GiB, and the larger files are pulled then.
const uint64_t SIZE_FILTER_NO_LIMIT = 9223372036854775807ULL; // INT64_MAX

// The selective-sync parts of loaded filter files in comparable form, every entry
// carrying `sync_id`. Both return 0.
int ConvertFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id, const Filter *filter,
                                         SelectiveSyncInfo &ss_info);
int ConvertWhiteFilterFileToSelectiveSyncInfo(uint64_t sess_id, uint64_t sync_id,
                                              const WhiteList *white_filter,
                                              SelectiveSyncInfo &ss_info);

// Each returns 0, or -1 at the first failure (logged; later items are left alone).
// One black-list kind (path prefixes, names or extensions).
int CompareFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo> &db_set,
                      const std::set<FilterInfo> &file_set, const ustring &sync_folder);
// The white list, whose entries let files through.
int CompareWhiteFilterList(uint64_t sess_id, int filter_type, const std::set<FilterInfo> &db_set,
                           const std::set<FilterInfo> &file_set);
// White and black extensions together, including the white list opening to "*".
int CompareExtensionFilterList(uint64_t sess_id, const SelectiveSyncInfo &ss_db_info,
                               const SelectiveSyncInfo &ss_file_info, const ustring &sync_folder);
// The size limit.
int CompareSizeFilter(uint64_t sess_id, const FilterInfo &db_finfo, const FilterInfo &file_finfo);

// The size range text "from=SMALLER,to=LARGER".
void EncodeResumeSizeFilterDesc(uint64_t from, uint64_t to, ustring &out);
// 0 and both bounds, or -1 when the text is empty or not a size range.
int DecodeResumeSizeFilterDesc(const ustring &desc, uint64_t &lower_bound, uint64_t &upper_bound);
