#include "support/text-shape.h"

namespace
{

bool MatchesOne(char c, char want)
{
    switch (want) {
    case '9':
        return c >= '0' && c <= '9';
    case 'A':
        return c >= 'A' && c <= 'Z';
    case 'z':
        return c >= 'a' && c <= 'z';
    default:
        return c == want;
    }
}

} // namespace

bool MatchesShape(const std::string &text, const std::string &shape)
{
    if (text.size() != shape.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!MatchesOne(text[i], shape[i]))
            return false;
    }
    return true;
}
