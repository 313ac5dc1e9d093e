#include "lib/btree.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// An in-memory stream over `text` for the reader.
KeyTree read_text(const std::string& text, int* result = nullptr)
{
    KeyTree tree;
    FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (text.empty())
        file = fopen("/dev/null", "r");
    int r = keytree_read(tree, file);
    if (result)
        *result = r;
    fclose(file);
    return tree;
}

// Reads `text` into a tree that holds keys already, as the configuration
// page reads the file into the loaded configuration.
void reread(KeyTree& tree, std::string text)
{
    FILE* file = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(keytree_read(tree, file), 0);
    fclose(file);
}

std::string write_text(const KeyTree& tree)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* file = open_memstream(&buffer, &size);
    EXPECT_EQ(keytree_write(tree, file), 0);
    fclose(file);
    std::string text(buffer, size);
    free(buffer);
    return text;
}

std::string value(const KeyTree& tree, const char* key)
{
    const char* v = keytree_lookup(tree, key);
    return v ? v : "<absent>";
}

} // namespace

TEST(BtreeTest, KeysAndValues)
{
    KeyTree tree = read_text("spool-directory = /data/spool\n"
                             "company-name: Vantrel\tFax   \n"
                             "key\t=: value with  blanks \n"
                             "only-key\n"
                             "dup = first\n"
                             " indented = comment\n"
                             "9lives = comment\n"
                             "dup = second\n");
    EXPECT_EQ(value(tree, "spool-directory"), "/data/spool");
    EXPECT_EQ(value(tree, "company-name"), "Vantrel\tFax");
    EXPECT_EQ(value(tree, "key"), "value with  blanks");
    EXPECT_EQ(value(tree, "only-key"), "");
    EXPECT_EQ(value(tree, "dup"), "second");
    EXPECT_EQ(value(tree, "indented"), "<absent>");
    EXPECT_EQ(value(tree, "9lives"), "<absent>");
    EXPECT_EQ(value(tree, "Company-name"), "<absent>");
}

TEST(BtreeTest, QuotedValues)
{
    KeyTree tree = read_text("tab = \"a\\tb\"\n"
                             "single = 'it''s'  after\n"
                             "octal = \"\\101\\102\"\n"
                             "empty = \"\"\n"
                             "open = 'never closed\n");
    EXPECT_EQ(value(tree, "tab"), "a\tb");
    EXPECT_EQ(value(tree, "single"), "its  after");
    EXPECT_EQ(value(tree, "octal"), "AB");
    EXPECT_EQ(value(tree, "empty"), "");
    EXPECT_EQ(value(tree, "open"), "never closed");
    EXPECT_EQ(write_text(tree), "empty = \"\"\n"
                                "octal = AB\n"
                                "open = \"never closed\"\n"
                                "single = \"its  after\"\n"
                                "tab = \"a\tb\"\n");
}

TEST(BtreeTest, SetReplacesInPlaceAndKeepsTheComment)
{
    KeyTree tree = read_text("# the company\ncompany-name = Old\n");
    KeyNode* node = keytree_set(tree, "company-name", "New Name");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node, tree.root);
    EXPECT_EQ(node->comment, "# the company\n");
    EXPECT_EQ(write_text(tree), "# the company\ncompany-name = \"New Name\"\n");
}

TEST(BtreeTest, WritingSortsKeysAndCommentsMoveWithTheirKeys)
{
    std::string file = "# Vantrel configuration\n"
                       "\n"
                       "zel-directory = /opt/vantrel\n"
                       "# where faxes wait\n"
                       "spool-directory = /var/opt/vantrel\n"
                       "company-name = Acme\n"
                       "# end of file\n";
    KeyTree tree = read_text(file);
    std::string written = write_text(tree);
    EXPECT_EQ(written, "company-name = Acme\n"
                       "# where faxes wait\n"
                       "spool-directory = /var/opt/vantrel\n"
                       "# Vantrel configuration\n"
                       "\n"
                       "zel-directory = /opt/vantrel\n"
                       "# end of file\n");
    EXPECT_EQ(write_text(read_text(written)), written);
}

TEST(BtreeTest, RereadingAFileIntoItsTreeDoesNotRepeatComments)
{
    std::string file = "# a\nalpha = 1\n# b\nbeta = 2\n# tail\n";
    KeyTree tree = read_text(file);
    reread(tree, file + "gamma = 3\n"); // added by hand since
    EXPECT_EQ(write_text(tree), "# a\nalpha = 1\n# b\nbeta = 2\n# tail\ngamma = 3\n");
}

TEST(BtreeTest, ARepeatedKeyKeepsTheCommentOfEachPlace)
{
    const std::string file = "# phone of the main office\n"
                             "company-phone = 555-0100\n"
                             "beta = 2\n"
                             "# since the move\n"
                             "company-phone = 555-0199\n"
                             "zeta = 1\n"
                             "company-phone = 555-0199\n";
    const std::string sorted = "beta = 2\n"
                               "# phone of the main office\n"
                               "# since the move\n"
                               "company-phone = 555-0199\n"
                               "zeta = 1\n";
    KeyTree tree = read_text(file);
    EXPECT_EQ(write_text(tree), sorted);
    // Each round reads the file back into its own tree and writes it.
    for (const std::string& round : {file, sorted}) {
        reread(tree, round);
        EXPECT_EQ(write_text(tree), sorted);
    }
    EXPECT_EQ(write_text(read_text(sorted)), sorted);
}

