#include "server-path.h"

#include <gtest/gtest.h>

#include <string>

TEST(ServerPathTest, AcceptsSessionPathsAndRefusesUnsafeOnes)
{
    const std::string long_name(1024, 'n');
    const std::string fits_name(1023, 'n');
    std::string long_path;
    while (long_path.size() <= 4095)
        long_path += "/" + std::string(200, 'p');
    struct {
        std::string path;
        bool ok;
    } cases[] = {
        {"/", true},
        {"/a.txt", true},
        {"/dir/sub/file name ä", true},
        {"/.hidden/x", true},
        {"/a/.ZentoraWorkingDirectory", true}, // only the top-level one is the daemon's
        {"/" + fits_name, true},
        {"", false},
        {"a/b", false},
        {"/a/../b", false},
        {"/..", false},
        {"/a/./b", false},
        {"/.", false},
        {"/a\\b", false},
        {"/a//b", false},
        {"//", false},
        {"/a/", false},
        {"/" + long_name, false},
        {long_path, false},
        {"/.ZentoraWorkingDirectory", false},
        {"/.ZentoraWorkingDirectory/#ZentRecycle/x", false},
        {"/.zentoraworkingdirectory/x", false},
        {"/\xff\xfe", false},
    };
    for (const auto &c : cases) {
        ustring path(c.path);
        EXPECT_EQ(c.ok, IsValidServerPath(path)) << c.path.substr(0, 60);
        if (!c.ok) {
            EXPECT_NE(nullptr, ServerPathProblem(path));
        }
    }
}
