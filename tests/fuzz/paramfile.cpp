// The users file reader and its write-back.  The input is a users file,
// optionally followed by two NUL bytes and then a value and an account name
// (separated by a NUL) that are set in memory the way the account pages set
// them.  Loading, writing, loading and writing again must give the same
// bytes twice, and every value must read back as it was written.  Read a
// section at a time, or with its sections unread, the file must give the
// same sections and be written back the same.
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "lib/paramfile.h"
#include "tests/fuzz/fuzzing.h"

namespace {

struct ListFree {
    void operator()(ParamSection* list) const { paramfile_free(list); }
};
using List = std::unique_ptr<ParamSection, ListFree>;

List load(std::string_view bytes)
{
    FuzzStream in(bytes);
    return List(paramfile_read(in.get(), users_param_names, 0));
}

// The file's text for the list, or nothing when the writer refused it.
bool write(const ParamSection* list, std::string& bytes)
{
    int result = 0;
    bytes =
        fuzz_written([&](FILE* out) { result = paramfile_write(out, list, users_param_names); });
    return result == 0;
}

// What a list says: its section names and the entries that write text, a
// value as the writer puts it (up to its first newline).
struct Entry {
    int16_t index;
    int16_t quote;
    std::string text;
};

struct Section {
    bool named;
    std::string name;
    std::vector<Entry> entries;
};

std::vector<Section> shape(const ParamSection* list)
{
    std::vector<Section> sections;
    for (const ParamSection* s = list; s != nullptr; s = s->next) {
        Section section{s->name != nullptr, s->name != nullptr ? s->name : "", {}};
        for (const ParamEntry* e = s->entries; e != nullptr; e = e->next) {
            if (e->text == nullptr)
                continue;
            std::string text = e->text;
            if (e->index > 0)
                text = text.substr(0, text.find('\n'));
            section.entries.push_back({e->index, e->quote, text});
        }
        sections.push_back(std::move(section));
    }
    return sections;
}

// Whether `after` holds what `before` held.  A value set in memory may come
// back quoted, and one too long for a line comes back cut, never longer.
void check_same(const std::vector<Section>& before, const std::vector<Section>& after)
{
    FUZZ_CHECK(before.size() == after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
        FUZZ_CHECK(before[i].named == after[i].named && before[i].name == after[i].name);
        const std::vector<Entry>& a = before[i].entries;
        const std::vector<Entry>& b = after[i].entries;
        FUZZ_CHECK(a.size() == b.size());
        for (std::size_t j = 0; j < a.size(); ++j) {
            FUZZ_CHECK(a[j].index == b[j].index);
            if (a[j].index <= 0) {
                // A last line without its newline gets one when more follows.
                FUZZ_CHECK(a[j].text == b[j].text || a[j].text + "\n" == b[j].text);
                continue;
            }
            if (a[j].text.size() < 900) {
                FUZZ_CHECK(a[j].text == b[j].text);
            } else {
                FUZZ_CHECK(a[j].text.starts_with(b[j].text));
                FUZZ_CHECK(b[j].text.size() >= 900);
            }
            FUZZ_CHECK(a[j].quote == b[j].quote || a[j].quote == PARAM_PLAIN);
        }
    }
}

bool blank(const std::string& text)
{
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// The account pages' own edits: a changed full name in the first account,
// and a new account with a called number.  They refuse names that are
// blank or hold a line break or ']', and values with a line break.
void edit(ParamSection* list, std::string_view extra)
{
    std::size_t nul = extra.find('\0');
    std::string value(extra.substr(0, nul));
    std::string name(nul == std::string_view::npos ? std::string_view() : extra.substr(nul + 1));
    name = name.substr(0, name.find('\0'));
    if (value.find_first_of("\r\n") != std::string::npos)
        return;
    ParamSection* first =
        paramfile_next_section(list) != nullptr ? paramfile_next_section(list) : list;
    paramfile_set(first, users_param_names, "full-name", value.c_str());
    if (blank(name) || name.find_first_of("\r\n]") != std::string::npos ||
        paramfile_find_section(list, name.c_str()) != nullptr)
        return;
    ParamSection* added = paramfile_add_section(&list);
    FUZZ_CHECK(added != nullptr);
    added->name = static_cast<char*>(std::malloc(name.size() + 1));
    FUZZ_CHECK(added->name != nullptr);
    std::memcpy(added->name, name.c_str(), name.size() + 1);
    paramfile_set(added, users_param_names, "did", value.c_str());
}

bool same_entries(const Section& a, const Section& b)
{
    if (a.named != b.named || a.name != b.name || a.entries.size() != b.entries.size())
        return false;
    for (std::size_t j = 0; j < a.entries.size(); ++j)
        if (a.entries[j].index != b.entries[j].index || a.entries[j].quote != b.entries[j].quote ||
            a.entries[j].text != b.entries[j].text)
            return false;
    return true;
}

// `each` hands over every named section of `whole` in turn, with the first
// value of a parameter chosen by the input as the whole list has it.
template <typename Each>
void check_each(std::string_view bytes, const ParamSection* whole, Each each)
{
    int index = bytes.empty() ? USER_FULL_NAME : static_cast<unsigned char>(bytes[0]) % 13 + 1;
    const ParamSection* next = whole->next;
    bool done = each(index, [&](std::string_view name, std::string_view got) {
        FUZZ_CHECK(next != nullptr && next->name == name);
        const char* want = paramfile_get(next, index);
        FUZZ_CHECK((want == nullptr) == (got.data() == nullptr));
        FUZZ_CHECK(want == nullptr || want == got);
        next = next->next;
    });
    FUZZ_CHECK(done && next == nullptr);
}

// The same bytes as a kept file: it loads when the stream does, its whole
// list is the stream's, and each section read alone is the first of its
// name in that list.
void check_alone(std::string_view bytes, const ParamSection* whole)
{
    int fd = memfd_create("users", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    ParamText text;
    bool loaded = paramtext_load(path.c_str(), text);
    close(fd);
    FUZZ_CHECK(loaded == (whole != nullptr));
    if (!loaded)
        return;
    std::vector<Section> sections = shape(whole);
    List again(paramtext_list(text, users_param_names));
    FUZZ_CHECK(again != nullptr);
    std::vector<Section> read_again = shape(again.get());
    FUZZ_CHECK(read_again.size() == sections.size());
    for (std::size_t i = 0; i < sections.size(); ++i)
        FUZZ_CHECK(same_entries(sections[i], read_again[i]));
    check_each(bytes, whole, [&](int index, const ParamValueEach& each) {
        return paramtext_each(text, users_param_names, index, each);
    });
    for (std::size_t i = 1; i < sections.size(); ++i) {
        bool first = true;
        for (std::size_t j = 1; j < i; ++j)
            first = first && sections[j].name != sections[i].name;
        if (!first)
            continue;
        ParamSection* alone = nullptr;
        FUZZ_CHECK(paramtext_section(text, users_param_names, sections[i].name.c_str(), &alone) ==
                   1);
        List owner(alone);
        FUZZ_CHECK(same_entries(shape(alone)[1], sections[i]));
    }
}

// The same bytes read with their sections unread: they load when the
// stream does, and give what the stream's list gives: the first value of a
// parameter in every section, the same file written back before and after
// the same edits, and the same entries once read.
void check_unread(std::string_view bytes, std::string_view extra, bool edited)
{
    List whole = load(bytes);
    int fd = memfd_create("users", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    List unread(paramfile_read_unread(fd, users_param_names));
    close(fd);
    FUZZ_CHECK((unread != nullptr) == (whole != nullptr));
    if (whole == nullptr)
        return;
    check_each(bytes, whole.get(), [&](int index, const ParamValueEach& each) {
        return paramfile_each(unread.get(), users_param_names, index, each);
    });
    std::string want, got;
    bool wrote = write(whole.get(), want);
    FUZZ_CHECK(write(unread.get(), got) == wrote && got == want);
    if (edited) {
        edit(whole.get(), extra);
        edit(unread.get(), extra);
        wrote = write(whole.get(), want);
        FUZZ_CHECK(write(unread.get(), got) == wrote && (!wrote || got == want));
    }
    for (ParamSection* s = unread.get(); s != nullptr; s = s->next)
        paramfile_get(s, USER_DID);
    std::vector<Section> a = shape(whole.get()), b = shape(unread.get());
    FUZZ_CHECK(a.size() == b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        FUZZ_CHECK(same_entries(a[i], b[i]));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input = fuzz_bytes(data, size);
    std::size_t split = input.find(std::string_view("\0\0", 2));
    List first = load(input.substr(0, split));
    check_alone(input.substr(0, split), first.get());
    check_unread(input.substr(0, split),
                 split == std::string_view::npos ? std::string_view() : input.substr(split + 2),
                 split != std::string_view::npos);
    if (first == nullptr)
        return 0;
    if (split != std::string_view::npos)
        edit(first.get(), input.substr(split + 2));

    std::string output;
    if (!write(first.get(), output)) {
        // Only a section name that no header line could carry back is refused.
        bool overlong = false;
        for (const ParamSection* s = first.get(); s != nullptr; s = s->next)
            overlong = overlong || (s->name != nullptr && std::strlen(s->name) > 1000);
        FUZZ_CHECK(overlong);
        return 0;
    }
    List second = load(output);
    FUZZ_CHECK(second != nullptr);
    check_same(shape(first.get()), shape(second.get()));
    std::string again;
    FUZZ_CHECK(write(second.get(), again));
    FUZZ_CHECK(again == output);
    return 0;
}
