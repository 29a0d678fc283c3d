#include "protocol/object.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <utility>

const PObject PObject::empty_object;
const PObject::array_type PObject::empty_array;
const PObject::map_type PObject::empty_map;
const PObject::binary_type PObject::empty_binary;

void PObject::binary_type::clear()
{
    offset = 0;
    length = 0;
    path.clear();
}

void *PObject::copyValue(int32_t t, const void *value)
{
    switch (t) {
    case TYPE_ARRAY:
        return new array_type(*static_cast<const array_type *>(value));
    case TYPE_MAP:
        return new map_type(*static_cast<const map_type *>(value));
    case TYPE_INTEGER:
        return new uint64_t(*static_cast<const uint64_t *>(value));
    case TYPE_STRING:
        return new ustring(*static_cast<const ustring *>(value));
    case TYPE_BINARY:
        return new binary_type(*static_cast<const binary_type *>(value));
    default:
        return nullptr;
    }
}

void PObject::release(int32_t t, void *value)
{
    switch (t) {
    case TYPE_ARRAY:
        delete static_cast<array_type *>(value);
        break;
    case TYPE_MAP:
        delete static_cast<map_type *>(value);
        break;
    case TYPE_INTEGER:
        delete static_cast<uint64_t *>(value);
        break;
    case TYPE_STRING:
        delete static_cast<ustring *>(value);
        break;
    case TYPE_BINARY:
        delete static_cast<binary_type *>(value);
        break;
    default:
        break;
    }
}

void PObject::replace(int32_t t, void *value)
{
    int32_t old_type = type;
    void *old_data = data;
    type = t;
    data = value;
    release(old_type, old_data);
}

PObject::PObject(const PObject &other) : type(other.type), data(copyValue(other.type, other.data))
{
}

PObject::PObject(PObject &&other) noexcept : type(other.type), data(other.data)
{
    other.type = TYPE_NULL;
    other.data = nullptr;
}

PObject::PObject(const char *s) : type(TYPE_STRING), data(new ustring(s)) {}

PObject::PObject(const ustring &s) : type(TYPE_STRING), data(new ustring(s)) {}

PObject::PObject(uint64_t v) : type(TYPE_INTEGER), data(new uint64_t(v)) {}

PObject::~PObject()
{
    release(type, data);
}

PObject &PObject::operator=(const PObject &other)
{
    if (this != &other)
        replace(other.type, copyValue(other.type, other.data));
    return *this;
}

PObject &PObject::operator=(PObject &&other) noexcept
{
    if (this != &other) {
        // Detach the source first: it may be nested inside this object's old value.
        int32_t t = other.type;
        void *d = other.data;
        other.type = TYPE_NULL;
        other.data = nullptr;
        replace(t, d);
    }
    return *this;
}

PObject &PObject::operator=(const char *s)
{
    replace(TYPE_STRING, new ustring(s));
    return *this;
}

PObject &PObject::operator=(const ustring &s)
{
    replace(TYPE_STRING, new ustring(s));
    return *this;
}

PObject &PObject::operator=(uint64_t v)
{
    replace(TYPE_INTEGER, new uint64_t(v));
    return *this;
}

PObject &PObject::operator=(uint32_t v)
{
    return *this = static_cast<uint64_t>(v);
}

PObject &PObject::operator=(int32_t v)
{
    return *this = static_cast<uint64_t>(static_cast<int64_t>(v));
}

PObject &PObject::operator=(bool v)
{
    return *this = static_cast<uint64_t>(v ? 1 : 0);
}

PObject &PObject::operator=(const map_type &m)
{
    replace(TYPE_MAP, new map_type(m));
    return *this;
}

PObject &PObject::operator=(const array_type &a)
{
    replace(TYPE_ARRAY, new array_type(a));
    return *this;
}

PObject &PObject::operator=(const binary_type &b)
{
    replace(TYPE_BINARY, new binary_type(b));
    return *this;
}

void PObject::clear()
{
    replace(TYPE_NULL, nullptr);
}

void PObject::swap(PObject &other) noexcept
{
    std::swap(type, other.type);
    std::swap(data, other.data);
}

bool PObject::isEmpty() const
{
    switch (type) {
    case TYPE_NULL:
        return true;
    case TYPE_ARRAY:
        return static_cast<const array_type *>(data)->empty();
    case TYPE_MAP:
        return static_cast<const map_type *>(data)->empty();
    case TYPE_STRING:
        return static_cast<const ustring *>(data)->empty();
    case TYPE_BINARY:
        return static_cast<const binary_type *>(data)->empty();
    default:
        return false;
    }
}

