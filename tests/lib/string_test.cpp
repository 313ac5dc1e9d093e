#include "lib/string.h"

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string quoted(const char* text, bool always, std::size_t size = 8192)
{
    std::vector<char> out(size + 1, '#');
    quotestr(text, out.data(), size, always);
    EXPECT_EQ(out[size], '#') << "wrote past the buffer";
    return size == 0 ? std::string() : std::string(out.data());
}

std::vector<std::string> split(std::string text, const char* separators, int max = 16)
{
    std::vector<char*> argv(static_cast<std::size_t>(max));
    int n = splitargs(text.data(), argv.data(), max, separators);
    std::vector<std::string> tokens;
    for (int i = 0; i < n; ++i)
        tokens.emplace_back(argv[static_cast<std::size_t>(i)]);
    return tokens;
}

using Tokens = std::vector<std::string>;

} // namespace

TEST(StringTest, SaveAndReplaceTolerateNull)
{
    EXPECT_EQ(strsave(nullptr), nullptr);
    char* copy = strsave("fax");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "fax");

    char* slot = copy;
    EXPECT_STREQ(strreplace(&slot, "line"), "line");
    EXPECT_STREQ(strreplace(&slot, slot), "line"); // replacing with itself
    EXPECT_EQ(strreplace(&slot, nullptr), nullptr);
    EXPECT_EQ(slot, nullptr);
}

TEST(StringTest, NullstrcmpOrdersNullFirst)
{
    EXPECT_EQ(nullstrcmp(nullptr, nullptr), 0);
    EXPECT_EQ(nullstrcmp(nullptr, ""), -1);
    EXPECT_EQ(nullstrcmp("", nullptr), 1);
    EXPECT_LT(nullstrcmp("a", "b"), 0);
    EXPECT_EQ(nullstrcmp("ab", "ab"), 0);
}

TEST(StringTest, QuotestrCases)
{
    EXPECT_EQ(quoted("word", false), "word");
    EXPECT_EQ(quoted("two words", false), "\"two words\"");
    EXPECT_EQ(quoted("tab\there", false), "\"tab\there\"");
    EXPECT_EQ(quoted("a\"b", true), "\"a\\\"b\"");
    EXPECT_EQ(quoted("back\\slash", false), "back\\\\slash");
    EXPECT_EQ(quoted("line\nend", false), "line\\012end");
    EXPECT_EQ(quoted("\x7f\xff", false), "\\177\\377");
    EXPECT_EQ(quoted("", false), "\"\"");
    EXPECT_EQ(quoted(nullptr, true), "\"\"");
    char out[64];
    EXPECT_STREQ(quotestr_if_needed("a b", out, sizeof out), "\"a b\"");
    EXPECT_STREQ(quotestr_if_needed("ab", out, sizeof out), "ab");
}

TEST(StringTest, QuotestrNeverPassesItsBufferNorCutsAnEscape)
{
    const char* texts[] = {"plain text here", "a\"b\\c\"d", "\x01\x02\x03\x04", "x\ty\nz", "", "q"};
    for (const char* text : texts) {
        for (bool always : {false, true}) {
            std::string full = quoted(text, always);
            for (std::size_t size = 0; size <= full.size() + 2; ++size) {
                std::string cut = quoted(text, always, size);
                EXPECT_LE(cut.size() + (size ? 1 : 0), size) << text << " size " << size;
                if (size > full.size()) {
                    EXPECT_EQ(cut, full);
                    continue;
                }
                // Whatever was kept decodes to a prefix of the text.
                std::string copy = cut;
                std::vector<char*> argv(1);
                std::string decoded;
                if (splitargs(copy.data(), argv.data(), 1, "") == 1)
                    decoded = argv[0];
                EXPECT_EQ(std::string(text).rfind(decoded, 0), 0u)
                    << "'" << cut << "' from '" << text << "' size " << size;
            }
        }
    }
}

TEST(StringTest, SplitargsCases)
{
    EXPECT_EQ(split("'it''s here'", ""), Tokens{"its here"});
    EXPECT_EQ(split("\"a\\tb\"", ""), Tokens{"a\tb"});
    EXPECT_EQ(split("\\101BC", ""), Tokens{"ABC"});
    EXPECT_EQ(split("ab'c d'e", " "), Tokens{"abc de"});
    EXPECT_EQ(split("  one two\t three ", " \t"), (Tokens{"one", "two", "three"}));
    EXPECT_EQ(split("'a \\n b'", ""), Tokens{"a \\n b"}); // literal in single quotes
    EXPECT_EQ(split("\"x y\"z", " "), Tokens{"x yz"});
    EXPECT_EQ(split("\\b\\e\\f\\n\\r\\t\\q", ""), Tokens{"\b\x1b\f\n\r\tq"});
    EXPECT_EQ(split("\\0101", ""), Tokens{"\b1"}); // at most three digits
    EXPECT_EQ(split("\\7x", ""), Tokens{"\ax"});   // digit run ended by x
    EXPECT_EQ(split("\"\\61\"", ""), Tokens{"1"}); // ends at the quote
    EXPECT_EQ(split("\\777", ""), Tokens{"\xff"}); // kept in one byte
    EXPECT_EQ(split("end\\", ""), Tokens{"end"});
    EXPECT_EQ(split("'open", ""), Tokens{"open"});
    EXPECT_EQ(split("", " "), Tokens{});
    EXPECT_EQ(split("   ", " "), Tokens{});
}

TEST(StringTest, SplitargsStopsAtMax)
{
    std::string text = "a b c";
    char* argv[2] = {nullptr, nullptr};
    EXPECT_EQ(splitargs(text.data(), argv, 2, " "), 2);
    EXPECT_STREQ(argv[0], "a");
    EXPECT_STREQ(argv[1], "b");
    EXPECT_EQ(splitargs(text.data(), argv, 0, " "), 0);
}

TEST(StringTest, QuotestrAndSplitargsRoundTripRandomText)
{
    std::mt19937 random(1);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        int length = static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i)
            text.push_back(static_cast<char>(1 + random() % 255));
        std::vector<char> out(4 * text.size() + 3);
        quotestr(text.c_str(), out.data(), out.size(), true);
        char* argv[1];
        ASSERT_EQ(splitargs(out.data(), argv, 1, ""), 1);
        EXPECT_EQ(std::string(argv[0]), text);
    }
}

TEST(StringTest, Charinset)
{
    EXPECT_EQ(charinset('=', "\t =:"), 1);
    EXPECT_EQ(charinset('x', "\t =:"), 0);
    EXPECT_EQ(charinset('\0', "abc"), 0);
}

TEST(ShellwordTest, PlainWordsStandQuotedOthersRoundTrip)
{
    EXPECT_EQ(shellword("/opt/vantrel/lib"), "/opt/vantrel/lib");
    EXPECT_EQ(shellword(""), "''");
    EXPECT_EQ(shellword("#x"), "'#x'");
    EXPECT_EQ(shellword("a b;$(id)"), "'a b;$(id)'");
    EXPECT_EQ(shellword("it's"), "'it'\\''s'");
}
