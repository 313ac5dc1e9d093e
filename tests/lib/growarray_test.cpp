#include "lib/growarray.h"

#include <cstring>

#include <gtest/gtest.h>

namespace {

struct Record {
    char name[24];
    int value;
};

bool all_zero(const void* p, std::size_t n)
{
    const unsigned char* bytes = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

} // namespace

TEST(GrowArrayTest, GrowsByQuantumAndHandsOutZeroedRecords)
{
    GrowArray lines;
    growarray_init(&lines, sizeof(Record), 4);
    for (int i = 0; i < 9; ++i) {
        auto* r = static_cast<Record*>(growarray_add(&lines, 1));
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(all_zero(r, sizeof *r));
        std::memset(r, 0xAB, sizeof *r);
        r->value = i;
        EXPECT_EQ(lines.count, i + 1);
        EXPECT_EQ(lines.allocated % 4, 0);
        EXPECT_GE(lines.allocated, lines.count);
    }
    // 3 records want a capacity of 4, 4 records 8: the multiple above.
    EXPECT_EQ(lines.allocated, 12);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(static_cast<Record*>(growarray_at(&lines, i))->value, i);
}

TEST(GrowArrayTest, CapacityIsTheMultipleOfTheQuantumAboveTheCount)
{
    GrowArray a;
    growarray_init(&a, 8, 4);
    ASSERT_NE(growarray_add(&a, 3), nullptr);
    EXPECT_EQ(a.allocated, 4);
    ASSERT_NE(growarray_add(&a, 1), nullptr); // fits: 4 of 4
    EXPECT_EQ(a.allocated, 4);
    ASSERT_NE(growarray_add(&a, 4), nullptr); // 8 wanted: capacity 12
    EXPECT_EQ(a.allocated, 12);
    EXPECT_EQ(a.count, 8);
}

TEST(GrowArrayTest, ReusedRecordsAreZeroedAgain)
{
    GrowArray a;
    growarray_init(&a, 16, 4);
    std::memset(growarray_add(&a, 2), 0xFF, 32);
    a.count = 0; // the owner drops its records
    EXPECT_TRUE(all_zero(growarray_add(&a, 2), 32));
}

TEST(GrowArrayTest, RefusesToPassTheSixteenBitCount)
{
    GrowArray a;
    growarray_init(&a, 1, 4);
    ASSERT_NE(growarray_add(&a, 32767), nullptr);
    EXPECT_EQ(a.allocated, 32767);
    EXPECT_EQ(growarray_add(&a, 1), nullptr);
    EXPECT_EQ(a.count, 32767);
    growarray_init(&a, 4, 4); // init empties
    EXPECT_EQ(a.count, 0);
    EXPECT_EQ(a.data, nullptr);
}
