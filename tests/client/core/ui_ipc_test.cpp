// Notifications to the user interface, received by a stand-in listener.
#include "client/core/settings.h"
#include "client/core/ui-ipc.h"
#include "event.h"
#include "ipc.h"
#include "support/control-fake-ui.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{

std::string render(const PObject &obj)
{
    return obj.toString().c_str_utf8();
}

void pointNotificationsAt(int port)
{
    TempDir dir;
    std::string conf = dir.write("conf", "ui_port = " + std::to_string(port) + "\n");
    ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(conf));
}

Event event(Event::Type type, bool dir, const char *path)
{
    Event e;
    e.m_type = type;
    e.m_sess_id = 12;
    e.m_path = path;
    if (dir) {
        e.setDir();
    }
    return e;
}

TEST(UiIpcTest, EveryNotificationCarriesItsMembers)
{
    FakeUI ui;
    pointNotificationsAt(ui.port());
    Event file = event(Event::EV_MODIFY, false, "/a/b.txt");
    Event dir = event(Event::EV_CREATE, true, "/d");

    ASSERT_EQ(0, UI_IPC::ReportConnectionErrorToUI(3, 12, -9));
    ASSERT_EQ(0, UI_IPC::ReportSessionErrorToUI(3, 12, -17));
    ASSERT_EQ(0, UI_IPC::ReportFileLockedEventToUI(file, -23));
    ASSERT_EQ(0, UI_IPC::ReportFileEventToUI(file));
    ASSERT_EQ(0, UI_IPC::ReportFileROToUI(dir));
    ASSERT_EQ(0, UI_IPC::ReportFileSyncingEventToUI(dir));
    ASSERT_TRUE(ui.waitFor(6, 5000));

    const char *expected[] = {
        "{\"conn_id\": 3, \"connection_id\": 3, \"error_type\": 18446744073709551607, "
        "\"notify\": \"error\", \"sess_id\": 12}",
        "{\"conn_id\": 3, \"error_type\": 18446744073709551599, \"notify\": \"error\", "
        "\"sess_id\": 12, \"session_id\": 12}",
        "{\"error\": {\"code\": 18446744073709551593, \"reason\": \"file locked\"}, "
        "\"is_dir\": 0, \"notify\": \"locked_file\", \"path\": \"/a/b.txt\", "
        "\"session_id\": 12}",
        "{\"event_type\": 3, \"is_dir\": 0, \"notify\": \"recent_file\", \"path\": "
        "\"/a/b.txt\", \"session_id\": 12}",
        "{\"event_type\": 1, \"is_dir\": 1, \"notify\": \"readonly_file\", \"path\": \"/d\", "
        "\"session_id\": 12}",
        "{\"event_type\": 1, \"is_dir\": 1, \"notify\": \"syncing_file\", \"path\": \"/d\", "
        "\"session_id\": 12}",
    };
    std::vector<PObject> got = ui.messages();
    ASSERT_EQ(6u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(expected[i], render(got[i])) << i;
    }
    EXPECT_EQ(-9, got[0]["error_type"].asInt64());
}

TEST(UiIpcTest, WithoutAListenerNotificationsFailAndAreDropped)
{
    pointNotificationsAt(unusedPort());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, UI_IPC::ReportConnectionErrorToUI(1, 2, -2));
    EXPECT_EQ(-1, UI_IPC::ReportFileEventToUI(event(Event::EV_REMOVE, false, "/x")));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, log.find("[ERROR] ui-ipc.cpp(")) << log;
    EXPECT_NE(std::string::npos, log.find("): failed to connect to local port ")) << log;
    EXPECT_NE(std::string::npos, log.find("\"notify\": \"recent_file\"")) << log;
    EXPECT_NE(std::string::npos, log.find(") is not sent\n")) << log;
}

// A user interface that is slow to take its connections: the senders do not wait for it,
// and each connection stays open (its owner still known, so the peer check passes) until
// the user interface has read it.
TEST(UiIpcTest, SendersDoNotWaitForASlowReaderWhoseMessagesStayCheckable)
{
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)));
    ASSERT_EQ(0, ::listen(listener, 16));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<struct sockaddr *>(&addr), &len));
    pointNotificationsAt(ntohs(addr.sin_port));

    const char *paths[] = {"/one", "/two", "/three"};
    auto begun = std::chrono::steady_clock::now();
    for (const char *path : paths) {
        ASSERT_EQ(0, UI_IPC::ReportFileEventToUI(event(Event::EV_MODIFY, false, path)));
    }
    // Waiting for the reader would take its whole 3 s timeout per message.
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(2000));

    for (const char *path : paths) {
        int sock = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(sock, 0);
        EXPECT_TRUE(IPCPeerTrusted(sock, IPC_PEER_CONNECTION, "notification")) << path;
        IPCSender conn;
        conn.setTimeout(3);
        ASSERT_EQ(0, conn.assign(sock));
        PObject msg;
        ASSERT_EQ(0, conn.recv(msg));
        EXPECT_EQ(path, std::string(msg["path"].asString().c_str_utf8()));
    }
    ::close(listener);
}

} // namespace
