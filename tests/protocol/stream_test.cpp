#include "protocol/stream.h"

#include "channel.h"
#include "log.h"
#include "support/hex-text.h"
#include "support/temp-dir.h"
#include "support/tls-loopback.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace
{

std::string Bytes(std::initializer_list<int> values)
{
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

PObject Int(uint64_t v)
{
    return PObject(v);
}

class StreamTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(MakeLoopbackPair(sender, receiver)); }

    // What Send puts on the wire for o.
    std::string Encode(const PObject &o)
    {
        EXPECT_EQ(0, stream.Send(sender, o));
        sender.Close();
        return RecvAllRaw(receiver.GetSocket(), 1 << 20);
    }

    // Recv of a peer that sends bytes and closes.
    int Decode(const std::string &bytes, PObject &out)
    {
        EXPECT_TRUE(SendAllRaw(sender.GetSocket(), bytes));
        sender.Close();
        return stream.Recv(receiver, out);
    }

    Channel sender, receiver;
    PStream stream;
    TempDir dir;
};

PObject Binary(const std::string &path, uint64_t offset, uint64_t length)
{
    PObject::binary_type b;
    b.path = path;
    b.offset = offset;
    b.length = length;
    PObject o;
    o = b;
    return o;
}

} // namespace

TEST_F(StreamTest, EncodingIsByteExact)
{
    PObject map;
    map["_action"] = "x";
    map["n"] = 1;
    PObject keys;
    keys["_id"] = 1;
    keys["_"] = 2;
    PObject array;
    array.asArray().push_back(Int(1));
    array.asArray().push_back(PObject());
    std::string empty_file = dir.write("empty", "");
    struct Case {
        PObject object;
        std::string hex;
    } cases[] = {
        {PObject(), "00 00"},
        {Int(0), "01 01 00"},
        {Int(255), "01 01 FF"},
        {Int(256), "01 02 01 00"},
        {Int(300), "01 02 01 2C"},
        {Int(65535), "01 02 FF FF"},
        {Int(65536), "01 04 00 01 00 00"},
        {Int(0xFFFFFFFFull), "01 04 FF FF FF FF"},
        {Int(1ull << 32), "01 08 00 00 00 01 00 00 00 00"},
        {PObject("abc"), "10 00 03 61 62 63"},
        {PObject(""), "10 00 00"},
        {map, "42 10 00 06 61 63 74 69 6F 6E 10 00 01 78 10 00 01 6E 01 01 01 40"},
        // "_" sorts before "_id"; both lose the underscore.
        {keys, "42 10 00 00 01 01 02 10 00 02 69 64 01 01 01 40"},
        {array, "41 01 01 01 00 00 40"},
        {Binary(empty_file, 0, 0), "30 00 00 00 00 00 00 00 00"},
    };
    for (const Case &c : cases) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        ASSERT_EQ(0, stream.Send(a, c.object)) << c.hex;
        a.Close();
        EXPECT_EQ(c.hex, Hex(RecvAllRaw(b.GetSocket(), 4096))) << c.object.toString().c_str_utf8();
    }
}

TEST_F(StreamTest, DecodesWhatItEncodes)
{
    PObject o;
    o["a"] = 1;
    o["big"] = static_cast<uint64_t>(0xFEDCBA9876543210ull);
    o["list"].asArray().push_back(PObject("x"));
    o["list"].asArray().push_back(PObject());
    o["list"].asArray().push_back(PObject());
    o["list"][2]["nested"] = "y";
    o["empty_map"].asMap();
    o["empty_list"].asArray();
    std::thread writer([&] { EXPECT_EQ(0, stream.Send(sender, o)); });
    PStream reader;
    PObject got;
    EXPECT_EQ(0, reader.Recv(receiver, got));
    writer.join();
    EXPECT_EQ(o.toString(), got.toString());
}

