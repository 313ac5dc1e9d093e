#include "lib/ulstrcmp.h"

#include <cstring>

namespace {

// tolower in the C locale, which the programs never leave, without a call
// per character: the queue pages fold every record's sender.
int fold(const char* p)
{
    auto c = static_cast<unsigned char>(*p);
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool matches_at(const char* text, const char* pattern)
{
    for (; *pattern != '\0'; ++text, ++pattern)
        if (*text == '\0' || fold(text) != fold(pattern))
            return false;
    return true;
}

} // namespace

int ulstrcmp(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (;; ++a, ++b) {
        int d = fold(a) - fold(b);
        if (d != 0 || *a == '\0')
            return d;
    }
}

int ulstrncmp(const char* a, const char* b, int n)
{
    if (n <= 0)
        return 0;
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    for (; n > 0; --n, ++a, ++b) {
        int d = fold(a) - fold(b);
        if (d != 0 || *a == '\0')
            return d;
    }
    return 0;
}

const char* ulstrnstr(const char* text, const char* pattern, const char* end)
{
    if (pattern == nullptr || *pattern == '\0')
        return text;
    if (text == nullptr || *text == '\0')
        return pattern;
    std::size_t length = std::strlen(pattern);
    for (const char* p = text; *p != '\0'; ++p) {
        if (end != nullptr && (p >= end || static_cast<std::size_t>(end - p) < length))
            return nullptr;
        if (matches_at(p, pattern))
            return p;
    }
    return nullptr;
}

const char* ulstrstr(const char* text, const char* pattern)
{
    return ulstrnstr(text, pattern, nullptr);
}
