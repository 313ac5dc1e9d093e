#include "lib/paramfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "lib/fd.h"
#include "tests/harness.h"

namespace {

struct ListFree {
    void operator()(ParamSection* list) const { paramfile_free(list); }
};
using List = std::unique_ptr<ParamSection, ListFree>;

class ParamfileTest : public testing::Test {
protected:
    List load(const std::string& bytes, int maximum = 0)
    {
        box_.write("users", bytes);
        return List(paramfile_load(box_.path("users").c_str(), users_param_names, maximum));
    }

    Sandbox box_;
};

std::string written(const ParamSection* list)
{
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    EXPECT_EQ(paramfile_write(stream, list, users_param_names), 0);
    std::fclose(stream);
    std::string bytes(buffer, size);
    std::free(buffer);
    return bytes;
}

const ParamEntry* nth_entry(const ParamSection* section, int n)
{
    const ParamEntry* entry = section->entries;
    while (entry != nullptr && n-- > 0)
        entry = entry->next;
    return entry;
}

} // namespace

TEST_F(ParamfileTest, RewriteCases)
{
    using namespace std::string_literals;
    struct Case {
        std::string in, out;
    } cases[] = {
        {"# comment\n\n\t tabbed\n", "# comment\n\n\t tabbed\n"},
        {"full-name  =   'John Smith'\n", "full-name = 'John Smith'\n"},
        {"did\t=\t5  \n", "did = 5  \n"},
        {"did  x = 5\n", "did = 5\n"},
        {"full-name = \"A B\"\n", "full-name = \"A B\"\n"},
        {"full-name =\n", "full-name = \n"},
        {"did=123\npassword = pw\n", "did=123\npassword = pw\n"}, // faulty, keeps its newline
        {"bogus\tvalue = 1\n", "bogus value = 1\n"},
        {"password\tx\n", "password x\n"},
        {"did = 5\r\n", "did = 5\r\n"},
        {"did = 5", "did = 5\n"},
        {"# last", "# last"},
        {"noblank", ""},
        {"[bob] trailing\n", "[bob]\n"},
        {"full-name = 'a b' \n", "full-name = 'a b' '\n"}, // unclosed: newline not written
        {"full-name = '\n", "full-name = ''\n"},
        {"full-name = 'x'", "full-name = 'x''\n"},
        {"# a\0zz\ndid = 1\n"s, "# a\ndid = 1\n"},
        {"did = 12\0junk\npassword = p\n"s, "did = 12\npassword = p\n"},
        {"\0\ndid = 1\n"s, "\ndid = 1\n"},
    };
    for (const Case& c : cases) {
        List list = load(c.in);
        ASSERT_NE(list, nullptr) << c.in;
        EXPECT_EQ(written(list.get()), c.out) << c.in;
    }
}

TEST_F(ParamfileTest, EntriesOfAUsersFile)
{
    List list = load("[admin]\n"
                     "full-name = 'Ann Admin'\n"
                     "from-email =\n"
                     "did=1\n"
                     "did = 2\r\n"
                     "password pw\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->name, nullptr);
    const ParamEntry* header = nth_entry(list.get(), 0);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header->line, 1);
    EXPECT_EQ(header->text, nullptr);
    EXPECT_EQ(header->next, nullptr);

    ParamSection* admin = paramfile_find_section(list.get(), "admin");
    ASSERT_EQ(admin, list->next);
    EXPECT_STREQ(paramfile_get(admin, USER_FULL_NAME), "Ann Admin");
    EXPECT_EQ(nth_entry(admin, 0)->quote, PARAM_SQUOTED);
    EXPECT_EQ(nth_entry(admin, 0)->line, 2);
    EXPECT_STREQ(paramfile_get(admin, USER_FROM_EMAIL), "");
    EXPECT_EQ(nth_entry(admin, 2)->index, PARAM_UNKNOWN);
    EXPECT_STREQ(nth_entry(admin, 2)->text, "did=1\n");
    EXPECT_STREQ(paramfile_get(admin, USER_DID), "2\r");
    EXPECT_EQ(nth_entry(admin, 4)->index, PARAM_NOEQUALS);
    EXPECT_EQ(nth_entry(admin, 4)->line, 6);
    EXPECT_EQ(paramfile_get(admin, USER_PASSWORD), nullptr);
    EXPECT_EQ(paramfile_get(admin, 0), nullptr);
    EXPECT_EQ(paramfile_find_section(list.get(), "Admin"), nullptr);
}

