// The three filter files and the structures they load into: the black list
// ("blacklist.filter"), the white list ("whitelist.filter") and the force-hash-check list
// ("force-hash-check-list.filter"). All integers 0 mean "no limit".
#pragma once

#include "filter/parser.h"
#include "filter/schema.h"
#include "filter/value-type.h"
#include "ustring/ustring.h"

#include <cstdint>

struct FilterVersion {
    int32_t major;
    int32_t minor;
};

struct FilterCommon {
    value_type_string black_char;
    value_type_string_set black_prefix;
    value_type_string_set black_dir_prefix;
    value_type_string_set black_name;
    value_type_string_set black_path_prefix_selective_sync;
    int64_t max_length;
    int64_t max_path;
};

struct FilterFile {
    value_type_string black_char;
    value_type_string_set black_ext;
    value_type_string_set black_name;
    value_type_string_set black_prefix;
    value_type_string_set black_ext_selective_sync;
    value_type_string_set black_name_selective_sync;
    int64_t max_size;
    int64_t max_size_selective_sync;
};

struct FilterDirectory {
    value_type_string black_char;
    value_type_string_set black_name;
    value_type_string_set black_prefix;
};

struct FilterEA {
    value_type_string_set black_ea_name;
};

// The black list.
struct Filter {
    FilterVersion Version;
    FilterCommon Common;
    FilterFile File;
    FilterDirectory Directory;
    FilterEA EA;
};

struct WhiteListFile {
    value_type_string_set white_ext;
};

struct WhiteList {
    FilterVersion Version;
    WhiteListFile File;
};

struct ForceHashCheckListFile {
    value_type_string_set force_hash_ext;
};

struct ForceHashCheckList {
    FilterVersion Version;
    ForceHashCheckListFile File;
};

extern const schema_parser cs_filter_schema;
extern const schema_parser white_list_schema;
extern const schema_parser force_hash_check_list_schema;

// init: an empty structure (version 0.0, nothing in it); destroy: releases everything and
// leaves it empty, so it may be reused or destroyed again.
void filter_init(Filter *filter);
void filter_destroy(Filter *filter);
// Deep copy into an initialised `dst`. 0, or -1 when out of memory (`dst` is then empty).
int filter_copy(Filter *dst, const Filter *src);
void white_list_init(WhiteList *list);
void white_list_destroy(WhiteList *list);
void force_hash_check_list_init(ForceHashCheckList *list);
void force_hash_check_list_destroy(ForceHashCheckList *list);

// Read a filter file into an initialised structure, replacing what it held. A file with
// unknown keys is accepted only when its version is 1.x with x > 0 (a newer minor version
// may add keys). 0, or -1 with the structure left empty.
int filter_read(Filter *filter, const ustring &path);
int white_list_read(WhiteList *list, const ustring &path);
int force_hash_check_list_read(ForceHashCheckList *list, const ustring &path);

// The same rule on an open stream and any of the schemas above.
int filter_file_read_stream(const schema_parser *schema, void *result, FILE *in);
