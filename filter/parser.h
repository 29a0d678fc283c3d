// The line-oriented parser of the filter files: "[section]" headers, "key = value" lines,
// integers, double-quoted strings with C escapes, and comma-separated string sets that may
// continue on the next line after a trailing ",". The first error stops the parse and is
// written to the standard error stream as "parser: NAME at line N".
#pragma once

#include "filter/schema.h"
#include "ustring/ustring.h"

#include <cstdio>

enum parse_result {
    PARSE_DONE = 0,
    PARSE_PARTIAL = 1, // parsed, but unknown keys were skipped
    PARSE_ERROR = 2,
};

enum parse_error {
    NO_ERROR = 0,
    SECTION_MISSING_LEFT_BRACKET = 1,
    SECTION_MISSING_RIGHT_BRACKET = 2,
    SECTION_MISSING_SECTION = 3,
    SECTION_ILLEGAL_CHARACTER = 4,
    SECTION_TOO_LONG = 5,
    SECTION_UNDEFINED_SECTION = 6,
    KEY_MISSING_KEY = 7,
    KEY_ILLEGAL_CHARACTER = 8,
    KEY_TOO_LONG = 9,
    KEY_UNDEFINED_KEY = 10,
    VALUE_NUMERIC_MISSING_INTEGER_PART = 11,
    VALUE_NUMERIC_MISSING_FRACTIONAL_PART = 12,
    VALUE_NUMERIC_MISSING_VALUE = 13,
    VALUE_NUMERIC_ILLEGAL_SYNTAX = 14,
    VALUE_STRING_MISSING_LEFT_QUOTE = 15,
    VALUE_STRING_MISSING_RIGHT_QUOTE = 16,
    VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = 17,
    VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = 18,
    VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = 19,
    VALUE_STRING_ILLEGAL_CHARACTER = 20,
    VALUE_STRING_EMPTY = 21,
    VALUE_SET_MISSING_SEPARATER = 22,
    VALUE_TOO_LONG = 23,
    LINE_NOT_ENDED = 24,
    LINE_NOT_EXPECTED = 25,
    INTERNAL_ERROR = 26,
    MAX_ERROR_CODE = 27,
};

enum {
    PARSER_MAX_LINE = 1024,  // characters of one line, its end excluded
    PARSER_MAX_STRING = 512, // bytes of one decoded string
    PARSER_MAX_NUMBER = 511, // characters of one number
};

// What a parse found besides its result; filled when the caller asks for it.
struct parse_report {
    int error;        // the parse_error code (positive), NO_ERROR when none
    int line;         // line of the error, 0 when none
    int unknown_keys; // keys the schema does not know
};

// Name of an error code ("VALUE_SET_MISSING_SEPARATER"); "Unknown error" outside the table.
const char *parse_error_name(int code);

// Parses the file at `path` into `result` (a structure laid out as `schema` says, already
// initialised). A file that cannot be opened gives PARSE_ERROR without a message.
parse_result parse(const ustring &path, const schema_parser *schema, void *result,
                   parse_report *report = nullptr);
// The same on an open stream, read to its end.
parse_result parse_stream(FILE *in, const schema_parser *schema, void *result,
                          parse_report *report = nullptr);
