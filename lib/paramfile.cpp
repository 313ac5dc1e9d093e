#include "lib/paramfile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/fullio.h"
#include "lib/mapfile.h"

#include "lib/string.h"

const char* const users_param_names[] = {
    "delivery-email",      "delivery-program",    "did",           "from-email", "full-name",
    "ip-addr-range-lower", "ip-addr-range-upper", "mail-format",   "password",   "privileges",
    "image-format",        "url-delivery",        "default-style", nullptr,
};

namespace {

// A chunk holds at most 1023 bytes of a line and a terminating NUL, as
// one fgets call into a 1024-byte buffer would.
constexpr std::size_t kChunkSize = 1024;

// One chunk worth of a physical line.  `text` stops at the first NUL byte;
// when the line's newline was read behind such a NUL it is put back at the
// cut, so a line with a NUL byte still ends where it ended in the file.
// A whole line that the reader holds is used where it lies; anything else
// is copied into `own`, which is NUL-terminated.
struct Chunk {
    std::array<char, kChunkSize> own{};
    const char* text = own.data();
    std::size_t length = 0;
    bool ends_line = false;
};

// The chunk's bytes where they may be changed.
char* writable(Chunk& chunk)
{
    if (chunk.text != chunk.own.data()) {
        std::memcpy(chunk.own.data(), chunk.text, chunk.length);
        chunk.own[chunk.length] = '\0';
        chunk.text = chunk.own.data();
    }
    return chunk.own.data();
}

// The file in blocks, so that a line is found with memchr instead of
// being taken a byte at a time: from a stream (read errors stay on it), or
// from a descriptor at `offset` (they set `failed`), or bytes already in
// memory when there is neither.
struct Reader {
    static constexpr std::size_t kBlock = 65536;
    FILE* file = nullptr;
    int fd = -1;
    off_t offset = 0;
    bool failed = false;
    bool clean = false; // no NUL byte among the bytes held
    std::unique_ptr<char[]> block;
    const char* pos = nullptr;
    const char* end = nullptr;

    bool fill()
    {
        if (file == nullptr && fd < 0)
            return false;
        if (!block)
            block.reset(new char[kBlock]);
        std::size_t n = 0;
        if (file != nullptr) {
            n = std::fread(block.get(), 1, kBlock, file);
        } else if (pread_full(fd, block.get(), kBlock, offset, &n) == FULLIO_ERROR) {
            failed = true;
            n = 0;
        }
        offset += static_cast<off_t>(n);
        pos = block.get();
        end = pos + n;
        clean = std::memchr(pos, '\0', n) == nullptr;
        return n > 0;
    }
};

} // namespace

// A read cuts its entries, sections and texts from a few large blocks, one
// allocation for thousands of lines; they go with the list.  A large block
// is mapped with its pages in place (one system call instead of a page
// fault for every 4 KiB that the read fills), one of 2 MiB or more in huge
// pages where the system offers them.
struct ParamStore {
    static constexpr std::size_t kMapped = 262144;
    struct Block {
        char* bytes;
        std::size_t size;
        bool mapped;
    };
    std::vector<Block> blocks;
    char* pos = nullptr;
    std::size_t room = 0;
    std::size_t block_size = 0;
    // A list of unread sections (paramfile_read_unread) keeps the file's
    // bytes in its blocks, and here what reading one of them needs.
    const char* file = nullptr; // the file's bytes
    std::size_t file_size = 0;
    bool clean = false; // no NUL byte in the file's lines
    ParamNameTable table = nullptr;
    void (*unreadable)() = nullptr;

    explicit ParamStore(std::size_t first) : block_size(first) {}
    ParamStore(const ParamStore&) = delete;
    ParamStore& operator=(const ParamStore&) = delete;
    ~ParamStore()
    {
        for (const Block& block : blocks)
            release(block);
    }

    static void release(const Block& block)
    {
        if (block.mapped)
            ::munmap(block.bytes, block.size);
        else
            std::free(block.bytes);
    }

    // Takes back everything cut so far; the first block is kept.
    void reset()
    {
        for (std::size_t i = 1; i < blocks.size(); ++i)
            release(blocks[i]);
        if (blocks.size() > 1)
            blocks.resize(1);
        pos = blocks.empty() ? nullptr : blocks[0].bytes;
        room = blocks.empty() ? 0 : blocks[0].size;
    }

