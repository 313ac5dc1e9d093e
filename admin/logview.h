// logview: the system log and accounting log pages, twenty lines a page
// with links backwards and forwards.  readlines finds a page's lines by
// byte offsets without reading the whole file.  Every value from a log
// line is HTML-escaped in its row.
#pragma once

#include <string_view>

#include <sys/types.h>

// What readlines found; offsets are bytes from the start of the file.
// XXX: wider than the 32 bits the pages once had, so a log past 2 GiB
// still pages correctly.
struct LineRange {
    off_t first = 0; // the start of the first line returned
    off_t end = 0;   // forward: just after the last line; backward: where the search started
    off_t size = 0;  // the file's size
    int count = 0;   // lines returned
};

// Called once per line, in file order, with the line's text (no separator,
// at most READLINES_MAX_LINE bytes).
using LineFunc = void (*)(std::string_view line);

constexpr int READLINES_WINDOW = 350;        // bytes per backward search window
constexpr int READLINES_MAX_WINDOWS = 10000; // windows one search may read
constexpr off_t READLINES_SCAN_LIMIT = off_t{READLINES_WINDOW} * READLINES_MAX_WINDOWS;
constexpr int READLINES_MAX_LINE = 8192;  // longer lines are cut
constexpr int READLINES_MAX_COUNT = 1000; // larger |n| are taken as this

// Finds up to |n| lines of the file `path` and hands each to `f`.
// offset -1 means the end of the file.  n < 0 (or offset -1) takes the
// complete lines ending at or before the offset; n > 0 the lines from the
// offset on.  A search never scans more than READLINES_SCAN_LIMIT bytes: a
// line whose start lies further back is taken from where the search
// stopped, a line whose end lies further on ends there.  `separator` 0
// means newline.  Returns 1, or 0 when nothing could be read (no file, not
// a regular file, empty, n 0, offset below -1 or past the end; `result`
// then has count 0).
int readlines(const char* path, off_t offset, int n, LineRange* result, LineFunc f,
              int separator = 0);

// One table row of each log.
void syslogrow(std::string_view line);
void acctlogrow(std::string_view line);

void HXsyslog();
void HXacctlog();