TEST_F(ParamfileTest, LongLines)
{
    std::string comment = "# " + std::string(3000, 'c') + "\n";
    std::string faulty = "bogus\t" + std::string(2500, 'f') + "\n";
    std::string exact = "#" + std::string(1022, 'e') + "\n"; // newline in the second read
    List list = load(comment + faulty + exact + "did = 1\n");
    ASSERT_NE(list, nullptr);
    std::string fixed = faulty;
    fixed[5] = ' ';
    EXPECT_EQ(written(list.get()), comment + fixed + exact + "did = 1\n");
    EXPECT_EQ(nth_entry(list.get(), 3)->line, 4);

    // The rest of a long value is dropped, never read as a line of its own.
    std::string value(1023 - 12, 'v');
    list = load("[eve]\nfull-name = " + value + "privileges = admin\n" + "did = 7\n");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(paramfile_get(list->next, USER_FULL_NAME), value.c_str());
    EXPECT_EQ(paramfile_get(list->next, USER_PRIVILEGES), nullptr);
    EXPECT_EQ(nth_entry(list->next, 1)->line, 3);

    list = load("[bob]" + std::string(2000, 'x') + "\nprivileges = admin\n");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(paramfile_get(list->next, USER_PRIVILEGES), "admin");
    EXPECT_EQ(load("[" + std::string(1100, 'x') + "]\n"), nullptr);
}

TEST_F(ParamfileTest, LoadFailures)
{
    EXPECT_EQ(load("[admin\n"), nullptr);
    EXPECT_EQ(paramfile_load(box_.path("missing").c_str(), users_param_names, 0), nullptr);
    EXPECT_EQ(paramfile_load(box_.path("tmp").c_str(), users_param_names, 0), nullptr);
    List empty = load("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->entries, nullptr);
    EXPECT_EQ(empty->next, nullptr);
}

TEST_F(ParamfileTest, MaximumSections)
{
    std::string file = "[a]\ndid = 1\n[b]\ndid = 2\n[c]\ndid = 3\n[d\n";
    List two = load(file, 2);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(paramfile_count_sections(two.get()), 2);
    EXPECT_EQ(written(two.get()), "[a]\ndid = 1\n[b]\ndid = 2\n");
    EXPECT_EQ(load(file, 0), nullptr); // reaches the faulty header
}

TEST_F(ParamfileTest, SetAndRemove)
{
    List list = load("[bob]\n# note\ndid = \"5\"\n");
    ParamSection* bob = paramfile_find_section(list.get(), "bob");
    ASSERT_NE(bob, nullptr);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "full-name", "Bob B"), 1);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "did", "6"), 1);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "did", paramfile_get(bob, USER_DID)), 1);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "nickname", "b"), 0);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "password", ""), 0);
    EXPECT_EQ(nth_entry(bob, 0)->line, 0);
    EXPECT_EQ(nth_entry(bob, 2)->line, 3);
    EXPECT_EQ(written(list.get()), "[bob]\nfull-name = Bob B\n# note\ndid = \"6\"\n");

    EXPECT_EQ(paramfile_set(bob, users_param_names, "did", nullptr), 1);
    EXPECT_EQ(paramfile_set(bob, users_param_names, "full-name", ""), 1);
    EXPECT_EQ(written(list.get()), "[bob]\n# note\n");

    // A value from a form cannot carry a line of its own into the file.
    EXPECT_EQ(paramfile_set(bob, users_param_names, "full-name", "x\nprivileges = admin"), 1);
    EXPECT_EQ(written(list.get()), "[bob]\nfull-name = x\n# note\n");
}

