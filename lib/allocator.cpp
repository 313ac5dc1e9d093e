#include "lib/allocator.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include <unistd.h>

#include "lib/log.h"

namespace {

constexpr std::uint8_t kInUse = 0xEF;
constexpr std::uint8_t kReleased = 0xFE;
constexpr std::uint8_t kAlias = 0xEE;
constexpr int kFirstLarge = 7;
// How far realloc looks into each free list for a block already released.
constexpr int kSearchLength = 4;
constexpr std::uint32_t kCheckSeed = 0x9E3779B9u;
constexpr std::uintptr_t kAlign = kZelHeader;
constexpr std::uint64_t kReserve = 128 * 1024;

struct Header {
    std::uint8_t magic;
    std::uint8_t klass;
    std::uint16_t unused;
    std::uint32_t check;
    union {
        Header* next;          // released
        std::uintptr_t offset; // alias: back to the real block's data
    };
};
static_assert(sizeof(Header) == kZelHeader);
static_assert(kZelHeader % alignof(std::max_align_t) == 0);

// Plain zero-initialised state: malloc runs before any constructor does.
struct Heap {
    Header* lists[kZelClasses];
    // The span of everything taken from the break, gaps that other users
    // of the break made included.
    std::uintptr_t lo;
    std::uintptr_t hi;
    // Taken from the break but not yet handed to a class.
    std::uintptr_t reserve_at;
    std::uintptr_t reserve_end;
};
Heap heap;

std::uint64_t power(int klass) { return std::uint64_t{1} << (klass + 5); }

std::uint64_t block_bytes(int klass)
{
    return klass < kFirstLarge ? power(klass) : power(klass) + kZelPage;
}

std::uint32_t check_word(const Header* h)
{
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h) >> 4) ^ kCheckSeed;
}

// Written with write(2) and no formatting: stdio may itself allocate.
void out_of_memory()
{
    const char* name = logprogram();
    if (name == nullptr)
        name = "";
    static const char tail[] = ": malloc: out of memory\n";
    char text[256];
    std::size_t n = std::min(std::strlen(name), sizeof text - sizeof tail);
    std::memcpy(text, name, n);
    std::memcpy(text + n, tail, sizeof tail - 1);
    (void)!write(STDERR_FILENO, text, n + sizeof tail - 1);
    errno = ENOMEM;
}

// `bytes` from the reserve at the break, which grows by at least
// kReserve at a time so that a run of small refills costs few system calls
// (untouched reserve pages are not resident).  Someone else may have moved
// the break since the last growth: the reserve is then left behind and
// nothing is assumed about where the break stands, but for its alignment.
void* grow(std::uint64_t bytes)
{
    if (heap.reserve_end - heap.reserve_at < bytes) {
        void* current = sbrk(0);
        if (current == reinterpret_cast<void*>(-1))
            return nullptr;
        auto at = reinterpret_cast<std::uintptr_t>(current);
        bool extends = at == heap.reserve_end && at != 0;
        std::uintptr_t start = extends ? heap.reserve_at : (at + kAlign - 1) / kAlign * kAlign;
        std::uint64_t wanted = std::max(bytes, kReserve);
        std::uint64_t increment = extends ? wanted - (at - start) : start - at + wanted;
        if (wanted > INT32_MAX || increment > static_cast<std::uint64_t>(INTPTR_MAX))
            return nullptr;
        void* got = sbrk(static_cast<intptr_t>(increment));
        if (got == reinterpret_cast<void*>(-1))
            return nullptr;
        if (got != current)
            return nullptr; // the break moved under us: that increment is lost
        heap.reserve_at = start;
        heap.reserve_end = start + wanted;
    }
    std::uintptr_t start = heap.reserve_at;
    heap.reserve_at += bytes;
    if (heap.lo == 0 || start < heap.lo)
        heap.lo = start;
    if (heap.reserve_at > heap.hi)
        heap.hi = heap.reserve_at;
    return reinterpret_cast<void*>(start);
}

void bucket_refill(int klass)
{
    std::uint64_t size = power(klass);
    if (size > INT32_MAX)
        return;
    std::uint64_t take = size < kZelPage ? kZelPage : size + kZelPage;
    std::uint64_t step = size < kZelPage ? size : take;
    auto* raw = static_cast<char*>(grow(take));
    if (raw == nullptr)
        return;
    Header* next = nullptr;
    for (std::uint64_t at = take / step; at-- > 0;) {
        auto* h = reinterpret_cast<Header*>(raw + at * step);
        h->magic = kReleased;
        h->klass = static_cast<std::uint8_t>(klass);
        h->unused = 0;
        h->check = check_word(h);
        h->next = next;
        next = h;
    }
    heap.lists[klass] = next;
}

// The header of `block` if it is one of ours (in use, released or an
// alias), else null.  Only the 16 bytes before `block` are read, and only
// once they are known to lie in memory taken from the break.
Header* header_of(const void* block)
{
    auto at = reinterpret_cast<std::uintptr_t>(block);
    if (at % kAlign != 0 || heap.lo == 0 || at < heap.lo + kZelHeader || at > heap.hi)
        return nullptr;
    auto* h = reinterpret_cast<Header*>(at - kZelHeader);
    if (h->check != check_word(h))
        return nullptr;
    if (h->magic == kAlias)
        return h;
    if ((h->magic != kInUse && h->magic != kReleased) || h->klass >= kZelClasses)
        return nullptr;
    if (block_bytes(h->klass) > heap.hi - (at - kZelHeader))
        return nullptr;
    return h;
}

