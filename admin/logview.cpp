#include "admin/logview.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/string.h"
#include "lib/version.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* MODULE_NAME = "zeladmin log viewers";
constexpr int PAGE_LINES = 20;
constexpr int ACCT_FIELDS = 20;

// A line of the file: [start, end), end not counting the separator.
struct Span {
    off_t start;
    off_t end;
};

// The complete lines ending at or before `from`, up to k of them, last
// first.  Reads windows backwards from `from`, every byte once; a long line
// simply takes more windows.  false on a read error.
bool search_backward(int fd, off_t from, int k, char sep, std::vector<Span>& lines, off_t& first)
{
    std::array<char, READLINES_WINDOW> window;
    // Separators found so far, nearest to `from` first; k lines need k + 1
    // of them unless the start of the file comes first.
    std::vector<off_t> seps;
    off_t pos = from; // bytes before pos are not yet searched
    int windows = READLINES_MAX_WINDOWS;
    while (static_cast<int>(seps.size()) < k + 1 && pos > 0 && windows > 0) {
        off_t at = std::max<off_t>(0, pos - READLINES_WINDOW);
        auto count = static_cast<std::size_t>(pos - at);
        if (pread_full(fd, window.data(), count, at) != FULLIO_OK)
            return false;
        --windows;
        for (std::size_t i = count; i-- > 0 && static_cast<int>(seps.size()) < k + 1;)
            if (window[i] == sep)
                seps.push_back(at + static_cast<off_t>(i));
        pos = at;
    }
    std::size_t found = std::min(seps.size(), static_cast<std::size_t>(k));
    for (std::size_t i = 0; i < found; ++i) {
        // The earliest line starts after the separator before it, at the
        // start of the file, or where the window budget ran out.
        off_t start = i + 1 < seps.size() ? seps[i + 1] + 1 : pos;
        lines.push_back({start, seps[i]});
    }
    std::reverse(lines.begin(), lines.end());
    first = lines.empty() ? pos : lines.front().start;
    return true;
}

// Up to k lines from `from` on; `end` is just after the last one.  false
// on a read error.
bool search_forward(int fd, off_t from, off_t size, int k, char sep, std::vector<Span>& lines,
                    off_t& end)
{
    std::array<char, READLINES_MAX_LINE> chunk;
    off_t pos = from;   // bytes before pos are searched
    off_t start = from; // the start of the line being searched
    off_t budget = READLINES_SCAN_LIMIT;
    while (static_cast<int>(lines.size()) < k && pos < size && budget > 0) {
        auto count =
            static_cast<std::size_t>(std::min<off_t>({size - pos, budget, off_t{chunk.size()}}));
        if (pread_full(fd, chunk.data(), count, pos) != FULLIO_OK)
            return false;
        budget -= static_cast<off_t>(count);
        std::size_t i = 0;
        while (static_cast<int>(lines.size()) < k) {
            const void* hit = memchr(chunk.data() + i, sep, count - i);
            if (!hit) {
                i = count;
                break;
            }
            auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - chunk.data());
            lines.push_back({start, pos + static_cast<off_t>(at)});
            start = pos + static_cast<off_t>(at) + 1;
            i = at + 1;
        }
        pos += static_cast<off_t>(i);
    }
    // The last line of the file without a separator, or a line longer than
    // the search may scan: it ends here, and the next page goes on from its
    // rest.
    if (static_cast<int>(lines.size()) < k && start < pos)
        lines.push_back({start, pos});
    end = pos;
    return true;
}

// ---- Rows -----------------------------------------------------------------