    static Block allocate_block(std::size_t size)
    {
        if (size < kMapped)
            return {static_cast<char*>(std::malloc(size)), size, false};
        // Where faults are dear (a virtual machine's), one huge page costs
        // less than the 256 small ones of a megabyte.
        constexpr std::size_t kHuge = 2 << 20;
        if (size >= kHuge / 2) {
            size = (size + kHuge - 1) / kHuge * kHuge;
            void* bytes = ::mmap(nullptr, size + kHuge, PROT_READ | PROT_WRITE,
                                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (bytes == MAP_FAILED)
                return {nullptr, 0, false};
            auto at = reinterpret_cast<std::uintptr_t>(bytes);
            std::uintptr_t aligned = (at + kHuge - 1) / kHuge * kHuge;
            if (aligned > at)
                ::munmap(bytes, aligned - at);
            if (aligned + size < at + size + kHuge)
                ::munmap(reinterpret_cast<void*>(aligned + size),
                         at + size + kHuge - aligned - size);
            ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
            return {reinterpret_cast<char*>(aligned), size, true};
        }
        void* bytes = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        return {bytes == MAP_FAILED ? nullptr : static_cast<char*>(bytes), size, true};
    }

    // `align` is a power of two.
    void* cut(std::size_t size, std::size_t align)
    {
        std::size_t skip = -reinterpret_cast<std::uintptr_t>(pos) & (align - 1);
        if (pos == nullptr || skip + size > room)
            return cut_new(size, align);
        void* memory = pos + skip;
        pos += skip + size;
        room -= skip + size;
        return memory;
    }

    [[gnu::noinline]] void* cut_new(std::size_t size, std::size_t align)
    {
        std::size_t want = std::max(block_size, size + align);
        Block block = allocate_block(want);
        if (block.bytes == nullptr)
            return nullptr;
        try {
            blocks.push_back(block);
        } catch (const std::bad_alloc&) {
            release(block);
            return nullptr;
        }
        pos = block.bytes;
        room = block.size;
        block_size = std::clamp<std::size_t>(block_size * 2, Reader::kBlock, 1 << 20);
        return cut(size, align);
    }
};

namespace {

enum class LineResult { next, stop, fail };

struct Loader {
    Reader reader;
    ParamStore* store = nullptr;
    ParamNameTable table = nullptr;
    std::array<std::size_t, 32> name_lengths{}; // of the table's first names
    int names = 0;
    int maximum = 0;
    int named = 0;
    int32_t number = 0;
    bool numbered = true;
    ParamSection* current = nullptr;
    ParamEntry** tail = nullptr; // where current's next entry goes
    Chunk chunk;
    // Streaming (paramtext_each): each section goes to `each` when the next
    // header line closes it, holding only entries of the index `only`.
    const ParamValueEach* each = nullptr;
    int only = 0;
    int only_read = 0; // the index a line of only's name reads as
    ParamSection head; // before the first header line
};

// isspace in the C locale, which the programs never leave, without a call
// per character.
constexpr std::array<bool, 256> kSpace = [] {
    std::array<bool, 256> space{};
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        space[c] = true;
    return space;
}();

bool is_space(char c) { return kSpace[static_cast<unsigned char>(c)]; }

template <typename T>
T* allocate()
{
    void* memory = std::malloc(sizeof(T));
    return memory == nullptr ? nullptr : new (memory) T{};
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

void free_text(ParamEntry* entry)
{
    if ((entry->held & PARAM_HELD_TEXT) == 0)
        std::free(entry->text);
    entry->held = static_cast<uint8_t>(entry->held & ~PARAM_HELD_TEXT);
    entry->text = nullptr;
}

void free_entries(ParamEntry* entry)
{
    while (entry != nullptr) {
        ParamEntry* next = entry->next;
        free_text(entry);
        if ((entry->held & PARAM_HELD_ENTRY) == 0)
            std::free(entry);
        entry = next;
    }
}

void free_section(ParamSection* section)
{
    free_entries(section->entries);
    if ((section->held & PARAM_HELD_TEXT) == 0)
        std::free(section->name);
    if ((section->held & PARAM_HELD_ENTRY) == 0)
        std::free(section);
}

template <typename T>
T* held_object(ParamStore* store)
{
    void* memory = store->cut(sizeof(T), alignof(T));
    if (memory == nullptr)
        return nullptr;
    T* object = new (memory) T{};
    object->held = PARAM_HELD_ENTRY;
    return object;
}

char* held_bytes(ParamStore* store, const char* bytes, std::size_t length)
{
    char* copy = static_cast<char*>(store->cut(length + 1, 1));
    if (copy == nullptr)
        return nullptr;
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    return copy;
}

bool set_text(Loader& l, ParamEntry* entry, const char* bytes, std::size_t length)
{
    entry->text = held_bytes(l.store, bytes, length);
    if (entry->text == nullptr)
        return false;
    entry->held |= PARAM_HELD_TEXT;
    return true;
}

// A text cut from the blocks cannot grow in place: the longer one gets
// memory of its own.
bool append_text(ParamEntry* entry, const char* bytes, std::size_t length)
{
    if ((entry->held & PARAM_HELD_TEXT) == 0)
        return append_bytes(entry->text, bytes, length);
    std::size_t old = std::strlen(entry->text);
    char* copy = static_cast<char*>(std::malloc(old + length + 1));
    if (copy == nullptr)
        return false;
    std::memcpy(copy, entry->text, old);
    std::memcpy(copy + old, bytes, length);
    copy[old + length] = '\0';
    entry->text = copy;
    entry->held = static_cast<uint8_t>(entry->held & ~PARAM_HELD_TEXT);
    return true;
}

// The next chunk of the file: up to the end of its line or to the chunk's
// size.  False at the end of the file, or when reading fails.
bool read_chunk(Reader& r, Chunk& chunk)
{
    if (r.pos != r.end || r.fill()) {
        std::size_t room = std::min(kChunkSize - 1, static_cast<std::size_t>(r.end - r.pos));
        const auto* newline = static_cast<const char*>(std::memchr(r.pos, '\n', room));
        if (newline != nullptr &&
            (r.clean ||
             std::memchr(r.pos, '\0', static_cast<std::size_t>(newline - r.pos)) == nullptr)) {
            chunk.text = r.pos;
            chunk.length = static_cast<std::size_t>(newline - r.pos) + 1;
            chunk.ends_line = true;
            r.pos = newline + 1;
            return true;
        }
    }
    char* text = chunk.own.data();
    chunk.text = text;
    std::size_t stored = 0;
    bool newline = false;
    while (stored < kChunkSize - 1 && (r.pos != r.end || r.fill())) {
        std::size_t room =
            std::min(kChunkSize - 1 - stored, static_cast<std::size_t>(r.end - r.pos));
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
        if (!append_text(entry, l.chunk.text, l.chunk.length))
            return LineResult::fail;
    return LineResult::next;
}

LineResult keep_line(Loader& l, ParamEntry* entry)
{
    if (!set_text(l, entry, l.chunk.text, l.chunk.length))
        return LineResult::fail;
    return keep_rest(l, entry);
}

ParamEntry* append_entry(Loader& l)
{
    auto* entry = held_object<ParamEntry>(l.store);
    if (entry == nullptr)
        return nullptr;
    entry->line = l.numbered ? l.number : 0;
    *l.tail = entry;
    l.tail = &entry->next;
    return entry;
}

LineResult start_section(Loader& l)
{
    if (l.maximum > 0 && l.named >= l.maximum)
        return LineResult::stop;
    const char* line = l.chunk.text;
    const auto* close = static_cast<const char*>(std::memchr(line + 1, ']', l.chunk.length - 1));
    if (close == nullptr)
        return LineResult::fail;
    auto* section = held_object<ParamSection>(l.store);
    if (section == nullptr)
        return LineResult::fail;
    section->name = held_bytes(l.store, line + 1, static_cast<std::size_t>(close - line - 1));
    section->next = l.current->next;
    l.current->next = section;
    l.current = section;
    l.tail = &section->entries;
    if (section->name == nullptr)
        return LineResult::fail;
    section->held |= PARAM_HELD_TEXT;
    ++l.named;
    skip_rest(l);
    return LineResult::next;
}

int table_index(const Loader& l, const char* name, std::size_t length)
{
    ParamNameTable table = l.table;
    for (int i = 0; table[i] != nullptr; ++i) {
        if (i < l.names ? l.name_lengths[static_cast<std::size_t>(i)] == length &&
                              std::memcmp(table[i], name, length) == 0
                        : std::strncmp(table[i], name, length) == 0 && table[i][length] == '\0')
            return i + 1;
    }
    return 0;
}

// The first space character becomes a blank, as the line is written back;
// a newline stays, or the line would swallow the next one on rewrite.
LineResult keep_faulty(Loader& l, ParamEntry* entry, int16_t kind, std::size_t space)
{
    char* line = writable(l.chunk);
    if (line[space] != '\n')
        line[space] = ' ';
    entry->index = kind;
    return keep_line(l, entry);
}

// A closing quote counts only just before the final newline; otherwise the
// value is all the text after the opening quote.
bool set_value(Loader& l, ParamEntry* entry, const char* value, const char* end)
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
    return set_text(l, entry, value, static_cast<std::size_t>(end - value));
}

// `known`: the table index of the line's name, when the caller knows that
// the line begins with that name (`length` bytes) and a space character.
LineResult read_parameter(Loader& l, ParamEntry* entry, int known = 0, std::size_t length = 0)
{
    const char* line = l.chunk.text;
    const char* end = line + l.chunk.length;
    const char* space = line + (known > 0 ? length : 0);
    while (space < end && !is_space(*space))
        ++space;
    if (space == end) {
        skip_rest(l);
        return LineResult::next;
    }
    std::size_t name_length = static_cast<std::size_t>(space - line);
    int index = known > 0 ? known : table_index(l, line, name_length);
    if (index == 0)
        return keep_faulty(l, entry, PARAM_UNKNOWN, name_length);
    // Mostly the '=' follows the blanks after the name.
    const char* equals = space;
    while (equals < end && *equals == ' ')
        ++equals;
    if (equals < end && *equals != '=')
        equals = static_cast<const char*>(
            std::memchr(equals, '=', static_cast<std::size_t>(end - equals)));
    else if (equals == end)
        equals = nullptr;
    if (equals == nullptr)
        return keep_faulty(l, entry, PARAM_NOEQUALS, name_length);
    entry->index = static_cast<int16_t>(index);
    if (!set_value(l, entry, equals + 1, end))
        return LineResult::fail;
    skip_rest(l);
    return LineResult::next;
}

// Every line gets its entry first, a header's too: it goes to the section
// before the header and keeps the line numbers continuous.
// The closed section goes to `each`, and its memory to the next one.
std::string_view value_view(const char* text)
{
    return text == nullptr ? std::string_view() : std::string_view(text);
}

void deliver(Loader& l)
{
    if (l.current == &l.head && l.head.entries == nullptr)
        return; // nothing read since the last one
    if (l.current->name != nullptr)
        (*l.each)(l.current->name, value_view(paramfile_get(l.current, l.only)));
    free_entries(l.current->entries);
    l.store->reset();
    l.head = ParamSection{};
    l.current = &l.head;
    l.tail = &l.head.entries;
}

// Whether the chunk may be a line of parameter `index`: its name, then a
// space character, as read_parameter takes a name.
bool may_hold(const Loader& l, int index)
{
    const char* name = l.table[index - 1];
    std::size_t length = index - 1 < l.names ? l.name_lengths[static_cast<std::size_t>(index - 1)]
                                             : std::strlen(name);
    return l.chunk.length > length && l.chunk.text[0] == name[0] &&
           is_space(l.chunk.text[length]) && std::memcmp(l.chunk.text, name, length) == 0;
}

LineResult stream_line(Loader& l)
{
    char first = l.chunk.length > 0 ? l.chunk.text[0] : '\0';
    if (first == '[') {
        deliver(l);
        return start_section(l);
    }
    if (!may_hold(l, l.only)) {
        skip_rest(l);
        return LineResult::next;
    }
    ParamEntry* entry = append_entry(l);
    if (entry == nullptr)
        return LineResult::fail;
    return read_parameter(l, entry);
}

LineResult read_line(Loader& l)
{
    ++l.number;
    if (l.each != nullptr)
        return stream_line(l);
    ParamEntry* entry = append_entry(l);
    if (entry == nullptr)
        return LineResult::fail;
    char first = l.chunk.length > 0 ? l.chunk.text[0] : '\0';
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
    return !l.reader.failed && (l.reader.file == nullptr || std::ferror(l.reader.file) == 0);
}

const char* table_name(ParamNameTable table, int index)
{
    for (int i = 1; table[i - 1] != nullptr; ++i)
        if (i == index)
            return table[i - 1];
    return nullptr;
}

// The length of `text` up to its first newline (strcspn without its
// per-call set).
std::size_t first_line(const char* text)
{
    return static_cast<std::size_t>(strchrnul(text, '\n') - text);
}

// A text written verbatim may lack its newline (it was the last line of a
// file): the newline goes in before anything else follows, or the next
// line, a new section's header for one, would be glued onto it.  The lines
// go to the stream in large blocks, not a call per field.
struct Writer {
    FILE* file;
    std::string out;
    bool open = false; // the last text written ended without a newline

    void start_line()
    {
        if (open)
            out += '\n';
        open = false;
        if (out.size() >= 65536)
            flush();
    }

    void flush()
    {
        std::fwrite(out.data(), 1, out.size(), file);
        out.clear();
    }

    // Nothing set in memory may add a line to the file: a text is written
    // up to its first newline only.
    void put_part(const char* text) { out.append(text, first_line(text)); }
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
    if (entry->text == nullptr)
        return;
    if (entry->index <= 0) {
        if (*entry->text == '\0')
            return;
        w.start_line();
        std::size_t length = std::strlen(entry->text);
        w.out.append(entry->text, length);
        w.open = entry->text[length - 1] != '\n';
        return;
    }
    const char* name = table_name(table, entry->index);
    if (name == nullptr)
        return;
    w.start_line();
    const char* text = entry->text;
    const char* quote = entry->quote == PARAM_SQUOTED   ? "'"
                        : entry->quote == PARAM_DQUOTED ? "\""
                                                        : "";
    // Read back bare, such a value would lose its leading space characters
    // or be taken for a quoted one.
    if (*quote == '\0' && (is_space(text[0]) || text[0] == '\'' || text[0] == '"'))
        quote = "\"";
    w.out += name;
    w.out += " = ";
    w.out += quote;
    w.out.append(text, std::min(first_line(text), value_room(name, *quote != '\0')));
    w.out += quote;
    w.out += '\n';
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

namespace {

// The blocks' first size: enough for a small file's whole list, so that
// the read of one account does not take a large block.
std::size_t first_block(std::size_t bytes)
{
    return std::clamp<std::size_t>(bytes * 3, 1024, 65536);
}

void set_table(Loader& l, ParamNameTable table)
{
    l.table = table;
    while (l.names < static_cast<int>(l.name_lengths.size()) && table[l.names] != nullptr) {
        l.name_lengths[static_cast<std::size_t>(l.names)] = std::strlen(table[l.names]);
        ++l.names;
    }
}

// A list takes about twice its file's size; a guess that is short only
// adds a block.
std::size_t list_block(std::size_t bytes)
{
    return std::clamp<std::size_t>(bytes * 2, 1024, std::size_t{64} << 20);
}

std::size_t store_size(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return Reader::kBlock;
    return list_block(static_cast<std::size_t>(st.st_size));
}

// Reads the lines `reader` gives into a new list; null when reading fails.
bool fill_list(ParamSection* list, Reader& reader, ParamNameTable table, int maximum, bool numbered,
               std::size_t first)
{
    list->store = new (std::nothrow) ParamStore(first);
    bool done = false;
    if (list->store != nullptr) {
        Loader l;
        l.reader = std::move(reader);
        l.store = list->store;
        set_table(l, table);
        l.maximum = maximum < 0 ? 0 : maximum;
        l.numbered = numbered;
        l.current = list;
        l.tail = &list->entries;
        done = read_lines(l);
    }
    return done;
}

ParamSection* read_list(Reader& reader, ParamNameTable table, int maximum, bool numbered,
                        std::size_t first)
{
    ParamSection* list = allocate<ParamSection>();
    if (list == nullptr)
        return nullptr;
    if (!fill_list(list, reader, table, maximum, numbered, first)) {
        paramfile_free(list);
        return nullptr;
    }
    return list;
}

Reader memory_reader(const char* bytes, std::size_t size)
{
    Reader reader;
    reader.pos = bytes;
    reader.end = bytes + size;
    reader.clean = std::memchr(bytes, '\0', size) == nullptr;
    return reader;
}

// What the reader takes of a header as its name ends at the first ']' of
// the line's first chunk (`length` bytes here), which ends at a NUL byte
// too.  The name's length, or -1 when the line has no such ']'.
long header_name(const char* open, std::size_t length)
{
    std::size_t at = 1;
#ifdef __SSE2__
    // Sixteen bytes at a time: the index of a large file looks at thousands.
    for (; at + 16 <= length; at += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(open + at));
        __m128i stops = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(']')),
                                     _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                                  _mm_cmpeq_epi8(bytes, _mm_setzero_si128())));
        if (int found = _mm_movemask_epi8(stops)) {
            std::size_t stop =
                at + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
            return open[stop] == ']' ? static_cast<long>(stop - 1) : -1;
        }
    }
#endif
    for (; at < length; ++at) {
        if (open[at] == ']')
            return static_cast<long>(at - 1);
        if (open[at] == '\n' || open[at] == '\0')
            return -1;
    }
    return -1;
}

// Eight bytes of the name at a time: the index of a large file hashes
// thousands of names.
uint32_t name_hash(const char* name, std::size_t length)
{
    uint64_t hash = 0x9E3779B97F4A7C15ULL ^ length;
    std::size_t at = 0;
    for (; at + 8 <= length; at += 8) {
        uint64_t word;
        std::memcpy(&word, name + at, sizeof word);
        hash = (hash ^ word) * 0xFF51AFD7ED558CCDULL;
        hash ^= hash >> 32;
    }
    uint64_t rest = 0;
    for (std::size_t i = at; i < length; ++i)
        rest = rest << 8 | static_cast<unsigned char>(name[i]);
    hash = (hash ^ rest) * 0xC4CEB9FE1A85EC53ULL;
    return static_cast<uint32_t>(hash ^ hash >> 32);
}

// Finds every line of `size` bytes that begins with '[' without reading
// the lines between them one by one: a '[' counts when it follows a
// newline or starts the file.  `header` gets the line's offset and its
// first chunk (up to kChunkSize - 1 bytes) and answers false to stop.
enum class Scan { done, refused };

template <typename Header>
Scan scan_bytes(const char* bytes, std::size_t size, Header header)
{
    const char* end = bytes + size;
    for (const char* at = bytes; at < end; ++at) {
        at = static_cast<const char*>(std::memchr(at, '[', static_cast<std::size_t>(end - at)));
        if (at == nullptr)
            break;
        if (at != bytes && at[-1] != '\n')
            continue;
        std::size_t chunk =
            std::min<std::size_t>(static_cast<std::size_t>(end - at), kChunkSize - 1);
        if (!header(at - bytes, at, chunk))
            return Scan::refused;
    }
    return Scan::done;
}

// The file read whole, for a file that cannot be mapped: the size it has
// now and one byte more in one read, so that a small users file costs one
// system call and no more memory than it needs.
bool read_whole(int fd, std::string& bytes)
{
    struct stat st {};
    std::size_t room = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                           ? static_cast<std::size_t>(st.st_size) + 1
                           : 65536;
    bytes.clear();
    for (;;) {
        std::size_t old = bytes.size();
        bytes.resize(old + room);
        std::size_t done = 0;
        int result = pread_full(fd, bytes.data() + old, room, static_cast<off_t>(old), &done);
        bytes.resize(old + done);
        if (result != FULLIO_OK)
            return result == FULLIO_SHORT;
        room = 65536;
    }
}

// The whole file mapped for `use` (lib/mapfile); a small one is read
// instead, which takes fewer system calls than a mapping.
MapScan map_whole(int fd, const std::function<bool(const char*, std::size_t)>& use)
{
    off_t size = map_size(fd);
    return size < 65536 ? MapScan::unmapped : map_scan(fd, 0, static_cast<std::size_t>(size), use);
}

bool index_headers(ParamText& text)
{
    auto header = [&](off_t offset, const char* line, std::size_t length) {
        long name = header_name(line, length);
        if (name < 0)
            return false;
        text.headers.push_back({offset, name_hash(line + 1, static_cast<std::size_t>(name))});
        return true;
    };
    text.headers.clear();
    MapScan scan = map_whole(text.fd.get(), [&](const char* bytes, std::size_t size) {
        // Room for a header every few lines, so that the index is not
        // copied as it grows.
        text.headers.reserve(size / 96 + 16);
        return scan_bytes(bytes, size, header) == Scan::done;
    });
    if (scan == MapScan::done || scan == MapScan::refused)
        return scan == MapScan::done;
    // Cut short under the mapping, or not mapped: read instead.
    text.headers.clear();
    std::string bytes;
    return read_whole(text.fd.get(), bytes) &&
           scan_bytes(bytes.data(), bytes.size(), header) == Scan::done;
}

// The bytes of the section whose header is text.headers[k], up to the next
// header line or the end of the file.
bool section_bytes(const ParamText& text, std::size_t k, std::string& bytes)
{
    off_t from = text.headers[k].offset;
    bytes.clear();
    if (k + 1 < text.headers.size()) {
        bytes.resize(static_cast<std::size_t>(text.headers[k + 1].offset - from));
        std::size_t done = 0;
        int result = pread_full(text.fd.get(), bytes.data(), bytes.size(), from, &done);
        bytes.resize(done);
        return result != FULLIO_ERROR;
    }
    for (;;) {
        std::size_t old = bytes.size();
        bytes.resize(old + 4096);
        std::size_t done = 0;
        int result = pread_full(text.fd.get(), bytes.data() + old, 4096,
                                from + static_cast<off_t>(old), &done);
        bytes.resize(old + done);
        if (result != FULLIO_OK)
            return result == FULLIO_SHORT;
    }
}

bool end_with_header_entry(ParamSection* list)
{
    ParamSection* section = list->next;
    auto* entry = held_object<ParamEntry>(list->store);
    if (section == nullptr || entry == nullptr)
        return false;
    ParamEntry** tail = &section->entries;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = entry;
    return true;
}

} // namespace

