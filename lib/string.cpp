#include "lib/string.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

char* strsave(const char* text)
{
    if (text == nullptr)
        return nullptr;
    std::size_t n = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy != nullptr)
        std::memcpy(copy, text, n);
    return copy;
}

char* strreplace(char** slot, const char* text)
{
    // Copy before releasing: the text may be the string being replaced.
    char* copy = strsave(text);
    std::free(*slot);
    *slot = copy;
    return copy;
}

int nullstrcmp(const char* a, const char* b)
{
    if (a == nullptr)
        return b == nullptr ? 0 : -1;
    if (b == nullptr)
        return 1;
    return std::strcmp(a, b);
}

char* quotestr(const char* text, char* out, std::size_t size, bool always)
{
    if (size == 0)
        return out;
    if (text == nullptr || *text == '\0') {
        std::strcpy(out, size >= 3 ? "\"\"" : "");
        return out;
    }
    bool quote = always || std::strpbrk(text, " \t") != nullptr;
    char* w = out;
    std::size_t room = size; // bytes left for the text and its NUL
    if (quote) {
        if (size < 3) {
            *out = '\0';
            return out;
        }
        *w++ = '"';
        room -= 2; // the opening quote and the closing one
    }
    for (const char* p = text; *p != '\0' && room > 1; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' || c == '"') {
            if (room < 3)
                break;
            *w++ = '\\';
            *w++ = static_cast<char>(c);
            room -= 2;
        } else if (c == '\t' || std::isprint(c)) {
            *w++ = static_cast<char>(c);
            room -= 1;
        } else {
            if (room < 5)
                break;
            *w++ = '\\';
            *w++ = static_cast<char>('0' + (c >> 6));
            *w++ = static_cast<char>('0' + ((c >> 3) & 7));
            *w++ = static_cast<char>('0' + (c & 7));
            room -= 4;
        }
    }
    if (quote)
        *w++ = '"';
    *w = '\0';
    return out;
}

char* quotestr_if_needed(const char* text, char* out, std::size_t size)
{
    return quotestr(text, out, size, false);
}

int charinset(int c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

namespace {

enum class Split { between, token, single, dquote, escape, octal };

char escaped(char c)
{
    switch (c) {
    case 'b':
        return '\b';
    case 'e':
        return 27;
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return c;
    }
}

bool isoctal(char c) { return c >= '0' && c <= '7'; }

} // namespace

int splitargs(char* buffer, char** argv, int max, const char* separators)
{
    const char* r = buffer; // the write position never passes this one
    char* w = buffer;
    int count = 0;
    Split state = Split::between;
    Split back = Split::token; // where an escape returns to
    unsigned value = 0;
    int digits = 0;

    while (*r != '\0') {
        char c = *r;
        switch (state) {
        case Split::between:
            if (charinset(c, separators)) {
                ++r;
                break;
            }
            if (count >= max)
                return max;
            argv[count++] = w;
            state = Split::token;
            break; // c is handled again, inside the token
        case Split::token:
            ++r;
            if (charinset(c, separators)) {
                *w++ = '\0';
                state = Split::between;
            } else if (c == '\'') {
                state = Split::single;
            } else if (c == '"') {
                state = Split::dquote;
            } else if (c == '\\') {
                state = Split::escape;
                back = Split::token;
            } else {
                *w++ = c;
            }
            break;
        case Split::single:
            ++r;
            if (c == '\'')
                state = Split::token;
            else
                *w++ = c;
            break;
        case Split::dquote:
            ++r;
            if (c == '"') {
                state = Split::token;
            } else if (c == '\\') {
                state = Split::escape;
                back = Split::dquote;
            } else {
                *w++ = c;
            }
            break;
        case Split::escape:
            ++r;
            if (isoctal(c)) {
                value = static_cast<unsigned>(c - '0');
                digits = 1;
                state = Split::octal;
            } else {
                *w++ = escaped(c);
                state = back;
            }
            break;
        case Split::octal:
            if (isoctal(c) && digits < 3) {
                ++r;
                value = (value * 8 + static_cast<unsigned>(c - '0')) & 0xff;
                if (++digits < 3)
                    break;
            }
            // A full value, or a character that ends it and is then
            // handled where the escape returns to.
            *w++ = static_cast<char>(value);
            state = back;
            break;
        }
    }
    if (state == Split::octal)
        *w++ = static_cast<char>(value);
    if (state != Split::between)
        *w = '\0';
    return count;
}

std::string shellword(std::string_view text)
{
    bool plain = !text.empty();
    for (char c : text)
        plain = plain && c != '\0' &&
                (std::isalnum(static_cast<unsigned char>(c)) ||
                 std::strchr("/._-+=:,@%", c) != nullptr);
    if (plain)
        return std::string(text);
    return "'" + shellword_inner(text) + "'";
}

std::string shellword_inner(std::string_view text)
{
    std::string out;
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out;
}
