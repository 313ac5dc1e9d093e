#include "lib/if_blank.h"

namespace {

// isspace in the C locale, which the programs never leave, without a call
// per character: a list page asks for every account.
bool space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

} // namespace

int if_blank(const char* text)
{
    if (text == nullptr)
        return 1;
    for (; *text != '\0'; ++text)
        if (!space(*text))
            return 0;
    return 1;
}

int if_blank(std::string_view text)
{
    for (char c : text)
        if (!space(c))
            return 0;
    return 1;
}
