// Schemas of the filter files: which sections and keys a file may hold, the type of each
// value and where it lives in the result structure (byte offsets: a section's offset in
// the result, a key's offset in its section).
#pragma once

#include "filter/value-type.h"

#include <cstddef>

enum {
    SCHEMA_MAX_SECTIONS = 32,
    SCHEMA_MAX_KEYS = 64,
    SCHEMA_MAX_NAME = 32, // longest section or key name
};

struct schema_key {
    const char *name;
    value_type type;
    size_t offset;
};

struct schema_section {
    const char *name;
    size_t offset;
    int key_count;
    schema_key keys[SCHEMA_MAX_KEYS];
};

struct schema_parser {
    int major;
    int minor;
    int section_count;
    schema_section sections[SCHEMA_MAX_SECTIONS];
};

// Exact, case-sensitive lookups; nullptr when the name is unknown.
const schema_section *search_section_schema(const schema_parser *schema, const char *name);
const schema_key *search_key_schema(const schema_section *section, const char *name);

// Address of a key's value inside a result structure.
void *schema_value(void *result, const schema_section *section, const schema_key *key);
const void *schema_value(const void *result, const schema_section *section, const schema_key *key);

// Every value of the result set to its empty state (integers 0, no strings, empty sets).
// Does not release anything: use on fresh memory or after schema_destroy_result.
void schema_init_result(const schema_parser *schema, void *result);
// Releases every string and set of the result and leaves it empty.
void schema_destroy_result(const schema_parser *schema, void *result);
// Deep copy; `dst` must be initialised. 0, or -1 when out of memory (`dst` is then empty).
int schema_copy_result(const schema_parser *schema, void *dst, const void *src);
// True when the result holds no value at all (the state after schema_init_result).
bool schema_result_is_empty(const schema_parser *schema, const void *result);
