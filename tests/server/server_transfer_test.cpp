// aerolith-server uploads and downloads: the conflict and type rules, whole and delta
// contents (deltas made by the project's engine and by rdiff, patches checked with rdiff),
// the dry run and its file id, resumable uploads and downloads under faults.
#include "server-test-util.h"

#include <openssl/evp.h>

namespace
{

using namespace servertest;

const char *kRdiffSig = "rdiff -H md4 -R rollsum -b 2048 -S 8 signature ";

// The project's engine: signature of basis, then the delta of target against it.
std::string EngineDelta(TempDir &tmp, const std::string &basis, const std::string &target,
                        const std::string &name)
{
    std::string sig = tmp.file(name + ".sig"), delta = tmp.file(name + ".delta");
    SimpleFileReader s;
    s.setFile(ustring(basis));
    s.setSignature(ustring(sig), 2048, 8);
    EXPECT_GE(s.readFile(), 0);
    SimpleFileReader d;
    d.setFile(ustring(target));
    d.setDelta(ustring(delta), ustring(sig));
    EXPECT_GE(d.readFile(), 0);
    return delta;
}

std::string Sha256Hex(const std::string &bytes)
{
    unsigned char sha[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), sha, &len, EVP_sha256(), nullptr), 1);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
        out += hex[sha[i] >> 4];
        out += hex[sha[i] & 15];
    }
    return out;
}

std::string RdiffDelta(TempDir &tmp, const std::string &basis, const std::string &target,
                       const std::string &name)
{
    std::string sig = tmp.file(name + ".rsig"), delta = tmp.file(name + ".rdelta");
    EXPECT_EQ(Shell(kRdiffSig + basis + " " + sig), 0);
    EXPECT_EQ(Shell("rdiff delta " + sig + " " + target + " " + delta), 0);
    return delta;
}

// 300 KiB with scattered edits: a delta is much smaller than the content.
std::string Edited(const std::string &base, uint32_t seed)
{
    std::string out = base;
    for (size_t at = 1000; at + 10 < out.size(); at += 60000)
        out.replace(at, 8, RandomBytes(8, seed + static_cast<uint32_t>(at)));
    return out;
}

class ServerTransfer : public ServerFixture
{
};

TEST_F(ServerTransfer, ConflictAndTypeRules)
{
    uint64_t live = Upload("/f", "v1", 0)["sync_id"].asUInt64();
    uint64_t gone = Upload("/g", "v1", 0)["sync_id"].asUInt64();
    ASSERT_EQ(AnswerCode(Remove("/g", gone, gone)), 0u);
    ASSERT_EQ(AnswerCode(Mkdir("/dir")), 0u);
    struct Case {
        const char *name;
        std::string path;
        uint64_t sync_id;
        uint32_t code;
    };
    const Case cases[] = {
        {"new file", "/new", 0, 0},
        {"new over a live file", "/f", 0, 0x9002},
        {"based on the current version", "/f", live, 0},
        {"based on an older version", "/f", live, 0x9002},
        {"based on a removed version", "/g", gone, 0x9001},
        {"new over a tombstone", "/g", 0, 0},
        {"unknown basis of a missing path", "/nothing", 12345, 0x9001},
        {"file over a live directory", "/dir", 0, 0x6002},
        {"below a live file", "/new/child", 0, 0x6001},
        {"parents created", "/p/q/r.txt", 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AnswerCode(Upload(c.path, std::string("content of ") + c.name, c.sync_id)),
                  c.code);
    }
    EXPECT_EQ(AnswerCode(Mkdir("/f")), 0x6002u);
    EXPECT_EQ(AnswerCode(Mkdir("/f/sub")), 0x6001u);
    // A directory uploaded twice keeps its first entry.
    PObject again = Mkdir("/dir");
    EXPECT_EQ(AnswerCode(again), 0u);
    nlohmann::json ls = server.adminJson({"ls", "1"});
    std::vector<std::string> paths;
    for (auto &e : ls["entries"])
        paths.push_back(e["path"].get<std::string>());
    EXPECT_EQ(paths, (std::vector<std::string>{"/dir", "/f", "/g", "/new", "/p", "/p/q",
                                               "/p/q/r.txt"}));
    for (auto &e : ls["entries"]) {
        if (e["path"] == "/dir") {
            EXPECT_EQ(e["sync_id"].get<uint64_t>(), again["sync_id"].asUInt64());
        }
    }
}