// What the account pages set or add reads back as it was written.
TEST_F(ParamfileTest, EditsReadBackAsWritten)
{
    List list = load("[admin]\nprivileges = admin\n# no newline at the end");
    ParamSection* slot = list.get();
    ParamSection* added = paramfile_add_section(&slot);
    ASSERT_NE(added, nullptr);
    added->name = strdup("night shift");
    EXPECT_EQ(paramfile_set(added, users_param_names, "full-name", " Leading blank"), 1);
    EXPECT_EQ(paramfile_set(added, users_param_names, "did", "'quoted'"), 1);
    std::string bytes = written(list.get());
    EXPECT_EQ(bytes, "[admin]\nprivileges = admin\n# no newline at the end\n"
                     "[night shift]\ndid = \"'quoted'\"\nfull-name = \" Leading blank\"\n");
    List back = load(bytes);
    ParamSection* night = paramfile_find_section(back.get(), "night shift");
    ASSERT_NE(night, nullptr);
    EXPECT_STREQ(paramfile_get(night, USER_FULL_NAME), " Leading blank");
    EXPECT_STREQ(paramfile_get(night, USER_DID), "'quoted'");

    // Too long for one line of the reader: cut where that line ends.
    EXPECT_EQ(paramfile_set(night, users_param_names, "did", std::string(2000, '7').c_str()), 1);
    bytes = written(back.get());
    List again = load(bytes);
    const char* did = paramfile_get(paramfile_find_section(again.get(), "night shift"), USER_DID);
    ASSERT_NE(did, nullptr);
    EXPECT_EQ(std::strlen(did), 1023u - std::strlen("did = \"\"\n"));
    EXPECT_EQ(written(again.get()), bytes);

    // A name that no header line can carry back is refused, nothing written.
    ASSERT_TRUE(paramfile_rename_section(night, std::string(1100, 'n').c_str()));
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    errno = 0;
    EXPECT_EQ(paramfile_write(stream, back.get(), users_param_names), -1);
    EXPECT_EQ(errno, EINVAL);
    std::fclose(stream);
    EXPECT_EQ(size, 0u);
    std::free(buffer);
}

TEST_F(ParamfileTest, SectionsAndMatching)
{
    List list = load("did = *\n[ann]\ndid = 100\ndid = 200\n[bob]\ndid = *any\n");
    ASSERT_NE(list, nullptr);
    ParamSection* ann = paramfile_next_section(list.get());
    EXPECT_EQ(paramfile_match_value(list.get(), USER_DID, "100"), ann);
    EXPECT_EQ(paramfile_match_value(list.get(), USER_DID, "200"), ann);
    EXPECT_EQ(paramfile_match_value(list.get(), USER_DID, "300"), ann->next);
    EXPECT_EQ(paramfile_match_value(list.get(), USER_FULL_NAME, "100"), nullptr);

    ParamSection* slot = list.release();
    ParamSection* added = paramfile_add_section(&slot);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(ann->next->next, added);
    EXPECT_EQ(paramfile_count_sections(slot), 2);
    added->name = strdup("cy");
    EXPECT_EQ(paramfile_count_sections(slot), 3);
    paramfile_remove_section(&slot, ann);
    EXPECT_EQ(written(slot), "did = *\n[bob]\ndid = *any\n[cy]\n");
    paramfile_free(slot);

    ParamSection* fresh = nullptr;
    EXPECT_EQ(paramfile_add_section(&fresh), fresh);
    paramfile_free(fresh);
}

TEST(ParamfileWrite, ReportsStreamErrors)
{
    FILE* full = std::fopen("/dev/full", "w");
    if (full == nullptr)
        GTEST_SKIP() << "no /dev/full";
    std::setvbuf(full, nullptr, _IONBF, 0);
    ParamSection section;
    char name[] = "x";
    section.name = name;
    EXPECT_EQ(paramfile_write(full, &section, users_param_names), -1);
    std::fclose(full);
}

// Whatever paramfile_write produces from values without newlines reads back
// as the same list.
TEST_F(ParamfileTest, RandomRoundTrip)
{
    std::mt19937 random(20240611);
    auto text = [&](std::size_t most, const std::string& banned) {
        std::string s;
        for (std::size_t n = random() % most; s.size() < n;) {
            char c = static_cast<char>(1 + random() % 255);
            if (banned.find(c) == std::string::npos)
                s += c;
        }
        return s;
    };
    for (int round = 0; round < 200; ++round) {
        ParamSection* list = nullptr;
        ParamSection* section = paramfile_add_section(&list);
        ParamEntry** tail = &section->entries;
        for (int line = 0; line < 30; ++line) {
            auto* entry = static_cast<ParamEntry*>(std::calloc(1, sizeof(ParamEntry)));
            switch (random() % 5) {
            case 0:
                section = paramfile_add_section(&list);
                section->name = strdup(text(20, "\n]").c_str());
                tail = &section->entries;
                std::free(entry);
                continue;
            case 1:
                entry->text = strdup(("#" + text(60, "\n") + "\n").c_str());
                break;
            case 2:
                entry->index = PARAM_UNKNOWN;
                entry->text =
                    strdup(("x-" + text(10, " \t\n\v\f\r") + " " + text(60, "\n") + "\n").c_str());
                break;
            default:
                entry->index = static_cast<int16_t>(1 + random() % 13);
                entry->quote = static_cast<int8_t>(random() % 3);
                entry->text = strdup(entry->quote == PARAM_PLAIN ? ("v" + text(60, "\n")).c_str()
                                                                 : text(60, "\n").c_str());
            }
            *tail = entry;
            tail = &entry->next;
        }
        std::string bytes = written(list);
        List back = load(bytes);
        ASSERT_NE(back, nullptr) << bytes;
        EXPECT_EQ(written(back.get()), bytes);
        EXPECT_EQ(paramfile_count_sections(back.get()), paramfile_count_sections(list));
        paramfile_free(list);
    }
}

