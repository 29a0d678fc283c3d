// Bytes shown as text, so that a failed comparison of wire data is readable.
#pragma once

#include <string>

// "01 AB FF": each byte as two upper-case hex digits, separated by spaces.
std::string Hex(const std::string &bytes);