TEST_F(StreamTest, MalformedInputIsRefused)
{
    std::string deep(PStream::MAX_DEPTH + 1, '\x41');
    struct Case {
        const char *name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"null with a length", Bytes({0x00, 0x05}), -5},
        {"map key that is not a string", Bytes({0x42, 0x01, 0x01, 0x01}), -5},
        {"integer wider than 8 bytes", Bytes({0x01, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9}), -5},
        {"unknown tag", Bytes({0x20}), -5},
        {"stray end marker", Bytes({0x40}), -5},
        {"nesting too deep", deep, -5},
        {"peer closes inside a string", Bytes({0x10, 0x00, 0x05, 'a'}), -2},
        {"peer closes inside a map", Bytes({0x42, 0x10, 0x00, 0x01, 'k'}), -2},
        {"nothing at all", "", -2},
    };
    for (const Case &c : cases) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        ASSERT_TRUE(SendAllRaw(a.GetSocket(), c.bytes));
        a.Close();
        PObject out;
        EXPECT_EQ(c.expected, stream.Recv(b, out)) << c.name;
    }
}

TEST_F(StreamTest, ErrorStackNamesTheEnclosingKeys)
{
    TempDir logs;
    std::string log_path = logs.file("stream.log");
    ASSERT_EQ(0, Logger::Initialize(Logger::FILE_LOGGER, log_path, "", 1));
    // {"file": {"data": {<integer where a key belongs>}}}
    std::string bytes = Bytes({0x42, 0x10, 0x00, 0x04}) + "file" + Bytes({0x42, 0x10, 0x00, 0x04}) +
                        "data" + Bytes({0x42, 0x01, 0x01, 0x07});
    PObject out;
    int ret = Decode(bytes, out);
    Logger::Initialize(Logger::STDERR_LOGGER, "", "", 1);
    EXPECT_EQ(-5, ret);
    std::string log = readFile(log_path);
    EXPECT_NE(std::string::npos, log.find("PStream: expect string, but get tag 1")) << log;
    EXPECT_NE(std::string::npos, log.find("Error stack: file.file.data\n")) << log;
}

TEST_F(StreamTest, ReceiveLimitBoundsStringBytesAndItemsButNotBinaries)
{
    std::string blob = dir.write("blob", std::string(100, 'b'));
    std::string eight = "12345678";
    // Bounds of 8 bytes and 4 items: the message itself is an item, so are array elements
    // and map values; keys and strings count their bytes.
    struct Case {
        const char *name;
        std::string bytes;
        int expected;
    } cases[] = {
        {"array of 3 nulls", Bytes({0x41, 0, 0, 0, 0, 0, 0, 0x40}), 0},
        {"array of 4 nulls", Bytes({0x41, 0, 0, 0, 0, 0, 0, 0, 0, 0x40}), -2},
        {"string at the byte bound", Bytes({0x10, 0, 8}) + eight, 0},
        {"string one byte over", Bytes({0x10, 0, 9}) + eight + "9", -2},
        {"key and value within",
         Bytes({0x42, 0x10, 0, 4}) + "abcd" + Bytes({0x10, 0, 4}) + "efgh" + Bytes({0x40}), 0},
        {"key bytes count too",
         Bytes({0x42, 0x10, 0, 5}) + "abcde" + Bytes({0x10, 0, 4}) + "efgh" + Bytes({0x40}), -2},
        {"a binary of 100 bytes is one item",
         Bytes({0x41, 0x30, 0, 0, 0, 0, 0, 0, 0, 100}) + std::string(100, 'b') + Bytes({0x40}), 0},
        // Nothing after the bound is waited for: the peer is still sending.
        {"endless array", Bytes({0x41}) + std::string(1000, '\x41'), -2},
    };
    for (const Case &c : cases) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        ASSERT_TRUE(SendAllRaw(a.GetSocket(), c.bytes));
        PStream limited;
        limited.SetDefaultRecvLocation(dir.path());
        limited.SetRecvLimit(8, 4);
        PObject out;
        EXPECT_EQ(c.expected, limited.Recv(b, out)) << c.name;
        EXPECT_EQ(c.expected != 0, limited.RecvLimitExceeded()) << c.name;
        // Without bounds the same messages are taken (the endless one stops at the depth).
        PStream open;
        open.SetDefaultRecvLocation(dir.path());
        Channel c2, d2;
        ASSERT_TRUE(MakeLoopbackPair(c2, d2));
        ASSERT_TRUE(SendAllRaw(c2.GetSocket(), c.bytes));
        c2.Close();
        PObject all;
        int unbounded = open.Recv(d2, all);
        EXPECT_TRUE(unbounded == 0 || std::string(c.name) == "endless array") << c.name;
        EXPECT_FALSE(open.RecvLimitExceeded()) << c.name;
    }
}

