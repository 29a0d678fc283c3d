// PObject: the dynamically typed value of every control message and server request:
// null, unsigned 64-bit integer, string, binary (a stretch of a local file), array, or a
// map ordered by the byte-wise order of its keys.
//
// A PObject owns its value outright: copies are deep, there is no sharing. Read-only
// accessors never change the object and answer a wrong kind with 0, the empty string or a
// shared empty value; mutable accessors turn the object into the asked kind first, so a
// request is built as a chain of key assignments on a fresh object.
#pragma once

#include "ustring/ustring.h"

#include <cstdint>
#include <map>
#include <vector>

class PObject
{
public:
    enum Type {
        TYPE_NULL = 0,
        TYPE_ARRAY = 1,
        TYPE_MAP = 2,
        TYPE_INTEGER = 3,
        TYPE_STRING = 4,
        TYPE_BINARY = 5,
    };

    // A stretch of a local file that travels as a binary item. Empty when it has no path.
    struct binary_type {
        uint64_t offset = 0;
        uint64_t length = 0;
        ustring path;

        bool empty() const { return path.empty(); }
        void clear();
    };

    typedef std::map<ustring, PObject> map_type;
    typedef std::vector<PObject> array_type;

    template <typename T> struct type_trait;

    static const PObject empty_object;
    static const array_type empty_array;
    static const map_type empty_map;
    static const binary_type empty_binary;

    PObject() : type(TYPE_NULL), data(nullptr) {}
    PObject(const PObject &other);
    PObject(PObject &&other) noexcept;
    PObject(const char *s);
    PObject(const ustring &s);
    PObject(uint64_t v);
    // Other integer widths store like the assignments below (signed ones sign-extended).
    PObject(int v) : PObject(static_cast<uint64_t>(static_cast<int64_t>(v))) {}
    PObject(unsigned int v) : PObject(static_cast<uint64_t>(v)) {}
    PObject(long v) : PObject(static_cast<uint64_t>(v)) {}
    PObject(long long v) : PObject(static_cast<uint64_t>(v)) {}
    PObject(unsigned long long v) : PObject(static_cast<uint64_t>(v)) {}
    ~PObject();

    PObject &operator=(const PObject &other);
    PObject &operator=(PObject &&other) noexcept;
    PObject &operator=(const char *s);
    PObject &operator=(const ustring &s);
    PObject &operator=(uint64_t v);
    PObject &operator=(uint32_t v);
    PObject &operator=(int32_t v);
    PObject &operator=(long v) { return *this = static_cast<uint64_t>(v); }
    PObject &operator=(long long v) { return *this = static_cast<uint64_t>(v); }
    PObject &operator=(unsigned long long v) { return *this = static_cast<uint64_t>(v); }
    PObject &operator=(bool v);
    PObject &operator=(const map_type &m);
    PObject &operator=(const array_type &a);
    PObject &operator=(const binary_type &b);

    void clear();
    void swap(PObject &other) noexcept;

    int getType() const { return type; }
    bool isNull() const { return type == TYPE_NULL; }
    bool isArray() const { return type == TYPE_ARRAY; }
    bool isMap() const { return type == TYPE_MAP; }
    bool isInteger() const { return type == TYPE_INTEGER; }
    bool isString() const { return type == TYPE_STRING; }
    bool isBinary() const { return type == TYPE_BINARY; }
    bool isContainer() const { return isArray() || isMap(); }
    bool isPrimitive() const { return isInteger() || isString() || isBinary(); }
    bool isEmpty() const;

    uint64_t asInteger() const { return asUInt64(); }
    uint64_t asUInt64() const;
    int64_t asInt64() const { return static_cast<int64_t>(asUInt64()); }
    uint32_t asUInt32() const { return static_cast<uint32_t>(asUInt64()); }
    int32_t asInt32() const { return static_cast<int32_t>(asUInt32()); }
    uint16_t asUInt16() const { return static_cast<uint16_t>(asUInt64()); }
    int16_t asInt16() const { return static_cast<int16_t>(asUInt16()); }
    uint8_t asUInt8() const { return static_cast<uint8_t>(asUInt64()); }
    int8_t asInt8() const { return static_cast<int8_t>(asUInt8()); }
    bool asBool() const;
    ustring asString() const;

    const map_type &asMap() const;
    const array_type &asArray() const;
    const binary_type &asBinary() const;
    map_type &asMap();
    array_type &asArray();
    binary_type &asBinary();

    bool hasMember(const ustring &key) const;
    const PObject &operator[](const ustring &key) const;
    PObject &operator[](const ustring &key);
    const PObject &operator[](size_t i) const;
    // Throws std::out_of_range when i is not below the element count or this is no container.
    PObject &operator[](size_t i);

    ustring toString() const;

private:
    int32_t type;
    void *data;

    // Takes ownership of a freshly built value of kind t, releasing the old one afterwards
    // so that the source of an assignment may live inside this object.
    void replace(int32_t t, void *value);
    static void *copyValue(int32_t t, const void *value);
    static void release(int32_t t, void *value);
    void renderTo(std::string &out) const;
};

template <> struct PObject::type_trait<uint64_t> {
    static const int value = PObject::TYPE_INTEGER;
};
template <> struct PObject::type_trait<ustring> {
    static const int value = PObject::TYPE_STRING;
};
template <> struct PObject::type_trait<PObject::binary_type> {
    static const int value = PObject::TYPE_BINARY;
};
template <> struct PObject::type_trait<PObject::map_type> {
    static const int value = PObject::TYPE_MAP;
};
template <> struct PObject::type_trait<PObject::array_type> {
    static const int value = PObject::TYPE_ARRAY;
};

inline void swap(PObject &a, PObject &b) noexcept
{
    a.swap(b);
}