TEST_F(ServerTransfer, DeltaUploadsFromEngineAndRdiffGiveTheExactContent)
{
    std::string v1 = RandomBytes(300 * 1024, 1);
    PObject first = Upload("/big.bin", v1, 0);
    ASSERT_EQ(AnswerCode(first), 0u);
    uint64_t sync_id = first["sync_id"].asUInt64();
    std::string basis = Local(v1);
    struct Maker {
        const char *name;
        std::string (*make)(TempDir &, const std::string &, const std::string &,
                            const std::string &);
    };
    const Maker makers[] = {{"engine", EngineDelta}, {"rdiff", RdiffDelta}};
    for (const Maker &m : makers) {
        SCOPED_TRACE(m.name);
        std::string next = Edited(readFile(basis), static_cast<uint32_t>(sync_id));
        std::string local = Local(next);
        std::string delta = m.make(tmp, basis, local, m.name);
        ASSERT_LT(readFile(delta).size(), next.size() / 4);
        PObject ans = Send(23, "upload", UploadRequest("/big.bin", local, sync_id, delta));
        ASSERT_EQ(AnswerCode(ans), 0u);
        sync_id = ans["sync_id"].asUInt64();
        std::string out = tmp.file(std::string("out-") + m.name);
        ASSERT_TRUE(server.adminJson({"get", "1", "/big.bin", out}).is_object());
        EXPECT_TRUE(readFile(out) == next);
        // The applied result is stored under the SHA-256 of its bytes.
        std::string sha = Sha256Hex(next);
        EXPECT_TRUE(readFile(server.root() + "/content/" + sha.substr(0, 2) + "/" + sha) == next);
        basis = local;
    }
    EXPECT_NE(server.log().find("transfer=delta"), std::string::npos);
}

TEST_F(ServerTransfer, BadContentIsRefused)
{
    uint64_t sync_id = Upload("/f", RandomBytes(10000, 2), 0)["sync_id"].asUInt64();
    // Stated hash does not match the bytes.
    PObject req = UploadRequest("/f", Local("other bytes"), sync_id);
    req["file"]["hash"] = "00000000000000000000000000000000";
    EXPECT_EQ(AnswerCode(Send(23, "upload", req)), 0xB002u);
    // A delta made against another basis produces content with another hash.
    std::string foreign_content = RandomBytes(300 * 1024, 3);
    std::string foreign = Local(foreign_content);
    std::string target = Local(Edited(foreign_content, 4));
    std::string delta = EngineDelta(tmp, foreign, target, "foreign");
    EXPECT_EQ(AnswerCode(Send(23, "upload", UploadRequest("/f", target, sync_id, delta))), 0x7000u);
    // Garbage as a delta.
    EXPECT_EQ(AnswerCode(Send(23, "upload",
                              UploadRequest("/f", target, sync_id, Local("not a delta")))),
              0x7000u);
    // refer with a hash that is not the basis's.
    PObject refer = Base("/f");
    refer["sync_id"] = sync_id;
    refer["is_dir"] = false;
    refer["file"]["refer"] = true;
    refer["file"]["size"] = 3u;
    refer["file"]["hash"] = "00000000000000000000000000000000";
    EXPECT_EQ(AnswerCode(Send(23, "upload", refer)), 0x7000u);
    // neither data nor refer.
    refer["file"]["refer"] = false;
    EXPECT_EQ(AnswerCode(Send(23, "upload", refer)), 0xB002u);
}

