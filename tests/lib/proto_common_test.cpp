#include "proto-common.h"

#include "channel.h"
#include "error-code.h"
#include "protocol/stream.h"
#include "support/hex-text.h"
#include "support/tls-loopback.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

std::string HeaderBytes(uint8_t command)
{
    Channel a, b;
    EXPECT_TRUE(MakeLoopbackPair(a, b));
    EXPECT_EQ(0, ProtoWriteHeader(&a, 0, command));
    EXPECT_EQ(8u, a.GetWritePending()) << "the header waits for the body";
    a.Close();
    return Hex(RecvAllRaw(b.GetSocket(), 64));
}

} // namespace

TEST(ProtoHeaderTest, HeaderBytes)
{
    EXPECT_EQ("25 52 18 14 46 06 00 00", HeaderBytes(SCMD_EVT_PULL));
    EXPECT_EQ("25 52 18 14 46 1B 00 00", HeaderBytes(27));
}

TEST(ProtoHeaderTest, ClosedChannelFailsWithItsCode)
{
    Channel closed;
    EXPECT_EQ(ERR_IO, ProtoWriteHeader(&closed, 0, SCMD_EVT_PULL));
}

TEST(ProtoHeaderTest, CommandNames)
{
    EXPECT_STREQ("Unknown command", ProtoCmd2String(0));
    EXPECT_STREQ("SCMD_REQUEST", ProtoCmd2String(1));
    EXPECT_STREQ("SCMD_EVT_PULL", ProtoCmd2String(6));
    EXPECT_STREQ("SCMD_REQUEST_CONNECT", ProtoCmd2String(14));
    EXPECT_STREQ("SCMD_REQUEST_SSL_2", ProtoCmd2String(22));
    EXPECT_STREQ("SCMD_GET_FOLDER_LIST", ProtoCmd2String(24));
    EXPECT_STREQ("Unknown command", ProtoCmd2String(25));
    EXPECT_STREQ("Unknown command", ProtoCmd2String(27));
    EXPECT_STREQ("Unknown command", ProtoCmd2String(-1));
}

TEST(ErrorCodeTest, TextsBySignlessCode)
{
    EXPECT_STREQ("Successful", GetErrorString(ERR_OK));
    EXPECT_STREQ("Protocal error", GetErrorString(ERR_PROTO));
    EXPECT_STREQ("no permission ", GetErrorString(ERR_PERMISS));
    EXPECT_STREQ("ssl certificate verify fail", GetErrorString(-24));
    EXPECT_STREQ("ssl certificate verify fail", GetErrorString(24));
    EXPECT_STREQ("permission is read-only", GetErrorString(ERR_PERMISS_READ_ONLY));
    EXPECT_STREQ("Unknown error", GetErrorString(ERR_MAX));
    EXPECT_STREQ("Unknown error", GetErrorString(26));
    EXPECT_STREQ("Unknown error", GetErrorString(-2147483647 - 1));
}

TEST(InitRequestTest, PreambleLeadsTheRequestOnTheWire)
{
    PObject request;
    InitRequest(request, "pull_event");
    request["session"] = "s";
    EXPECT_EQ(ustring("{\"_action\": \"pull_event\", \"_agent\": {\"platform\": \"Windows\", "
                      "\"version\": {\"build\": 3109, \"major\": 3, \"minor\": 0}}, "
                      "\"session\": \"s\"}"),
              request.toString());

    Channel a, b;
    ASSERT_TRUE(MakeLoopbackPair(a, b));
    PStream stream;
    ASSERT_EQ(0, stream.Send(a, request));
    a.Close();
    std::string wire = RecvAllRaw(b.GetSocket(), 4096);
    // map tag, then the key "action" and its value, then the key "agent".
    std::string expected_start = std::string("\x42\x10\x00\x06", 4) + "action" +
                                 std::string("\x10\x00\x0a", 3) + "pull_event" +
                                 std::string("\x10\x00\x05", 3) + "agent";
    EXPECT_EQ(Hex(expected_start), Hex(wire.substr(0, expected_start.size())));
}
