#include "filter/parser.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace
{

const char *const ERROR_NAMES[MAX_ERROR_CODE + 1] = {
    "NO_ERROR",
    "SECTION_MISSING_LEFT_BRACKET",
    "SECTION_MISSING_RIGHT_BRACKET",
    "SECTION_MISSING_SECTION",
    "SECTION_ILLEGAL_CHARACTER",
    "SECTION_TOO_LONG",
    "SECTION_UNDEFINED_SECTION",
    "KEY_MISSING_KEY",
    "KEY_ILLEGAL_CHARACTER",
    "KEY_TOO_LONG",
    "KEY_UNDEFINED_KEY",
    "VALUE_NUMERIC_MISSING_INTEGER_PART",
    "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
    "VALUE_NUMERIC_MISSING_VALUE",
    "VALUE_NUMERIC_ILLEGAL_SYNTAX",
    "VALUE_STRING_MISSING_LEFT_QUOTE",
    "VALUE_STRING_MISSING_RIGHT_QUOTE",
    "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
    "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
    "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
    "VALUE_STRING_ILLEGAL_CHARACTER",
    "VALUE_STRING_EMPTY",
    "VALUE_SET_MISSING_SEPARATER",
    "VALUE_TOO_LONG",
    "LINE_NOT_ENDED",
    "LINE_NOT_EXPECTED",
    "INTERNAL_ERROR",
    "MAX_ERROR_CODE",
};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isNameChar(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
}

int hexDigit(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

// The character a one-letter escape stands for, or -1.
int simpleEscape(char c)
{
    switch (c) {
    case 'a':
        return '\a';
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    case '\'':
        return '\'';
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '?':
        return '?';
    default:
        return -1;
    }
}

// What the next non-blank, non-comment line may be.
enum Expect {
    EXPECT_SECTION,      // start of the file: only a section header
    EXPECT_ANY,          // a section header or a key line
    EXPECT_CONTINUATION, // after a trailing ",": the next strings of the set
};

// Parses one file line by line. Every step returns 0 or a negated parse_error code.
class Parser
{
public:
    Parser(const schema_parser *schema, void *result) : m_schema(schema), m_result(result) {}

    parse_result run(FILE *in, parse_report *report);

private:
    bool readLine(FILE *in);
    int parseLine();
    int parseSection();
    int parseKeyLine();
    int parseValue(const schema_key *key);
    int parseInteger(const schema_key *key);
    int parseStringValue(const schema_key *key);
    int parseSetValues(const schema_key *key);
    int parseQuoted(std::string &out);
    int parseEscape(std::string &out);
    int storeInteger(const schema_key *key, int64_t value);
    int parseName(char *name, int too_long_error);

    void *valueOf(const schema_key *key) { return schema_value(m_result, m_section, key); }
    bool more() const { return m_pos < m_len; }
    char cur() const { return m_line[m_pos]; }
    void skipBlanks()
    {
        while (more() && isBlank(cur()))
            ++m_pos;
    }
    // The rest of the line is empty or a comment.
    bool atEnd() const { return !more() || cur() == '#'; }
    int expectLineEnd()
    {
        skipBlanks();
        return atEnd() ? 0 : -LINE_NOT_ENDED;
    }

    const schema_parser *m_schema;
    void *m_result;
    const schema_section *m_section = nullptr;
    const schema_key *m_set_key = nullptr; // the set a continuation line adds to
    char m_section_name[SCHEMA_MAX_NAME + 1] = {};
    char m_key_name[SCHEMA_MAX_NAME + 1] = {};
    int m_line_no = 0;
    size_t m_pos = 0;
    char m_line[PARSER_MAX_LINE + 1] = {};
    size_t m_len = 0;
    bool m_line_too_long = false;
    int m_unknown_keys = 0;
    Expect m_expect = EXPECT_SECTION;
    int m_error = 0;
};

parse_result Parser::run(FILE *in, parse_report *report)
{
    while (m_error == 0 && readLine(in)) {
        ++m_line_no;
        m_error = parseLine();
    }
    if (report != nullptr) {
        report->error = -m_error;
        report->line = m_error != 0 ? m_line_no : 0;
        report->unknown_keys = m_unknown_keys;
    }
    if (m_error != 0) {
        fprintf(stderr, "parser: %s at line %d\n", parse_error_name(-m_error), m_line_no);
        return PARSE_ERROR;
    }
    return m_unknown_keys > 0 ? PARSE_PARTIAL : PARSE_DONE;
}

// Reads one line without its end. A line longer than the buffer is read to its end and
// marked, so that its tail is never taken for a line of its own.
bool Parser::readLine(FILE *in)
{
    m_len = 0;
    m_line_too_long = false;
    int c = getc(in);
    if (c == EOF) {
        return false;
    }
    for (; c != EOF && c != '\n'; c = getc(in)) {
        if (m_len < PARSER_MAX_LINE) {
            m_line[m_len++] = static_cast<char>(c);
        } else {
            m_line_too_long = true;
        }
    }
    m_line[m_len] = '\0';
    return true;
}

int Parser::parseLine()
{
    if (m_line_too_long) {
        return -LINE_NOT_ENDED;
    }
    m_pos = 0;
    skipBlanks();
    if (atEnd()) {
        return 0;
    }
    if (m_expect == EXPECT_CONTINUATION) {
        return cur() == '"' ? parseSetValues(m_set_key) : -LINE_NOT_EXPECTED;
    }
    if (cur() == '[') {
        return parseSection();
    }
    if (m_expect == EXPECT_SECTION || cur() == '"') {
        return -LINE_NOT_EXPECTED;
    }
    return parseKeyLine();
}

// Reads a run of name characters into `name`; gives `too_long_error` past 32 of them.
int Parser::parseName(char *name, int too_long_error)
{
    size_t start = m_pos;
    while (more() && isNameChar(cur())) {
        if (m_pos - start >= SCHEMA_MAX_NAME) {
            return -too_long_error;
        }
        ++m_pos;
    }
    memcpy(name, m_line + start, m_pos - start);
    name[m_pos - start] = '\0';
    return 0;
}

int Parser::parseSection()
{
    ++m_pos; // '['
    int ret = parseName(m_section_name, SECTION_TOO_LONG);
    if (ret != 0)
        return ret;
    if (atEnd())
        return -SECTION_MISSING_RIGHT_BRACKET;
    if (cur() != ']')
        return -SECTION_ILLEGAL_CHARACTER;
    if (m_section_name[0] == '\0')
        return -SECTION_MISSING_SECTION;
    ++m_pos;
    ret = expectLineEnd();
    if (ret != 0)
        return ret;
    m_section = search_section_schema(m_schema, m_section_name);
    if (m_section == nullptr)
        return -SECTION_UNDEFINED_SECTION;
    m_expect = EXPECT_ANY;
    return 0;
}

int Parser::parseKeyLine()
{
    int ret = parseName(m_key_name, KEY_TOO_LONG);
    if (ret != 0)
        return ret;
    if (m_key_name[0] == '\0')
        return -KEY_MISSING_KEY;
    skipBlanks();
    if (!more() || cur() != '=')
        return -KEY_ILLEGAL_CHARACTER;
    ++m_pos;
    skipBlanks();
    const schema_key *key = search_key_schema(m_section, m_key_name);
    if (key == nullptr) {
        // A newer file version may add keys; the caller decides whether that is fine.
        printf("warning: unknown key (%s)\n", m_key_name);
        ++m_unknown_keys;
        return 0;
    }
    return parseValue(key);
}

int Parser::parseValue(const schema_key *key)
{
    switch (key->type) {
    case integer32_type:
    case integer64_type:
        return parseInteger(key);
    case string_type:
        return parseStringValue(key);
    case string_set_type:
        return parseSetValues(key);
    }
    return -INTERNAL_ERROR;
}

// Decimal digits to a value of at most `limit`; false on overflow.
static bool toUnsigned(const char *digits, size_t n, uint64_t limit, uint64_t *out)
{
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) {
        uint64_t digit = static_cast<uint64_t>(digits[i] - '0');
        if (value > (limit - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

int Parser::parseInteger(const schema_key *key)
{
    size_t start = m_pos;
    if (atEnd())
        return -VALUE_NUMERIC_MISSING_VALUE;
    bool negative = cur() == '-';
    bool signed_ = negative || cur() == '+';
    if (signed_)
        ++m_pos;
    size_t digits = m_pos;
    if (more() && isDigit(cur())) {
        if (cur() == '0') {
            ++m_pos;
        } else {
            while (more() && isDigit(cur()))
                ++m_pos;
        }
    } else if (signed_ || (more() && cur() == '.')) {
        return -VALUE_NUMERIC_MISSING_INTEGER_PART;
    } else {
        return -VALUE_NUMERIC_MISSING_VALUE;
    }
    size_t digits_end = m_pos;
    if (more() && cur() == '.') {
        ++m_pos;
        if (!more() || !isDigit(cur()))
            return -VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
        while (more() && isDigit(cur()))
            ++m_pos; // the fraction is accepted and dropped
    }
    if (m_pos - start > PARSER_MAX_NUMBER)
        return -VALUE_TOO_LONG;
    if (more() && !isBlank(cur()) && cur() != '#')
        return -VALUE_NUMERIC_ILLEGAL_SYNTAX;
    int ret = expectLineEnd();
    if (ret != 0)
        return ret;

    uint64_t max = key->type == integer32_type ? INT32_MAX : INT64_MAX;
    uint64_t magnitude = 0;
    // A number that does not fit its type is refused rather than wrapped around.
    if (!toUnsigned(m_line + digits, digits_end - digits, negative ? max + 1 : max, &magnitude)) {
        return -VALUE_TOO_LONG;
    }
    int64_t value =
        negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    return storeInteger(key, value);
}

int Parser::storeInteger(const schema_key *key, int64_t value)
{
    if (key->type == integer32_type) {
        int32_t narrow = static_cast<int32_t>(value);
        memcpy(valueOf(key), &narrow, sizeof(narrow));
    } else {
        memcpy(valueOf(key), &value, sizeof(value));
    }
    return 0;
}

int Parser::parseStringValue(const schema_key *key)
{
    std::string text;
    int ret = parseQuoted(text);
    if (ret == 0)
        ret = expectLineEnd();
    if (ret != 0)
        return ret;
    if (vt_string_assign(static_cast<value_type_string *>(valueOf(key)), text.c_str()) != 0) {
        return -INTERNAL_ERROR;
    }
    return 0;
}

int Parser::parseSetValues(const schema_key *key)
{
    auto *set = static_cast<value_type_string_set *>(valueOf(key));
    for (;;) {
        std::string text;
        int ret = parseQuoted(text);
        if (ret != 0)
            return ret;
        if (vt_string_set_insert(set, text.c_str()) != 0)
            return -INTERNAL_ERROR;
        skipBlanks();
        if (atEnd()) {
            m_expect = EXPECT_ANY;
            return 0;
        }
        if (cur() != ',')
            return -VALUE_SET_MISSING_SEPARATER;
        ++m_pos;
        skipBlanks();
        if (atEnd()) {
            m_expect = EXPECT_CONTINUATION;
            m_set_key = key;
            return 0;
        }
    }
}

int Parser::parseQuoted(std::string &out)
{
    if (!more() || cur() != '"')
        return -VALUE_STRING_MISSING_LEFT_QUOTE;
    ++m_pos;
    for (;;) {
        if (!more())
            return -VALUE_STRING_MISSING_RIGHT_QUOTE;
        unsigned char c = static_cast<unsigned char>(cur());
        if (c == '"') {
            ++m_pos;
            break;
        }
        if (c == '\\') {
            int ret = parseEscape(out);
            if (ret != 0)
                return ret;
        } else if (c < 0x20 || c == 0x7f) {
            return -VALUE_STRING_ILLEGAL_CHARACTER;
        } else {
            out += static_cast<char>(c); // bytes from 0x80 up are taken as they are
            ++m_pos;
        }
        if (out.size() > PARSER_MAX_STRING)
            return -VALUE_TOO_LONG;
    }
    return out.empty() ? -VALUE_STRING_EMPTY : 0;
}

int Parser::parseEscape(std::string &out)
{
    ++m_pos; // '\'
    if (!more())
        return -VALUE_STRING_MISSING_RIGHT_QUOTE;
    char c = cur();
    int value = simpleEscape(c);
    if (value >= 0) {
        m_pos += 1;
    } else if (c == 'x' && m_pos + 2 < m_len && hexDigit(m_line[m_pos + 1]) >= 0 &&
               hexDigit(m_line[m_pos + 2]) >= 0) {
        value = hexDigit(m_line[m_pos + 1]) * 16 + hexDigit(m_line[m_pos + 2]);
        m_pos += 3;
    } else if (c >= '0' && c <= '3' && m_pos + 2 < m_len && isOctal(m_line[m_pos + 1]) &&
               isOctal(m_line[m_pos + 2])) {
        value = (c - '0') * 64 + (m_line[m_pos + 1] - '0') * 8 + (m_line[m_pos + 2] - '0');
        m_pos += 3;
    } else {
        return -VALUE_STRING_ILLEGAL_CHARACTER;
    }
    // The values are C strings: a NUL would silently cut the text short (an empty
    // prefix, say, that matches every name), so it is refused like a raw control byte.
    if (value == 0)
        return -VALUE_STRING_ILLEGAL_CHARACTER;
    out += static_cast<char>(value);
    return 0;
}

} // namespace

const char *parse_error_name(int code)
{
    if (code < 0 || code > MAX_ERROR_CODE) {
        return "Unknown error";
    }
    return ERROR_NAMES[code];
}

parse_result parse_stream(FILE *in, const schema_parser *schema, void *result, parse_report *report)
{
    Parser parser(schema, result);
    return parser.run(in, report);
}

parse_result parse(const ustring &path, const schema_parser *schema, void *result,
                   parse_report *report)
{
    FILE *in = fopen(path.c_str_utf8(), "rb");
    if (in == nullptr) {
        if (report != nullptr) {
            *report = parse_report{NO_ERROR, 0, 0};
        }
        return PARSE_ERROR;
    }
    parse_result ret = parse_stream(in, schema, result, report);
    fclose(in);
    return ret;
}
