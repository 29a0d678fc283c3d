// Downloads end to end against the stand-in server: whole, as a patch, resumed after a
// dropped connection, over a locally changed file, and from the recycle bin.
#include "transfer_fixture.h"

#include "client/core/transfer-util.h"

namespace
{

using namespace transfer_test;

class DownloadTest : public TransferTest
{
protected:
    // The synced row's signature is the one a pass over the placed file gives.
    void ExpectSignatureOfPlacedFile(const std::string &path)
    {
        const DBFileInfo synced = row(path);
        ustring hash;
        const std::string check = tmp.file("check.sig");
        ASSERT_EQ(0, transfer::DigestFile(ustring(local + path), ustring(check), hash, nullptr));
        EXPECT_EQ(readFile(check), readFile(synced.signaturePath.c_str_utf8())) << path;
        EXPECT_EQ(std::string(hash.c_str_utf8()), std::string(synced.fileCheckSum.c_str_utf8()));
    }
};

TEST_F(DownloadTest, WholeFileThenSmallChangeAsPatch)
{
    std::string content = RandomBytes(300 * 1024, 1);
    serverPut("/docs/a.bin", content);
    Event ev = serverEvent("/docs/a.bin");
    ASSERT_EQ(0, run(ev));
    EXPECT_EQ(content, readFile(local + "/docs/a.bin"));
    DBFileInfo synced = row("/docs/a.bin");
    EXPECT_EQ(ev.m_sync_id, synced.syncID);
    EXPECT_EQ(Md4Of(local + "/docs/a.bin"), std::string(synced.fileCheckSum.c_str_utf8()));
    ExpectSignatureOfPlacedFile("/docs/a.bin");
    struct stat st;
    ASSERT_EQ(0, stat((local + "/docs/a.bin").c_str(), &st));
    EXPECT_EQ(1700000000, st.st_mtime);

    content.replace(150000, 5, "EDIT!");
    serverPut("/docs/a.bin", content, 1700000100);
    ASSERT_EQ(0, run(serverEvent("/docs/a.bin")));
    EXPECT_EQ(content, readFile(local + "/docs/a.bin"));
    EXPECT_TRUE(server.waitForLog("path=/docs/a.bin result=0x0"));
    EXPECT_NE(std::string::npos, server.log().find("transfer=patch"));
    // Only received files and the bin are left in the working directory.
    for (const auto &e :
         std::filesystem::directory_iterator(local + "/.ZentoraWorkingDirectory")) {
        EXPECT_EQ("#ZentRecycle", e.path().filename().string());
    }
    // The same event again is an echo: nothing is asked of the server.
    const size_t requests = server.log().size();
    ASSERT_EQ(0, run(serverEvent("/docs/a.bin")));
    EXPECT_EQ(requests, server.log().size());
}

TEST_F(DownloadTest, LocallyModifiedFileIsKeptAsConflictCopy)
{
    serverPut("/r.txt", "server v1\n");
    ASSERT_EQ(0, run(serverEvent("/r.txt")));
    WriteFile(local + "/r.txt", "my local edit\n");
    SetMtime(local + "/r.txt", 1700000500);
    serverPut("/r.txt", "server v2\n", 1700000600);
    ASSERT_EQ(0, run(serverEvent("/r.txt")));
    EXPECT_EQ("server v2\n", readFile(local + "/r.txt"));
    int copies = 0;
    for (const auto &e : std::filesystem::directory_iterator(local)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("r_", 0) == 0 && name != "r.txt") {
            ++copies;
            EXPECT_NE(std::string::npos, name.find("_Conflict.txt"));
            EXPECT_EQ("my local edit\n", readFile(e.path().string()));
        }
    }
    EXPECT_EQ(1, copies);
}

// An edit that keeps the synced version's size and time is found by the content check
// (the local hash taken while the patch travels) and kept as a conflict copy.
TEST_F(DownloadTest, EditKeepingSizeAndTimeIsKeptAsConflictCopy)
{
    std::string content = RandomBytes(5 * 1024 * 1024, 4);
    serverPut("/same.bin", content);
    ASSERT_EQ(0, run(serverEvent("/same.bin")));
    std::string mine = content;
    mine.replace(1000000, 4, "MINE");
    WriteFile(local + "/same.bin", mine);
    SetMtime(local + "/same.bin", 1700000000);
    content.replace(3000000, 6, "SERVER");
    serverPut("/same.bin", content, 1700000100);
    const Event ev = serverEvent("/same.bin");
    int rc = run(ev);
    for (int attempt = 0; rc != 0 && attempt < 3; ++attempt) {
        rc = run(ev);
    }
    ASSERT_EQ(0, rc);
    EXPECT_EQ(content, readFile(local + "/same.bin"));
    int copies = 0;
    for (const auto &e : std::filesystem::directory_iterator(local)) {
        if (e.path().filename().string().find("_Conflict") != std::string::npos) {
            ++copies;
            EXPECT_EQ(mine, readFile(e.path().string()));
        }
    }
    EXPECT_EQ(1, copies);
}

TEST_F(DownloadTest, InterruptedDownloadResumesFromReceivedLength)
{
    const std::string content = RandomBytes(20 * 1024 * 1024, 2);
    serverPut("/big.bin", content);
    ASSERT_EQ(0, server.admin({"fault", "add", "drop_send", std::to_string(8 * 1024 * 1024),
                               "--action", "resume_download"}));
    Event ev = serverEvent("/big.bin");
    const int first = run(ev);
    EXPECT_TRUE(first == ERR_IO || first == ERR_CH_CONNECTION_ABORT) << first;
    EXPECT_FALSE(fileExists(local + "/big.bin"));
    ASSERT_EQ(0, run(ev));
    EXPECT_EQ(content, readFile(local + "/big.bin"));
    ExpectSignatureOfPlacedFile("/big.bin");
    // The second answer carried only what the first one had not delivered.
    const std::string log = server.log();
    const size_t last = log.rfind("action=resume_download");
    ASSERT_NE(std::string::npos, last);
    const size_t out = log.find("out=", last);
    ASSERT_NE(std::string::npos, out);
    const unsigned long long sent = std::stoull(log.substr(out + 4));
    EXPECT_LT(sent, content.size());
    EXPECT_GT(sent, 0u);
}

TEST_F(DownloadTest, ContentInRecycleBinIsTakenBackWithoutTransfer)
{
    const std::string content = RandomBytes(64 * 1024, 3);
    serverPut("/old.bin", content);
    ASSERT_EQ(0, run(serverEvent("/old.bin")));
    ASSERT_EQ(0, server.admin({"rm", std::to_string(account.view_id), "/old.bin"}));
    ASSERT_EQ(0, run(serverEvent("/old.bin")));
    EXPECT_FALSE(fileExists(local + "/old.bin"));
    EXPECT_EQ(0u, row("/old.bin").syncID);

    serverPut("/new.bin", content);
    ASSERT_EQ(0, run(serverEvent("/new.bin")));
    EXPECT_EQ(content, readFile(local + "/new.bin"));
    EXPECT_EQ(std::string::npos, server.log().find("path=/new.bin"));
    // The bin item was moved back, not copied.
    int in_bin = 0;
    for (const auto &e : std::filesystem::directory_iterator(
             local + "/.ZentoraWorkingDirectory/#ZentRecycle")) {
        (void)e;
        ++in_bin;
    }
    EXPECT_EQ(0, in_bin);
}

} // namespace
