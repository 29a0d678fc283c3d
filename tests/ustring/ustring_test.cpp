#include "ustring/ustring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>

namespace
{

std::u16string utf16(const ustring &s)
{
    return std::u16string(s.c_str());
}

const size_t npos = ustring::npos;

TEST(UstringTest, NewStringIsEmptyInBothForms)
{
    ustring s;
    EXPECT_EQ(0u, s.length());
    EXPECT_TRUE(s.empty());
    EXPECT_STREQ("", s.c_str_utf8());
    EXPECT_EQ(u"", utf16(s));
}

TEST(UstringTest, CopiesStopAtTheFirstNul)
{
    ustring s;
    s.append("a\0b", 3);
    EXPECT_EQ("a", std::string(s.c_str_utf8()));
    EXPECT_EQ(1u, s.length());

    s.assign(std::string("x\0y", 3));
    EXPECT_EQ(1u, s.length());

    s.assign(L"ab\0c", 4);
    EXPECT_EQ(2u, s.length());

    s.assign(3, 'z');
    EXPECT_STREQ("zzz", s.c_str_utf8());
    s.assign(3, '\0');
    EXPECT_TRUE(s.empty());
}

TEST(UstringTest, WideInputIsConvertedAndLengthsAreBytes)
{
    ustring e(L"\u00e9");
    EXPECT_EQ(2u, e.length());
    EXPECT_EQ(1u, e.length_utf16());
    EXPECT_EQ(u"\u00e9", utf16(e));

    // A code point beyond the basic plane is four bytes and a surrogate pair.
    ustring clef(L"\U0001D11E");
    EXPECT_EQ(4u, clef.length());
    EXPECT_EQ(2u, clef.length_utf16());

    ustring mixed("a");
    mixed += L'\u00fc';
    mixed.append(2, L'b');
    EXPECT_STREQ("a\xc3\xbc"
                 "bb",
                 mixed.c_str_utf8());
}

TEST(UstringTest, InvalidWideInputEmptiesTheString)
{
    ustring s("keep");
    s += static_cast<wchar_t>(0xD800); // an unpaired surrogate
    EXPECT_TRUE(s.empty());
    ustring t("x");
    t += static_cast<wchar_t>(0x110000); // beyond Unicode
    EXPECT_TRUE(t.empty());
}

TEST(UstringTest, InvalidUtf8KeepsItsBytesButHasNoUtf16Form)
{
    ustring s("a\xff");
    EXPECT_EQ(2u, s.length());
    EXPECT_EQ(u"", utf16(s));
    EXPECT_FALSE(ustring::is_valid(s));
    EXPECT_TRUE(ustring::is_valid(ustring()));
    EXPECT_TRUE(ustring::is_valid(ustring("caf\xc3\xa9")));
}

TEST(UstringTest, SelfReferencingSources)
{
    ustring s("abc");
    s.append(s.c_str_utf8());
    EXPECT_STREQ("abcabc", s.c_str_utf8());

    s.assign(s.c_str_utf8());
    EXPECT_STREQ("abcabc", s.c_str_utf8());
    s.assign(s.c_str_utf8(), 10);
    EXPECT_STREQ("abcabc", s.c_str_utf8());
    s.assign(s.c_str_utf8(), 2);
    EXPECT_STREQ("ab", s.c_str_utf8());

    ustring t("hello world");
    t.assign(t, 6);
    EXPECT_STREQ("world", t.c_str_utf8());
    t.assign(t.c_str_utf8() + 1);
    EXPECT_STREQ("orld", t.c_str_utf8());
}

TEST(UstringTest, SubstrAndRanges)
{
    ustring abc("abc");
    EXPECT_STREQ("bc", abc.substr(1).c_str_utf8());
    EXPECT_STREQ("b", abc.substr(1, 1).c_str_utf8());
    EXPECT_STREQ("c", abc.substr(2, 100).c_str_utf8());
    EXPECT_TRUE(abc.substr(3).empty());
    try {
        abc.substr(4);
        FAIL() << "substr beyond the end must throw";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ("substr", e.what());
    }
    ustring s;
    try {
        s.append(std::string("ab"), 3);
        FAIL() << "append beyond the end must throw";
    } catch (const std::out_of_range &e) {
        EXPECT_STREQ("basic_string::substr", e.what());
    }
    s.append(std::string("abcdef"), 2, 3);
    EXPECT_STREQ("cde", s.c_str_utf8());
}

struct SearchCase {
    const char *text;
    const char *op;
    const char *arg;
    size_t pos;
    size_t expected;
};

size_t runSearch(const SearchCase &c)
{
    ustring text(c.text);
    std::string op(c.op);
    if (op == "find")
        return text.find(c.arg, c.pos);
    if (op == "rfind")
        return text.rfind(c.arg, c.pos);
    if (op == "first_of")
        return text.find_first_of(c.arg, c.pos);
    if (op == "first_not_of")
        return text.find_first_not_of(c.arg, c.pos);
    if (op == "last_of")
        return text.find_last_of(c.arg, c.pos);
    return text.find_last_not_of(c.arg, c.pos);
}

TEST(UstringTest, SearchTable)
{
    const SearchCase cases[] = {
        {"abc", "find", "", 0, 0},
        {"abc", "find", "", 3, npos},
        {"abc", "find", "bc", 0, 1},
        {"abc", "find", "bc", 2, npos},
        {"abcabc", "find", "abc", 1, 3},
        {"abc", "find", "abcd", 0, npos},
        {"abc", "rfind", "c", npos, 2},
        {"abcabc", "rfind", "abc", npos, 3},
        {"abcabc", "rfind", "abc", 2, 0},
        {"abc", "rfind", "", npos, 2},
        {"abc", "rfind", "", 1, 1},
        {"", "rfind", "", npos, npos},
        {"abc", "rfind", "abcd", npos, npos},
        {"a/b/c", "first_of", "/", 0, 1},
        {"a/b/c", "first_of", "/", 2, 3},
        {"abc", "first_of", "", 0, npos},
        {"abc", "first_not_of", "", 1, 1},
        {"  x", "first_not_of", " ", 0, 2},
        {"   ", "first_not_of", " ", 0, npos},
        {"a/b/c", "last_of", "/", npos, 3},
        {"a/b/c", "last_of", "/", 2, 1},
        {"abc", "last_of", "", npos, npos},
        {"abc", "last_not_of", "", npos, 2},
        {"x  ", "last_not_of", " ", npos, 0},
        {"", "last_not_of", "", npos, npos},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, runSearch(c))
            << c.op << "(\"" << c.arg << "\", " << c.pos << ") on \"" << c.text << "\"";
    }
    // The one-byte forms: NUL stands for the empty needle or set.
    ustring abc("abc");
    EXPECT_EQ(1u, abc.find('b'));
    EXPECT_EQ(1u, abc.find('\0', 1));
    EXPECT_EQ(npos, abc.find_first_of('\0'));
    EXPECT_EQ(2u, abc.rfind(std::string("c")));
    EXPECT_EQ(1u, abc.find(ustring("bc")));
}

