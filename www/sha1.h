// sha1: the SHA-1 message digest of FIPS 180-1, the password digest's hash.
// Pure computation; nothing fails.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA1_DIGEST_SIZE = 20;

struct Sha1Context {
    uint32_t state[5];
    uint64_t length;         // bytes hashed so far
    unsigned char block[64]; // the unfinished block
    std::size_t used;        // bytes of it in use
};

void sha1_init(Sha1Context* context);
void sha1_update(Sha1Context* context, const void* data, std::size_t count);
// Pads, writes the 20-byte digest and leaves the context to be re-initialised.
void sha1_final(Sha1Context* context, unsigned char digest[SHA1_DIGEST_SIZE]);

// The digest of `count` bytes in one call.
void sha1(const void* data, std::size_t count, unsigned char digest[SHA1_DIGEST_SIZE]);