TEST_F(ServerTransfer, DryRunFindsContentOfTheViewAndReferUploadReusesIt)
{
    std::string content = RandomBytes(600 * 1024, 5);
    std::string local = Local(content);
    ASSERT_EQ(AnswerCode(Send(23, "upload", UploadRequest("/one.bin", local, 0))), 0u);
    std::string token = NewToken();
    ASSERT_EQ(token.size(), 32u);
    PObject dry = UploadRequest("/two.bin", local, 0);
    dry["file"].asMap().erase("data");
    dry["dry_run"] = true;
    dry["_resume_token"] = token;
    PObject ans = Send(23, "upload", dry);
    ASSERT_EQ(AnswerCode(ans), 0u);
    uint64_t file_id = ans["file"]["file_id"].asUInt64();
    ASSERT_NE(file_id, 0u);
    PObject up = dry;
    up.asMap().erase("dry_run");
    up["file"]["refer"] = true;
    up["file"]["file_id"] = file_id;
    ans = Send(27, "resume_upload", up);
    ASSERT_EQ(AnswerCode(ans), 0u);
    EXPECT_EQ(ans["file"]["file_id"].asUInt64(), file_id);
    EXPECT_TRUE(ans["file"]["refer"].asBool());
    std::string out = tmp.file("two");
    ASSERT_TRUE(server.adminJson({"get", "1", "/two.bin", out}).is_object());
    EXPECT_TRUE(readFile(out) == content);
    // Another view never learns about this content.
    ServerAccount bob = server.createAccount("bob", "private");
    PObject foreign = UploadRequest("/x", local, 0);
    foreign["session"] = bob.token;
    foreign["view_id"] = bob.view_id;
    foreign["file"].asMap().erase("data");
    foreign["dry_run"] = true;
    std::unique_ptr<ServerClient> b = NewClient(&bob);
    ASSERT_TRUE(b);
    EXPECT_EQ(Send(23, "upload", foreign, b.get())["file"]["file_id"].asUInt64(), 0u);
}

TEST_F(ServerTransfer, ReadOnlyQuotaAndDisk)
{
    ServerAccount reader = acct;
    reader.user = "reader";
    reader.token = server.adminJson({"add-user", "reader"})["token"].get<std::string>();
    server.admin({"grant", "1", "reader", "ro"});
    std::unique_ptr<ServerClient> r = NewClient(&reader);
    ASSERT_TRUE(r);
    PObject up = UploadRequest("/ro", Local("x"), 0);
    up["session"] = reader.token;
    EXPECT_EQ(AnswerCode(Send(23, "upload", up, r.get())), 0x3004u);
    PObject rm = Base("/ro", &reader);
    rm["sync_id"] = 1u;
    rm["max_id"] = 1u;
    EXPECT_EQ(AnswerCode(Send(15, "remove", rm, r.get())), 0x3004u);
    PObject pull = PullRequest(0);
    pull["session"] = reader.token;
    EXPECT_EQ(AnswerCode(Send(6, "pull_event", pull, r.get())), 0u);

    server.admin({"set-quota", "1", "100"});
    uint64_t a = Upload("/a", std::string(60, 'a'), 0)["sync_id"].asUInt64();
    EXPECT_EQ(AnswerCode(Upload("/b", std::string(60, 'b'), 0)), 0x4001u);
    // Replacing a file counts only the difference.
    EXPECT_EQ(AnswerCode(Upload("/a", std::string(90, 'c'), a)), 0u);
    server.admin({"set-quota", "1", "0"});
    // A disk reserve larger than any disk.
    ASSERT_TRUE(server.stop());
    ServerProcess::Options o;
    o.extra_args = {"--disk-reserve", "18446744073709551000"};
    ASSERT_TRUE(server.start(o));
    client = NewClient();
    ASSERT_TRUE(client);
    EXPECT_EQ(AnswerCode(Upload("/c", "c", 0)), 0x4002u);
}