TEST_F(ParamfileTest, LinesAcrossReadBlocks)
{
    // Far more than one block of the reader, with lines of every length
    // around the chunk size crossing its block boundaries.
    std::mt19937 random(7);
    std::string bytes;
    int lines = 0;
    while (bytes.size() < 300000) {
        std::size_t length = random() % 1500;
        bytes += "#" + std::string(length, static_cast<char>('a' + lines % 26)) + "\n";
        ++lines;
    }
    bytes += "[last]\ndid = 1";
    List list = load(bytes);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(written(list.get()), bytes + "\n");
    EXPECT_EQ(nth_entry(list.get(), lines - 1)->line, lines);
    EXPECT_STREQ(paramfile_get(list->next, USER_DID), "1");

    // A NUL byte ends the text of its line, not the line.
    list = load(std::string("# a\0b\ndid = 2\n", 14));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(written(list.get()), "# a\ndid = 2\n");
}

namespace {

// Each named section read alone holds what the first section of its name
// holds in the whole list, and the whole list read from the kept file is
// the list paramfile_load makes.
void expect_alone_matches(ParamText& text, const ParamSection* whole)
{
    List again(paramtext_list(text, users_param_names));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(written(again.get()), written(whole));
    for (const ParamSection* s = whole->next; s != nullptr; s = s->next) {
        const ParamSection* first =
            paramfile_find_section(const_cast<ParamSection*>(whole), s->name);
        if (first != s)
            continue;
        ParamSection* alone = nullptr;
        ASSERT_EQ(paramtext_section(text, users_param_names, s->name, &alone), 1) << s->name;
        List owner(alone);
        const ParamEntry* a = alone->next->entries;
        const ParamEntry* b = s->entries;
        for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
            EXPECT_EQ(a->index, b->index) << s->name;
            EXPECT_EQ(a->quote, b->quote) << s->name;
            EXPECT_STREQ(a->text, b->text) << s->name;
        }
        EXPECT_TRUE(a == nullptr && b == nullptr) << s->name;
    }
}

} // namespace

TEST_F(ParamfileTest, SectionsReadAlone)
{
    using namespace std::string_literals;
    // Header lines on both sides of the scan's 64 KiB blocks: one whose
    // first chunk crosses a block's end, one that starts a block, a '['
    // that starts a block but not a line, a header line longer than a
    // chunk, a NUL byte and a name given twice.
    std::string bytes = "# accounts\n[admin]\nprivileges = admin\npassword = x\n[bob]\ndid = 1\n";
    auto pad_to = [&](std::size_t offset) {
        std::size_t room = offset - bytes.size() - 2;
        bytes += "#" + std::string(room, 'p') + "\n";
    };
    pad_to(65536 - 4);
    bytes += "[crossing]\nfull-name = 'C'\n[bob]\ndid = 2\n";
    pad_to(2 * 65536);
    bytes += "[starts]\ndid = 3\n";
    bytes += "#" + std::string(3 * 65536 - bytes.size() - 1, 'q') + "[not a header]\n";
    bytes += "[" + std::string(1000, 'l') + "]" + std::string(200, 't') + "\ndid = 4\n";
    bytes += "[nul]\0in\ndid = 5\n"s;
    bytes += "[]\ndid = 6\n[last] x\nfull-name = no newline";
    box_.write("users", bytes);
    List whole = load(bytes);
    ASSERT_NE(whole, nullptr);
    ParamText text;
    ASSERT_TRUE(paramtext_load(box_.path("users").c_str(), text));
    EXPECT_EQ(static_cast<int>(text.headers.size()), paramfile_count_sections(whole.get()));
    expect_alone_matches(text, whole.get());

    ParamSection* alone = nullptr;
    EXPECT_EQ(paramtext_section(text, users_param_names, "nobody", &alone), 0);
    EXPECT_EQ(paramtext_section(text, users_param_names, "not a header", &alone), 0);
    EXPECT_EQ(paramtext_section(text, users_param_names, "a]b", &alone), 0);
    EXPECT_EQ(alone, nullptr);

    // Rewritten in place after it was read: the header is found again.
    std::string moved = "# moved\n" + bytes;
    FILE* file = std::fopen(box_.path("users").c_str(), "r+");
    ASSERT_NE(file, nullptr);
    std::fwrite(moved.data(), 1, moved.size(), file);
    std::fclose(file);
    ASSERT_EQ(paramtext_section(text, users_param_names, "crossing", &alone), 1);
    List owner(alone);
    EXPECT_STREQ(paramfile_get(alone->next, USER_FULL_NAME), "C");
}