TEST_F(StreamTest, ReceiveLimitsOnNestingContainersAndBinaries)
{
    auto limits = [](unsigned depth, uint64_t entries, uint64_t elements, uint64_t binaries,
                     uint64_t length) {
        PStreamRecvLimits l;
        l.depth = depth;
        l.map_entries = entries;
        l.array_elements = elements;
        l.binary_items = binaries;
        l.binary_length = length;
        return l;
    };
    std::string key_a = Bytes({0x10, 0, 1, 'a', 0, 0});
    std::string key_b = Bytes({0x10, 0, 1, 'b', 0, 0});
    std::string key_c = Bytes({0x10, 0, 1, 'c', 0, 0});
    auto binary = [](int n) {
        return Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, n}) + std::string(static_cast<size_t>(n), 'b');
    };
    struct Case {
        const char *name;
        PStreamRecvLimits limits;
        std::string bytes;
        int expected;
    } cases[] = {
        {"depth 2 of 2", limits(2, 0, 0, 0, 0), Bytes({0x41, 0x41, 0x40, 0x40}), 0},
        {"depth 3 of 2", limits(2, 0, 0, 0, 0), Bytes({0x41, 0x41, 0x41, 0x40, 0x40, 0x40}), -2},
        {"2 map entries of 2", limits(0, 2, 0, 0, 0), Bytes({0x42}) + key_a + key_b + "@", 0},
        {"3 map entries of 2", limits(0, 2, 0, 0, 0), Bytes({0x42}) + key_a + key_b + key_c + "@",
         -2},
        {"2 array elements of 2", limits(0, 0, 2, 0, 0), Bytes({0x41, 0, 0, 0, 0, 0x40}), 0},
        {"3 array elements of 2", limits(0, 0, 2, 0, 0), Bytes({0x41, 0, 0, 0, 0, 0, 0, 0x40}), -2},
        {"1 binary of 1", limits(0, 0, 0, 1, 0), Bytes({0x41}) + binary(3) + "@", 0},
        {"2 binaries of 1", limits(0, 0, 0, 1, 0), Bytes({0x41}) + binary(3) + binary(3) + "@", -2},
        {"binary of 10 bytes, bound 10", limits(0, 0, 0, 0, 10), binary(10), 0},
        {"binary of 11 bytes, bound 10", limits(0, 0, 0, 0, 10), binary(11), -2},
    };
    for (const Case &c : cases) {
        TempDir store;
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        ASSERT_TRUE(SendAllRaw(a.GetSocket(), c.bytes));
        PStream limited;
        limited.SetDefaultRecvLocation(store.path());
        limited.SetRecvLimits(c.limits);
        EXPECT_TRUE(limited.HasRecvLimit());
        PObject out;
        EXPECT_EQ(c.expected, limited.Recv(b, out)) << c.name;
        EXPECT_EQ(c.expected != 0, limited.RecvLimitExceeded()) << c.name;
        if (std::string(c.name) == "binary of 11 bytes, bound 10") {
            EXPECT_TRUE(std::filesystem::is_empty(store.path())) << "nothing stored";
        }
    }
}

TEST_F(StreamTest, ReceiveLimitHoldsForEveryMessageAndResetsItsCount)
{
    stream.SetRecvLimit(0, 3);
    EXPECT_TRUE(stream.HasRecvLimit());
    std::string two = Bytes({0x41, 0, 0, 0, 0, 0x40});
    ASSERT_TRUE(SendAllRaw(sender.GetSocket(), two + two + two));
    for (int i = 0; i < 3; ++i) {
        PObject out;
        EXPECT_EQ(0, stream.Recv(receiver, out)) << i;
    }
    stream.SetRecvLimit(0, 0);
    EXPECT_FALSE(stream.HasRecvLimit());
}

TEST_F(StreamTest, ReceivedStringEndsAtEmbeddedNul)
{
    PObject out;
    ASSERT_EQ(0, Decode(Bytes({0x10, 0x00, 0x05, 'a', 'b', 0, 'c', 'd'}), out));
    EXPECT_EQ(ustring("ab"), out.asString());
}