TEST(BtreeTest, ValuesRoundTripThroughWriteAndRead)
{
    const char* values[] = {"plain",       "two words",   "",      "a\\b",
                            "C:\\fax\\in", "'quoted'",    "\"dq",  "trailing ",
                            " leading",    "line\nbreak", "cr\r",  "tab\there",
                            "caf\xc3\xa9", "#hash",       "x=y:z", "=x",
                            ":x",          "'",           "\"",    "\\"};
    KeyTree tree;
    int i = 0;
    for (const char* v : values)
        ASSERT_NE(keytree_set(tree, ("key" + std::to_string(i++)).c_str(), v), nullptr);
    std::string written = write_text(tree);
    KeyTree back = read_text(written);
    i = 0;
    for (const char* v : values)
        EXPECT_EQ(value(back, ("key" + std::to_string(i++)).c_str()), v) << written;
    EXPECT_EQ(write_text(back), written);
}

TEST(BtreeTest, RandomValuesRoundTrip)
{
    std::mt19937 random(7);
    KeyTree tree;
    std::vector<std::string> values;
    for (int i = 0; i < 500; ++i) {
        std::string v;
        int length = static_cast<int>(random() % 30);
        for (int j = 0; j < length; ++j)
            v.push_back(static_cast<char>(1 + random() % 255));
        values.push_back(v);
        keytree_set(tree, ("k" + std::to_string(i)).c_str(), v.c_str());
    }
    KeyTree back = read_text(write_text(tree));
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(value(back, ("k" + std::to_string(i)).c_str()),
                  values[static_cast<std::size_t>(i)]);
}

TEST(BtreeTest, OddLineEnds)
{
    KeyTree tree = read_text("# dos file\r\nfax = 555-0100\r\nname = \"A B\"\r\nlast = no newline");
    EXPECT_EQ(value(tree, "fax"), "555-0100");
    EXPECT_EQ(value(tree, "name"), "A B");
    EXPECT_EQ(value(tree, "last"), "no newline");
    EXPECT_EQ(tree.root->comment, "# dos file\r\n");

    const char raw[] = "before = 1\nnul = ab\0cd\nafter = 2\n# x\0y\n";
    std::string with_nul(raw, sizeof raw - 1);
    KeyTree nul = read_text(with_nul);
    EXPECT_EQ(value(nul, "nul"), "ab");
    EXPECT_EQ(value(nul, "after"), "2");
    EXPECT_EQ(nul.trailer, std::string("# x\0y\n", 6));
}

TEST(BtreeTest, LongLinesNeverBecomeKeys)
{
    std::string long_value(9000, 'v');
    std::string long_comment = "#" + std::string(20000, 'c') + "\n";
    KeyTree tree = read_text("big = " + long_value + "\n" + long_comment + "next = 1\n");
    EXPECT_EQ(value(tree, "big"), std::string(8191 - 6, 'v'));
    EXPECT_EQ(value(tree, "next"), "1");
    EXPECT_EQ(value(tree, std::string(9000 - 8185, 'v').c_str()), "<absent>");
    ASSERT_NE(tree.root->right, nullptr);
    EXPECT_EQ(tree.root->right->comment, long_comment); // kept whole
}

TEST(BtreeTest, OverlongValuesAreCutWhenWritten)
{
    KeyTree tree;
    keytree_set(tree, "k", std::string(10000, '\x01').c_str());
    std::string written = write_text(tree);
    // "k = " and a quoted run of whole four-byte escapes: the line within
    // the 8191 bytes a reader takes, so it reads back as it was written.
    EXPECT_EQ(
        written, "k = \"" + [] {
            std::string s;
            for (int i = 0; i < 2046; ++i)
                s += "\\001";
            return s;
        }() + "\"\n");
    EXPECT_EQ(value(read_text(written), "k"), std::string(2046, '\x01'));
    EXPECT_EQ(write_text(read_text(written)), written);
}

namespace {

std::size_t depth(const KeyNode* node)
{
    return node ? 1 + std::max(depth(node->left), depth(node->right)) : 0;
}

} // namespace

TEST(BtreeTest, SortedAndReversedKeysStillMakeAShallowTree)
{
    for (bool reversed : {false, true}) {
        KeyTree tree;
        const int n = 100000;
        for (int i = 0; i < n; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "key%06d", reversed ? n - 1 - i : i);
            ASSERT_NE(keytree_set(tree, name, name + 3), nullptr);
        }
        EXPECT_EQ(tree.size, static_cast<std::size_t>(n));
        EXPECT_LE(depth(tree.root), 30u); // log base 3/2 of 100000 is 28.4
        EXPECT_EQ(value(tree, "key012345"), "012345");
        std::string written = write_text(tree);
        EXPECT_EQ(written.substr(0, 33), "key000000 = 000000\nkey000001 = 00");
        EXPECT_EQ(written.size(), static_cast<std::size_t>(n) * 19);
    }
}

TEST(BtreeTest, DeepTreesAreWrittenAndFreedWithoutRecursion)
{
    // A file written sorted and read back makes a tree that is one long
    // right spine; build a very deep one directly.
    KeyTree tree;
    KeyNode** slot = &tree.root;
    for (int i = 0; i < 500000; ++i) {
        auto* node = new KeyNode;
        char name[16];
        std::snprintf(name, sizeof name, "k%07d", i);
        node->name = name;
        node->value = "v";
        *slot = node;
        slot = &node->right;
    }
    std::string written = write_text(tree);
    EXPECT_EQ(written.size(), 500000u * 13);
    EXPECT_EQ(written.substr(0, 13), "k0000000 = v\n");
    EXPECT_EQ(value(tree, "k0499999"), "v");
    keytree_free(tree);
    EXPECT_EQ(tree.root, nullptr);
}

TEST(BtreeTest, ReadReportsStreamErrors)
{
    KeyTree tree;
    FILE* dir = fopen("/", "r");
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(keytree_read(tree, dir), 1);
    fclose(dir);
    int result = -1;
    read_text("a = 1\n", &result);
    EXPECT_EQ(result, 0);
}
