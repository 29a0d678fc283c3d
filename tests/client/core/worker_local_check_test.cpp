// Local-state decisions of the worker on real files: modification check, download
// conflicts and their handling, merges without a transfer and placement from a local copy.
#include "error-code.h"
#include "file-op.h"
#include "worker_fixture.h"

#include <sys/stat.h>

#include <dirent.h>

namespace
{

class WorkerLocalCheck : public WorkerSessionFixture
{
protected:
    LocalFileInfo stat(const std::string &rel)
    {
        LocalFileInfo info;
        EXPECT_EQ(0, FSStat((local + rel).c_str(), info));
        return info;
    }

    // Names in the synced folder other than the working directory.
    std::vector<std::string> names()
    {
        std::vector<std::string> out;
        DIR *d = opendir(local.c_str());
        while (struct dirent *ent = readdir(d)) {
            std::string n = ent->d_name;
            if (n != "." && n != ".." && n != ".ZentoraWorkingDirectory") {
                out.push_back(n);
            }
        }
        closedir(d);
        std::sort(out.begin(), out.end());
        return out;
    }

    PObject announced(bool is_dir, const std::string &content)
    {
        PObject response;
        response["is_dir"] = is_dir ? 1 : 0;
        if (!is_dir) {
            TempDir scratch;
            response["file"]["size"] = static_cast<uint64_t>(content.size());
            response["file"]["hash"] = md4(scratch.write("n", content)).c_str();
        }
        return response;
    }
};

TEST_F(WorkerLocalCheck, ModificationCheckTrustsSizeAndTimeUnlessForcedToHash)
{
    DBFileInfo row = fileRow("/a.doc", "basis", 1000000);
    put("/a.doc", "BASIS", 1000000); // same size and time, other content
    use(serverEvent("/a.doc"));
    EXPECT_FALSE(worker.LocallyModified(stat("/a.doc"), row, ustring()));
    EXPECT_TRUE(worker.LocallyModified(stat("/a.doc"), row, md4(local + "/a.doc").c_str()));

    ASSERT_EQ(0, entry.force_hash_check_list->Load(
                     dir.write("force", "[File]\nforce_hash_ext = \"doc\"\n").c_str()));
    use(serverEvent("/a.doc"));
    EXPECT_TRUE(worker.LocallyModified(stat("/a.doc"), row, ustring()));

    put("/b.txt", "basis", 1000002);
    EXPECT_TRUE(worker.LocallyModified(stat("/b.txt"), row, ustring())); // time differs

    ASSERT_EQ(0, mkdir((local + "/d").c_str(), 0755));
    EXPECT_TRUE(worker.LocallyModified(stat("/d"), row, ustring())); // file row, now a dir
    DBFileInfo dir_row = row;
    dir_row.fileType = 1;
    EXPECT_FALSE(worker.LocallyModified(stat("/d"), dir_row, ustring()));
    EXPECT_TRUE(worker.LocallyModified(stat("/b.txt"), dir_row, ustring()));
}

TEST_F(WorkerLocalCheck, DownloadConflictDecisions)
{
    enum Local { MISSING, SAME_AS_BASIS, SAME_AS_NEW, OTHER_SAME_SIZE, OTHER_SIZE, A_DIR };
    enum Basis { NO_ROW, FILE_ROW, DIR_ROW };
    const std::string basis = "basis", fresh = "fresh", other = "other";
    const struct {
        Local local;
        Basis basis;
        bool new_is_dir;
        int expected;
    } cases[] = {
        {MISSING, NO_ROW, false, Worker::CONFLICT_NONE},
        {SAME_AS_NEW, NO_ROW, false, Worker::CONFLICT_IGNORE},
        {OTHER_SAME_SIZE, NO_ROW, false, Worker::CONFLICT_RETRY},
        {OTHER_SIZE, NO_ROW, false, Worker::CONFLICT_RETRY},
        {A_DIR, NO_ROW, true, Worker::CONFLICT_IGNORE},
        {MISSING, FILE_ROW, false, Worker::CONFLICT_REMOVED},
        {SAME_AS_BASIS, FILE_ROW, false, Worker::CONFLICT_NONE},
        {SAME_AS_BASIS, FILE_ROW, true, Worker::CONFLICT_NONE},
        {SAME_AS_NEW, FILE_ROW, false, Worker::CONFLICT_IGNORE},
        {OTHER_SAME_SIZE, FILE_ROW, false, Worker::CONFLICT_RETRY},
        {OTHER_SIZE, FILE_ROW, false, Worker::CONFLICT_RETRY},
        {OTHER_SIZE, FILE_ROW, true, Worker::CONFLICT_RETRY},
        {A_DIR, FILE_ROW, true, Worker::CONFLICT_IGNORE},
        {A_DIR, FILE_ROW, false, Worker::CONFLICT_RETRY},
        {A_DIR, DIR_ROW, false, Worker::CONFLICT_NONE},
        {SAME_AS_NEW, DIR_ROW, false, Worker::CONFLICT_IGNORE},
        {OTHER_SAME_SIZE, DIR_ROW, false, Worker::CONFLICT_RETRY},
    };
    int n = 0;
    for (const auto &c : cases) {
        std::string rel = "/f" + std::to_string(n++);
        switch (c.local) {
        case MISSING:
            break;
        case SAME_AS_BASIS:
            put(rel, basis);
            break;
        case SAME_AS_NEW:
            put(rel, fresh);
            break;
        case OTHER_SAME_SIZE:
            put(rel, other);
            break;
        case OTHER_SIZE:
            put(rel, "longer content");
            break;
        case A_DIR:
            ASSERT_EQ(0, mkdir((local + rel).c_str(), 0755));
            break;
        }
        DBFileInfo row;
        if (c.basis != NO_ROW) {
            row = fileRow(rel, basis, 1000000);
            row.fileType = c.basis == DIR_ROW ? 1 : 0;
        }
        use(serverEvent(rel, c.new_is_dir));
        LocalFileInfo info;
        ASSERT_EQ(0, worker.GetFilesystemInfo(info));
        EXPECT_EQ(c.expected, worker.TestDownloadConflict(info, row, announced(c.new_is_dir, fresh)))
            << "case " << rel;
    }
}

TEST_F(WorkerLocalCheck, ConflictKeepsTheLocalChangeAndTypeJumpRemovesOnlyTheBasis)
{
    // Changed since the sync: kept under a conflict name, the path is free.
    DBFileInfo row = fileRow("/doc.txt", "basis", 1000000);
    ASSERT_EQ(0, db().setEventInfo(row));
    put("/doc.txt", "mine!");
    use(serverEvent("/doc.txt"));
    ASSERT_EQ(0, worker.HandleDownloadConflict(announced(false, "fresh")));
    std::vector<std::string> after = names();
    ASSERT_EQ(1u, after.size());
    EXPECT_NE("doc.txt", after[0]);
    EXPECT_EQ("mine!", readFile(local + "/" + after[0]));
    FSRemove((local + "/" + after[0]).c_str());

    // Unchanged file where a directory comes: removed.
    DBFileInfo row2 = fileRow("/x", "basis", 1000000);
    ASSERT_EQ(0, db().setEventInfo(row2));
    put("/x", "basis");
    use(serverEvent("/x", true));
    ASSERT_EQ(0, worker.HandleDownloadConflict(announced(true, "")));
    EXPECT_TRUE(names().empty());

    // A synced directory with unsynced content where a file comes: kept, not deleted.
    DBFileInfo dir_row;
    dir_row.isExist = 1;
    dir_row.syncID = 9;
    dir_row.fileType = 1;
    dir_row.path = "/folder";
    ASSERT_EQ(0, db().setEventInfo(dir_row));
    ASSERT_EQ(0, mkdir((local + "/folder").c_str(), 0755));
    put("/folder/new.txt", "unsynced");
    use(serverEvent("/folder"));
    ASSERT_EQ(0, worker.HandleDownloadConflict(announced(false, "fresh")));
    after = names();
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ("unsynced", readFile(local + "/" + after[0] + "/new.txt"));
}

TEST_F(WorkerLocalCheck, MergeCommitsAnIdenticalLocalFileWithoutTransfer)
{
    put("/same.txt", "both sides", 1000000);
    Event e = serverEvent("/same.txt");
    e.m_sync_id = 42;
    e.m_max_id = 43;
    e.m_data_size = 10;
    e.m_data_hash = md4(local + "/same.txt").c_str();
    e.m_time = 1234568;
    use(e);
    ASSERT_EQ(0, worker.MergeEvent());
    DBFileInfo row;
    ASSERT_EQ(1, db().getEventInfo("/same.txt", row));
    EXPECT_EQ(42u, row.syncID);
    EXPECT_EQ(e.m_data_hash, row.fileCheckSum);
    EXPECT_EQ(1234568u, row.fileModTime);
    EXPECT_EQ(1234568u, stat("/same.txt").mtime);

    put("/differs.txt", "other side", 1000000);
    e.m_path = "/differs.txt";
    use(e);
    EXPECT_EQ(-1, worker.MergeEvent());
    EXPECT_EQ(0, db().getEventInfo("/differs.txt", row));
}

TEST_F(WorkerLocalCheck, ContentFromTheRecycleBinIsMovedBackInsteadOfDownloaded)
{
    std::string bin = local + "/.ZentoraWorkingDirectory/#ZentRecycle";
    ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
    writeTo(bin + "/r1", "recycled content");
    std::string hash = md4(bin + "/r1");
    ASSERT_EQ(0, db().addFileToRecycleBin("r1", 16, hash.c_str(), ""));

    Event e = serverEvent("/back.txt");
    e.m_sync_id = 50;
    e.m_max_id = 50;
    e.m_data_size = 16;
    e.m_data_hash = hash.c_str();
    e.m_time = 1500000;
    use(e);
    ASSERT_EQ(0, worker.PrepareFileFromLocal());
    EXPECT_EQ("recycled content", readFile(local + "/back.txt"));
    EXPECT_FALSE(fileExists(bin + "/r1"));
    ustring found;
    EXPECT_EQ(0, db().getFilePathByHashFromRecycle(hash.c_str(), "", found));
    DBFileInfo row;
    ASSERT_EQ(1, db().getEventInfo("/back.txt", row));
    EXPECT_EQ(50u, row.syncID);
    EXPECT_EQ(1500000u, stat("/back.txt").mtime);

    // Content of another synced file is copied; a changed source is refused.
    e.m_path = "/copy.txt";
    e.m_sync_id = 51;
    use(e);
    ASSERT_EQ(0, worker.PrepareFileFromLocal());
    EXPECT_EQ("recycled content", readFile(local + "/copy.txt"));
    EXPECT_EQ("recycled content", readFile(local + "/back.txt"));
    put("/back.txt", "changed content!");
    put("/copy.txt", "changed content!");
    e.m_path = "/third.txt";
    use(e);
    EXPECT_EQ(-1, worker.PrepareFileFromLocal());
    EXPECT_FALSE(fileExists(local + "/third.txt"));
}

} // namespace
