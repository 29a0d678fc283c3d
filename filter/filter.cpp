#include "filter/filter.h"

#include <cstddef>
#include <cstring>

#define KEY(section_type, name, type)                                                              \
    {                                                                                              \
#name, type, offsetof(section_type, name)                                                  \
    }

#define VERSION_SECTION(result_type)                                                               \
    {                                                                                              \
        "Version", offsetof(result_type, Version), 2,                                              \
        {                                                                                          \
            KEY(FilterVersion, major, integer32_type), KEY(FilterVersion, minor, integer32_type)   \
        }                                                                                          \
    }

const schema_parser cs_filter_schema = {
    1,
    0,
    5,
    {
        VERSION_SECTION(Filter),
        {"Common",
         offsetof(Filter, Common),
         7,
         {KEY(FilterCommon, black_char, string_type),
          KEY(FilterCommon, black_prefix, string_set_type),
          KEY(FilterCommon, black_dir_prefix, string_set_type),
          KEY(FilterCommon, black_name, string_set_type),
          KEY(FilterCommon, black_path_prefix_selective_sync, string_set_type),
          KEY(FilterCommon, max_length, integer64_type),
          KEY(FilterCommon, max_path, integer64_type)}},
        {"File",
         offsetof(Filter, File),
         8,
         {KEY(FilterFile, black_char, string_type), KEY(FilterFile, black_ext, string_set_type),
          KEY(FilterFile, black_name, string_set_type),
          KEY(FilterFile, black_prefix, string_set_type),
          KEY(FilterFile, black_ext_selective_sync, string_set_type),
          KEY(FilterFile, black_name_selective_sync, string_set_type),
          KEY(FilterFile, max_size, integer64_type),
          KEY(FilterFile, max_size_selective_sync, integer64_type)}},
        {"Directory",
         offsetof(Filter, Directory),
         3,
         {KEY(FilterDirectory, black_char, string_type),
          KEY(FilterDirectory, black_name, string_set_type),
          KEY(FilterDirectory, black_prefix, string_set_type)}},
        {"EA", offsetof(Filter, EA), 1, {KEY(FilterEA, black_ea_name, string_set_type)}},
    },
};

const schema_parser white_list_schema = {
    1,
    0,
    2,
    {
        VERSION_SECTION(WhiteList),
        {"File", offsetof(WhiteList, File), 1, {KEY(WhiteListFile, white_ext, string_set_type)}},
    },
};

const schema_parser force_hash_check_list_schema = {
    1,
    0,
    2,
    {
        VERSION_SECTION(ForceHashCheckList),
        {"File",
         offsetof(ForceHashCheckList, File),
         1,
         {KEY(ForceHashCheckListFile, force_hash_ext, string_set_type)}},
    },
};

void filter_init(Filter *filter)
{
    schema_init_result(&cs_filter_schema, filter);
}
void filter_destroy(Filter *filter)
{
    schema_destroy_result(&cs_filter_schema, filter);
}

int filter_copy(Filter *dst, const Filter *src)
{
    return schema_copy_result(&cs_filter_schema, dst, src);
}

void white_list_init(WhiteList *list)
{
    schema_init_result(&white_list_schema, list);
}
void white_list_destroy(WhiteList *list)
{
    schema_destroy_result(&white_list_schema, list);
}

void force_hash_check_list_init(ForceHashCheckList *list)
{
    schema_init_result(&force_hash_check_list_schema, list);
}

void force_hash_check_list_destroy(ForceHashCheckList *list)
{
    schema_destroy_result(&force_hash_check_list_schema, list);
}

// The file's own version, read through the schema so that it works for every list.
static FilterVersion versionOf(const schema_parser *schema, const void *result)
{
    FilterVersion version = {0, 0};
    const schema_section *section = search_section_schema(schema, "Version");
    if (section == nullptr) {
        return version;
    }
    const schema_key *major = search_key_schema(section, "major");
    const schema_key *minor = search_key_schema(section, "minor");
    if (major != nullptr)
        memcpy(&version.major, schema_value(result, section, major), 4);
    if (minor != nullptr)
        memcpy(&version.minor, schema_value(result, section, minor), 4);
    return version;
}

static bool accepted(parse_result result, FilterVersion version)
{
    if (result == PARSE_DONE) {
        return true;
    }
    return result == PARSE_PARTIAL && version.major == 1 && version.minor > 0;
}

int filter_file_read_stream(const schema_parser *schema, void *result, FILE *in)
{
    schema_destroy_result(schema, result);
    parse_result parsed = in != nullptr ? parse_stream(in, schema, result) : PARSE_ERROR;
    if (accepted(parsed, versionOf(schema, result))) {
        return 0;
    }
    schema_destroy_result(schema, result);
    return -1;
}

static int readFile(const schema_parser *schema, void *result, const ustring &path)
{
    FILE *in = fopen(path.c_str_utf8(), "rb");
    int ret = filter_file_read_stream(schema, result, in);
    if (in != nullptr) {
        fclose(in);
    }
    return ret;
}

int filter_read(Filter *filter, const ustring &path)
{
    return readFile(&cs_filter_schema, filter, path);
}

int white_list_read(WhiteList *list, const ustring &path)
{
    return readFile(&white_list_schema, list, path);
}

int force_hash_check_list_read(ForceHashCheckList *list, const ustring &path)
{
    return readFile(&force_hash_check_list_schema, list, path);
}
