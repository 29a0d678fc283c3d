// Uploads end to end against the stand-in server: whole, a small edit as a delta, a large
// file resumed after the server dropped the connection, and a file another process locks.
#include "transfer_fixture.h"

#include <fcntl.h>
#include <sys/wait.h>

namespace
{

using namespace transfer_test;

class UploadTest : public TransferTest
{
};

// Bytes of upload data the server logged for its last request on `path`.
unsigned long long LastUploadIn(const std::string &log, const std::string &path)
{
    const size_t at = log.rfind("path=" + path + " ");
    if (at == std::string::npos) {
        return 0;
    }
    const size_t in = log.find("in=", at);
    return in == std::string::npos ? 0 : std::stoull(log.substr(in + 3));
}

TEST_F(UploadTest, NewFileWholeThenSmallEditAsDelta)
{
    const std::string path = local + "/d/e/report.bin";
    std::string content = RandomBytes(2 * 1024 * 1024, 4);
    WriteFile(path, content);
    SetMtime(path, 1700001000);
    ASSERT_EQ(0, run(localEvent("/d/e/report.bin", Event::EV_CREATE)));
    EXPECT_EQ(content, serverFile("/d/e/report.bin"));
    DBFileInfo synced = row("/d/e/report.bin");
    EXPECT_NE(0u, synced.syncID);
    EXPECT_EQ(1700001000u, synced.fileModTime);
    EXPECT_EQ(serverEntry("/d/e/report.bin")["hash"].get<std::string>(),
              std::string(synced.fileCheckSum.c_str_utf8()));

    content.replace(1000000, 8, "changed!");
    WriteFile(path, content);
    SetMtime(path, 1700001100);
    ASSERT_EQ(0, run(localEvent("/d/e/report.bin", Event::EV_MODIFY)));
    EXPECT_EQ(content, serverFile("/d/e/report.bin"));
    const std::string log = server.log();
    EXPECT_NE(std::string::npos, log.find("transfer=delta"));
    const unsigned long long sent = LastUploadIn(log, "/d/e/report.bin");
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, content.size() / 50);

    // Only the time changed: nothing is sent and the time goes back to the synced one.
    const size_t requests = server.log().size();
    SetMtime(path, 1700001200);
    ASSERT_EQ(0, run(localEvent("/d/e/report.bin", Event::EV_MODIFY)));
    EXPECT_EQ(requests, server.log().size());
}

TEST_F(UploadTest, InterruptedLargeUploadResumesAtServerOffset)
{
    const std::string content = RandomBytes(20 * 1024 * 1024, 5);
    WriteFile(local + "/big.bin", content);
    ASSERT_EQ(0, server.admin({"fault", "add", "drop_recv", std::to_string(8 * 1024 * 1024),
                               "--command", "27"}));
    const Event ev = localEvent("/big.bin", Event::EV_CREATE);
    const int first = run(ev);
    EXPECT_TRUE(first == ERR_IO || first == ERR_CH_CONNECTION_ABORT) << first;
    // The worker waits before a retry; the server has stored what arrived by then.
    ASSERT_TRUE(server.waitForLog("bytes of an interrupted upload"));
    ASSERT_EQ(0, run(ev));
    EXPECT_EQ(content, serverFile("/big.bin"));
    const std::string log = server.log();
    EXPECT_NE(std::string::npos, log.find("action=resume_get_status"));
    const unsigned long long second = LastUploadIn(log, "/big.bin");
    EXPECT_GT(second, 0u);
    EXPECT_LT(second, content.size() - 4 * 1024 * 1024);
    EXPECT_NE(0u, row("/big.bin").syncID);
}

TEST_F(UploadTest, LockedFileIsGivenBackThenUploaded)
{
    WriteFile(local + "/locked.txt", "held by another process\n");
    int ready[2];
    int release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open((local + "/locked.txt").c_str(), O_RDWR);
        struct flock fl = {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fcntl(fd, F_SETLK, &fl);
        char c = 1;
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    const Event ev = localEvent("/locked.txt", Event::EV_CREATE);
    EXPECT_EQ(ERR_LOCKED_FILE, run(ev));
    EXPECT_EQ(0u, row("/locked.txt").syncID);
    (void)!write(release[1], &c, 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(0, run(ev));
    EXPECT_EQ("held by another process\n", serverFile("/locked.txt"));
    for (int fd : {ready[0], ready[1], release[0], release[1]}) {
        close(fd);
    }
}

} // namespace