TEST_F(StreamTest, TooLongStringIsRefusedBeforeAnythingIsWritten)
{
    PObject ok(ustring(std::string(65535, 'x')));
    PObject too_long(ustring(std::string(65536, 'x')));
    EXPECT_EQ(-5, stream.Send(sender, too_long));
    PObject as_key;
    as_key[ustring(std::string(70000, 'k'))] = 1;
    EXPECT_EQ(-5, stream.Send(sender, as_key));
    EXPECT_EQ(1u, sender.GetWritePending()) << "only the map tag of the second message";
    sender.ClearWrite();
    std::thread writer([&] { EXPECT_EQ(0, stream.Send(sender, ok)); });
    PStream reader;
    PObject got;
    EXPECT_EQ(0, reader.Recv(receiver, got));
    writer.join();
    EXPECT_EQ(65535u, got.asString().length());
}

TEST_F(StreamTest, BinaryStretchOfAFileTravelsIntoTheTargetFile)
{
    std::string content;
    for (int i = 0; i < 300000; ++i)
        content += static_cast<char>('a' + i % 26);
    std::string source = dir.write("source", content);
    PObject request;
    request["file"]["data"] = Binary(source, 1000, 200000);
    std::thread writer([&] { EXPECT_EQ(0, stream.Send(sender, request)); });
    PStream reader;
    PObject response;
    std::string target = dir.file("target");
    response["file"]["data"] = Binary(target, 0, 0);
    EXPECT_EQ(0, reader.Recv(receiver, response));
    writer.join();
    EXPECT_EQ(content.substr(1000, 200000), readFile(target));
    const PObject::binary_type &b = response["file"]["data"].asBinary();
    EXPECT_EQ(200000u, b.offset);
    EXPECT_EQ(200000u, b.length);
    EXPECT_EQ(ustring(target), b.path);
}

TEST_F(StreamTest, StoringRulesForResumedTransfers)
{
    struct Case {
        const char *name;
        std::string existing;
        uint64_t offset, length;
        std::string expected;
    } cases[] = {
        {"offset 0 empties the file", "old content", 0, 0, "world"},
        {"offset equal to length appends", "hello", 5, 5, "helloworld"},
        {"offset below length cuts first", "helloXXXX", 5, 9, "helloworld"},
    };
    std::string source = dir.write("source", "world");
    for (const Case &c : cases) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        std::string target = dir.write("target", c.existing);
        ASSERT_EQ(0, stream.Send(a, Binary(source, 0, 5)));
        PObject into = Binary(target, c.offset, c.length);
        EXPECT_EQ(0, stream.Recv(b, into)) << c.name;
        EXPECT_EQ(c.expected, readFile(target)) << c.name;
        EXPECT_EQ(c.offset + 5, into.asBinary().offset) << c.name;
        EXPECT_EQ(c.offset + 5, into.asBinary().length) << c.name;
    }
}

TEST_F(StreamTest, EmptyBinaryCreatesTheFileAndKeepsTheOffset)
{
    std::string target = dir.write("target", "stale");
    PObject into = Binary(target, 0, 0);
    ASSERT_EQ(0, Decode(Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, 0}), into));
    EXPECT_EQ("", readFile(target));
    EXPECT_EQ(0u, into.asBinary().offset);
    EXPECT_EQ(0u, into.asBinary().length);
}

TEST_F(StreamTest, BinaryWithoutTargetNeedsAReceiveLocation)
{
    PObject nowhere;
    EXPECT_EQ(-1, Decode(Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, 3, 'x', 'y', 'z'}), nowhere));
    EXPECT_TRUE(nowhere.asBinary().empty());
}

TEST_F(StreamTest, BinaryWithoutTargetGoesToTheReceiveLocation)
{
    stream.SetDefaultRecvLocation(dir.path());
    PObject into;
    ASSERT_EQ(0, Decode(Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, 3, 'x', 'y', 'z'}), into));
    const PObject::binary_type &b = into.asBinary();
    ASSERT_EQ(dir.path().size() + 9, b.path.length()) << b.path.c_str_utf8();
    EXPECT_EQ(0, b.path.find(ustring(dir.path() + "/")));
    EXPECT_EQ("xyz", readFile(b.path.c_str_utf8()));
    EXPECT_EQ(3u, b.length);
}

