#include "config.h"

#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct LineCase {
    const char *line;
    bool ok;
    const char *key; // nullptr: nothing stored
    const char *value;
};

TEST(ConfigTest, LineGrammar)
{
    const LineCase cases[] = {
        {"worker_count = 5 # five workers\n", true, "worker_count", "5"},
        {"key=value\n", true, "key", "value"},
        {"   \n", true, nullptr, nullptr},
        {"# a comment\n", true, nullptr, nullptr},
        {"lonely_key", true, nullptr, nullptr},
        {"key# comment\n", true, nullptr, nullptr},
        {"cert_path = \"/a b/c.pem\"\n", true, "cert_path", "/a b/c.pem"},
        {"cert_path = /a b/c.pem\n", false, nullptr, nullptr},
        {"key =\n", false, nullptr, nullptr},
        {"key = ''\n", true, "key", ""},
        {"key = \"unterminated\n", false, nullptr, nullptr},
        {"key = 'mixed\"\n", false, nullptr, nullptr},
        {"[section]\n", false, nullptr, nullptr},
        {"#[section]\n", true, nullptr, nullptr},
        {"key = a#b\n", true, "key", "a#b"},
        {"key = a #b\n", true, "key", "a"},
        {"key value\n", false, nullptr, nullptr},
        {"key\n", false, nullptr, nullptr},
        {"key = 'a' trailing\n", false, nullptr, nullptr},
        {"k-e_Y9 =\t\"x y\"\t# c\n", true, "k-e_Y9", "x y"},
        {"key = caf\xc3\xa9\n", true, "key", "caf\xc3\xa9"},
        {"key = a\x7f"
         "b\n",
         false, nullptr, nullptr},
        {"= value\n", true, "", "value"},
    };
    for (const auto &c : cases) {
        std::map<ustring, ustring> entries;
        EXPECT_EQ(c.ok, Config::parseLine(c.line, entries)) << c.line;
        if (c.key == nullptr) {
            EXPECT_TRUE(entries.empty()) << c.line;
        } else {
            ASSERT_EQ(1u, entries.size()) << c.line;
            EXPECT_STREQ(c.key, entries.begin()->first.c_str_utf8()) << c.line;
            EXPECT_STREQ(c.value, entries.begin()->second.c_str_utf8()) << c.line;
        }
    }
}

TEST(ConfigTest, ReadKeepsTheLastValueAndFailsWhole)
{
    TempDir dir;
    Config cfg;
    EXPECT_EQ(0, cfg.read(dir.write("ok", "a = 1\nb = 2\na = 3")));
    EXPECT_STREQ("3", cfg["a"].c_str_utf8());
    EXPECT_EQ(2, cfg.get_int("b"));

    Config bad;
    EXPECT_EQ(-1, bad.read(dir.write("bad", "a = 1\n[oops]\nb = 2\n")));
    EXPECT_TRUE(bad.entries().empty());

    Config missing;
    EXPECT_EQ(-1, missing.read(dir.file("absent")));
    EXPECT_EQ(-1, missing.read(""));
}

TEST(ConfigTest, IntegerValues)
{
    const std::pair<const char *, int> cases[] = {
        {"5", 5},
        {"-12", -12},
        {"+7", 7},
        {"  42", 42},
        {"12abc", 12},
        {"word", 0},
        {"", 0},
        {"99999999999999", 2147483647},
        {"-99999999999999", -2147483647 - 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.second, Config::parseInt(c.first)) << c.first;
    }
    Config cfg;
    EXPECT_EQ(0, cfg.get_int("absent"));
    EXPECT_TRUE(cfg.has("absent")); // a lookup inserts the key
}

TEST(ConfigTest, HostileFilesNeverCrash)
{
    TempDir dir;
    std::string garbage;
    for (int i = 0; i < 70000; ++i) {
        garbage.push_back(static_cast<char>((i * 7919) & 0xff));
    }
    Config binary;
    binary.read(dir.write("binary", garbage));

    // A 100 000-character line is read in 8192-byte pieces; the continuation piece has
    // no equals sign, so the file is malformed.
    Config longline;
    EXPECT_EQ(-1, longline.read(dir.write("long", "key = " + std::string(100000, 'x') + "\n")));
    EXPECT_TRUE(longline.entries().empty());

    Config invalid_utf8;
    EXPECT_EQ(0, invalid_utf8.read(dir.write("utf8", "k = \xff\xfe\n")));
    EXPECT_STREQ("\xff\xfe", invalid_utf8["k"].c_str_utf8());
}

} // namespace
