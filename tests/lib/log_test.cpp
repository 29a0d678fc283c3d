#include "log.h"

#include "support/temp-dir.h"
#include "support/text-shape.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

// "Mmm dd hh:mm:ss " : month, two-digit day, 24-hour time, one space.
bool hasTimestampShape(const std::string &line)
{
    return MatchesShape(line.substr(0, 16), "Azz 99 99:99:99 ");
}

// Each test runs in a process of its own, so the logger's process-wide state starts
// fresh every time.
class LoggerTest : public ::testing::Test
{
protected:
    std::string logPath() const { return dir.file("daemon.log"); }
    int startFileLog(const std::string &levels, int rotate = 50)
    {
        std::string level_path = levels.empty() ? "" : dir.write("levels", levels);
        return Logger::Initialize(Logger::FILE_LOGGER, logPath().c_str(), level_path.c_str(),
                                  rotate);
    }
    TempDir dir;
};

TEST_F(LoggerTest, LineFormat)
{
    ASSERT_EQ(0, startFileLog("client_debug = 6\n"));
    Logger::LogMsg(Logger::L_INFO, "client_debug",
                   "[INFO] app.cpp(%d): main thread starts receiving messages\n", 1581);
    std::string line = readFile(logPath());
    EXPECT_TRUE(hasTimestampShape(line)) << line;
    EXPECT_EQ("[INFO] app.cpp(1581): main thread starts receiving messages\n", line.substr(16))
        << line;
}

struct ThresholdCase {
    int level;
    const char *component;
    bool written;
};

TEST_F(LoggerTest, PerComponentThresholds)
{
    ASSERT_EQ(0, startFileLog("worker_debug = 7\nclient_debug = 2\nEvent_Db_Debug = 7\n"
                              "filter_db_debug = noise\n"));
    const ThresholdCase cases[] = {
        {Logger::L_DEBUG, "worker_debug", true},
        {Logger::L_DEBUG, "syncer_debug", false},
        {Logger::L_WARNING, "syncer_debug", true},
        {Logger::L_NOTICE, "syncer_debug", false},
        {Logger::L_ERR, "client_debug", false},
        {Logger::L_CRIT, "client_debug", true},
        {Logger::L_DEBUG, "event_db_debug", false},  // names are case-sensitive
        {Logger::L_ALERT, "filter_db_debug", false}, // a word gives 0: only emergencies
        {Logger::L_EMERG, "filter_db_debug", true},
        {Logger::L_WARNING, "default_component", true},
        {Logger::L_NOTICE, "default_component", false},
    };
    int expected_lines = 0;
    for (const auto &c : cases) {
        Logger::LogMsg(c.level, c.component, "[X] t.cpp(%d): %s %d\n", __LINE__, c.component,
                       c.level);
        expected_lines += c.written ? 1 : 0;
        std::string marker = std::string(c.component) + " " + std::to_string(c.level) + "\n";
        EXPECT_EQ(c.written, readFile(logPath()).find(marker) != std::string::npos)
            << c.component << " at " << c.level;
    }
    std::string all = readFile(logPath());
    EXPECT_EQ(expected_lines, std::count(all.begin(), all.end(), '\n'));
}

TEST_F(LoggerTest, WithoutLevelFileOnlyWarningsAndWorse)
{
    ASSERT_EQ(0, startFileLog(""));
    Logger::LogMsg(Logger::L_WARNING, "worker_debug", "[WARNING] w.cpp(%d): shown\n", 1);
    Logger::LogMsg(Logger::L_NOTICE, "worker_debug", "[NOTE] w.cpp(%d): hidden\n", 2);
    std::string log = readFile(logPath());
    EXPECT_NE(std::string::npos, log.find("shown"));
    EXPECT_EQ(std::string::npos, log.find("hidden"));
}

TEST_F(LoggerTest, RotationKeepsAtMostTheCountNewestFirst)
{
    const int rotate = 3;
    ASSERT_EQ(0, startFileLog("", rotate));
    std::string chunk(1000, 'x');
    // Each rotation needs just over 1 MiB; mark which generation each line belongs to.
    for (int generation = 0; generation < rotate + 2; ++generation) {
        for (int i = 0; i < 1050; ++i) {
            Logger::LogMsg(Logger::L_ERR, "c", "[ERROR] g%d %s\n", generation, chunk.c_str());
        }
    }
    for (int i = 0; i < rotate; ++i) {
        EXPECT_TRUE(fileExists(logPath() + "_" + std::to_string(i))) << i;
    }
    EXPECT_FALSE(fileExists(logPath() + "_" + std::to_string(rotate)));
    std::string newest = readFile(logPath() + "_0");
    std::string oldest = readFile(logPath() + "_" + std::to_string(rotate - 1));
    ASSERT_FALSE(newest.empty());
    ASSERT_FALSE(oldest.empty());
    auto firstGeneration = [](const std::string &text) {
        return std::stoi(text.substr(text.find(" g") + 2));
    };
    EXPECT_GT(firstGeneration(newest), firstGeneration(oldest));
    EXPECT_LT(readFile(logPath()).size(), 1100000u);
}

TEST_F(LoggerTest, ConsoleOutputNeverRotates)
{
    ASSERT_EQ(0, Logger::Initialize(Logger::STDOUT_LOGGER, "", "", 50));
    testing::internal::CaptureStdout();
    Logger::LogMsg(Logger::L_ERR, "c", "[ERROR] c.cpp(%d): to stdout\n", 7);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("[ERROR] c.cpp(7): to stdout\n"));
    EXPECT_EQ(-1, Logger::Rotate());
}

TEST_F(LoggerTest, FileOutputFailures)
{
    EXPECT_EQ(-1, Logger::Initialize(Logger::FILE_LOGGER, "", "", 50));
    EXPECT_EQ(-1,
              Logger::Initialize(Logger::FILE_LOGGER, dir.file("no/such/dir.log").c_str(), "", 50));
}

TEST_F(LoggerTest, BeforeInitializeWarningsGoToStandardError)
{
    testing::internal::CaptureStderr();
    Logger::LogMsg(Logger::L_WARNING, "any", "[WARNING] a.cpp(%d): early\n", 1);
    Logger::LogMsg(Logger::L_INFO, "any", "[INFO] a.cpp(%d): dropped\n", 2);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("early"));
    EXPECT_EQ(std::string::npos, err.find("dropped"));
}

} // namespace
