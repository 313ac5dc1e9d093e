#include "lib/if_blank.h"

#include <cctype>

int if_blank(const char* text)
{
    if (text == nullptr)
        return 1;
    for (; *text != '\0'; ++text)
        if (!std::isspace(static_cast<unsigned char>(*text)))
            return 0;
    return 1;
}
