// The cache of interrupted transfers: lookup by token, eviction of old jobs when full,
// and deletion of the partial files that a job owns and nobody will take back.
#include "client/core/resume-mgr.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace
{

class ResumeCache : public testing::Test
{
protected:
    void SetUp() override { mgr().Clear(); }
    void TearDown() override { mgr().Clear(); }

    static ResumeTransMgr &mgr() { return ResumeTransMgr::GetInstance(); }

    // A download job whose partial file and signature lie in the working directory.
    ResumeTransMgr::CachedJob job(const std::string &name, time_t age)
    {
        PObject request;
        request["_action"] = "resume_download";
        PObject response;
        PObject::binary_type partial;
        partial.path = dir.write(name + ".part", "partial").c_str();
        response["file"]["data"] = partial;
        ResumeTransMgr::CachedJob j;
        ResumeTransMgr::InitialCachedJob(name.c_str(), dir.write(name + ".sig", "sig").c_str(),
                                         dir.path().c_str(), request, response, j);
        j.create_time = time(nullptr) - age;
        return j;
    }

    bool filesOf(const std::string &name)
    {
        return fileExists(dir.file(name + ".part")) && fileExists(dir.file(name + ".sig"));
    }
    bool noFilesOf(const std::string &name)
    {
        return !fileExists(dir.file(name + ".part")) && !fileExists(dir.file(name + ".sig"));
    }

    TempDir dir;
};

TEST_F(ResumeCache, TokenNamesSessionTypeAndPath)
{
    EXPECT_EQ(ustring("12|Download|/home/u/f.txt"),
              ResumeTransMgr::GenToken(12, "/home/u/f.txt", "Download"));
}

TEST_F(ResumeCache, TakeMovesTheJobAndItsFilesToTheCaller)
{
    ASSERT_EQ(0, mgr().Push(job("a", 0)));
    ResumeTransMgr::CachedJob out = job("untouched", 0);
    EXPECT_EQ(-1, mgr().Take("missing", out));
    EXPECT_EQ(ustring("untouched"), out.token);

    ASSERT_EQ(0, mgr().Take("a", out));
    EXPECT_EQ(ustring("a"), out.token);
    EXPECT_EQ(ustring(dir.file("a.part")), out.cached_resp["file"]["data"].asBinary().path);
    EXPECT_TRUE(mgr().IsEmpty());
    EXPECT_TRUE(filesOf("a")); // the caller owns them now
    EXPECT_EQ(-1, mgr().Take("a", out));
}

TEST_F(ResumeCache, CollisionKeepsTheCachedJobAndDropsTheNewOnesFiles)
{
    ASSERT_EQ(0, mgr().Push(job("t", 0)));
    ResumeTransMgr::CachedJob second = job("t", 0);
    second.cached_resp["file"]["data"].asBinary().path = dir.write("t2.part", "other").c_str();
    second.upload_sign_file = dir.write("t2.sig", "other").c_str();
    EXPECT_EQ(-1, mgr().Push(second));
    EXPECT_EQ(1u, mgr().Size());
    EXPECT_FALSE(fileExists(dir.file("t2.part")));
    EXPECT_FALSE(fileExists(dir.file("t2.sig")));

    // A duplicate push of the very same job must not delete the cached job's files.
    EXPECT_EQ(-1, mgr().Push(job("t", 0)));
    EXPECT_TRUE(filesOf("t"));
}

TEST_F(ResumeCache, FullCacheEvictsOnlyAnOldFrontJob)
{
    ASSERT_EQ(0, mgr().Push(job("old", 121)));
    ASSERT_EQ(0, mgr().Push(job("mid", 60)));
    ResumeTransMgr::CachedJob filler;
    for (size_t i = 2; i < ResumeTransMgr::kMaxSize; ++i) {
        filler.token = ("f" + std::to_string(i)).c_str();
        filler.create_time = time(nullptr);
        ASSERT_EQ(0, mgr().Push(filler));
    }
    ASSERT_EQ(ResumeTransMgr::kMaxSize, mgr().Size());

    ASSERT_EQ(0, mgr().Push(job("new1", 0)));
    EXPECT_TRUE(noFilesOf("old"));
    ResumeTransMgr::CachedJob out;
    EXPECT_EQ(-1, mgr().Take("old", out));
    EXPECT_EQ(ResumeTransMgr::kMaxSize, mgr().Size());

    // The front is now 60 seconds old: the new job is not stored, and its files go.
    EXPECT_EQ(0, mgr().Push(job("new2", 0)));
    EXPECT_TRUE(noFilesOf("new2"));
    EXPECT_EQ(-1, mgr().Take("new2", out));
    EXPECT_TRUE(filesOf("mid"));
    EXPECT_EQ(0, mgr().Take("new1", out));
}

TEST_F(ResumeCache, FilesOutsideTheWorkingDirectoryAreNeverDeleted)
{
    TempDir user;
    std::string users_file = user.write("report.doc", "the user's data");
    ResumeTransMgr::CachedJob j = job("up", 0);
    PObject::binary_type source;
    source.path = users_file.c_str();
    j.cached_req["file"]["data"] = source; // an upload's request names the user's file
    PObject::binary_type sneaky;
    sneaky.path = (dir.path() + "/../" + user.path().substr(user.path().rfind('/') + 1) +
                   "/report.doc")
                      .c_str();
    j.cached_resp["file"]["data"] = sneaky;
    ASSERT_EQ(0, mgr().Push(j));
    mgr().Erase("up");
    EXPECT_TRUE(mgr().IsEmpty());
    EXPECT_EQ("the user's data", readFile(users_file));
    EXPECT_FALSE(fileExists(dir.file("up.sig")));
}

} // namespace
