// The worker's error table: every result code gives done, retry or give-back and sends
// the notification of its class; ERR_SYS and patch failures are counted per event.
#include "client/core/settings.h"
#include "client/core/worker.h"
#include "error-code.h"
#include "support/control-fake-ui.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

const int UNEXPECTED = -100;

struct Row {
    int code;
    int action; // UNEXPECTED: logged at CRIT level and returned negative
    const char *notify; // notification sent, "" for none
};

const Row kTable[] = {
    {ERR_OK, Worker::ACTION_DONE, ""},
    {ERR_INT, Worker::ACTION_RETURN_EVENT, ""},
    {ERR_IO, Worker::ACTION_RETRY, ""},
    {ERR_SYS, Worker::ACTION_RETRY, ""},
    {ERR_INVAL, UNEXPECTED, ""},
    {ERR_PROTO, UNEXPECTED, ""},
    {ERR_AUTH, Worker::ACTION_RETURN_EVENT, "connection"},
    {ERR_SERVER, Worker::ACTION_RETRY, ""},
    {ERR_CONFLICT, UNEXPECTED, ""},
    {ERR_TIMEOUT, Worker::ACTION_RETRY, ""},
    {ERR_VERSION, Worker::ACTION_RETURN_EVENT, "connection"},
    {ERR_NOENT, UNEXPECTED, ""},
    {ERR_USER, UNEXPECTED, ""},
    {ERR_PASSWORD, UNEXPECTED, ""},
    {ERR_ZentOSDISABLE, UNEXPECTED, ""},
    {ERR_QUOTA, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_DISKFULL, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_SYNCFOLDER_MISS, UNEXPECTED, ""},
    {ERR_VIEW, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_PERMISS, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_VIEW_PATH, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_CH_CONNECTION_ABORT, Worker::ACTION_RETRY, ""},
    {ERR_LOCAL_DISKFULL, Worker::ACTION_RETURN_EVENT, "session"},
    {ERR_LOCKED_FILE, Worker::ACTION_RETURN_EVENT, "locked_file"},
    {ERR_SSL_VERIFY_FAIL, UNEXPECTED, ""},
    {ERR_PERMISS_READ_ONLY, Worker::ACTION_DONE, "session"},
};

// What a notification says about itself: the file kinds by name, errors by who they
// concern.
std::string kindOf(const PObject &msg)
{
    std::string notify = msg["notify"].asString().c_str_utf8();
    if (notify != "error") {
        return notify;
    }
    return msg.hasMember("connection_id") ? "connection" : "session";
}

class WorkerErrorTable : public testing::Test
{
protected:
    void SetUp() override
    {
        std::string conf = dir.write("conf", "ui_port = " + std::to_string(ui.port()) + "\n");
        ASSERT_EQ(0, Settings::getInstance().loadConfigSettings(conf));
        worker.context.root_entry.conn_id = 3;
        worker.context.root_entry.sess_id = 7;
        worker.context.current_event.m_path = "/a.txt";
        worker.context.current_event.m_sess_id = 7;
    }

    TempDir dir;
    FakeUI ui;
    Worker worker;
};

TEST_F(WorkerErrorTable, EveryCodeHasItsActionAndNotification)
{
    std::vector<std::string> expected;
    for (const Row &row : kTable) {
        int action = worker.HandleError(row.code);
        if (row.action == UNEXPECTED) {
            EXPECT_LT(action, 0) << "code " << row.code;
        } else {
            EXPECT_EQ(row.action, action) << "code " << row.code;
        }
        if (*row.notify != '\0') {
            expected.push_back(row.notify);
        }
    }
    EXPECT_EQ(-1, worker.HandleError(1));
    EXPECT_EQ(-1, worker.HandleError(ERR_MAX));
    // Read-only finishes the event but asks for the read-only report when it is done.
    EXPECT_EQ(Worker::NOTIFY_READ_ONLY, worker.notify_event_type);

    ASSERT_TRUE(ui.waitFor(expected.size(), 5000));
    std::vector<PObject> got = ui.messages();
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(expected[i], kindOf(got[i])) << got[i].toString().c_str_utf8();
        EXPECT_EQ(7u, got[i].hasMember("sess_id") ? got[i]["sess_id"].asUInt64()
                                                   : got[i]["session_id"].asUInt64());
    }
    EXPECT_EQ(ustring("/a.txt"), got[expected.size() - 2]["path"].asString());
}

TEST_F(WorkerErrorTable, SystemErrorsAndPatchFailuresAreCountedPerEvent)
{
    // Three retries, then the fourth gives the event back; the count starts again.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Worker::ACTION_RETRY, worker.HandleError(ERR_SYS)) << i;
    }
    EXPECT_EQ(Worker::ACTION_RETURN_EVENT, worker.HandleError(ERR_SYS));
    EXPECT_EQ(Worker::ACTION_RETRY, worker.HandleError(ERR_SYS));
    // Any other result resets the count.
    EXPECT_EQ(Worker::ACTION_RETRY, worker.HandleError(ERR_IO));
    EXPECT_EQ(0, worker.sys_err_count);

    // The third patch failure with an unchanged basis drops the event.
    for (unsigned i = 1; i <= 3; ++i) {
        worker.patch_err_count = i;
        int action = worker.HandleError(ERR_SYS);
        EXPECT_EQ(i < 3 ? Worker::ACTION_RETRY : Worker::ACTION_DONE, action) << i;
    }
    EXPECT_EQ(0u, worker.patch_err_count);
}

TEST_F(WorkerErrorTable, AnInterruptedTransferIsCachedOnlyForIoTimeoutAndAbort)
{
    TempDir work;
    worker.context.working_directory = work.path().c_str();
    const int codes[] = {ERR_IO, ERR_TIMEOUT, ERR_CH_CONNECTION_ABORT, ERR_SERVER, ERR_INT};
    for (int code : codes) {
        std::string part = work.write("part" + std::to_string(-code), "partial");
        PObject::binary_type data;
        data.path = part.c_str();
        worker.cached_response["file"]["data"] = data;
        worker.resume_token = ("tok" + std::to_string(-code)).c_str();
        worker.HandleError(code);
        bool kept = code == ERR_IO || code == ERR_TIMEOUT || code == ERR_CH_CONNECTION_ABORT;
        EXPECT_EQ(kept, fileExists(part)) << code;
        EXPECT_TRUE(worker.cached_response.isNull() || worker.cached_response.isEmpty());
    }
}

} // namespace
