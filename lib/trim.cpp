#include "lib/trim.h"

#include <cctype>
#include <cstring>

char* trim(char* text)
{
    if (text == nullptr)
        return nullptr;
    for (std::size_t i = std::strlen(text); i > 1; --i) {
        if (!std::isspace(static_cast<unsigned char>(text[i - 1])))
            break;
        text[i - 1] = '\0';
    }
    return text;
}