TEST_F(ServerTransfer, DownloadAnswersUpToDateReferPatchAndWhole)
{
    std::string v1 = RandomBytes(300 * 1024, 6);
    uint64_t s1 = Upload("/d.bin", v1, 0)["sync_id"].asUInt64();
    std::string v2 = Edited(v1, 7);
    uint64_t s2 = Upload("/d.bin", v2, s1)["sync_id"].asUInt64();
    uint64_t s3 = Upload("/d.bin", v2, s2)["sync_id"].asUInt64(); // same content again

    PObject up_to_date = Download("/d.bin", s3);
    EXPECT_EQ(up_to_date["sync_id"].asUInt64(), s3);
    EXPECT_FALSE(up_to_date.hasMember("file"));

    PObject refer = Download("/d.bin", s2);
    EXPECT_TRUE(refer["file"]["refer"].asBool());
    EXPECT_FALSE(refer["file"].hasMember("data"));

    PObject patch = Download("/d.bin", s1);
    ASSERT_TRUE(patch["file"]["is_delta"].asBool());
    std::string patch_file = BinaryFile(patch["file"]["data"]);
    EXPECT_LT(readFile(patch_file).size(), v2.size() / 4);
    std::string basis = Local(v1);
    std::string by_engine = tmp.file("by-engine"), by_rdiff = tmp.file("by-rdiff");
    DeltaFileReader apply;
    apply.setFile(ustring(patch_file), ustring(basis));
    apply.setNewFile(ustring(by_engine));
    ASSERT_GE(apply.readFile(), 0);
    EXPECT_TRUE(readFile(by_engine) == v2);
    ASSERT_EQ(Shell("rdiff patch " + basis + " " + patch_file + " " + by_rdiff), 0);
    EXPECT_TRUE(readFile(by_rdiff) == v2);
    EXPECT_EQ(Text(patch["file"]["hash"]), Md4Of(by_rdiff));

    PObject whole = Download("/d.bin", 0);
    EXPECT_FALSE(whole["file"]["is_delta"].asBool());
    EXPECT_TRUE(readFile(BinaryFile(whole["file"]["data"])) == v2);
    EXPECT_EQ(whole["mtime"]["mtime"].asUInt32(), 1700000000u);
    EXPECT_EQ(AnswerCode(Download("/none", 0)), 0x8001u);
    EXPECT_NE(server.log().find("transfer=patch"), std::string::npos);
}

TEST_F(ServerTransfer, ResumableUploadContinuesAfterACutAndAfterARestart)
{
    for (bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "with a restart" : "same server");
        std::string path = restart ? "/r2.bin" : "/r1.bin";
        std::string content = RandomBytes(2 * 1024 * 1024 + 17, restart ? 8 : 9);
        std::string local = Local(content);
        std::string token = NewToken();
        PObject dry = UploadRequest(path, local, 0);
        dry["file"].asMap().erase("data");
        dry["dry_run"] = true;
        dry["_resume_token"] = token;
        ASSERT_EQ(AnswerCode(Send(23, "upload", dry)), 0u);
        // The body is cut after 1 MiB.
        server.admin({"fault", "add", "drop_recv", "1048576", "--command", "27"});
        PObject up = UploadRequest(path, local, 0);
        up["_resume_token"] = token;
        PObject ans;
        EXPECT_LT(client->request(27, "resume_upload", up, ans), 0);
        // The server keeps what arrived before it serves the next request of the token.
        ASSERT_TRUE(server.waitForLog("of an interrupted upload"));
        if (restart) {
            ASSERT_TRUE(server.restart());
        }
        client = NewClient();
        ASSERT_TRUE(client);
        PObject status_req = Base();
        status_req["_resume_token"] = token;
        PObject status = Send(27, "resume_get_status", status_req);
        uint64_t held = status["file"]["offset"].asUInt64();
        EXPECT_GT(held, 900000u);
        EXPECT_LE(held, 1048576u);
        up["file"]["data"].asBinary().offset = held;
        up["file"]["data"].asBinary().length = content.size() - held;
        ans = Send(27, "resume_upload", up);
        ASSERT_EQ(AnswerCode(ans), 0u);
        std::string out = tmp.file("resumed");
        ASSERT_TRUE(server.adminJson({"get", "1", path, out}).is_object());
        EXPECT_TRUE(readFile(out) == content);
        // The final answer ended the token.
        EXPECT_EQ(AnswerCode(Send(27, "resume_get_status", status_req)), 0xB001u);
    }
}

