#include "www/sha1.h"

#include <cstring>

namespace {

uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

uint32_t load_be32(const unsigned char* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void store_be32(unsigned char* p, uint32_t x)
{
    p[0] = static_cast<unsigned char>(x >> 24);
    p[1] = static_cast<unsigned char>(x >> 16);
    p[2] = static_cast<unsigned char>(x >> 8);
    p[3] = static_cast<unsigned char>(x);
}

void sha1_block(uint32_t state[5], const unsigned char block[64])
{
    uint32_t w[80];
    for (int t = 0; t < 16; ++t)
        w[t] = load_be32(block + 4 * t);
    for (int t = 16; t < 80; ++t)
        w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t temp = rotl(a, 5) + f + e + w[t] + k;
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

} // namespace

void sha1_init(Sha1Context* context)
{
    context->state[0] = 0x67452301;
    context->state[1] = 0xEFCDAB89;
    context->state[2] = 0x98BADCFE;
    context->state[3] = 0x10325476;
    context->state[4] = 0xC3D2E1F0;
    context->length = 0;
    context->used = 0;
}

void sha1_update(Sha1Context* context, const void* data, std::size_t count)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    context->length += count;
    while (count > 0) {
        std::size_t take = sizeof context->block - context->used;
        if (take > count)
            take = count;
        std::memcpy(context->block + context->used, bytes, take);
        context->used += take;
        bytes += take;
        count -= take;
        if (context->used == sizeof context->block) {
            sha1_block(context->state, context->block);
            context->used = 0;
        }
    }
}

void sha1_final(Sha1Context* context, unsigned char digest[SHA1_DIGEST_SIZE])
{
    uint64_t bits = context->length * 8;
    context->block[context->used++] = 0x80;
    // The 64-bit length must fit in the last 8 bytes of a block.
    if (context->used > 56) {
        std::memset(context->block + context->used, 0, 64 - context->used);
        sha1_block(context->state, context->block);
        context->used = 0;
    }
    std::memset(context->block + context->used, 0, 56 - context->used);
    store_be32(context->block + 56, static_cast<uint32_t>(bits >> 32));
    store_be32(context->block + 60, static_cast<uint32_t>(bits));
    sha1_block(context->state, context->block);
    for (int i = 0; i < 5; ++i)
        store_be32(digest + 4 * i, context->state[i]);
    std::memset(context, 0, sizeof *context);
}

void sha1(const void* data, std::size_t count, unsigned char digest[SHA1_DIGEST_SIZE])
{
    Sha1Context context;
    sha1_init(&context);
    sha1_update(&context, data, count);
    sha1_final(&context, digest);
}
