#include "filter/value-type.h"

#include <cstdlib>
#include <cstring>

static const size_t FIRST_SET_CAPACITY = 4;

int vt_string_assign(value_type_string *dst, const char *s)
{
    char *copy = nullptr;
    if (s != nullptr && (copy = strdup(s)) == nullptr) {
        return -1;
    }
    free(dst->str);
    dst->str = copy;
    return 0;
}

int vt_string_copy(value_type_string *dst, const value_type_string *src)
{
    return vt_string_assign(dst, src->str);
}

void vt_string_destroy(value_type_string *value)
{
    free(value->str);
    value->str = nullptr;
}

void vt_string_set_init(value_type_string_set *set)
{
    set->set = nullptr;
    set->used = 0;
    set->capacity = 0;
}

static int grow(value_type_string_set *set)
{
    size_t capacity = set->capacity == 0 ? FIRST_SET_CAPACITY : set->capacity * 2;
    char **bigger = static_cast<char **>(realloc(set->set, capacity * sizeof(char *)));
    if (bigger == nullptr) {
        return -1;
    }
    set->set = bigger;
    set->capacity = capacity;
    return 0;
}

int vt_string_set_insert(value_type_string_set *set, const char *s)
{
    if (set->used == set->capacity && grow(set) != 0) {
        return -1;
    }
    char *copy = strdup(s);
    if (copy == nullptr) {
        return -1;
    }
    set->set[set->used++] = copy;
    return 0;
}

int vt_string_set_copy(value_type_string_set *dst, const value_type_string_set *src)
{
    value_type_string_set copy;
    vt_string_set_init(&copy);
    for (size_t i = 0; i < src->used; ++i) {
        if (vt_string_set_insert(&copy, src->set[i]) != 0) {
            vt_string_set_destroy(&copy);
            return -1;
        }
    }
    vt_string_set_destroy(dst);
    *dst = copy;
    return 0;
}

int vt_string_set_remove(value_type_string_set *set, const char *s)
{
    for (size_t i = 0; i < set->used; ++i) {
        if (strcmp(set->set[i], s) == 0) {
            free(set->set[i]);
            set->set[i] = set->set[--set->used];
            return 0;
        }
    }
    return -1;
}

void vt_string_set_destroy(value_type_string_set *set)
{
    for (size_t i = 0; i < set->used; ++i) {
        free(set->set[i]);
    }
    free(set->set);
    vt_string_set_init(set);
}