TEST_F(ServerTransfer, ResumeTokensBelongToTheirUserViewAndBinding)
{
    std::string token = NewToken();
    ServerAccount bob = server.createAccount("bob", "bobs");
    server.admin({"grant", "1", "bob", "rw"});
    std::unique_ptr<ServerClient> b = NewClient(&bob);
    ASSERT_TRUE(b);
    PObject status = Base("", &bob);
    status["_resume_token"] = token;
    EXPECT_EQ(AnswerCode(Send(27, "resume_get_status", status, b.get())), 0xB001u);
    PObject unknown = Base();
    unknown["_resume_token"] = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(AnswerCode(Send(27, "resume_get_status", unknown)), 0xB001u);
    Upload("/a", "a", 0);
    Upload("/b", "b", 0);
    // Bound to a download of /a, the token refuses /b and uploads.
    EXPECT_EQ(AnswerCode(Send(27, "resume_download", DownloadRequest("/a", 0, 0, token))), 0u);
    EXPECT_EQ(AnswerCode(Send(27, "resume_download", DownloadRequest("/b", 0, 0, token))),
              0xB001u);
    PObject up = UploadRequest("/a", Local("z"), 0);
    up["_resume_token"] = token;
    EXPECT_EQ(AnswerCode(Send(27, "resume_upload", up)), 0xB001u);
    // A resumed download without a recorded answer, and command 24 with an offset.
    std::string fresh = NewToken();
    EXPECT_EQ(AnswerCode(Send(27, "resume_download", DownloadRequest("/a", 0, 5, fresh))),
              0xB001u);
    EXPECT_EQ(AnswerCode(Send(24, "download", DownloadRequest("/a", 0, 5))), 0xB001u);
}

TEST_F(ServerTransfer, DownloadCutByDropSendResumesWithTheRecordedAnswer)
{
    std::string content = RandomBytes(1024 * 1024, 10);
    Upload("/dl.bin", content, 0);
    std::string token = NewToken();
    server.admin({"fault", "add", "drop_send", "300000", "--action", "resume_download"});
    PObject partial;
    EXPECT_LT(client->request(27, "resume_download", DownloadRequest("/dl.bin", 0, 0, token),
                              partial),
              0);
    ASSERT_TRUE(partial["file"]["data"].isBinary());
    std::string part = BinaryFile(partial["file"]["data"]);
    uint64_t got = readFile(part).size();
    ASSERT_GT(got, 0u);
    ASSERT_LT(got, content.size());
    // The path changes meanwhile; the resumed attempt still gets the recorded version.
    client = NewClient();
    ASSERT_TRUE(client);
    Upload("/dl.bin", "changed", Pull(0)["next_sync_id"].asUInt64());
    PObject placed;
    placed["file"]["data"] = partial["file"]["data"];
    PObject ans = placed;
    ASSERT_EQ(client->request(27, "resume_download", DownloadRequest("/dl.bin", 0, got, token),
                              ans),
              0);
    ASSERT_EQ(AnswerCode(ans), 0u);
    EXPECT_TRUE(readFile(part) == content);
    EXPECT_EQ(Text(ans["file"]["hash"]), Md4Of(part));
}

TEST_F(ServerTransfer, CorruptFlipsExactlyOneByte)
{
    std::string content = RandomBytes(100000, 11);
    Upload("/c.bin", content, 0);
    server.admin({"fault", "add", "corrupt", "--path", "/c.bin"});
    std::string got = readFile(BinaryFile(Download("/c.bin", 0)["file"]["data"]));
    ASSERT_EQ(got.size(), content.size());
    size_t diffs = 0;
    for (size_t i = 0; i < got.size(); ++i)
        diffs += got[i] != content[i];
    EXPECT_EQ(diffs, 1u);
    EXPECT_TRUE(readFile(BinaryFile(Download("/c.bin", 0)["file"]["data"])) == content);
}

} // namespace
