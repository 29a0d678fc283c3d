#include "protocol/object.h"

#include <gtest/gtest.h>

#include <stdexcept>

TEST(PObjectTest, NewObjectIsNullEmptyAndFalse)
{
    PObject o;
    EXPECT_TRUE(o.isNull());
    EXPECT_TRUE(o.isEmpty());
    EXPECT_FALSE(o.asBool());
    EXPECT_EQ(ustring("null"), o.toString());
    EXPECT_EQ(0u, o.asUInt64());
    EXPECT_EQ(ustring(""), o.asString());
}

TEST(PObjectTest, IntegerAssignmentsAndNarrowing)
{
    PObject o;
    o = static_cast<int32_t>(-1);
    EXPECT_EQ(18446744073709551615ULL, o.asUInt64());
    EXPECT_EQ(-1, o.asInt32());
    EXPECT_EQ(-1, o.asInt64());
    EXPECT_EQ(ustring("18446744073709551615"), o.asString());
    EXPECT_EQ(ustring("18446744073709551615"), o.toString());

    o = static_cast<uint32_t>(0xFFFFFFFFu);
    EXPECT_EQ(0xFFFFFFFFull, o.asUInt64());
    o = static_cast<uint64_t>(0x1234567890ABCDEFull);
    EXPECT_EQ(0x90ABCDEFu, o.asUInt32());
    EXPECT_EQ(0xCDEFu, o.asUInt16());
    EXPECT_EQ(0xEFu, o.asUInt8());
    EXPECT_EQ(static_cast<int8_t>(0xEF), o.asInt8());
    o = true;
    EXPECT_EQ(1u, o.asUInt64());

    PObject zero(static_cast<uint64_t>(0));
    EXPECT_FALSE(zero.isEmpty());
    EXPECT_FALSE(zero.asBool());
    EXPECT_EQ(ustring("0"), zero.asString());
}

TEST(PObjectTest, BoolAndEmptinessPerKind)
{
    PObject s("x"), empty_s(""), arr, map, bin;
    arr.asArray().push_back(PObject());
    map["k"] = 1;
    PObject::binary_type b;
    b.path = "/p";
    bin = b;
    EXPECT_TRUE(s.asBool());
    EXPECT_FALSE(empty_s.asBool());
    EXPECT_TRUE(arr.asBool());
    EXPECT_TRUE(map.asBool());
    EXPECT_TRUE(bin.asBool());
    EXPECT_EQ(0u, s.asUInt64());
    EXPECT_TRUE(s.isPrimitive() && bin.isPrimitive() && arr.isContainer() && map.isContainer());
}

TEST(PObjectTest, ReadOnlyIndexNeverChangesTheObject)
{
    PObject o(static_cast<uint64_t>(7));
    const PObject &c = o;
    EXPECT_TRUE(c["x"].isNull());
    EXPECT_TRUE(c[3].isNull());
    EXPECT_TRUE(c.asMap().empty());
    EXPECT_TRUE(c.asBinary().empty());
    EXPECT_TRUE(o.isInteger());
    EXPECT_EQ(7u, o.asUInt64());
    EXPECT_FALSE(c.hasMember("x"));

    o["x"];
    ASSERT_TRUE(o.isMap());
    EXPECT_EQ(1u, o.asMap().size());
    EXPECT_TRUE(o.hasMember("x"));
    EXPECT_TRUE(o["x"].isNull());
}

TEST(PObjectTest, MutableAccessorsReplaceOtherKinds)
{
    PObject o("text");
    o.asArray().push_back(PObject(static_cast<uint64_t>(1)));
    EXPECT_TRUE(o.isArray());
    EXPECT_EQ(1u, o.asArray().size());
    o.asBinary().path = "/f";
    EXPECT_TRUE(o.isBinary());
    EXPECT_EQ(ustring("/f"), o.asBinary().path);
}

TEST(PObjectTest, MutableIndexThrowsOutOfRange)
{
    PObject arr;
    arr.asArray().push_back(PObject("a"));
    EXPECT_EQ(ustring("a"), arr[0].asString());
    PObject map;
    map["b"] = 2;
    map["a"] = 1;
    EXPECT_EQ(1u, map[static_cast<size_t>(0)].asUInt64());
    EXPECT_EQ(2u, map[1].asUInt64());
    const PObject &cmap = map;
    EXPECT_TRUE(cmap[2].isNull());
    PObject integer(static_cast<uint64_t>(3));
    for (PObject *o : {&arr, &map, &integer}) {
        try {
            (*o)[5];
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range &e) {
            EXPECT_STREQ("out_of_range: PObject::operator[]", e.what());
        }
    }
}

TEST(PObjectTest, AssigningANestedMemberToItsContainerIsSafe)
{
    PObject m;
    m["inner"]["deep"] = "v";
    m["other"] = 1;
    m = m["inner"];
    EXPECT_EQ(ustring("{\"deep\": \"v\"}"), m.toString());

    PObject a;
    a.asArray().push_back(PObject("x"));
    a = a[0];
    EXPECT_EQ(ustring("\"x\""), a.toString());

    PObject moved;
    moved["k"]["j"] = 5;
    moved = std::move(moved["k"]);
    EXPECT_EQ(ustring("{\"j\": 5}"), moved.toString());
}

TEST(PObjectTest, CopiesAreDeep)
{
    PObject a;
    a["list"].asArray().push_back(PObject("x"));
    PObject b(a);
    b["list"].asArray().push_back(PObject("y"));
    b["list"][0] = "changed";
    EXPECT_EQ(ustring("{\"list\": [\"x\"]}"), a.toString());
    EXPECT_EQ(ustring("{\"list\": [\"changed\", \"y\"]}"), b.toString());
}

TEST(PObjectTest, RenderingFollowsByteOrderOfKeys)
{
    PObject m;
    m["b"] = 1;
    m["B"] = 2;
    m["a"] = 3;
    EXPECT_EQ(ustring("{\"B\": 2, \"a\": 3, \"b\": 1}"), m.toString());
    std::vector<ustring> order;
    for (const auto &e : m.asMap())
        order.push_back(e.first);
    EXPECT_EQ((std::vector<ustring>{"B", "a", "b"}), order);

    PObject ex;
    ex["a"] = 1;
    ex["b"].asArray().push_back(PObject("x"));
    ex["b"].asArray().push_back(PObject());
    EXPECT_EQ(ustring("{\"a\": 1, \"b\": [\"x\", null]}"), ex.toString());
}

TEST(PObjectTest, BinaryEmptinessAndRendering)
{
    PObject::binary_type b;
    b.offset = 0;
    b.length = 10;
    PObject o;
    o = b;
    EXPECT_TRUE(o.isEmpty());
    EXPECT_FALSE(o.asBool());
    EXPECT_EQ(ustring("{offset: 0, length: 10, path: \"\"}"), o.toString());
    b.path = "/x";
    b.clear();
    EXPECT_EQ(0u, b.offset);
    EXPECT_EQ(0u, b.length);
    EXPECT_TRUE(b.empty());
}

TEST(PObjectTest, SwapAndClear)
{
    PObject a("x"), b(static_cast<uint64_t>(2));
    a.swap(b);
    EXPECT_EQ(2u, a.asUInt64());
    EXPECT_EQ(ustring("x"), b.asString());
    a.clear();
    EXPECT_TRUE(a.isNull());
}
