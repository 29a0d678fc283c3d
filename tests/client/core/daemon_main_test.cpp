// Start-up and orderly end of the real daemon binary.
#include "support/control-fake-ui.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace
{

const std::string kDaemon = std::string(AEROLITH_BINARY_DIR) + "/client/core/aerolith-daemon";

struct Run {
    pid_t pid = -1;
    int status = -1;
};

// Starts the daemon with `args`, its standard output and error going to files.
pid_t startDaemon(const std::vector<std::string> &args, const std::string &out_path,
                  const std::string &err_path)
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv{const_cast<char *>(kDaemon.c_str())};
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(kDaemon.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// The daemon serves control messages until stopped: wait for its port announcement, then
// end it the orderly way.
void stopAfterAnnouncement(FakeUI &ui, pid_t pid)
{
    EXPECT_TRUE(ui.waitFor(1, 10000));
    kill(pid, SIGTERM);
}

std::string uiPortLine(const FakeUI &ui)
{
    return "ui_port = " + std::to_string(ui.port()) + "\n";
}

int waitExit(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

const char kUsage[] = "* Controling application: \n    Control <action>\n\n"
                      "* Controling session: \n    ControlSession <action> <session_id> \n\n"
                      "* Supported actions: \n    stop\n    link\n    unlink\n    pause\n"
                      "    resume\n    reload_setting\n    reload_session\n    add_session\n"
                      "    remove_session\n\n";

TEST(DaemonMainTest, TooManyArgumentsTouchNothing)
{
    TempDir dir;
    std::string conf =
        dir.write("conf", "is_foreground = true\npid_file_path = " + dir.file("pid") + "\n");
    pid_t pid = startDaemon({conf, "b", "c"}, dir.file("out"), dir.file("err"));
    EXPECT_EQ(255, waitExit(pid));
    EXPECT_FALSE(fileExists(dir.file("pid")));
    EXPECT_EQ("", readFile(dir.file("out")));
}

TEST(DaemonMainTest, ForegroundWritesPidFilePrintsUsageAndCleansUp)
{
    TempDir dir;
    FakeUI ui;
    // A FIFO as the pid file lets the test read what the daemon writes there before the
    // daemon removes it at its orderly end.
    std::string pid_path = dir.file("daemon.pid");
    ASSERT_EQ(0, mkfifo(pid_path.c_str(), 0600));
    // In the foreground the log shares standard output; silence the components whose
    // messages depend on the machine (a port above the UI's taken by another program).
    std::string levels = dir.write("levels", "ipc = 2\nchannel_debug = 2\nclient_debug = 2\n");
    std::string conf =
        dir.write("conf", "is_foreground = true\npid_file_path = " + pid_path +
                              "\nlog_level_file_path = " + levels + "\n" + uiPortLine(ui));
    pid_t pid = startDaemon({conf}, dir.file("out"), dir.file("err"));
    std::string written = readFile(pid_path);
    EXPECT_EQ(std::to_string(pid) + "\n", written);
    stopAfterAnnouncement(ui, pid);
    EXPECT_EQ(0, waitExit(pid));
    EXPECT_FALSE(fileExists(pid_path));
    EXPECT_EQ(kUsage, readFile(dir.file("out")));
}

TEST(DaemonMainTest, BackgroundLogsToTheLogFile)
{
    TempDir dir;
    FakeUI ui;
    std::string levels = dir.write("levels", "client_debug = 5\n");
    std::string conf =
        dir.write("conf", "pid_file_path = " + dir.file("pid") +
                              "\nlog_file_path = " + dir.file("daemon.log") +
                              "\nlog_level_file_path = " + levels + "\n" + uiPortLine(ui));
    pid_t pid = startDaemon({conf}, dir.file("out"), dir.file("err"));
    stopAfterAnnouncement(ui, pid);
    EXPECT_EQ(0, waitExit(pid));
    std::string log = readFile(dir.file("daemon.log"));
    EXPECT_NE(std::string::npos, log.find("[NOTE] test.cpp(")) << log;
    EXPECT_NE(std::string::npos, log.find("): daemon is now running in the background\n"));
    EXPECT_EQ(0u, log.find_first_of("ADFJMNOS")); // starts with the month of the timestamp
    EXPECT_FALSE(fileExists(dir.file("pid")));
}

TEST(DaemonMainTest, UnopenableLogFileIsReported)
{
    TempDir dir;
    std::string log_path = dir.file("missing-dir/daemon.log");
    std::string conf =
        dir.write("conf", "pid_file_path = " + dir.file("pid") + "\nlog_file_path = " + log_path +
                              "\nlog_level_file_path = /nonexistent\n");
    pid_t pid = startDaemon({conf}, dir.file("out"), dir.file("err"));
    EXPECT_EQ(255, waitExit(pid));
    EXPECT_EQ("Aerolith: client is not enabled " + log_path + " /nonexistent\n",
              readFile(dir.file("err")));
    EXPECT_FALSE(fileExists(dir.file("pid")));
}

TEST(DaemonMainTest, UncreatablePidFileIsLoggedAndStartGoesOn)
{
    TempDir dir;
    FakeUI ui;
    std::string conf =
        dir.write("conf", "is_foreground = true\npid_file_path = " + dir.file("no/dir/pid") + "\n" +
                              uiPortLine(ui));
    pid_t pid = startDaemon({conf, "ignored-second-argument"}, dir.file("out"), dir.file("err"));
    stopAfterAnnouncement(ui, pid);
    EXPECT_EQ(0, waitExit(pid));
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(std::string::npos, out.find("[ERROR] test.cpp("));
    EXPECT_NE(std::string::npos,
              out.find("): failed to create pid file at '" + dir.file("no/dir/pid") + "'\n"));
    EXPECT_NE(std::string::npos, out.find(kUsage));
}

} // namespace