ParamSection* paramfile_read(FILE* file, ParamNameTable table, int maximum)
{
    Reader reader;
    reader.file = file;
    return read_list(reader, table, maximum, true, store_size(fileno(file)));
}

bool paramtext_load(const char* path, ParamText& text)
{
    return paramtext_load(::open(path, O_RDONLY | O_CLOEXEC), text);
}

bool paramtext_load(int fd, ParamText& text)
{
    paramtext_close(text);
    text.fd.reset(fd);
    if (text.fd.get() < 0)
        return false;
    // A directory opens too; its first read fails in the scan.
    if (!index_headers(text)) {
        paramtext_close(text);
        return false;
    }
    return true;
}

void paramtext_close(ParamText& text)
{
    text.fd.reset();
    text.headers.clear();
}

ParamSection* paramtext_list(const ParamText& text, ParamNameTable table)
{
    ParamSection* list = nullptr;
    MapScan scan = map_whole(text.fd.get(), [&](const char* bytes, std::size_t size) {
        // Made here, so that the list stays reachable whatever happens.
        list = allocate<ParamSection>();
        if (list == nullptr)
            return false;
        Reader reader = memory_reader(bytes, size);
        return fill_list(list, reader, table, 0, true, list_block(size));
    });
    if (scan == MapScan::done)
        return list;
    paramfile_free(list);
    if (scan == MapScan::refused)
        return nullptr;
    Reader reader;
    reader.fd = text.fd.get();
    return read_list(reader, table, 0, true, store_size(text.fd.get()));
}

