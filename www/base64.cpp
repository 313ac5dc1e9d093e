#include "www/base64.h"

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

// The 6-bit value of an alphabet character, or -1.
int base64_sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The output never overtakes the input (three bytes out for four
// characters in), so decoding in place is safe.  Characters outside the
// alphabet are skipped like white space: the input is taken as valid, and
// skipping keeps a stray byte from turning into data.
char* base64_decode(char* text)
{
    const char* in = text;
    char* out = text;
    int group[4];
    int n = 0;
    for (; *in != '\0'; ++in) {
        auto c = static_cast<unsigned char>(*in);
        if (c == '=') {
            if (n >= 2)
                *out++ = static_cast<char>((group[0] << 2) | (group[1] >> 4));
            if (n == 3)
                *out++ = static_cast<char>(((group[1] & 0xf) << 4) | (group[2] >> 2));
            break;
        }
        int v = base64_sextet(c);
        if (v < 0)
            continue;
        group[n++] = v;
        if (n == 4) {
            *out++ = static_cast<char>((group[0] << 2) | (group[1] >> 4));
            *out++ = static_cast<char>(((group[1] & 0xf) << 4) | (group[2] >> 2));
            *out++ = static_cast<char>(((group[2] & 0x3) << 6) | group[3]);
            n = 0;
        }
    }
    *out = '\0';
    return out;
}

void base64_encode(const unsigned char* bytes, std::size_t count, char* out)
{
    for (; count >= 3; bytes += 3, count -= 3) {
        *out++ = alphabet[bytes[0] >> 2];
        *out++ = alphabet[((bytes[0] & 0x3) << 4) | (bytes[1] >> 4)];
        *out++ = alphabet[((bytes[1] & 0xf) << 2) | (bytes[2] >> 6)];
        *out++ = alphabet[bytes[2] & 0x3f];
    }
    if (count == 0)
        return;
    *out++ = alphabet[bytes[0] >> 2];
    if (count == 1) {
        *out++ = alphabet[(bytes[0] & 0x3) << 4];
        *out++ = '=';
    } else {
        *out++ = alphabet[((bytes[0] & 0x3) << 4) | (bytes[1] >> 4)];
        *out++ = alphabet[(bytes[1] & 0xf) << 2];
    }
    *out = '=';
}
