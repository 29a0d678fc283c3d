#include "filter/schema.h"

#include <cstdint>
#include <cstring>

const schema_section *search_section_schema(const schema_parser *schema, const char *name)
{
    for (int i = 0; i < schema->section_count; ++i) {
        if (strcmp(schema->sections[i].name, name) == 0) {
            return &schema->sections[i];
        }
    }
    return nullptr;
}

const schema_key *search_key_schema(const schema_section *section, const char *name)
{
    for (int i = 0; i < section->key_count; ++i) {
        if (strcmp(section->keys[i].name, name) == 0) {
            return &section->keys[i];
        }
    }
    return nullptr;
}

void *schema_value(void *result, const schema_section *section, const schema_key *key)
{
    return static_cast<char *>(result) + section->offset + key->offset;
}

const void *schema_value(const void *result, const schema_section *section, const schema_key *key)
{
    return static_cast<const char *>(result) + section->offset + key->offset;
}

// Calls fn(section, key) for every key of the schema.
template <typename Fn> static void forEachKey(const schema_parser *schema, Fn fn)
{
    for (int s = 0; s < schema->section_count; ++s) {
        const schema_section *section = &schema->sections[s];
        for (int k = 0; k < section->key_count; ++k) {
            fn(section, &section->keys[k]);
        }
    }
}

static void initValue(void *value, value_type type)
{
    switch (type) {
    case integer32_type: {
        int32_t zero = 0;
        memcpy(value, &zero, sizeof(zero));
        break;
    }
    case integer64_type: {
        int64_t zero = 0;
        memcpy(value, &zero, sizeof(zero));
        break;
    }
    case string_type:
        static_cast<value_type_string *>(value)->str = nullptr;
        break;
    case string_set_type:
        vt_string_set_init(static_cast<value_type_string_set *>(value));
        break;
    }
}

void schema_init_result(const schema_parser *schema, void *result)
{
    forEachKey(schema, [result](const schema_section *section, const schema_key *key) {
        initValue(schema_value(result, section, key), key->type);
    });
}

void schema_destroy_result(const schema_parser *schema, void *result)
{
    forEachKey(schema, [result](const schema_section *section, const schema_key *key) {
        void *value = schema_value(result, section, key);
        if (key->type == string_type) {
            vt_string_destroy(static_cast<value_type_string *>(value));
        } else if (key->type == string_set_type) {
            vt_string_set_destroy(static_cast<value_type_string_set *>(value));
        }
        initValue(value, key->type);
    });
}

static size_t integerSize(value_type type)
{
    return type == integer32_type ? sizeof(int32_t) : sizeof(int64_t);
}

static int copyValue(void *dst, const void *src, value_type type)
{
    switch (type) {
    case string_type:
        return vt_string_copy(static_cast<value_type_string *>(dst),
                              static_cast<const value_type_string *>(src));
    case string_set_type:
        return vt_string_set_copy(static_cast<value_type_string_set *>(dst),
                                  static_cast<const value_type_string_set *>(src));
    default:
        memcpy(dst, src, integerSize(type));
        return 0;
    }
}

int schema_copy_result(const schema_parser *schema, void *dst, const void *src)
{
    if (dst == src) {
        return 0;
    }
    int ret = 0;
    forEachKey(schema, [&](const schema_section *section, const schema_key *key) {
        if (ret == 0) {
            ret = copyValue(schema_value(dst, section, key), schema_value(src, section, key),
                            key->type);
        }
    });
    if (ret != 0) {
        schema_destroy_result(schema, dst);
    }
    return ret;
}

static bool isEmptyValue(const void *value, value_type type)
{
    switch (type) {
    case string_type:
        return static_cast<const value_type_string *>(value)->str == nullptr;
    case string_set_type:
        return static_cast<const value_type_string_set *>(value)->used == 0;
    default: {
        static const char zeros[sizeof(int64_t)] = {};
        return memcmp(value, zeros, integerSize(type)) == 0;
    }
    }
}

bool schema_result_is_empty(const schema_parser *schema, const void *result)
{
    bool empty = true;
    forEachKey(schema, [&](const schema_section *section, const schema_key *key) {
        empty = empty && isEmptyValue(schema_value(result, section, key), key->type);
    });
    return empty;
}
