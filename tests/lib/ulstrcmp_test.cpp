#include "lib/ulstrcmp.h"

#include <cstring>

#include <gtest/gtest.h>

TEST(UlstrcmpTest, Compare)
{
    EXPECT_EQ(ulstrcmp("Abc", "aBC"), 0);
    EXPECT_EQ(ulstrcmp(nullptr, nullptr), 0);
    EXPECT_EQ(ulstrcmp(nullptr, "a"), -1);
    EXPECT_EQ(ulstrcmp("a", nullptr), 1);
    EXPECT_EQ(ulstrcmp("abd", "ABC"), 'd' - 'c');
    EXPECT_EQ(ulstrcmp("ab", "abc"), -'c');
    EXPECT_EQ(ulstrcmp("PDF", "pdf"), 0);
}

TEST(UlstrcmpTest, CompareAtMostN)
{
    EXPECT_EQ(ulstrncmp("FILE+url", "file+URLx", 8), 0);
    EXPECT_NE(ulstrncmp("FILE+url", "file+URLx", 9), 0);
    EXPECT_EQ(ulstrncmp("abc", "xyz", 0), 0);
    EXPECT_EQ(ulstrncmp("abc", "xyz", -3), 0);
    EXPECT_EQ(ulstrncmp("ab", "AB", 10), 0);
    EXPECT_EQ(ulstrncmp(nullptr, "a", 1), -1);
}

TEST(UlstrcmpTest, Search)
{
    const char* text = "Content-Type: Multipart/Form-Data";
    EXPECT_EQ(ulstrstr(text, "multipart"), text + 14);
    EXPECT_EQ(ulstrstr(text, "mixed"), nullptr);
    EXPECT_EQ(ulstrstr(text, ""), text);
    EXPECT_EQ(ulstrstr(text, nullptr), text);
    const char* pattern = "x";
    EXPECT_EQ(ulstrstr("", pattern), pattern);
    EXPECT_EQ(ulstrstr(nullptr, pattern), pattern);
    const char* overlapping = "aAab";
    EXPECT_EQ(ulstrstr(overlapping, "AB"), overlapping + 2);
    EXPECT_EQ(ulstrstr("ab", "abc"), nullptr);
}

TEST(UlstrcmpTest, BoundedSearch)
{
    const char* text = "boundary=xyz; name=file";
    EXPECT_EQ(ulstrnstr(text, "NAME", text + std::strlen(text)), text + 14);
    EXPECT_EQ(ulstrnstr(text, "NAME", text + 18), text + 14); // match ends at the bound
    EXPECT_EQ(ulstrnstr(text, "NAME", text + 17), nullptr);   // would reach past it
    EXPECT_EQ(ulstrnstr(text, "bound", text), nullptr);
}
