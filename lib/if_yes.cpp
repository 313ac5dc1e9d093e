#include "lib/if_yes.h"

#include <cctype>

int if_yes(const char* text, int dflt)
{
    if (text == nullptr)
        return dflt;
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    switch (*text) {
    case 'y':
    case 'Y':
        return 1;
    case 'n':
    case 'N':
        return 0;
    default:
        return dflt;
    }
}