TEST_F(StreamTest, InterruptedBinaryRecordsWhatWasStored)
{
    std::string target = dir.file("partial");
    PObject into = Binary(target, 0, 0);
    // Announces 10 bytes, delivers 4, closes.
    EXPECT_EQ(-2, Decode(Bytes({0x30, 0, 0, 0, 0, 0, 0, 0, 10, 'a', 'b', 'c', 'd'}), into));
    EXPECT_EQ("abcd", readFile(target));
    EXPECT_EQ(4u, into.asBinary().offset);
    EXPECT_EQ(4u, into.asBinary().length);
}

TEST_F(StreamTest, HugeAnnouncedBinaryReservesNothing)
{
    std::string target = dir.file("huge");
    PObject into = Binary(target, 0, 0);
    EXPECT_EQ(-2, Decode(Bytes({0x30, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 'a'}), into));
    EXPECT_EQ("a", readFile(target));
}

TEST_F(StreamTest, FileShorterThanItsBinaryIsRefused)
{
    std::string source = dir.write("short", "12345");
    EXPECT_EQ(-5, stream.Send(sender, Binary(source, 0, 10)));
    EXPECT_EQ(-5, stream.Send(sender, Binary(source, 3, 3)));
    EXPECT_EQ(-1, stream.Send(sender, Binary(dir.file("missing"), 0, 1)));
}

TEST_F(StreamTest, DiskFullWhileStoringGivesMinus4)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    for (uint64_t size : {100ull, 200000ull}) {
        Channel a, b;
        ASSERT_TRUE(MakeLoopbackPair(a, b));
        std::string source = dir.write("source", std::string(size, 'z'));
        std::thread writer([&] { stream.Send(a, Binary(source, 0, size)); });
        PStream reader;
        PObject into = Binary("/dev/full", 0, 0);
        EXPECT_EQ(-4, reader.Recv(b, into)) << size;
        b.Close();
        writer.join();
    }
}

TEST_F(StreamTest, StatusShowsTheKeyPathAndProgressOfTheBinaryInTransfer)
{
    ustring path;
    uint64_t sent = 1, size = 1;
    stream.GetStatus(path, sent, size);
    EXPECT_EQ(ustring(""), path);
    EXPECT_EQ(0u, sent);

    // 200000 bytes announced, 100000 delivered: the first 81920-byte chunk is stored and
    // the second one waits.
    const uint64_t total = 200000;
    std::string head = Bytes({0x42, 0x10, 0x00, 0x04}) + "file" + Bytes({0x42, 0x10, 0x00, 0x04}) +
                       "data" + Bytes({0x30, 0, 0, 0, 0, 0, 0x03, 0x0D, 0x40});
    ASSERT_TRUE(SendAllRaw(sender.GetSocket(), head + std::string(100000, 'q')));
    PObject response;
    response["file"]["data"] = Binary(dir.file("data"), 0, 0);
    int result = 1;
    std::thread reader([&] { result = stream.Recv(receiver, response); });
    for (int i = 0; i < 500 && sent != 81920; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stream.GetStatus(path, sent, size);
    }
    EXPECT_EQ(ustring("file.file.data"), path);
    EXPECT_EQ(81920u, sent);
    EXPECT_EQ(total, size);
    ASSERT_TRUE(SendAllRaw(sender.GetSocket(), std::string(100000, 'q') + Bytes({0x40, 0x40})));
    reader.join();
    EXPECT_EQ(0, result);
    stream.GetStatus(path, sent, size);
    EXPECT_EQ(ustring(""), path);
    EXPECT_EQ(0u, size);
    EXPECT_EQ(std::string(total, 'q'), readFile(dir.file("data")));
}

TEST(StreamVersionTest, ReportsOneZeroZero)
{
    int major = 0, minor = 9, mini = 9;
    PStream::GetVersion(major, minor, mini);
    EXPECT_EQ(1, major);
    EXPECT_EQ(0, minor);
    EXPECT_EQ(0, mini);
}