// The tokenizer of the system log row: like strtok, it skips a run of
// delimiters, then takes the token up to the next delimiter and steps over
// that one delimiter.
class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {}

    bool next(const char* delims, std::string_view& token)
    {
        while (pos_ < text_.size() && strchr(delims, text_[pos_]) && text_[pos_] != '\0')
            ++pos_;
        if (pos_ >= text_.size())
            return false;
        std::size_t end = pos_;
        while (end < text_.size() && !(strchr(delims, text_[end]) && text_[end] != '\0'))
            ++end;
        token = text_.substr(pos_, end - pos_);
        pos_ = end < text_.size() ? end + 1 : end;
        return true;
    }

    bool rest(std::string_view& token) { return next("", token); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

void putcell(std::string_view value) { putf("<td>%s</td>", htmlescape(value).c_str()); }

void putmessage(std::string_view message)
{
    std::string out;
    for (char c : message) {
        switch (c) {
        case '|':
            out += "<br>";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        default:
            out += c;
        }
    }
    puttext(out);
}

// A field of the accounting line, "" when the line has fewer.
struct Fields {
    std::array<char*, ACCT_FIELDS> argv{};
    int count = 0;

    const char* operator[](int i) const
    {
        return i < count ? argv[static_cast<std::size_t>(i)] : "";
    }
};

std::string withbreak(const Fields& f, int base, std::initializer_list<int> extras)
{
    std::string cell = htmlescape(f[base]);
    for (int extra : extras)
        if (!if_blank(f[extra]))
            cell += "<br>" + htmlescape(f[extra]);
    return cell;
}

// ---- Pages ----------------------------------------------------------------

struct LogPage {
    const char* title;
    const char* helpid;
    const char* heading;
    const char* file;
    LineFunc row;
    int number;
};

const LogPage syslogpage = {
    "Vantrel Image Messaging Software - System Log",
    "HXsyslog",
    "<h1>ZEL System Log</h1><table border=1><tr><th>Date</th><th>Time</th><th>Module</th>"
    "<th>PID</th><th>Message</th></tr>",
    "log",
    syslogrow,
    91,
};

const LogPage acctlogpage = {
    "Vantrel Image Messaging Software - Accounting Log",
    "HXacctlog",
    "<h1>ZEL Accounting Log</h1><table border=1><tr><th>Op</th><th>Timestamp</th><th>From</th>"
    "<th>To</th><th>Fax Line</th><th>Duration</th><th>Pages</th><th>Status</th><th>ID</th></tr>",
    "acct",
    acctlogrow,
    92,
};

// The decimal number after the first `key` in the path; `fallback` when
// there is none or no digits follow.  Out-of-range values saturate, which
// the pager then rejects as outside the file.
long long pathnumber(const char* path, const char* key, long long fallback)
{
    const char* at = strstr(path, key);
    if (!at)
        return fallback;
    const char* digits = at + strlen(key);
    char* stop = nullptr;
    long long value = strtoll(digits, &stop, 10);
    return stop == digits ? fallback : value;
}

void logpage(const LogPage& page)
{
    const char* path = getenv("PATH_INFO");
    if (!path)
        path = "";
    auto offset = static_cast<off_t>(pathnumber(path, "o=", -1));
    // A page shows at most twenty lines, whatever the path asks for.
    long long asked = pathnumber(path, "l=", -PAGE_LINES);
    int count = static_cast<int>(std::clamp<long long>(asked, -PAGE_LINES, PAGE_LINES));

    putpagehead("%s", page.title);
    putbanner(page.helpid);
    puthtml("%s", page.heading);
    LineRange range;
    int found = 0;
    const char* spool = get_config("spool-directory");
    if (!if_blank(spool)) {
        std::string file = std::string(spool) + "/" + page.file;
        found = readlines(file.c_str(), offset, count, &range, page.row, '\n');
    }
    puthtml("</table>");
    // No links when nothing could be read: an offset outside the file has
    // no neighbours to page to.
    if (found && range.first != 0)
        puthtml("<p><a href=\"$SCRIPT_NAME/Page%d/o=%lld/l=-20\">Previous 20 Lines</a>",
                page.number, static_cast<long long>(range.first));
    if (found && offset != -1 && range.end < range.size)
        puthtml("&nbsp;&nbsp;<a href=\"$SCRIPT_NAME/Page%d/o=%lld/l=20\">Next 20 Lines</a>",
                page.number, static_cast<long long>(range.end));
    if (&page == &syslogpage)
        putf("<!-- %s%s\n%s, release %s\n  -->\n", ZEL_BUILD_DATE, ZEL_BUILD_TIME, MODULE_NAME,
             ZEL_VERSION);
    putfooter();
}

} // namespace

int readlines(const char* path, off_t offset, int n, LineRange* result, LineFunc f, int separator)
{
    *result = LineRange{};
    if (!path || n == 0 || offset < -1)
        return 0;
    Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return 0;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    result->size = st.st_size;
    if (st.st_size == 0 || offset > st.st_size)
        return 0;
    char sep = separator == 0 ? '\n' : static_cast<char>(separator);
    auto k = static_cast<int>(std::min<long long>(std::llabs(n), READLINES_MAX_COUNT));

    std::vector<Span> lines;
    if (n < 0 || offset == -1) {
        off_t from = offset == -1 ? st.st_size : offset;
        if (!search_backward(fd.get(), from, k, sep, lines, result->first))
            return 0;
        result->end = from;
    } else {
        if (!search_forward(fd.get(), offset, st.st_size, k, sep, lines, result->end))
            return 0;
        result->first = offset;
    }
    result->count = static_cast<int>(lines.size());

    std::array<char, READLINES_MAX_LINE> text;
    for (const Span& line : lines) {
        auto length =
            static_cast<std::size_t>(std::min<off_t>(line.end - line.start, READLINES_MAX_LINE));
        if (pread_full(fd.get(), text.data(), length, line.start) != FULLIO_OK)
            length = 0;
        f(std::string_view(text.data(), length));
    }
    return 1;
}

void syslogrow(std::string_view line)
{
    Tokens tokens(line);
    std::string_view date, time, module, pid, skipped, message;
    if (!tokens.next(" ", date)) {
        puttext(line);
        return;
    }
    putf("<tr><td>%s</td>", htmlescape(date).c_str());
    bool whole = tokens.next(" ", time) && (putcell(time), tokens.next(" [:", module)) &&
                 (putcell(module), tokens.next(" [:,", pid)) &&
                 (putcell(pid), tokens.next(" ", skipped)) && tokens.rest(message);
    if (!whole) {
        putline("</tr>");
        return;
    }
    putline("<td>");
    putmessage(message);
    putline("</td></tr>");
}

void acctlogrow(std::string_view line)
{
    // splitargs works on a C string: the line ends at its first NUL.
    std::string buffer(line.substr(0, line.find('\0')));
    Fields f;
    f.count = splitargs(buffer.data(), f.argv.data(), ACCT_FIELDS, " \t");
    putf("<tr><td>%s</td>", htmlescape(f[0]).c_str());
    putf("<td>%s %s</td>", htmlescape(f[4]).c_str(), htmlescape(f[5]).c_str());
    putf("<td>%s</td>", withbreak(f, 1, {11}).c_str());
    putf("<td>%s</td>", withbreak(f, 3, {12, 13}).c_str());
    for (int i : {2, 6, 7, 8})
        putcell(f[i]);
    putf("<td>%s</td></tr>\n", withbreak(f, 10, {14}).c_str());
}

void HXsyslog() { logpage(syslogpage); }
void HXacctlog() { logpage(acctlogpage); }