namespace {

// Whether the headers of the index are where the file's bytes have them
// (the file was not rewritten in place since it was indexed).
bool index_holds(const ParamText& text, const char* bytes, std::size_t size)
{
    for (const ParamHeader& header : text.headers) {
        auto at = static_cast<std::size_t>(header.offset);
        if (at >= size || bytes[at] != '[' || (at > 0 && bytes[at - 1] != '\n'))
            return false;
    }
    return true;
}

// Reads the lines from `hit` up to `end`, where l.reader's bytes end, that
// begin with the name of parameter l.only and a space character, up to
// the first entry of it, instead of every line: a line begins after a
// newline.
bool read_first(Loader& l, const char* hit, const char* end)
{
    const char* name = l.table[l.only - 1];
    std::size_t length = l.only - 1 < l.names ? l.name_lengths[static_cast<std::size_t>(l.only - 1)]
                                              : std::strlen(name);
    if (l.only_read == 0)
        l.only_read = table_index(l, name, length);
    while (hit < end) {
        if (static_cast<std::size_t>(end - hit) <= length || hit[0] != name[0] ||
            !is_space(hit[length]) || std::memcmp(hit, name, length) != 0) {
            const auto* newline = static_cast<const char*>(
                std::memchr(hit, '\n', static_cast<std::size_t>(end - hit)));
            if (newline == nullptr)
                break;
            hit = newline + 1;
            continue;
        }
        l.reader.pos = hit;
        if (!read_chunk(l.reader, l.chunk))
            return false;
        ParamEntry* entry = append_entry(l);
        if (entry == nullptr || read_parameter(l, entry, l.only_read, length) == LineResult::fail)
            return false;
        if (entry->index == l.only)
            break;
        hit = l.reader.pos;
    }
    return true;
}

enum class Quick { found, absent, unsure };

// What read_first finds among the lines from `hit` up to `end`, for bytes
// without a NUL, taken where they lie: the value the entry would get, or
// none; unsure when the line of it is longer than a chunk or has no
// newline, which only the reader decides.
Quick quick_first(Loader& l, const char* hit, const char* end, std::string_view& value)
{
    const char* name = l.table[l.only - 1];
    std::size_t length = l.only - 1 < l.names ? l.name_lengths[static_cast<std::size_t>(l.only - 1)]
                                              : std::strlen(name);
    if (l.only_read == 0)
        l.only_read = table_index(l, name, length);
    if (l.only_read != l.only)
        return Quick::unsure;
    while (hit < end) {
        const auto* newline =
            static_cast<const char*>(std::memchr(hit, '\n', static_cast<std::size_t>(end - hit)));
        if (static_cast<std::size_t>(end - hit) <= length || hit[0] != name[0] ||
            !is_space(hit[length]) || std::memcmp(hit, name, length) != 0) {
            if (newline == nullptr)
                return Quick::absent;
            hit = newline + 1;
            continue;
        }
        if (newline == nullptr || newline - hit >= static_cast<long>(kChunkSize) - 1)
            return Quick::unsure;
        // As read_parameter and set_value take it.
        const char* line_end = newline + 1;
        const char* equals = hit + length;
        while (*equals == ' ')
            ++equals;
        if (*equals != '=')
            equals = static_cast<const char*>(
                std::memchr(equals, '=', static_cast<std::size_t>(line_end - equals)));
        if (equals == nullptr) {
            hit = line_end; // a faulty line, not a value
            continue;
        }
        const char* text = equals + 1;
        while (text < line_end && is_space(*text))
            ++text;
        const char* text_end = line_end;
        if (text < line_end && (*text == '\'' || *text == '"')) {
            char quote = *text++;
            if (text_end - text >= 2 && text_end[-2] == quote)
                text_end -= 2;
        } else if (text < line_end) {
            --text_end;
        }
        value = std::string_view(text, static_cast<std::size_t>(text_end - text));
        return Quick::found;
    }
    return Quick::absent;
}

// paramtext_each's pass with the index: each section's header line, then
// only the lines read_first reads.
bool each_indexed(Loader& l, const ParamText& text, const char* bytes, std::size_t size)
{
    // One look for NUL bytes in the whole file, not one a section; the
    // reader holds the mapped bytes alone.
    bool clean = std::memchr(bytes, '\0', size) == nullptr;
    l.reader = Reader{};
    for (std::size_t k = 0; k < text.headers.size(); ++k) {
        const char* start = bytes + text.headers[k].offset;
        const char* end =
            k + 1 < text.headers.size() ? bytes + text.headers[k + 1].offset : bytes + size;
        deliver(l);
        if (clean) {
            // Most sections are taken where they lie.
            long name =
                header_name(start, std::min<std::size_t>(static_cast<std::size_t>(end - start),
                                                         kChunkSize - 1));
            const auto* newline = static_cast<const char*>(
                std::memchr(start, '\n', static_cast<std::size_t>(end - start)));
            std::string_view value;
            Quick quick = name < 0 || newline == nullptr ? Quick::unsure
                                                         : quick_first(l, newline + 1, end, value);
            if (quick != Quick::unsure) {
                ++l.number;
                (*l.each)(std::string_view(start + 1, static_cast<std::size_t>(name)),
                          quick == Quick::found ? value : std::string_view());
                continue;
            }
        }
        if (clean) {
            l.reader.pos = start;
            l.reader.end = end;
            l.reader.clean = true;
        } else {
            l.reader = memory_reader(start, static_cast<std::size_t>(end - start));
        }
        if (!read_chunk(l.reader, l.chunk))
            return false;
        ++l.number;
        if (start_section(l) != LineResult::next)
            return false;
        if (!read_first(l, l.reader.pos, end))
            return false;
    }
    return true;
}

} // namespace

