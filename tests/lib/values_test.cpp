#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/trim.h"

TEST(ValuesTest, IfYes)
{
    EXPECT_EQ(if_yes("  yes", 0), 1);
    EXPECT_EQ(if_yes("Y", 0), 1);
    EXPECT_EQ(if_yes("yep", 0), 1);
    EXPECT_EQ(if_yes("No", 1), 0);
    EXPECT_EQ(if_yes("\tn", 1), 0);
    EXPECT_EQ(if_yes("", 7), 7);
    EXPECT_EQ(if_yes(nullptr, 7), 7);
    EXPECT_EQ(if_yes("false", 7), 7);
    EXPECT_EQ(if_yes("true", 0), 0);
    EXPECT_EQ(if_yes("1", 0), 0);
    EXPECT_EQ(if_yes("   ", 5), 5);
}

TEST(ValuesTest, IfBlank)
{
    EXPECT_EQ(if_blank(nullptr), 1);
    EXPECT_EQ(if_blank(""), 1);
    EXPECT_EQ(if_blank(" \t\n"), 1);
    EXPECT_EQ(if_blank(" x "), 0);
}

TEST(ValuesTest, Trim)
{
    char text[] = "ab  \n";
    EXPECT_STREQ(trim(text), "ab");
    char blanks[] = "   ";
    EXPECT_STREQ(trim(blanks), " ");
    char none[] = "ab";
    EXPECT_STREQ(trim(none), "ab");
    char empty[] = "";
    EXPECT_STREQ(trim(empty), "");
    char inner[] = " a b \r\n";
    EXPECT_STREQ(trim(inner), " a b");
    EXPECT_EQ(trim(nullptr), nullptr);
}
