// allocator: the programs' own size-class allocator over the process break.
// Every block belongs to one of 30 power-of-two classes; released blocks go
// onto their class's free list, are reused only for that class and are
// never given back.  Exhaustion answers null after writing
// "<program>: malloc: out of memory\n" to standard error.  Pointers that
// this allocator did not hand out are never written, and read only in the
// 16 bytes before them once they are known to lie in its own memory.
// Single-threaded: there is no locking (neither program has threads).
//
// Every block starts with a 16-byte header, so that the data behind it is
// aligned for any type (alignof(max_align_t)):
//   byte 0      0xEF in use, 0xFE released, 0xEE an aligned block's alias
//   byte 1      the class number (0-29)
//   bytes 4-7   a check word derived from the header's address, so that a
//               pointer into the middle of a block is not taken for one
//   bytes 8-15  released: the next released block of the class (null at
//               the end); alias: the distance back to the real block's data
// Releasing a block writes its header only: its data stay as they were.
//
// Classes (page = 4096 bytes, the unit in which small classes are refilled):
//   b = 0-6   block 2^(b+5) bytes (32 ... 2048), usable 2^(b+5) - 16
//             (16, 48, 112, 240, 496, 1008, 2032), cut from one page
//   b >= 7    block 2^(b+5) + 4096 bytes taken whole, usable 2^(b+5) + 4080
//             (8176, 12272, 20464, ...)
// Sizes up to 4080 start at class 0 (the small rule, by which class 7 holds
// 4080); larger ones start at class 7.  Classes whose power 2^(b+5) does not
// fit a positive 32-bit value (b >= 26) are refused: the largest block
// holds 2^30 + 4080 bytes.
#pragma once

#include <cstddef>

constexpr int kZelClasses = 30;
constexpr std::size_t kZelHeader = 16;
constexpr std::size_t kZelPage = 4096;

// malloc: a block of at least `size` usable bytes (contents undefined), or
// null when no class fits or the system refuses more memory.
void* zel_malloc(std::size_t size);

// free: null, foreign pointers and released blocks are ignored.
void zel_free(void* block);

// realloc: null block is malloc.  A size still in the block's class keeps
// the block.  Otherwise a new block gets the smaller of the two sizes
// copied and the old one is released; on failure null and the old block
// stays as it was.  A block already released (but not reused) is accepted:
// its data are copied, at most its own usable size.  A foreign pointer
// answers null and is left alone.
void* zel_realloc(void* block, std::size_t size);

// calloc: count * size zeroed bytes; null when the product overflows.
void* zel_calloc(std::size_t count, std::size_t size);

// memalign: `size` bytes at a multiple of `alignment` (a power of two;
// otherwise null with EINVAL).  The result is released with zel_free.
void* zel_memalign(std::size_t alignment, std::size_t size);

// The usable size of a block in use (an aligned block: from its start to
// the end of the real block), 0 for null and anything else.
std::size_t zel_usable_size(const void* block);

// The class that malloc chooses for `size`, -1 when none fits; and a
// class's usable size.
int zel_size_class(std::size_t size);
std::size_t zel_class_usable(int klass);