TEST_F(ParamfileTest, SectionsReadAloneRefuseWhatTheLoadRefuses)
{
    using namespace std::string_literals;
    std::string far(70000, '#');
    far.back() = '\n';
    for (const std::string& bytes :
         {far + "[open\n"s, "[a\0]\n"s, "[x]\n[" + std::string(1030, 'y') + "]\n"}) {
        box_.write("users", bytes);
        EXPECT_EQ(load(bytes), nullptr);
        ParamText text;
        EXPECT_FALSE(paramtext_load(box_.path("users").c_str(), text));
    }
    ParamText text;
    EXPECT_FALSE(paramtext_load(box_.path("absent").c_str(), text));
    EXPECT_FALSE(paramtext_load(box_.path("").c_str(), text)); // a directory
}

// The lines of an unread section are copied when reading and writing them
// back leaves them as they are, and rewritten as the whole list rewrites
// them otherwise; an edit of another section changes nothing of that.
TEST_F(ParamfileTest, UnreadSectionsWriteBackAsTheWholeList)
{
    using namespace std::string_literals;
    const std::string lines[] = {
        "did = 1\n",
        "did = \n",
        "did =\n",
        "did= 1\n",
        "did  = 1\n",
        "did =  1\n",
        "did\t= 1\n",
        "did = 'a'\n",
        "did = ''\n",
        "did = '\n",
        "did = 'a\n",
        "did = \"a'\n",
        "did = a=b\n",
        "did x = 1\n",
        "did\n",
        "did x\n",
        "nosuch\tx = 1\n",
        "nosuch =  1\n",
        "# note\n",
        "\n",
        "\tindented\n",
        "full-name = " + std::string(1010, 'n') + "\n",
        "full-name = " + std::string(1011, 'n') + "\n",
        "did = a\0b\n"s,
        // A line over three blocks of 64 bytes whose first space character,
        // a tab, lies in the block before its newline's.
        "#" + std::string(33, 'p') + "\n" + std::string(80, 'n') + "\tx = " + std::string(70, 'v') +
            "\n",
    };
    for (const std::string& line : lines) {
        for (bool last : {false, true}) {
            std::string bytes = "# accounts\n[a]\n" + line + "[b]\nfull-name = B\n";
            if (last)
                bytes = "# accounts\n[b]\nfull-name = B\n[a]\n" + line.substr(0, line.size() - 1);
            box_.write("users", bytes);
            List whole = load(bytes);
            Fd fd(open(box_.path("users").c_str(), O_RDONLY | O_CLOEXEC));
            List unread(paramfile_read_unread(fd.get(), users_param_names));
            ASSERT_NE(unread, nullptr);
            EXPECT_EQ(written(unread.get()), written(whole.get())) << line;
            for (ParamSection* list : {whole.get(), unread.get()})
                paramfile_set(paramfile_find_section(list, "b"), users_param_names, "did", "7");
            EXPECT_EQ(written(unread.get()), written(whole.get())) << line;
            EXPECT_STREQ(paramfile_get(paramfile_find_section(unread.get(), "a"), USER_DID),
                         paramfile_get(paramfile_find_section(whole.get(), "a"), USER_DID));
        }
    }
    EXPECT_EQ(paramfile_read_unread(-1, users_param_names), nullptr);
    box_.write("users", "[x]\ndid = 1\n[open\n");
    Fd fd(open(box_.path("users").c_str(), O_RDONLY | O_CLOEXEC));
    errno = 0;
    EXPECT_EQ(paramfile_read_unread(fd.get(), users_param_names), nullptr);
    EXPECT_EQ(errno, EINVAL);
}