// The real block in use behind an alias header, or null.
Header* alias_target(const Header* alias)
{
    auto at = reinterpret_cast<std::uintptr_t>(alias + 1);
    if (alias->offset == 0 || alias->offset % kAlign != 0 || alias->offset > at)
        return nullptr;
    Header* real = header_of(reinterpret_cast<void*>(at - alias->offset));
    if (real == nullptr || real->magic != kInUse || alias->offset >= zel_class_usable(real->klass))
        return nullptr;
    return real;
}

void release(Header* h)
{
    h->magic = kReleased;
    h->next = heap.lists[h->klass];
    heap.lists[h->klass] = h;
}

// The class of a released block: first the heads of all lists, then a few
// blocks deep into each.
int bucket_search(const Header* h)
{
    for (int b = 0; b < kZelClasses; ++b)
        if (heap.lists[b] == h)
            return b;
    for (int b = 0; b < kZelClasses; ++b) {
        const Header* at = heap.lists[b];
        for (int i = 0; at != nullptr && i < kSearchLength; ++i, at = at->next)
            if (at == h)
                return b;
    }
    return -1;
}

// Moves `size` bytes (at most `usable`, what the old block really holds)
// into a new block.  Null when there is none; the old block is untouched.
void* move_to_new(void* block, std::size_t usable, std::size_t size)
{
    void* fresh = zel_malloc(size);
    if (fresh != nullptr && fresh != block)
        std::memcpy(fresh, block, std::min(size, usable));
    return fresh;
}

void* realloc_aligned(void* block, Header* alias, std::size_t size)
{
    Header* real = alias_target(alias);
    if (real == nullptr)
        return nullptr;
    std::size_t usable = zel_class_usable(real->klass) - alias->offset;
    if (size <= usable)
        return block;
    void* fresh = move_to_new(block, usable, size);
    if (fresh != nullptr) {
        alias->magic = 0;
        release(real);
    }
    return fresh;
}

} // namespace

// The smallest class whose usable size holds `size`, by the bit width
// rather than a walk up the classes: small class b holds size when
// size + 16 <= 2^(b+5), large class b when size - 4080 <= 2^(b+5).
int zel_size_class(std::size_t size)
{
    int b = 0;
    if (size <= kZelPage - kZelHeader)
        b = static_cast<int>(std::bit_width(size + kZelHeader - 1)) - 5;
    else
        b = std::max(kFirstLarge,
                     static_cast<int>(std::bit_width(size - (kZelPage - kZelHeader) - 1)) - 5);
    b = std::max(b, 0);
    return b < kZelClasses ? b : -1;
}

std::size_t zel_class_usable(int klass)
{
    return static_cast<std::size_t>(block_bytes(klass) - kZelHeader);
}

void* zel_malloc(std::size_t size)
{
    int b = zel_size_class(size);
    if (b >= 0 && heap.lists[b] == nullptr)
        bucket_refill(b);
    if (b < 0 || heap.lists[b] == nullptr) {
        out_of_memory();
        return nullptr;
    }
    Header* h = heap.lists[b];
    heap.lists[b] = h->next;
    h->magic = kInUse;
    h->next = nullptr;
    return h + 1;
}

void zel_free(void* block)
{
    Header* h = header_of(block);
    if (h == nullptr)
        return;
    if (h->magic == kAlias) {
        Header* real = alias_target(h);
        if (real == nullptr)
            return;
        // A stale alias left in a reused block must not free it later.
        h->magic = 0;
        h = real;
    } else if (h->magic != kInUse) {
        return;
    }
    release(h);
}

void* zel_realloc(void* block, std::size_t size)
{
    if (block == nullptr)
        return zel_malloc(size);
    Header* h = header_of(block);
    if (h == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (h->magic == kAlias)
        return realloc_aligned(block, h, size);

    if (h->magic == kReleased) {
        // Still holding its data until its class hands it out again.  If the
        // search does not find it, its header still names its class.
        int c = bucket_search(h);
        return move_to_new(block, zel_class_usable(c >= 0 ? c : h->klass), size);
    }

    int c = h->klass;
    std::size_t usable = zel_class_usable(c);
    std::size_t smaller = c == 0 ? 0 : zel_class_usable(c - 1);
    if (size <= usable && (c == 0 || size > smaller))
        return block;
    void* fresh = move_to_new(block, usable, size);
    if (fresh != nullptr)
        release(h);
    return fresh;
}

void* zel_calloc(std::size_t count, std::size_t size)
{
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes)) {
        out_of_memory();
        return nullptr;
    }
    void* block = zel_malloc(bytes);
    if (block != nullptr)
        std::memset(block, 0, bytes);
    return block;
}

void* zel_memalign(std::size_t alignment, std::size_t size)
{
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (alignment <= kAlign)
        return zel_malloc(size);
    if (size > SIZE_MAX - alignment) {
        out_of_memory();
        return nullptr;
    }
    void* raw = zel_malloc(size + alignment);
    if (raw == nullptr)
        return nullptr;
    auto at = reinterpret_cast<std::uintptr_t>(raw);
    if (at % alignment == 0)
        return raw;
    // The alias header sits in the real block's data, just before the
    // aligned address; there is room for it and `size` bytes behind it.
    std::uintptr_t aligned = (at + kZelHeader + alignment - 1) / alignment * alignment;
    auto* alias = reinterpret_cast<Header*>(aligned - kZelHeader);
    alias->magic = kAlias;
    alias->klass = 0;
    alias->unused = 0;
    alias->check = check_word(alias);
    alias->offset = aligned - at;
    return reinterpret_cast<void*>(aligned);
}

std::size_t zel_usable_size(const void* block)
{
    Header* h = header_of(block);
    if (h == nullptr)
        return 0;
    if (h->magic == kAlias) {
        Header* real = alias_target(h);
        return real == nullptr ? 0 : zel_class_usable(real->klass) - h->offset;
    }
    return h->magic == kInUse ? zel_class_usable(h->klass) : 0;
}