bool paramtext_each(const ParamText& text, ParamNameTable table, int index,
                    const ParamValueEach& each)
{
    if (index <= 0 || table_name(table, index) == nullptr)
        return false;
    ParamStore store(4096);
    Loader l;
    l.reader.fd = text.fd.get();
    l.store = &store;
    set_table(l, table);
    l.each = &each;
    l.only = index;
    l.current = &l.head;
    l.tail = &l.head.entries;
    // Cut short under the mapping, the file ends where the mapping did.
    MapScan scan = map_whole(text.fd.get(), [&](const char* bytes, std::size_t size) {
        if (index_holds(text, bytes, size))
            return each_indexed(l, text, bytes, size);
        l.reader = memory_reader(bytes, size);
        return read_lines(l);
    });
    if (scan == MapScan::unmapped) {
        l.reader = Reader{};
        l.reader.fd = text.fd.get();
        scan = read_lines(l) ? MapScan::done : MapScan::refused;
    }
    if (scan == MapScan::refused) {
        free_entries(l.current->entries);
        return false;
    }
    deliver(l);
    return true;
}

int paramtext_section(ParamText& text, ParamNameTable table, const char* name, ParamSection** list)
{
    *list = nullptr;
    // No header line carries such a name back.
    if (name == nullptr || !paramfile_name_fits(name))
        return 0;
    std::size_t length = std::strlen(name);
    uint32_t hash = name_hash(name, length);
    std::string bytes;
    // A file rewritten in place since it was indexed is indexed again,
    // once, when a header is not where the index says.
    for (int pass = 0; pass < 2; ++pass) {
        bool moved = false;
        for (std::size_t k = 0; k < text.headers.size(); ++k) {
            if (text.headers[k].hash != hash)
                continue;
            if (!section_bytes(text, k, bytes))
                return 0;
            long found = bytes.empty() || bytes[0] != '['
                             ? -1
                             : header_name(bytes.data(), std::min(bytes.size(), kChunkSize - 1));
            if (found < 0) {
                moved = true;
                break;
            }
            if (static_cast<std::size_t>(found) != length ||
                std::memcmp(bytes.data() + 1, name, length) != 0)
                continue;
            Reader reader = memory_reader(bytes.data(), bytes.size());
            *list = read_list(reader, table, 0, false, first_block(bytes.size()));
            if (*list == nullptr)
                return -1;
            // In the whole list the next header line's entry ends the section.
            if (k + 1 < text.headers.size() && !end_with_header_entry(*list)) {
                paramfile_free(*list);
                *list = nullptr;
                return -1;
            }
            return 1;
        }
        if (!moved || !index_headers(text))
            return 0;
    }
    return 0;
}