TEST(UstringTest, TrimAndReplace)
{
    ustring a("a  ");
    a.rtrim(" ");
    EXPECT_STREQ("a", a.c_str_utf8());
    ustring blanks("   ");
    blanks.ltrim(" ");
    EXPECT_TRUE(blanks.empty());
    ustring both("--x--");
    both.trim(ustring("-"));
    EXPECT_STREQ("x", both.c_str_utf8());

    ustring untouched("abc");
    const UChar *cache = untouched.c_str();
    untouched.trim(" ");
    EXPECT_EQ(cache, untouched.c_str());

    ustring path("/a/b");
    EXPECT_EQ(u"/a/b", utf16(path));
    path.replace('/', '\\');
    EXPECT_EQ(u"\\a\\b", utf16(path));
    EXPECT_STREQ("\\a\\b", path.c_str_utf8());
}

TEST(UstringTest, Comparison)
{
    EXPECT_EQ(0, ustring::compare("ABC", "abc", true));
    EXPECT_NE(0, ustring::compare("\xc3\x84", "\xc3\xa4", true)); // Ä and ä
    EXPECT_NE(0, ustring::compare("ABC", "abc", false));
    EXPECT_LT(ustring("ab").compare("abc"), 0);
    EXPECT_GT(ustring("b").compare("abc"), 0);
    EXPECT_GT(ustring("\xc3\xa9").compare("z"), 0); // unsigned bytes
    EXPECT_EQ(0, ustring("abX").compare("abY", 2));
    EXPECT_EQ(0, ustring("a").compare("b", 0));
    EXPECT_TRUE(ustring("a") < ustring("b"));
    EXPECT_TRUE(ustring("a") == ustring("a"));
    EXPECT_TRUE(ustring("a") != ustring("b"));
    EXPECT_TRUE(ustring("b") >= ustring("a"));
}

