#include "filter/filter.h"
#include "support/temp-dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

// Parses `text` with a schema into `result` from memory.
parse_result parseText(const std::string &text, const schema_parser *schema, void *result,
                       parse_report *report)
{
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    if (text.empty())
        in = fopen("/dev/null", "rb");
    parse_result ret = parse_stream(in, schema, result, report);
    fclose(in);
    return ret;
}

struct ParsedFilter {
    Filter f;
    parse_report report{};
    parse_result result;
    explicit ParsedFilter(const std::string &text)
    {
        filter_init(&f);
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        result = parseText(text, &cs_filter_schema, &f, &report);
        stderr_text = testing::internal::GetCapturedStderr();
        stdout_text = testing::internal::GetCapturedStdout();
    }
    ~ParsedFilter() { filter_destroy(&f); }
    std::string stderr_text, stdout_text;
};

std::string setEntries(const value_type_string_set &set)
{
    std::string out;
    for (size_t i = 0; i < set.used; ++i)
        out += std::string(i ? "|" : "") + set.set[i];
    return out;
}

struct ErrorCase {
    std::string text;
    int error;
    int line;
};

TEST(FilterParser, RejectsMalformedLinesWithTheirErrorAndLine)
{
    const std::string long_section = "[" + std::string(33, 'a') + "]\n";
    const std::string long_key = "[File]\n" + std::string(33, 'k') + " = 1\n";
    const std::string long_string = "[Common]\nblack_char = \"" + std::string(513, 'x') + "\"\n";
    const std::string long_line = "[File]\n#" + std::string(1100, 'c') + "\nmax_size = 1\n";
    static const char raw_nul[] = "[File]\nblack_ext = \"a\0b\"\n";
    const ErrorCase cases[] = {
        {"max_size = 1\n", LINE_NOT_EXPECTED, 1},
        {"\"a\"\n", LINE_NOT_EXPECTED, 1},
        {"[Common\n", SECTION_MISSING_RIGHT_BRACKET, 1},
        {"[Com#mon]\n", SECTION_MISSING_RIGHT_BRACKET, 1},
        {"[]\n", SECTION_MISSING_SECTION, 1},
        {"[Com mon]\n", SECTION_ILLEGAL_CHARACTER, 1},
        {long_section, SECTION_TOO_LONG, 1},
        {"[Nope]\n", SECTION_UNDEFINED_SECTION, 1},
        {"[file]\n", SECTION_UNDEFINED_SECTION, 1},
        {"[File] x\n", LINE_NOT_ENDED, 1},
        {"[File]\n= 1\n", KEY_MISSING_KEY, 2},
        {"[File]\nmax_size 1\n", KEY_ILLEGAL_CHARACTER, 2},
        {"[File]\nmax_size\n", KEY_ILLEGAL_CHARACTER, 2},
        {long_key, KEY_TOO_LONG, 2},
        {"[File]\nmax_size = 1MB\n", VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
        {"[File]\nmax_size = 007\n", VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
        {"[File]\nmax_size = -\n", VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
        {"[File]\nmax_size = .5\n", VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
        {"[File]\nmax_size = 1.\n", VALUE_NUMERIC_MISSING_FRACTIONAL_PART, 2},
        {"[File]\nmax_size = \n", VALUE_NUMERIC_MISSING_VALUE, 2},
        {"[File]\nmax_size = # none\n", VALUE_NUMERIC_MISSING_VALUE, 2},
        {"[File]\nmax_size = 1 2\n", LINE_NOT_ENDED, 2},
        {"[File]\nmax_size = 99999999999999999999\n", VALUE_TOO_LONG, 2},
        {"[Version]\nmajor = 3000000000\n", VALUE_TOO_LONG, 2},
        {"[Common]\nblack_char = abc\n", VALUE_STRING_MISSING_LEFT_QUOTE, 2},
        {"[Common]\nblack_char = \"abc\n", VALUE_STRING_MISSING_RIGHT_QUOTE, 2},
        {"[Common]\nblack_char = \"a\tb\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_char = \"\\x4\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_char = \"\\q\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_char = \"\\400\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_prefix = \"\\x00\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_prefix = \"\\000x\"\n", VALUE_STRING_ILLEGAL_CHARACTER, 2},
        {"[Common]\nblack_char = \"\"\n", VALUE_STRING_EMPTY, 2},
        {"[Common]\nblack_char = \"a\" x\n", LINE_NOT_ENDED, 2},
        {"[Common]\nblack_char = \"a\", \"b\"\n", LINE_NOT_ENDED, 2},
        {long_string, VALUE_TOO_LONG, 2},
        {"[Common]\n\nblack_name = \"a\" \"b\"\n", VALUE_SET_MISSING_SEPARATER, 3},
        {"[Common]\nblack_name = \"a\",\n[File]\n", LINE_NOT_EXPECTED, 3},
        {"[Common]\nblack_name = \"a\",\nx\n", LINE_NOT_EXPECTED, 3},
        {"[Common]\nblack_name = \"a\", x\n", VALUE_STRING_MISSING_LEFT_QUOTE, 2},
        // The continuation of an unknown key's value has nothing to continue.
        {"[Common]\nfoo = \"a\",\n\"b\"\n", LINE_NOT_EXPECTED, 3},
        // A line over the limit is an error, not two lines.
        {long_line, LINE_NOT_ENDED, 2},
        {std::string(raw_nul, sizeof(raw_nul) - 1), VALUE_STRING_ILLEGAL_CHARACTER, 2},
    };
    for (const ErrorCase &c : cases) {
        ParsedFilter p(c.text);
        EXPECT_EQ(PARSE_ERROR, p.result) << c.text;
        EXPECT_EQ(c.error, p.report.error) << c.text;
        EXPECT_EQ(c.line, p.report.line) << c.text;
    }
}

TEST(FilterParser, ErrorMessageNamesTheCodeAndLine)
{
    ParsedFilter p("[Common]\n# names\nblack_name = \"a\" \"b\"\n");
    EXPECT_EQ("parser: VALUE_SET_MISSING_SEPARATER at line 3\n", p.stderr_text);
    EXPECT_STREQ("Unknown error", parse_error_name(28));
    EXPECT_STREQ("Unknown error", parse_error_name(-1));
    EXPECT_STREQ("LINE_NOT_EXPECTED", parse_error_name(LINE_NOT_EXPECTED));
}

TEST(FilterParser, DecodesValuesOfEveryType)
{
    ParsedFilter p("  # leading comment\r\n"
                   "[Version]\r\n"
                   "major = 1\r\n"
                   "minor = +0 # comment\r\n"
                   "[Common] # comment\n"
                   "black_char = \"\\x41\\102\\n\"\n"
                   "black_char=\"\\\\:\"\n" // a repeated string replaces
                   "black_name = \"x\",\"y\"  ,  # more below\n"
                   "\n"
                   "   # a comment between continuation lines\n"
                   "   \"z\"\n"
                   "black_name = \"x\"\n" // sets accumulate, duplicates stay
                   "max_length = 1.5\n"
                   "max_path = -7\n"
                   "[File]\n"
                   "max_size = 1048576 # one MiB\n"
                   "black_ext = \"\\a\\b\\f\\r\\t\\v\\'\\\"\\?\\xfF\", \"caf\xc3\xa9\"\n");
    ASSERT_EQ(PARSE_DONE, p.result) << p.stderr_text;
    EXPECT_EQ(1, p.f.Version.major);
    EXPECT_EQ(0, p.f.Version.minor);
    EXPECT_STREQ("\\:", p.f.Common.black_char.str);
    EXPECT_EQ("x|y|z|x", setEntries(p.f.Common.black_name));
    EXPECT_EQ(1, p.f.Common.max_length);
    EXPECT_EQ(-7, p.f.Common.max_path);
    EXPECT_EQ(1048576, p.f.File.max_size);
    EXPECT_EQ("\a\b\f\r\t\v'\"?\xff|caf\xc3\xa9", setEntries(p.f.File.black_ext));

    ParsedFilter escapes("[Common]\nblack_char = \"\\x41\\102\\n\"\n");
    EXPECT_STREQ("AB\n", escapes.f.Common.black_char.str);
}

TEST(FilterParser, WhiteListSetContinuesOnTheNextLine)
{
    TempDir dir;
    WhiteList list;
    white_list_init(&list);
    std::string path = dir.write("whitelist.filter", "[Version]\nmajor = 1\nminor = 0\n[File]\n"
                                                     "white_ext = \"jpg\", \"png\",\n\"gif\"\n");
    ASSERT_EQ(0, white_list_read(&list, path));
    EXPECT_EQ("jpg|png|gif", setEntries(list.File.white_ext));
    white_list_destroy(&list);
}

TEST(FilterParser, UnknownKeysNeedANewerMinorVersion)
{
    TempDir dir;
    Filter f;
    filter_init(&f);
    const std::string body = "[Common]\nfoo = \"whatever\" x y\nblack_name = \"a\"\n";

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, filter_read(&f, dir.write("v10", "[Version]\nmajor = 1\nminor = 0\n" + body)));
    EXPECT_EQ("warning: unknown key (foo)\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(schema_result_is_empty(&cs_filter_schema, &f));

    EXPECT_EQ(0, filter_read(&f, dir.write("v11", "[Version]\nmajor = 1\nminor = 1\n" + body)));
    EXPECT_EQ("a", setEntries(f.Common.black_name));
    EXPECT_EQ(1, f.Version.minor);

    EXPECT_EQ(-1, filter_read(&f, dir.write("v21", "[Version]\nmajor = 2\nminor = 1\n" + body)));
    EXPECT_TRUE(schema_result_is_empty(&cs_filter_schema, &f));
    filter_destroy(&f);
}

TEST(FilterParser, ReadReplacesContentAndEmptiesOnFailure)
{
    TempDir dir;
    ForceHashCheckList list;
    force_hash_check_list_init(&list);
    std::string good = dir.write("good", "[File]\nforce_hash_ext = \"doc\"\n");
    ASSERT_EQ(0, force_hash_check_list_read(&list, good));
    ASSERT_EQ(0, force_hash_check_list_read(&list, good));
    EXPECT_EQ("doc", setEntries(list.File.force_hash_ext)); // replaced, not accumulated

    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, force_hash_check_list_read(
                      &list, dir.write("bad", "[File]\nforce_hash_ext = \"a\",\"b\"\n[Nope]\n")));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(schema_result_is_empty(&force_hash_check_list_schema, &list));

    ASSERT_EQ(0, force_hash_check_list_read(&list, good));
    EXPECT_EQ(-1, force_hash_check_list_read(&list, dir.file("missing")));
    EXPECT_TRUE(schema_result_is_empty(&force_hash_check_list_schema, &list));
    force_hash_check_list_destroy(&list);
}

TEST(FilterValues, CopyIsDeepAndRemovalMovesTheLastEntry)
{
    Filter a, b;
    filter_init(&a);
    filter_init(&b);
    for (const char *s : {"one", "two", "three", "four", "five"}) {
        ASSERT_EQ(0, vt_string_set_insert(&a.File.black_ext, s));
    }
    EXPECT_EQ(8u, a.File.black_ext.capacity);
    ASSERT_EQ(0, vt_string_assign(&a.Common.black_char, ":"));
    a.File.max_size = 42;
    ASSERT_EQ(0, filter_copy(&b, &a));
    filter_destroy(&a);
    EXPECT_EQ("one|two|three|four|five", setEntries(b.File.black_ext));
    EXPECT_STREQ(":", b.Common.black_char.str);
    EXPECT_EQ(42, b.File.max_size);

    EXPECT_EQ(0, vt_string_set_remove(&b.File.black_ext, "two"));
    EXPECT_EQ(-1, vt_string_set_remove(&b.File.black_ext, "two"));
    EXPECT_EQ("one|five|three|four", setEntries(b.File.black_ext));
    filter_destroy(&b);
    EXPECT_TRUE(schema_result_is_empty(&cs_filter_schema, &b));
}

TEST(FilterSchema, LooksUpNamesExactly)
{
    const schema_section *file = search_section_schema(&cs_filter_schema, "File");
    ASSERT_NE(nullptr, file);
    EXPECT_EQ(nullptr, search_section_schema(&cs_filter_schema, "file"));
    EXPECT_NE(nullptr, search_key_schema(file, "max_size_selective_sync"));
    EXPECT_EQ(nullptr, search_key_schema(file, "Max_size"));
    EXPECT_EQ(1, white_list_schema.major);
    EXPECT_EQ(0, force_hash_check_list_schema.minor);
}

} // namespace