namespace {

// An unread section's lines (ParamSection::raw) run from the end of its
// header line to the next header line or the end of the file.
constexpr uint8_t kBeforeHeader = 1; // a header line follows: its entry
                                     // ends the section once read
constexpr uint8_t kChecked = 2;      // kAsIs was decided
constexpr uint8_t kAsIs = 4;         // written back, the lines stay as
                                     // they are

// The reader of a section's lines where they lie.
void read_raw_from(Loader& l, const ParamSection* section)
{
    if (section->store->clean) {
        l.reader = Reader{};
        l.reader.pos = section->raw;
        l.reader.end = section->raw + section->raw_size;
        l.reader.clean = true;
    } else {
        l.reader = memory_reader(section->raw, section->raw_size);
    }
}

// Reads an unread section's entries; false, the section still unread,
// when memory runs out.
bool read_raw(ParamSection* section)
{
    auto l = std::make_unique<Loader>();
    read_raw_from(*l, section);
    l->store = section->store;
    set_table(*l, section->store->table);
    l->numbered = false;
    l->current = section;
    l->tail = &section->entries;
    if (!read_lines(*l) || ((section->raw_flags & kBeforeHeader) && append_entry(*l) == nullptr)) {
        free_entries(section->entries);
        section->entries = nullptr;
        return false;
    }
    section->raw = nullptr;
    section->raw_size = 0;
    section->raw_flags = 0;
    section->store = nullptr;
    return true;
}

// For the calls that cannot fail.
void need_entries(const ParamSection* section)
{
    if (section->raw == nullptr)
        return;
    void (*unreadable)() = section->store->unreadable;
    if (read_raw(const_cast<ParamSection*>(section)))
        return;
    if (unreadable != nullptr)
        unreadable();
    std::abort();
}

// The newlines and the space characters of a file's bytes, as bit masks
// of 64 bytes each, so that lines are walked without a call or a loop for
// each.  The last two blocks are kept: a section's lines begin in the
// block where the section before ended.
class Lines {
public:
    struct Block {
        std::size_t index = SIZE_MAX; // the bytes from 64 * index
        uint64_t newlines = 0;
        uint64_t spaces = 0;
    };

    Lines(const char* begin, std::size_t size) : begin_(begin), size_(size) {}

    const char* begin() const { return begin_; }

    const Block& block(std::size_t index)
    {
        Block& block = blocks_[index % 2];
        if (block.index != index)
            fill(block, index);
        return block;
    }

private:
    void fill(Block& block, std::size_t index) const
    {
        const char* at = begin_ + index * 64;
        std::size_t size = std::min<std::size_t>(64, size_ - index * 64);
        block = Block{index, 0, 0};
#ifdef __SSE2__
        if (size == 64) {
            auto sixteen = [at](int i, uint64_t& newlines, uint64_t& spaces) {
                __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * i));
                // '\t' to '\r' are the space characters other than the blank.
                __m128i controls = _mm_cmpeq_epi8(
                    _mm_min_epu8(_mm_max_epu8(bytes, _mm_set1_epi8('\t')), _mm_set1_epi8('\r')),
                    bytes);
                __m128i space = _mm_or_si128(controls, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(' ')));
                __m128i newline = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'));
                newlines = static_cast<uint32_t>(_mm_movemask_epi8(newline));
                spaces = static_cast<uint32_t>(_mm_movemask_epi8(space));
            };
            uint64_t n0, s0, n1, s1, n2, s2, n3, s3;
            sixteen(0, n0, s0);
            sixteen(1, n1, s1);
            sixteen(2, n2, s2);
            sixteen(3, n3, s3);
            block.newlines = n0 | n1 << 16 | n2 << 32 | n3 << 48;
            block.spaces = s0 | s1 << 16 | s2 << 32 | s3 << 48;
            return;
        }
#endif
        for (std::size_t i = 0; i < size; ++i) {
            block.newlines |= static_cast<uint64_t>(at[i] == '\n') << i;
            block.spaces |= static_cast<uint64_t>(is_space(at[i])) << i;
        }
    }

    const char* begin_;
    std::size_t size_;
    Block blocks_[2]; // block k in blocks_[k % 2]
};

