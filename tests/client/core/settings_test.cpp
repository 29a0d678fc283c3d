#include "client/core/settings.h"

#include "support/temp-dir.h"

#include <gtest/gtest.h>

namespace
{

TEST(SettingsTest, Defaults)
{
    Settings s;
    EXPECT_STREQ("/var/run/aerolith-daemon.pid", s.getPidFilePath().c_str_utf8());
    EXPECT_STREQ("/var/log/aerolith-daemon.log", s.getLogFilePath().c_str_utf8());
    EXPECT_STREQ("/var/log/aerolith-daemon.debug", s.getLogLevelFilePath().c_str_utf8());
    EXPECT_STREQ("/tmp/file-status.sqlite", s.getFStatDbPath().c_str_utf8());
    EXPECT_STREQ("/tmp/filter.sqlite", s.getFilterDbPath().c_str_utf8());
    EXPECT_STREQ("/tmp/history.sqlite", s.getHistoryDbPath().c_str_utf8());
    EXPECT_STREQ("/tmp/filter", s.getSystemFilterPath().c_str_utf8());
    EXPECT_STREQ(".ZentoraWorkingDirectory", s.getWorkDirName().c_str_utf8());
    EXPECT_TRUE(s.getCertPath().empty());
    EXPECT_TRUE(s.getSocketPath().empty());
    EXPECT_TRUE(s.getUISocketPath().empty());
    EXPECT_EQ(3u, s.getWorkerCount());
    EXPECT_EQ(1024, s.getUIPort());
    EXPECT_FALSE(s.isForeground());
}

struct FileCase {
    const char *content;
    int result;
    uint32_t workers;
    int32_t port;
    bool foreground;
    const char *cert;
};

TEST(SettingsTest, FilesOverDefaults)
{
    const FileCase cases[] = {
        {"worker_count = 5 # five\n", 0, 5, 1024, false, ""},
        {"ui_port = word\n", 0, 3, 0, false, ""},
        {"is_foreground = TRUE\n", 0, 3, 1024, false, ""},
        {"is_foreground = true\n", 0, 3, 1024, true, ""},
        {"is_foreground = yes\n", 0, 3, 1024, false, ""},
        {"cert_path = \"/my certs/ca.pem\"\n", 0, 3, 1024, false, "/my certs/ca.pem"},
        {"worker_count = 5\ncert_path = /my certs/ca.pem\n", -1, 3, 1024, false, ""},
        {"cert_path = \"\"\n", 0, 3, 1024, false, ""},
        {"cert_path =\n", -1, 3, 1024, false, ""},
        {"ui_port = 1\nui_port = 2\n", 0, 3, 2, false, ""},
        {"unknown_key = 9\n", 0, 3, 1024, false, ""},
        {"worker_count = -4\n", 0, Settings::kMinWorkers, 1024, false, ""},
        {"worker_count = 0\n", 0, Settings::kMinWorkers, 1024, false, ""},
        {"worker_count = 100000\n", 0, Settings::kMaxWorkers, 1024, false, ""},
    };
    TempDir dir;
    for (const auto &c : cases) {
        Settings s;
        EXPECT_EQ(c.result, s.loadConfigSettings(dir.write("conf", c.content).c_str()))
            << c.content;
        EXPECT_EQ(c.workers, s.getWorkerCount()) << c.content;
        EXPECT_EQ(c.port, s.getUIPort()) << c.content;
        EXPECT_EQ(c.foreground, s.isForeground()) << c.content;
        EXPECT_STREQ(c.cert, s.getCertPath().c_str_utf8()) << c.content;
    }
    Settings missing;
    EXPECT_EQ(-1, missing.loadConfigSettings(dir.file("absent").c_str()));
    EXPECT_EQ(3u, missing.getWorkerCount());
}

} // namespace
