// Helpers for matching stored paths with SQL patterns without letting the characters of
// a path act as wildcards.
#pragma once

#include <string>

// The text with GLOB's metacharacters ('*', '?', '[') turned into one-character classes,
// so that a GLOB pattern built from it matches those characters literally. Quotes are
// left alone: the result still goes through %q or a bound parameter.
std::string EscapeGlobPattern(const char *text);
