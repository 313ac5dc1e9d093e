#include "lib/paramfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "lib/string.h"

const char* const users_param_names[] = {
    "delivery-email",
    "delivery-program",
    "did",
    "from-email",
    "full-name",
    "ip-addr-range-lower",
    "ip-addr-range-upper",
    "mail-format",
    "password",
    "privileges",
    "image-format",
    "url-delivery",
    "default-style",
    nullptr,
};

namespace {

// A chunk holds at most 1023 bytes of a line and a terminating NUL, as
// one fgets call into a 1024-byte buffer would.
constexpr std::size_t kChunkSize = 1024;

// One chunk worth of a physical line.  `text` stops at the first NUL byte;
// when the line's newline was read behind such a NUL it is put back at the
// cut, so a line with a NUL byte still ends where it ended in the file.
struct Chunk {
    std::array<char, kChunkSize> text{};
    std::size_t length = 0;
    bool ends_line = false;
};

// The file in blocks, so that a line is found with memchr instead of
// being taken a byte at a time.  Read errors stay on the stream.
struct Reader {
    static constexpr std::size_t kBlock = 65536;
    FILE* file = nullptr;
    std::unique_ptr<char[]> block{new char[kBlock]};
    const char* pos = nullptr;
    const char* end = nullptr;

    bool fill()
    {
        std::size_t n = std::fread(block.get(), 1, kBlock, file);
        pos = block.get();
        end = pos + n;
        return n > 0;
    }
};

enum class LineResult { next, stop, fail };

struct Loader {
    Reader reader;
    ParamNameTable table = nullptr;
    int maximum = 0;
    int named = 0;
    int32_t number = 0;
    ParamSection* current = nullptr;
    ParamEntry** tail = nullptr;   // where current's next entry goes
    Chunk chunk;
};

bool is_space(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

template <typename T> T* allocate()
{
    void* memory = std::malloc(sizeof(T));
    return memory == nullptr ? nullptr : new (memory) T{};
}

char* copy_bytes(const char* bytes, std::size_t length)
{
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

bool append_bytes(char*& text, const char* bytes, std::size_t length)
{
    std::size_t old = std::strlen(text);
    char* grown = static_cast<char*>(std::realloc(text, old + length + 1));
    if (grown == nullptr)
        return false;
    std::memcpy(grown + old, bytes, length);
    grown[old + length] = '\0';
    text = grown;
    return true;
}

void free_entries(ParamEntry* entry)
{
    while (entry != nullptr) {
        ParamEntry* next = entry->next;
        std::free(entry->text);
        std::free(entry);
        entry = next;
    }
}

void free_section(ParamSection* section)
{
    free_entries(section->entries);
    std::free(section->name);
    std::free(section);
}

// The next chunk of the file: up to the end of its line or to the chunk's
// size.  False at the end of the file, or when reading fails.
bool read_chunk(Reader& r, Chunk& chunk)
{
    char* text = chunk.text.data();
    std::size_t stored = 0;
    bool newline = false;
    while (stored < kChunkSize - 1 && (r.pos != r.end || r.fill())) {
        std::size_t room = std::min(kChunkSize - 1 - stored, static_cast<std::size_t>(r.end - r.pos));
        const auto* found = static_cast<const char*>(std::memchr(r.pos, '\n', room));
        std::size_t take = found ? static_cast<std::size_t>(found - r.pos) + 1 : room;
        std::memcpy(text + stored, r.pos, take);
        stored += take;
        r.pos += take;
        if (found) {
            newline = true;
            break;
        }
    }
    if (stored == 0)
        return false;
    text[stored] = '\0';
    chunk.ends_line = newline || stored < kChunkSize - 1;
    const auto* nul = static_cast<const char*>(std::memchr(text, '\0', stored));
    chunk.length = nul ? static_cast<std::size_t>(nul - text) : stored;
    if (newline && (chunk.length == 0 || text[chunk.length - 1] != '\n')) {
        text[chunk.length++] = '\n';
        text[chunk.length] = '\0';
    }
    return true;
}

// A parameter or header line is only what fits in its first chunk: the
// rest must never be read as a line of its own, or a long value could
// carry a parameter line of its choosing into the file.
void skip_rest(Loader& l)
{
    while (!l.chunk.ends_line && read_chunk(l.reader, l.chunk)) {
    }
}

LineResult keep_rest(Loader& l, ParamEntry* entry)
{
    while (!l.chunk.ends_line && read_chunk(l.reader, l.chunk))
        if (!append_bytes(entry->text, l.chunk.text.data(), l.chunk.length))
            return LineResult::fail;
    return LineResult::next;
}

LineResult keep_line(Loader& l, ParamEntry* entry)
{
    entry->text = copy_bytes(l.chunk.text.data(), l.chunk.length);
    if (entry->text == nullptr)
        return LineResult::fail;
    return keep_rest(l, entry);
}

ParamEntry* append_entry(Loader& l)
{
    ParamEntry* entry = allocate<ParamEntry>();
    if (entry == nullptr)
        return nullptr;
    entry->line = l.number;
    *l.tail = entry;
    l.tail = &entry->next;
    return entry;
}

LineResult start_section(Loader& l)
{
    if (l.maximum > 0 && l.named >= l.maximum)
        return LineResult::stop;
    const char* line = l.chunk.text.data();
    const char* close = std::strchr(line + 1, ']');
    if (close == nullptr)
        return LineResult::fail;
    ParamSection* section = allocate<ParamSection>();
    if (section == nullptr)
        return LineResult::fail;
    section->name = copy_bytes(line + 1, static_cast<std::size_t>(close - line - 1));
    section->next = l.current->next;
    l.current->next = section;
    l.current = section;
    l.tail = &section->entries;
    if (section->name == nullptr)
        return LineResult::fail;
    ++l.named;
    skip_rest(l);
    return LineResult::next;
}

int table_index(ParamNameTable table, const char* name, std::size_t length)
{
    for (int i = 0; table[i] != nullptr; ++i)
        if (std::strlen(table[i]) == length && std::memcmp(table[i], name, length) == 0)
            return i + 1;
    return 0;
}

// The first space character becomes a blank, as the line is written back;
// a newline stays, or the line would swallow the next one on rewrite.
LineResult keep_faulty(Loader& l, ParamEntry* entry, int16_t kind, std::size_t space)
{
    char* line = l.chunk.text.data();
    if (line[space] != '\n')
        line[space] = ' ';
    entry->index = kind;
    return keep_line(l, entry);
}

// A closing quote counts only just before the final newline; otherwise the
// value is all the text after the opening quote.
bool set_value(ParamEntry* entry, const char* value, const char* end)
{
    while (value < end && is_space(*value))
        ++value;
    if (value < end && (*value == '\'' || *value == '"')) {
        char quote = *value++;
        entry->quote = quote == '\'' ? PARAM_SQUOTED : PARAM_DQUOTED;
        if (end - value >= 2 && end[-1] == '\n' && end[-2] == quote)
            end -= 2;
    } else if (value < end && end[-1] == '\n') {
        --end;
    }
    entry->text = copy_bytes(value, static_cast<std::size_t>(end - value));
    return entry->text != nullptr;
}

LineResult read_parameter(Loader& l, ParamEntry* entry)
{
    const char* line = l.chunk.text.data();
    const char* end = line + l.chunk.length;
    const char* space = line;
    while (space < end && !is_space(*space))
        ++space;
    if (space == end) {
        skip_rest(l);
        return LineResult::next;
    }
    std::size_t name_length = static_cast<std::size_t>(space - line);
    int index = table_index(l.table, line, name_length);
    if (index == 0)
        return keep_faulty(l, entry, PARAM_UNKNOWN, name_length);
    const char* equals = std::strchr(space, '=');
    if (equals == nullptr)
        return keep_faulty(l, entry, PARAM_NOEQUALS, name_length);
    entry->index = static_cast<int16_t>(index);
    if (!set_value(entry, equals + 1, end))
        return LineResult::fail;
    skip_rest(l);
    return LineResult::next;
}

// Every line gets its entry first, a header's too: it goes to the section
// before the header and keeps the line numbers continuous.
LineResult read_line(Loader& l)
{
    ++l.number;
    ParamEntry* entry = append_entry(l);
    if (entry == nullptr)
        return LineResult::fail;
    char first = l.chunk.text[0];
    if (is_space(first) || first == '#')
        return keep_line(l, entry);
    if (first == '[')
        return start_section(l);
    return read_parameter(l, entry);
}

bool read_lines(Loader& l)
{
    while (read_chunk(l.reader, l.chunk)) {
        LineResult result = read_line(l);
        if (result == LineResult::fail)
            return false;
        if (result == LineResult::stop)
            return true;
    }
    // A directory opens for reading on Linux; its first read fails here.
    return std::ferror(l.reader.file) == 0;
}

const char* table_name(ParamNameTable table, int index)
{
    for (int i = 1; table[i - 1] != nullptr; ++i)
        if (i == index)
            return table[i - 1];
    return nullptr;
}

// Nothing set in memory may add a line to the file: a text is written up to
// its first newline only.
void put_part(FILE* file, const char* text)
{
    std::fwrite(text, 1, std::strcspn(text, "\n"), file);
}

// A text written verbatim may lack its newline (it was the last line of a
// file): the newline goes in before anything else follows, or the next
// line, a new section's header for one, would be glued onto it.
struct Writer {
    FILE* file;
    bool open = false;   // the last text written ended without a newline

    void start_line()
    {
        if (open)
            std::fputc('\n', file);
        open = false;
    }
};

// How many characters of a value fit the line of parameter `name`: the
// reader takes a value from the first chunk of its line, and a closing
// quote only just before the newline.
std::size_t value_room(const char* name, bool quoted)
{
    std::size_t used = std::strlen(name) + 3 + (quoted ? 3 : 0);
    return used < kChunkSize - 1 ? kChunkSize - 1 - used : 0;
}

// A value line is cut to fit what the reader takes of it.
void write_entry(Writer& w, const ParamEntry* entry, ParamNameTable table)
{
    FILE* file = w.file;
    if (entry->text == nullptr)
        return;
    if (entry->index <= 0) {
        if (*entry->text == '\0')
            return;
        w.start_line();
        std::fputs(entry->text, file);
        w.open = entry->text[std::strlen(entry->text) - 1] != '\n';
        return;
    }
    const char* name = table_name(table, entry->index);
    if (name == nullptr)
        return;
    w.start_line();
    const char* text = entry->text;
    const char* quote = entry->quote == PARAM_SQUOTED ? "'"
                        : entry->quote == PARAM_DQUOTED ? "\"" : "";
    // Read back bare, such a value would lose its leading space characters
    // or be taken for a quoted one.
    if (*quote == '\0' && (is_space(text[0]) || text[0] == '\'' || text[0] == '"'))
        quote = "\"";
    std::fprintf(file, "%s = %s", name, quote);
    std::fwrite(text, 1, std::min(std::strcspn(text, "\n"), value_room(name, *quote != '\0')), file);
    std::fprintf(file, "%s\n", quote);
}

// Whether "[name]\n" reads back as a header of that name: no ']' of its
// own, and the closing one within the first chunk.
bool writable_name(const char* name)
{
    std::size_t length = std::strcspn(name, "\n");
    return std::memchr(name, ']', length) == nullptr && length + 2 <= kChunkSize - 1;
}

ParamEntry** entry_slot(ParamSection* section, int index)
{
    ParamEntry** slot = &section->entries;
    while (*slot != nullptr && (*slot)->index != index)
        slot = &(*slot)->next;
    return slot;
}

bool matches(const ParamEntry* entry, int index, const char* value)
{
    if (entry->index != index || entry->text == nullptr)
        return false;
    return entry->text[0] == '*' || (value != nullptr && std::strcmp(entry->text, value) == 0);
}

} // namespace

bool paramfile_fits(ParamNameTable table, int index, const char* value)
{
    const char* name = table_name(table, index);
    // Whatever quotes the line gets, the value must fit between them.
    return name != nullptr && value != nullptr && std::strchr(value, '\n') == nullptr &&
           std::strlen(value) <= value_room(name, true);
}

bool paramfile_name_fits(const char* name)
{
    return name != nullptr && std::strchr(name, '\n') == nullptr && writable_name(name);
}

ParamSection* paramfile_load(const char* path, ParamNameTable table, int maximum)
{
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return nullptr;
    ParamSection* list = paramfile_read(file, table, maximum);
    std::fclose(file);
    return list;
}

ParamSection* paramfile_read(FILE* file, ParamNameTable table, int maximum)
{
    ParamSection* list = allocate<ParamSection>();
    bool done = false;
    if (list != nullptr) {
        Loader l;
        l.reader.file = file;
        l.table = table;
        l.maximum = maximum < 0 ? 0 : maximum;
        l.current = list;
        l.tail = &list->entries;
        done = read_lines(l);
    }
    if (!done) {
        paramfile_free(list);
        return nullptr;
    }
    return list;
}

int paramfile_write(FILE* file, const ParamSection* list, ParamNameTable table)
{
    for (const ParamSection* section = list; section != nullptr; section = section->next) {
        if (section->name != nullptr && !writable_name(section->name)) {
            errno = EINVAL;
            return -1;
        }
    }
    Writer w{file};
    for (const ParamSection* section = list; section != nullptr; section = section->next) {
        if (section->name != nullptr) {
            w.start_line();
            std::fputc('[', file);
            put_part(file, section->name);
            std::fputs("]\n", file);
        }
        for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
            write_entry(w, entry, table);
    }
    return std::ferror(file) ? -1 : 0;
}

int paramfile_index(ParamNameTable table, const char* name)
{
    if (name == nullptr)
        return 0;
    for (int i = 0; table[i] != nullptr; ++i)
        if (std::strcmp(table[i], name) == 0)
            return i + 1;
    return 0;
}

const char* paramfile_get(const ParamSection* section, int index)
{
    if (section == nullptr)
        return nullptr;
    for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
        if (entry->index == index && index > 0)
            return entry->text;
    return nullptr;
}

int paramfile_set(ParamSection* section, ParamNameTable table, const char* name,
                  const char* value)
{
    int index = paramfile_index(table, name);
    if (index == 0 || section == nullptr)
        return 0;
    ParamEntry** slot = entry_slot(section, index);
    ParamEntry* entry = *slot;
    if (value == nullptr || *value == '\0') {
        if (entry == nullptr)
            return 0;
        *slot = entry->next;
        entry->next = nullptr;
        free_entries(entry);
        return 1;
    }
    char* copy = strsave(value);   // before the free: value may be the old text
    if (copy == nullptr)
        return 0;
    if (entry != nullptr) {
        std::free(entry->text);
        entry->text = copy;
        return 1;
    }
    entry = allocate<ParamEntry>();
    if (entry == nullptr) {
        std::free(copy);
        return 0;
    }
    entry->index = static_cast<int16_t>(index);
    entry->text = copy;
    entry->next = section->entries;
    section->entries = entry;
    return 1;
}

ParamSection* paramfile_find_section(ParamSection* list, const char* name)
{
    if (name == nullptr)
        return nullptr;
    for (ParamSection* section = list; section != nullptr; section = section->next)
        if (section->name != nullptr && std::strcmp(section->name, name) == 0)
            return section;
    return nullptr;
}

ParamSection* paramfile_next_section(const ParamSection* section)
{
    return section == nullptr ? nullptr : section->next;
}

int paramfile_count_sections(const ParamSection* list)
{
    int count = 0;
    for (; list != nullptr; list = list->next)
        if (list->name != nullptr)
            ++count;
    return count;
}

ParamSection* paramfile_add_section(ParamSection** slot)
{
    while (*slot != nullptr)
        slot = &(*slot)->next;
    *slot = allocate<ParamSection>();
    return *slot;
}

void paramfile_remove_section(ParamSection** slot, ParamSection* section)
{
    while (*slot != nullptr && *slot != section)
        slot = &(*slot)->next;
    if (*slot == nullptr || section == nullptr)
        return;
    *slot = section->next;
    free_section(section);
}

ParamSection* paramfile_match_value(ParamSection* list, int index, const char* value)
{
    for (ParamSection* section = list; section != nullptr; section = section->next) {
        if (section->name == nullptr)
            continue;
        for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
            if (matches(entry, index, value))
                return section;
    }
    return nullptr;
}

void paramfile_free(ParamSection* list)
{
    while (list != nullptr) {
        ParamSection* next = list->next;
        free_section(list);
        list = next;
    }
}
