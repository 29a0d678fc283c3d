#include "client/core/puller-common.h"

#include "client/core/registry.h"
#include "error-code.h"

#include <gtest/gtest.h>

namespace
{

TEST(PullerCommonTest, ErrorTableGivesTheActionOfEveryCode)
{
    struct {
        int code;
        int action;
    } cases[] = {
        {ERR_OK, ACTION_DONE},         {ERR_INT, ACTION_RETRY},       {ERR_IO, ACTION_RETRY},
        {ERR_INVAL, -1},               {ERR_AUTH, ACTION_RETRY},      {ERR_QUOTA, -1},
        {ERR_VIEW_PATH, ACTION_RETRY}, {ERR_PERMISS, ACTION_RETRY},   {ERR_SSL_VERIFY_FAIL, ACTION_RETRY},
        {ERR_PERMISS_READ_ONLY, ACTION_RETRY}, {ERR_CH_CONNECTION_ABORT, ACTION_RETRY},
        {-26, -1},                     {1, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.action, PullerHandleError(false, c.code, 0, 0)) << c.code;
        EXPECT_EQ(c.action, PullerHandleError(true, c.code, 0, 0)) << c.code;
    }
    EXPECT_EQ(0, PullerActionSeconds(ACTION_DONE));
    EXPECT_EQ(3, PullerActionSeconds(ACTION_RETRY));
    EXPECT_EQ(120, PullerActionSeconds(ACTION_RETRY_LONG_WAIT));
    EXPECT_EQ(3, PullerActionSeconds(-1));
    EXPECT_EQ(3, PullerActionSeconds(7));
}

TEST(PullerCommonTest, OnlyWellFormedAnswersAreProcessed)
{
    PObject good;
    good["event_list"].asArray();
    good["next_sync_id"] = static_cast<uint64_t>(10);
    PObject no_list = good;
    no_list.asMap().erase("event_list");
    PObject list_map = good;
    list_map["event_list"]["x"] = 1;
    PObject no_next = good;
    no_next.asMap().erase("next_sync_id");
    PObject next_text = good;
    next_text["next_sync_id"] = "10";
    struct {
        PObject answer;
        uint64_t position;
        int result;
    } cases[] = {
        {good, 10, 0},         {good, 3, 0},         {good, 11, ERR_IO}, // behind: never stored
        {PObject("x"), 0, ERR_IO}, {PObject(), 0, ERR_IO}, {no_list, 0, ERR_IO},
        {list_map, 0, ERR_IO}, {no_next, 0, ERR_IO}, {next_text, 0, ERR_IO},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i)
        EXPECT_EQ(cases[i].result, PullerCheckAnswer(false, cases[i].answer, cases[i].position))
            << i;
    // An error answer always ends the pull, even when its code maps to "no error".
    EXPECT_EQ(ERR_SERVER, PullerErrorAnswerCode(0));
    EXPECT_EQ(ERR_PERMISS, PullerErrorAnswerCode(ERR_PERMISS));
}

TEST(PullerCommonTest, RequestCarriesTheSessionsPlace)
{
    Registry::Entry entry;
    entry.view_id = 3;
    entry.node_id = 4;
    entry.recursive = true;
    entry.remote_path = "/Docs";
    PObject r = PullerBuildRequest(entry, "tok", 77);
    EXPECT_EQ(ustring("pull_event"), r["_action"].asString());
    EXPECT_EQ(77u, r["sync_id"].asUInt64());
    EXPECT_EQ(ustring("tok"), r["session"].asString());
    EXPECT_EQ(ustring("/Docs"), r["path"].asString());
    EXPECT_EQ(3u, r["view_id"].asUInt64());
    EXPECT_EQ(4u, r["node_id"].asUInt64());
    EXPECT_EQ(1u, r["recursive"].asUInt64());
    EXPECT_TRUE(r["file"]["offset"].isInteger());
    EXPECT_TRUE(r["mtime"]["offset"].isInteger());
}

} // namespace
