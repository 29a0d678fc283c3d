// Value types of the filter files: 32- and 64-bit integers, one string, and a set of
// strings. Strings are heap copies owned by the value that holds them.
#pragma once

#include <cstddef>
#include <cstdint>

enum value_type {
    integer32_type = 0,
    integer64_type = 1,
    string_type = 2,
    string_set_type = 3,
};

// One NUL-terminated string, or none (str == nullptr).
struct value_type_string {
    char *str;
};

// A growable array of strings. Duplicates are kept; the order is insertion order until
// an entry is removed (the last entry then takes the freed place).
struct value_type_string_set {
    char **set;
    size_t used;
    size_t capacity;
};

// Replaces the string with a copy of `s` (nullptr empties it). 0, or -1 when out of memory
// (the old value is then kept).
int vt_string_assign(value_type_string *dst, const char *s);
// Deep copy of `src` into `dst` (whose old value is released). 0 or -1.
int vt_string_copy(value_type_string *dst, const value_type_string *src);
void vt_string_destroy(value_type_string *value);

void vt_string_set_init(value_type_string_set *set);
// Appends a copy of `s`. 0, or -1 when out of memory (the set is unchanged).
int vt_string_set_insert(value_type_string_set *set, const char *s);
// Deep copy of `src` into `dst` (whose old entries are released). 0 or -1.
int vt_string_set_copy(value_type_string_set *dst, const value_type_string_set *src);
// Removes the first entry equal to `s`. 0, or -1 when there is none.
int vt_string_set_remove(value_type_string_set *set, const char *s);
void vt_string_set_destroy(value_type_string_set *set);