// The bits of a block's mask from bit `first` on.
uint64_t bits_from(uint64_t bits, std::size_t first)
{
    return first >= 64 ? 0 : bits & (~uint64_t{0} << first);
}

// Whether a parameter line, `line` up to its newline `newline`, is written
// back as it is.  The first space character after the name must be a
// blank (a faulty line keeps the rest as it is); a value needs exactly one
// blank on each side of its '=', no space character first, and its
// closing quote if it has an opening one.  Only a line not of that form
// needs the name looked up: an unknown name's line is kept as it is.
bool parameter_as_is(const Loader& l, const char* line, const char* space, const char* newline)
{
    if (space == newline)
        return true; // a name alone: kept as a faulty line
    if (*space != ' ')
        return false;
    if (space[1] == '=' && space + 2 < newline && space[2] == ' ') {
        const char* value = space + 3;
        if (value == newline)
            return true;
        if (*value == '\'' || *value == '"') {
            if (newline - value >= 2 && newline[-1] == *value)
                return true;
        } else if (!is_space(*value)) {
            return true;
        }
    }
    if (table_index(l, line, static_cast<std::size_t>(space - line)) == 0)
        return true;
    const char* equals = space;
    while (*equals == ' ')
        ++equals;
    // A known name without '=' is kept as a faulty line too.
    return *equals != '=' &&
           std::memchr(equals, '=', static_cast<std::size_t>(newline - equals)) == nullptr;
}

// Whether reading the section's lines and writing them back gives them as
// they are.  A line that a read would cut, a NUL byte or a last line
// without its newline says no, so that the writer decides those.
bool lines_as_is(const Loader& l, Lines& lines, const char* begin, const char* end)
{
    const char* file = lines.begin();
    auto to = static_cast<std::size_t>(end - file);
    auto line = static_cast<std::size_t>(begin - file); // where the line begins
    std::size_t space = SIZE_MAX;                       // its first space character
    for (std::size_t base = line / 64 * 64; line < to && base < to; base += 64) {
        const Lines::Block& block = lines.block(base / 64);
        // The newlines from the line's start on, before the section's end.
        uint64_t newlines = bits_from(block.newlines, line > base ? line - base : 0);
        if (to - base < 64)
            newlines &= (uint64_t{1} << (to - base)) - 1;
        for (; newlines != 0; newlines &= newlines - 1) {
            std::size_t newline = base + static_cast<std::size_t>(__builtin_ctzll(newlines));
            // A newline is a space character: the first is in this block
            // at the latest.
            if (space == SIZE_MAX)
                space =
                    base + static_cast<std::size_t>(__builtin_ctzll(
                               block.spaces & (~uint64_t{0} << (line > base ? line - base : 0))));
            if (newline - line >= kChunkSize - 1)
                return false;
            char first = file[line];
            if (!is_space(first) && first != '#' &&
                !parameter_as_is(l, file + line, file + space, file + newline))
                return false;
            line = newline + 1;
            space = SIZE_MAX;
        }
        // A line going on into the next block may have its first space here;
        // a long one may have begun in a block before this one.
        if (space == SIZE_MAX && line < base + 64 && line < to) {
            uint64_t spaces = block.spaces & (~uint64_t{0} << (line > base ? line - base : 0));
            if (spaces != 0)
                space = base + static_cast<std::size_t>(__builtin_ctzll(spaces));
        }
    }
    return line == to;
}

bool raw_as_is(const Loader& l, Lines& lines, ParamSection* section)
{
    if ((section->raw_flags & kChecked) == 0) {
        section->raw_flags |= kChecked;
        if (!section->store->clean ||
            !lines_as_is(l, lines, section->raw, section->raw + section->raw_size))
            return false;
        section->raw_flags |= kAsIs;
    }
    return (section->raw_flags & kAsIs) != 0;
}

// The list's first section, with blocks the first of which holds the
// file's `size` bytes and, by a guess, the sections.
ParamSection* new_unread_list(std::size_t size, ParamNameTable table, void (*unreadable)())
{
    ParamSection* list = allocate<ParamSection>();
    if (list == nullptr)
        return nullptr;
    std::size_t sections = size / 128 + 16;
    list->store = new (std::nothrow) ParamStore(size + 1 + sections * sizeof(ParamSection) + 4096);
    if (list->store == nullptr) {
        std::free(list);
        return nullptr;
    }
    list->store->table = table;
    list->store->unreadable = unreadable;
    return list;
}

// The sections of the file's `size` bytes, their lines unread.  The offset of
// the first header line, or `size`; -1 for a header line without its
// ']', -2 when memory runs out.
long add_unread(ParamSection* list, const char* bytes, std::size_t size)
{
    ParamStore* store = list->store;
    ParamSection* last = nullptr;
    long first = static_cast<long>(size);
    bool short_of_memory = false;
    const char* end = bytes + size;
    auto header = [&](off_t offset, const char* line, std::size_t length) {
        long name = header_name(line, length);
        if (name < 0)
            return false;
        auto* section = held_object<ParamSection>(store);
        if (section == nullptr) {
            short_of_memory = true;
            return false;
        }
        if (last == nullptr) {
            first = static_cast<long>(offset);
            list->next = section;
        } else {
            last->raw_size = static_cast<std::size_t>(line - last->raw);
            last->raw_flags |= kBeforeHeader;
            last->next = section;
        }
        last = section;
        section->name = held_bytes(store, line + 1, static_cast<std::size_t>(name));
        if (section->name == nullptr) {
            short_of_memory = true;
            return false;
        }
        section->held |= PARAM_HELD_TEXT;
        section->store = store;
        const auto* newline =
            static_cast<const char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        section->raw = newline == nullptr ? end : newline + 1;
        section->raw_size = static_cast<std::size_t>(end - section->raw);
        return true;
    };
    if (scan_bytes(bytes, size, header) != Scan::done)
        return short_of_memory ? -2 : -1;
    return first;
}

} // namespace

