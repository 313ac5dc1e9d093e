// The allocator's exported names.  Linked into a program, these replace the
// C library's allocator for the whole process: the C library's own calls
// (strdup, stdio buffers, the dynamic loader once relocation is done) and
// the statically linked C++ library's operator new all end up here.  Every
// entry point of the C library's allocator that hands out or takes back
// memory is replaced, so that no block from its heap can reach zel_free and
// no block of ours can reach the C library's free.
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include <malloc.h>
#include <unistd.h>

#include "lib/allocator.h"

namespace {

bool power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

} // namespace

extern "C" {

void* malloc(std::size_t size) noexcept { return zel_malloc(size); }

void free(void* block) noexcept { zel_free(block); }

void* realloc(void* block, std::size_t size) noexcept { return zel_realloc(block, size); }

void* calloc(std::size_t count, std::size_t size) noexcept { return zel_calloc(count, size); }

void* reallocarray(void* block, std::size_t count, std::size_t size) noexcept
{
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, size, &bytes))
        return zel_malloc(SIZE_MAX); // fits no class: out of memory
    return zel_realloc(block, bytes);
}

// Like the C library's: an alignment that is no power of two is rounded up.
void* memalign(std::size_t alignment, std::size_t size) noexcept
{
    if (alignment <= kZelHeader)
        return zel_malloc(size);
    if (alignment > SIZE_MAX / 2 + 1) {
        errno = EINVAL;
        return nullptr;
    }
    return zel_memalign(std::bit_ceil(alignment), size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept
{
    if (!power_of_two(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return zel_memalign(alignment, size);
}

int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept
{
    if (!power_of_two(alignment) || alignment % sizeof(void*) != 0)
        return EINVAL;
    int saved = errno;
    void* block = zel_memalign(alignment, size);
    errno = saved;
    if (block == nullptr)
        return ENOMEM;
    *out = block;
    return 0;
}

void* valloc(std::size_t size) noexcept
{
    return zel_memalign(static_cast<std::size_t>(getpagesize()), size);
}

void* pvalloc(std::size_t size) noexcept
{
    auto page = static_cast<std::size_t>(getpagesize());
    if (size > SIZE_MAX - page)
        return zel_malloc(SIZE_MAX); // fits no class: out of memory
    return zel_memalign(page, (size + page - 1) / page * page);
}

std::size_t malloc_usable_size(void* block) noexcept { return zel_usable_size(block); }

} // extern "C"
