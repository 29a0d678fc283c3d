// Any filter file content must give a clean parse result; a rejected file must leave the
// structure empty, and an accepted one must be usable by the path tests.
#include "black-list-v2.h"
#include "filter/filter.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace
{

FILE *openBytes(const uint8_t *data, size_t size)
{
    if (size == 0)
        return fopen("/dev/null", "rb");
    return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}

template <typename T> void readWith(const schema_parser *schema, const uint8_t *data, size_t size)
{
    T result;
    schema_init_result(schema, &result);
    FILE *in = openBytes(data, size);
    int ret = filter_file_read_stream(schema, &result, in);
    if (in != nullptr)
        fclose(in);
    if (ret != 0 && !schema_result_is_empty(schema, &result))
        abort();
    if (ret == 0 && schema == &cs_filter_schema) {
        const Filter *filter = reinterpret_cast<const Filter *>(&result);
        filter_test_path(filter, "/dir/sub/name.ext", false);
        filter_test_path(filter, "/dir/sub", true);
        filter_test_ea(filter, "user.x");
    }
    schema_destroy_result(schema, &result);
}

void checkReport(const uint8_t *data, size_t size)
{
    Filter filter;
    filter_init(&filter);
    parse_report report{};
    FILE *in = openBytes(data, size);
    if (in == nullptr)
        return;
    parse_result result = parse_stream(in, &cs_filter_schema, &filter, &report);
    fclose(in);
    bool failed = result == PARSE_ERROR;
    if (failed != (report.error != NO_ERROR))
        abort();
    if (report.error < 0 || report.error >= MAX_ERROR_CODE)
        abort();
    if (result == PARSE_PARTIAL && report.unknown_keys == 0)
        abort();
    filter_destroy(&filter);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The parser warns about unknown keys on the standard output; keep the run quiet.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    readWith<Filter>(&cs_filter_schema, data, size);
    readWith<WhiteList>(&white_list_schema, data, size);
    readWith<ForceHashCheckList>(&force_hash_check_list_schema, data, size);
    checkReport(data, size);
    return 0;
}
