// The size-class allocator, called directly (the test binary keeps the C
// library's malloc, so the break is shared with it, as it may be in the
// programs), and a check that both programs are linked with it.
//
// Class table with the 16-byte header: class b < 7 holds 2^(b+5) - 16 bytes
// (16, 48, 112, 240, 496, 1008, 2032); class 7 takes 4081-8176 (and, by the
// small rule, 2033-4080); class b >= 7 holds 2^(b+5) + 4080.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/allocator.h"
#include "lib/log.h"
#include "tests/harness.h"

namespace {

std::string out_of_memory_text() { return std::string(logprogram()) + ": malloc: out of memory\n"; }

void fill(void* p, std::size_t n, unsigned char seed)
{
    auto* bytes = static_cast<unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(seed + i);
}

bool holds(const void* p, std::size_t n, unsigned char seed)
{
    auto* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != static_cast<unsigned char>(seed + i))
            return false;
    return true;
}

} // namespace

TEST(AllocatorTest, SizeClasses)
{
    struct Case {
        std::size_t size;
        int klass;
    };
    const Case cases[] = {
        {0, 0},    {16, 0},   {17, 1},   {48, 1},   {49, 2},   {1009, 6},  {2032, 6},
        {2033, 7}, {4080, 7}, {4081, 7}, {8176, 7}, {8177, 8}, {12272, 8}, {12273, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(zel_size_class(c.size), c.klass);
        void* p = zel_malloc(c.size);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(zel_usable_size(p), zel_class_usable(c.klass));
        std::memset(p, 0x5A, zel_usable_size(p)); // the whole usable size is ours
        zel_free(p);
    }
    EXPECT_EQ(zel_class_usable(7), 8176u);
    EXPECT_EQ(zel_class_usable(9), 20464u);
}

TEST(AllocatorTest, ReuseOnlyWithinTheClass)
{
    void* p = zel_malloc(100);
    zel_free(p);
    EXPECT_EQ(zel_malloc(60), p); // 49-112: the same class
    zel_free(p);
    void* other = zel_malloc(20);
    EXPECT_NE(other, p);
    EXPECT_EQ(zel_malloc(100), p);
    zel_free(other);
    zel_free(p);
}

TEST(AllocatorTest, DoubleFreeIsIgnored)
{
    void* p = zel_malloc(30);
    zel_free(p);
    zel_free(p);
    void* a = zel_malloc(30);
    void* b = zel_malloc(30);
    EXPECT_NE(a, b);
    zel_free(a);
    zel_free(b);
}

TEST(AllocatorTest, Realloc)
{
    // A class-3 block (usable 240) within its class, down and up a class.
    void* p = zel_malloc(200);
    fill(p, 240, 1);
    EXPECT_EQ(zel_realloc(p, 160), p);
    EXPECT_EQ(zel_realloc(p, 240), p);

    void* down = zel_realloc(p, 100);
    ASSERT_NE(down, p);
    EXPECT_EQ(zel_usable_size(down), 112u);
    EXPECT_TRUE(holds(down, 100, 1));
    EXPECT_EQ(zel_usable_size(p), 0u); // released

    fill(down, 112, 7);
    void* up = zel_realloc(down, 300);
    EXPECT_EQ(zel_usable_size(up), 496u);
    EXPECT_TRUE(holds(up, 112, 7));
    zel_free(up);

    void* fresh = zel_realloc(nullptr, 10);
    EXPECT_EQ(zel_usable_size(fresh), 16u);
    zel_free(fresh);
}

TEST(AllocatorTest, ReallocFailureKeepsTheBlock)
{
    void* p = zel_malloc(200);
    fill(p, 240, 3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zel_realloc(p, SIZE_MAX), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), out_of_memory_text());
    EXPECT_EQ(zel_usable_size(p), 240u);
    EXPECT_TRUE(holds(p, 240, 3));
    zel_free(p);
}

TEST(AllocatorTest, ReallocOfAReleasedBlock)
{
    // At the head of its list, then deeper than the search looks: either
    // way only what the old block holds is copied.
    for (int depth : {0, 6}) {
        SCOPED_TRACE(depth);
        void* p = zel_malloc(200);
        fill(p, 240, 9);
        std::vector<void*> later;
        for (int i = 0; i < depth; ++i)
            later.push_back(zel_malloc(200));
        zel_free(p);
        for (void* q : later)
            zel_free(q);
        void* moved = zel_realloc(p, 1000);
        ASSERT_NE(moved, nullptr);
        EXPECT_TRUE(holds(moved, 240, 9));
        zel_free(moved);
    }
}

