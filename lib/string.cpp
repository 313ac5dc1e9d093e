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

// splitargs' reading, a character at a time in the state that the text
// before it left.  The write position never passes the read position.
class Splitter {
public:
    Splitter(char* buffer, char** argv, int max, const char* separators)
        : r_(buffer), w_(buffer), argv_(argv), max_(max), separators_(separators)
    {
    }

    int run()
    {
        while (*r_ != '\0') {
            char c = *r_;
            switch (state_) {
            case Split::between:
                if (!between(c))
                    return max_;
                break;
            case Split::token:
                ++r_;
                token(c);
                break;
            case Split::single:
                ++r_;
                single(c);
                break;
            case Split::dquote:
                ++r_;
                dquote(c);
                break;
            case Split::escape:
                ++r_;
                escape(c);
                break;
            case Split::octal:
                octal(c);
                break;
            }
        }
        if (state_ == Split::octal)
            *w_++ = static_cast<char>(value_);
        if (state_ != Split::between)
            *w_ = '\0';
        return count_;
    }

private:
    // False when a token would start past max.
    bool between(char c)
    {
        if (charinset(c, separators_)) {
            ++r_;
            return true;
        }
        if (count_ >= max_)
            return false;
        argv_[count_++] = w_;
        state_ = Split::token; // c is handled again, inside the token
        return true;
    }

    void token(char c)
    {
        if (charinset(c, separators_)) {
            *w_++ = '\0';
            state_ = Split::between;
        } else if (c == '\'') {
            state_ = Split::single;
        } else if (c == '"') {
            state_ = Split::dquote;
        } else if (c == '\\') {
            state_ = Split::escape;
            back_ = Split::token;
        } else {
            *w_++ = c;
        }
    }

    void single(char c)
    {
        if (c == '\'')
            state_ = Split::token;
        else
            *w_++ = c;
    }

    void dquote(char c)
    {
        if (c == '"') {
            state_ = Split::token;
        } else if (c == '\\') {
            state_ = Split::escape;
            back_ = Split::dquote;
        } else {
            *w_++ = c;
        }
    }

    void escape(char c)
    {
        if (isoctal(c)) {
            value_ = static_cast<unsigned>(c - '0');
            digits_ = 1;
            state_ = Split::octal;
        } else {
            *w_++ = escaped(c);
            state_ = back_;
        }
    }

    void octal(char c)
    {
        if (isoctal(c) && digits_ < 3) {
            ++r_;
            value_ = (value_ * 8 + static_cast<unsigned>(c - '0')) & 0xff;
            if (++digits_ < 3)
                return;
        }
        // A full value, or a character that ends it and is then handled
        // where the escape returns to.
        *w_++ = static_cast<char>(value_);
        state_ = back_;
    }

    const char* r_;
    char* w_;
    char** argv_;
    int max_;
    const char* separators_;
    int count_ = 0;
    Split state_ = Split::between;
    Split back_ = Split::token; // where an escape returns to
    unsigned value_ = 0;
    int digits_ = 0;
};

} // namespace

int splitargs(char* buffer, char** argv, int max, const char* separators)
{
    return Splitter(buffer, argv, max, separators).run();
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