uint64_t PObject::asUInt64() const
{
    return isInteger() ? *static_cast<const uint64_t *>(data) : 0;
}

bool PObject::asBool() const
{
    return isInteger() ? asUInt64() != 0 : !isEmpty();
}

ustring PObject::asString() const
{
    if (isString())
        return *static_cast<const ustring *>(data);
    if (isInteger()) {
        char text[24];
        snprintf(text, sizeof(text), "%" PRIu64, asUInt64());
        return ustring(text);
    }
    return ustring();
}

const PObject::map_type &PObject::asMap() const
{
    return isMap() ? *static_cast<const map_type *>(data) : empty_map;
}

const PObject::array_type &PObject::asArray() const
{
    return isArray() ? *static_cast<const array_type *>(data) : empty_array;
}

const PObject::binary_type &PObject::asBinary() const
{
    return isBinary() ? *static_cast<const binary_type *>(data) : empty_binary;
}

PObject::map_type &PObject::asMap()
{
    if (!isMap())
        replace(TYPE_MAP, new map_type());
    return *static_cast<map_type *>(data);
}

PObject::array_type &PObject::asArray()
{
    if (!isArray())
        replace(TYPE_ARRAY, new array_type());
    return *static_cast<array_type *>(data);
}

PObject::binary_type &PObject::asBinary()
{
    if (!isBinary())
        replace(TYPE_BINARY, new binary_type());
    return *static_cast<binary_type *>(data);
}

bool PObject::hasMember(const ustring &key) const
{
    return isMap() && asMap().count(key) != 0;
}

const PObject &PObject::operator[](const ustring &key) const
{
    if (!isMap())
        return empty_object;
    const map_type &m = asMap();
    map_type::const_iterator it = m.find(key);
    return it == m.end() ? empty_object : it->second;
}

PObject &PObject::operator[](const ustring &key)
{
    return asMap()[key];
}

const PObject &PObject::operator[](size_t i) const
{
    if (isArray()) {
        const array_type &a = asArray();
        return i < a.size() ? a[i] : empty_object;
    }
    if (isMap()) {
        const map_type &m = asMap();
        if (i >= m.size())
            return empty_object;
        map_type::const_iterator it = m.begin();
        std::advance(it, i);
        return it->second;
    }
    return empty_object;
}

PObject &PObject::operator[](size_t i)
{
    if (isArray()) {
        array_type &a = asArray();
        if (i < a.size())
            return a[i];
    } else if (isMap()) {
        map_type &m = asMap();
        if (i < m.size()) {
            map_type::iterator it = m.begin();
            std::advance(it, i);
            return it->second;
        }
    }
    throw std::out_of_range("out_of_range: PObject::operator[]");
}

void PObject::renderTo(std::string &out) const
{
    char number[24];
    switch (type) {
    case TYPE_INTEGER:
        snprintf(number, sizeof(number), "%" PRIu64, asUInt64());
        out += number;
        break;
    case TYPE_STRING:
        out += '"';
        out += static_cast<const ustring *>(data)->c_str_utf8();
        out += '"';
        break;
    case TYPE_ARRAY: {
        out += '[';
        const char *sep = "";
        for (const PObject &element : asArray()) {
            out += sep;
            element.renderTo(out);
            sep = ", ";
        }
        out += ']';
        break;
    }
    case TYPE_MAP: {
        out += '{';
        const char *sep = "";
        for (const auto &entry : asMap()) {
            out += sep;
            out += '"';
            out += entry.first.c_str_utf8();
            out += "\": ";
            entry.second.renderTo(out);
            sep = ", ";
        }
        out += '}';
        break;
    }
    case TYPE_BINARY: {
        const binary_type &b = asBinary();
        out += "{offset: ";
        snprintf(number, sizeof(number), "%" PRIu64, b.offset);
        out += number;
        out += ", length: ";
        snprintf(number, sizeof(number), "%" PRIu64, b.length);
        out += number;
        out += ", path: \"";
        out += b.path.c_str_utf8();
        out += "\"}";
        break;
    }
    default:
        out += "null";
        break;
    }
}

ustring PObject::toString() const
{
    std::string out;
    renderTo(out);
    return ustring(out);
}
