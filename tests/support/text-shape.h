// Checks on text whose exact value varies from run to run (times, dates), by its shape.
#pragma once

#include <string>

// True when `text` has the shape of `shape`, character for character: '9' stands for
// any digit, 'A' for any upper-case ASCII letter, 'z' for any lower-case one, every
// other character for itself.
bool MatchesShape(const std::string &text, const std::string &shape);