ParamSection* paramfile_read_unread(int fd, ParamNameTable table, void (*unreadable)())
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return nullptr;
    std::size_t size = S_ISREG(st.st_mode) ? static_cast<std::size_t>(st.st_size) : 0;
    ParamSection* list = nullptr;
    char* bytes = nullptr;
    std::size_t got = 0;
    for (;;) {
        list = new_unread_list(size, table, unreadable);
        bytes = list == nullptr ? nullptr : static_cast<char*>(list->store->cut(size + 1, 1));
        if (bytes == nullptr) {
            paramfile_free(list);
            errno = ENOMEM;
            return nullptr;
        }
        int result = pread_full(fd, bytes, size + 1, 0, &got);
        if (result == FULLIO_SHORT)
            break;
        int error = errno;
        paramfile_free(list);
        errno = error;
        if (result == FULLIO_ERROR)
            return nullptr;
        size = size * 2 + 65536; // it grew while being read
    }
    list->store->clean = std::memchr(bytes, '\0', got) == nullptr;
    list->store->file = bytes;
    list->store->file_size = got;
    long first = add_unread(list, bytes, got);
    // The lines before the first header line are read now.
    auto l = std::make_unique<Loader>();
    l->store = list->store;
    set_table(*l, table);
    l->current = list;
    l->tail = &list->entries;
    bool read = false;
    if (first >= 0) {
        l->reader = memory_reader(bytes, static_cast<std::size_t>(first));
        read = read_lines(*l);
        // In the whole list the first header line's entry ends these.
        ++l->number;
        read = read && (list->next == nullptr || append_entry(*l) != nullptr);
    }
    if (!read) {
        paramfile_free(list);
        errno = first == -1 ? EINVAL : ENOMEM;
        return nullptr;
    }
    return list;
}

bool paramfile_each(const ParamSection* list, ParamNameTable table, int index,
                    const ParamValueEach& each)
{
    if (index <= 0 || table_name(table, index) == nullptr)
        return false;
    ParamStore store(4096);
    std::unique_ptr<Loader> l; // for the first unread section
    for (const ParamSection* section = list; section != nullptr; section = section->next) {
        if (section->name == nullptr)
            continue;
        if (section->raw == nullptr || section->store->table != table) {
            each(section->name, value_view(paramfile_get(section, index)));
            continue;
        }
        if (l == nullptr) {
            l = std::make_unique<Loader>();
            l->store = &store;
            set_table(*l, table);
            l->only = index;
            l->numbered = false;
        }
        const char* end = section->raw + section->raw_size;
        std::string_view value;
        Quick quick =
            section->store->clean ? quick_first(*l, section->raw, end, value) : Quick::unsure;
        if (quick != Quick::unsure) {
            each(section->name, quick == Quick::found ? value : std::string_view());
            continue;
        }
        ParamSection alone;
        alone.name = section->name;
        l->current = &alone;
        l->tail = &alone.entries;
        read_raw_from(*l, section);
        bool read = read_first(*l, section->raw, end);
        if (read)
            each(alone.name, value_view(paramfile_get(&alone, index)));
        free_entries(alone.entries);
        store.reset();
        if (!read)
            return false;
    }
    return true;
}

namespace {

// What a write needs for unread sections: the table's names, and the
// bytes of the file they were read from, copied in runs of sections.
struct Copier {
    ParamNameTable table = nullptr;
    std::unique_ptr<Loader> names;
    std::unique_ptr<Lines> lines;
    const ParamStore* store = nullptr; // whose bytes `lines` scans
    const char* run = nullptr;         // bytes to copy, not written yet
    const char* run_end = nullptr;
};

// Where the section's header line starts when writing the section gives
// that line and the section's lines as they are in the file, or null.
const char* as_is_from(Copier& c, ParamSection* section)
{
    const ParamStore* store = section->store;
    std::size_t length = std::strlen(section->name);
    auto offset = static_cast<std::size_t>(section->raw - store->file);
    if (store->table != c.table || offset < length + 3)
        return nullptr;
    const char* header = section->raw - (length + 3);
    if (header[0] != '[' || header[length + 1] != ']' || header[length + 2] != '\n' ||
        std::memcmp(header + 1, section->name, length) != 0)
        return nullptr;
    if (c.names == nullptr) {
        c.names = std::make_unique<Loader>();
        set_table(*c.names, c.table);
    }
    if (c.store != store) {
        c.lines = std::make_unique<Lines>(store->file, store->file_size);
        c.store = store;
    }
    return raw_as_is(*c.names, *c.lines, section) ? header : nullptr;
}

// The run of bytes goes to the stream as it is, after what the writer
// holds.
void write_run(Writer& w, Copier& c)
{
    if (c.run == nullptr)
        return;
    w.flush();
    std::fwrite(c.run, 1, static_cast<std::size_t>(c.run_end - c.run), w.file);
    w.open = false; // the run ends with its last line's newline
    c.run = c.run_end = nullptr;
}

} // namespace

int paramfile_write(FILE* file, const ParamSection* list, ParamNameTable table)
{
    for (const ParamSection* section = list; section != nullptr; section = section->next) {
        // The name of an unread section came from its header line, unless
        // it was given another.
        bool read_name = section->raw != nullptr && (section->held & PARAM_HELD_TEXT) != 0;
        if (section->name != nullptr && !read_name && !writable_name(section->name)) {
            errno = EINVAL;
            return -1;
        }
    }
    Writer w{file, {}};
    w.out.reserve(65536 + 2048);
    Copier c;
    c.table = table;
    for (const ParamSection* section = list; section != nullptr; section = section->next) {
        auto* unread = const_cast<ParamSection*>(section);
        if (section->raw != nullptr && section->name != nullptr) {
            if (const char* from = as_is_from(c, unread)) {
                if (from != c.run_end) {
                    write_run(w, c);
                    w.start_line();
                    c.run = from;
                }
                c.run_end = section->raw + section->raw_size;
                continue;
            }
        }
        write_run(w, c);
        if (section->name != nullptr) {
            w.start_line();
            w.out += '[';
            w.put_part(section->name);
            w.out += "]\n";
        }
        if (section->raw != nullptr && !read_raw(unread)) {
            errno = ENOMEM;
            return -1;
        }
        for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
            write_entry(w, entry, table);
    }
    write_run(w, c);
    w.flush();
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
    need_entries(section);
    for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
        if (entry->index == index && index > 0)
            return entry->text;
    return nullptr;
}

int paramfile_set(ParamSection* section, ParamNameTable table, const char* name, const char* value)
{
    int index = paramfile_index(table, name);
    if (index == 0 || section == nullptr || (section->raw != nullptr && !read_raw(section)))
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
    char* copy = strsave(value); // before the free: value may be the old text
    if (copy == nullptr)
        return 0;
    if (entry != nullptr) {
        free_text(entry);
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

bool paramfile_rename_section(ParamSection* section, const char* name)
{
    char* copy = strsave(name);
    if (copy == nullptr)
        return false;
    if ((section->held & PARAM_HELD_TEXT) == 0)
        std::free(section->name);
    section->name = copy;
    section->held = static_cast<uint8_t>(section->held & ~PARAM_HELD_TEXT);
    return true;
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
        need_entries(section);
        for (const ParamEntry* entry = section->entries; entry != nullptr; entry = entry->next)
            if (matches(entry, index, value))
                return section;
    }
    return nullptr;
}

void paramfile_free(ParamSection* list)
{
    ParamStore* store = list == nullptr ? nullptr : list->store;
    while (list != nullptr) {
        ParamSection* next = list->next;
        free_section(list);
        list = next;
    }
    delete store;
}