TEST(AllocatorTest, ForeignPointersAreLeftAlone)
{
    static unsigned char global[64];
    unsigned char local[64];
    std::memset(global, 0xEF, sizeof global);
    std::memset(local, 0xEF, sizeof local);
    void* system = std::malloc(64); // the C library's, beside ours on the break
    std::memset(system, 0xEF, 64);
    void* ours = zel_malloc(1000);

    for (void* p : {static_cast<void*>(global + 16), static_cast<void*>(local + 16), system,
                    static_cast<void*>(static_cast<char*>(ours) + 32),
                    static_cast<void*>(static_cast<char*>(ours) + 8)}) {
        zel_free(p);
        EXPECT_EQ(zel_realloc(p, 10), nullptr);
        EXPECT_EQ(zel_usable_size(p), 0u);
    }
    for (std::size_t i = 0; i < sizeof global; ++i)
        ASSERT_EQ(global[i], 0xEF);
    for (std::size_t i = 0; i < sizeof local; ++i)
        ASSERT_EQ(local[i], 0xEF);
    for (std::size_t i = 0; i < 64; ++i)
        ASSERT_EQ(static_cast<unsigned char*>(system)[i], 0xEF);
    EXPECT_EQ(zel_usable_size(ours), 1008u);
    void* next = zel_malloc(1000);
    EXPECT_NE(next, ours);
    zel_free(next);
    zel_free(ours);
    std::free(system);
}

TEST(AllocatorTest, Calloc)
{
    void* p = zel_malloc(200);
    std::memset(p, 0xAB, 240);
    zel_free(p);
    auto* zeroed = static_cast<unsigned char*>(zel_calloc(25, 8));
    ASSERT_EQ(zeroed, p);
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(zeroed[i], 0);
    zel_free(zeroed);

    testing::internal::CaptureStderr();
    EXPECT_EQ(zel_calloc(SIZE_MAX / 2, 3), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), out_of_memory_text());
}

TEST(AllocatorTest, HugeSizesAreRefused)
{
    const std::size_t sizes[] = {
        SIZE_MAX,
        SIZE_MAX - kZelHeader,
        std::size_t{1} << 40,
        (std::size_t{1} << 34) + 4081, // beyond the top class
        std::size_t{1} << 31,          // a class too large to refill
    };
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        testing::internal::CaptureStderr();
        EXPECT_EQ(zel_malloc(size), nullptr);
        EXPECT_EQ(errno, ENOMEM);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), out_of_memory_text());
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(zel_memalign(4096, SIZE_MAX - 100), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), out_of_memory_text());
}

// Another user of the break moves it by an odd amount between refills:
// the next block is aligned again and leaves that user's bytes alone.
TEST(AllocatorTest, BreakMovedByOthers)
{
    void* before = zel_malloc(100);
    auto* theirs = static_cast<unsigned char*>(sbrk(24));
    ASSERT_NE(theirs, reinterpret_cast<unsigned char*>(-1));
    std::memset(theirs, 0x77, 24);
    void* big = zel_malloc(300000); // more than any reserve holds
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(big) % alignof(std::max_align_t), 0u);
    std::memset(big, 0x11, zel_usable_size(big));
    for (int i = 0; i < 24; ++i)
        ASSERT_EQ(theirs[i], 0x77);
    zel_free(big);
    zel_free(before);
}

TEST(AllocatorTest, Alignment)
{
    std::vector<void*> blocks;
    for (std::size_t size = 0; size < 20000; size = size * 3 / 2 + 1) {
        void* p = zel_malloc(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
        blocks.push_back(p);
    }
    for (std::size_t alignment : {32, 64, 256, 4096}) {
        SCOPED_TRACE(alignment);
        void* p = zel_memalign(alignment, 100);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignment, 0u);
        EXPECT_GE(zel_usable_size(p), 100u);
        std::memset(p, 0xEE, zel_usable_size(p));
        void* grown = zel_realloc(p, 9000);
        EXPECT_EQ(zel_usable_size(grown), zel_class_usable(8));
        EXPECT_EQ(zel_usable_size(p), 0u);
        blocks.push_back(grown);
    }
    EXPECT_EQ(zel_memalign(48, 10), nullptr);
    for (void* p : blocks)
        zel_free(p);
}

// Both programs carry the exported names (so the C library's own calls
// reach them too), unless the build leaves the allocator out.
TEST(AllocatorTest, ProgramsExportTheAllocator)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers bring their own allocator";
#endif
    if (!have_program("nm"))
        GTEST_SKIP() << "no nm";
    std::ifstream cache(std::string(ZEL_BIN_DIR) + "/../CMakeCache.txt");
    std::stringstream text;
    text << cache.rdbuf();
    if (text.str().find("ZEL_ALLOCATOR:BOOL=OFF") != std::string::npos)
        GTEST_SKIP() << "built without the allocator";
    for (const char* program : {"zeladmin", "zeldispatch"}) {
        std::string symbols = shell_output("nm -D --defined-only " + program_path(program));
        for (const char* name : {"malloc", "free", "realloc", "calloc", "posix_memalign",
                                 "aligned_alloc", "memalign", "malloc_usable_size"})
            EXPECT_NE(symbols.find(std::string(" T ") + name + "\n"), std::string::npos)
                << program << " " << name;
    }
}