TEST(UstringTest, Normalization)
{
    ustring composed(L"\u00e9");
    ustring decomposed = composed.normalize(ustring::NFD);
    EXPECT_EQ(u"e\u0301", utf16(decomposed));
    EXPECT_EQ(3u, decomposed.length());
    ustring back = ustring::normalize(decomposed, ustring::NFC);
    EXPECT_EQ(u"\u00e9", utf16(back));
    EXPECT_EQ(composed, back);
    EXPECT_TRUE(ustring().normalize(ustring::NFC).empty());
}

TEST(UstringTest, OperatorsCopiesAndStreams)
{
    ustring a("dir");
    ustring b = a + "/" + ustring("file") + '.' + L"txt";
    EXPECT_STREQ("dir/file.txt", b.c_str_utf8());
    ustring c(b);
    c.c_str();
    ustring d;
    d = c;
    EXPECT_EQ(b, d);
    ustring moved(std::move(d));
    EXPECT_EQ(b, moved);
    swap(a, moved);
    EXPECT_STREQ("dir/file.txt", a.c_str_utf8());

    std::ostringstream out;
    out << a;
    EXPECT_EQ("dir/file.txt", out.str());
    std::istringstream in("  first second");
    ustring token;
    in >> token;
    EXPECT_STREQ("first", token.c_str_utf8());
}

TEST(UstringTest, BuffersShrinkAndGrowToTheNeed)
{
    ustring s;
    for (int i = 0; i < 1000; ++i) {
        s += "0123456789";
    }
    EXPECT_EQ(10000u, s.length());
    s.assign("x");
    EXPECT_STREQ("x", s.c_str_utf8());
    EXPECT_EQ(1u, s.length_utf16());
}

// Empty strings own no buffer and all point at one shared terminator. Every way of ending
// up empty must still read as a valid empty text in both forms, and changing one of them
// must never show in another.
TEST(UstringTest, EveryEmptyStringReadsAsEmptyAndStaysItsOwn)
{
    ustring full("payload");
    ustring moved_from("abc");
    ustring taken(std::move(moved_from));
    ustring assigned_from("abc");
    ustring target;
    target = std::move(assigned_from);
    ustring cleared("abc");
    cleared.c_str();
    cleared.clear();
    ustring empty_assign("abc");
    empty_assign.assign("");
    ustring null_assign("abc");
    null_assign.assign(static_cast<const char *>(nullptr));
    ustring copied_empty(cleared);
    ustring from_empty("abc");
    from_empty = cleared;
    ustring cut = full.substr(7);
    ustring plain;
    ustring *empties[] = {&moved_from,   &assigned_from, &cleared, &empty_assign, &null_assign,
                          &copied_empty, &from_empty,    &cut,     &plain};
    EXPECT_STREQ("abc", taken.c_str_utf8());
    EXPECT_STREQ("abc", target.c_str_utf8());
    for (ustring *s : empties) {
        EXPECT_TRUE(s->empty());
        EXPECT_STREQ("", s->c_str_utf8());
        EXPECT_EQ(u"", utf16(*s));
        EXPECT_EQ(0u, s->length_utf16());
        EXPECT_EQ(ustring(), *s);
    }
    // Each one grows on its own.
    for (size_t i = 0; i < sizeof(empties) / sizeof(empties[0]); ++i)
        empties[i]->append(std::string(i + 1, 'x'));
    for (size_t i = 0; i < sizeof(empties) / sizeof(empties[0]); ++i) {
        EXPECT_EQ(std::string(i + 1, 'x'), empties[i]->c_str_utf8()) << i;
        EXPECT_EQ(std::u16string(i + 1, u'x'), utf16(*empties[i])) << i;
    }
    EXPECT_STREQ("", ustring().c_str_utf8());
    EXPECT_EQ(u"", utf16(ustring()));
}

// A string assigned again and again (as a reused copy is) keeps both forms in step.
TEST(UstringTest, ReassignedStringDropsItsOldUtf16Form)
{
    ustring s("\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(u"\u00e9t\u00e9", utf16(s));
    const char *texts[] = {"ab", "a much longer text than before", "", "z", "\xc3\xa9"};
    const char16_t *wide[] = {u"ab", u"a much longer text than before", u"", u"z", u"\u00e9"};
    for (size_t i = 0; i < 5; ++i) {
        s = texts[i];
        EXPECT_EQ(wide[i], utf16(s)) << i;
        ustring copy;
        copy = s;
        EXPECT_EQ(wide[i], utf16(copy)) << i;
        EXPECT_EQ(strlen(texts[i]), copy.length()) << i;
    }
}

} // namespace
