// The log viewers' line reader and rows.  The input is a log file: the
// pager must find the lines a plain split of the bytes finds (backwards
// from the end and from the middle, forwards from the start and from the
// middle), and each line shown as a system log row and as an accounting
// row must carry no markup of its own into the page.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "admin/logview.h"
#include "tests/fuzz/fuzzing.h"
#include "www/wwwputhtml.h"

namespace {

std::vector<std::string> seen;

void collect(std::string_view line) { seen.emplace_back(line); }

struct Found {
    int result = 0;
    off_t first = 0, end = 0;
    std::vector<std::string> lines;
};

Found pager(const std::string& path, off_t offset, int n)
{
    seen.clear();
    LineRange range;
    Found f;
    f.result = readlines(path.c_str(), offset, n, &range, collect);
    f.first = range.first;
    f.end = range.end;
    f.lines = std::move(seen);
    FUZZ_CHECK(range.count == static_cast<int>(f.lines.size()));
    return f;
}

std::string shown(std::string_view text, std::size_t start, std::size_t end)
{
    return std::string(text.substr(start, std::min<std::size_t>(end - start, READLINES_MAX_LINE)));
}

// The complete lines that end at or before `from`, at most k.
Found backward(std::string_view text, std::size_t from, int k)
{
    std::vector<std::size_t> seps;
    for (std::size_t i = from; i-- > 0 && static_cast<int>(seps.size()) < k + 1;)
        if (text[i] == '\n')
            seps.push_back(i);
    Found f{1, 0, static_cast<off_t>(from), {}};
    std::size_t count = std::min<std::size_t>(seps.size(), static_cast<std::size_t>(k));
    for (std::size_t i = count; i-- > 0;) {
        std::size_t start = i + 1 < seps.size() ? seps[i + 1] + 1 : 0;
        if (f.lines.empty())
            f.first = static_cast<off_t>(start);
        f.lines.push_back(shown(text, start, seps[i]));
    }
    return f;
}

// Up to k lines from `from` on, the last one perhaps without its newline.
Found forward(std::string_view text, std::size_t from, int k)
{
    Found f{1, static_cast<off_t>(from), static_cast<off_t>(from), {}};
    std::size_t pos = from;
    while (static_cast<int>(f.lines.size()) < k && pos < text.size()) {
        std::size_t sep = text.find('\n', pos);
        std::size_t end = sep == std::string_view::npos ? text.size() : sep;
        f.lines.push_back(shown(text, pos, end));
        pos = sep == std::string_view::npos ? text.size() : sep + 1;
    }
    f.end = static_cast<off_t>(pos);
    return f;
}

void check_same(const Found& got, const Found& wanted)
{
    FUZZ_CHECK(got.result == wanted.result);
    FUZZ_CHECK(got.lines == wanted.lines);
    FUZZ_CHECK(got.first == wanted.first && got.end == wanted.end);
}

// What a row writes: only the row's own tags; every other '<', '>' and '&'
// of the line is written as an entity.
void check_markup(const std::string& out)
{
    static const char* const tags[] = {"<tr>", "</tr>", "<td>", "</td>", "<br>"};
    static const char* const entities[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&#39;"};
    for (std::size_t i = 0; i < out.size(); ++i) {
        bool known = out[i] != '<' && out[i] != '>' && out[i] != '&';
        for (const char* tag : tags)
            if (out.compare(i, std::strlen(tag), tag) == 0) {
                i += std::strlen(tag) - 1;
                known = true;
                break;
            }
        for (const char* entity : entities)
            if (!known && out.compare(i, std::strlen(entity), entity) == 0) {
                i += std::strlen(entity) - 1;
                known = true;
                break;
            }
        FUZZ_CHECK(known);
    }
}

// Rows are written into an open page: the page's head goes first, once,
// and is not what the check looks at.
void openpage()
{
    static bool opened = false;
    if (opened)
        return;
    opened = true;
    fuzz_written([](FILE* stream) {
        FILE* saved = stdout;
        stdout = stream;
        puthtml("%s", "");
        std::fflush(stdout);
        stdout = saved;
    });
}

void check_rows(const std::vector<std::string>& lines)
{
    openpage();
    for (const std::string& line : lines) {
        for (LineFunc row : {syslogrow, acctlogrow}) {
            std::string out = fuzz_written([&](FILE* stream) {
                FILE* saved = stdout;
                stdout = stream;
                row(line);
                std::fflush(stdout);
                stdout = saved;
            });
            check_markup(out);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static const std::string path = fuzz_put("log", "");
    std::string_view text = fuzz_bytes(data, size);
    fuzz_put("log", text);
    if (text.empty()) {
        FUZZ_CHECK(pager(path, -1, -20).result == 0);
        return 0;
    }
    Found last = pager(path, -1, -20);
    check_same(last, backward(text, text.size(), 20));
    Found start = pager(path, 0, 20);
    check_same(start, forward(text, 0, 20));
    std::size_t middle = text.size() / 2;
    check_same(pager(path, static_cast<off_t>(middle), -7), backward(text, middle, 7));
    check_same(pager(path, static_cast<off_t>(middle), 7), forward(text, middle, 7));
    check_rows(last.lines);
    check_rows(start.lines);
    return 0;
}
