#include "lib/log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/rootpath.h"

namespace {

constexpr std::size_t kMessageRoom = 2560; // 2559 characters and the NUL
constexpr std::size_t kRepeatLimit = 512;  // longer messages never repeat
constexpr std::size_t kErrorRoom = 128;    // logerror's text

struct LogState {
    std::string program;
    pid_t pid = 0;
    int fd = -1; // the log file, or -1
    FILE* echo = nullptr;
    std::string dateformat = "%x %X";
    std::string last; // last message written to the file
    bool have_last = false;
    int repeats = 0;
};

LogState state;

// The system's text for error number e, or null when it has none.
const char* known_error(int e) { return e > 0 ? strerrordesc_np(e) : nullptr; }

// Appends as much of `text` as fits; '%' is doubled so that the result
// stays a format that inserts the text literally.
void append_literal(std::string& out, std::string_view text)
{
    for (char c : text) {
        std::size_t need = c == '%' ? 2 : 1;
        if (out.size() + need >= kMessageRoom)
            return;
        out.append(need, c);
    }
}

// The format with every %m replaced by the text of error number e.
std::string expand_errno(const char* format, int e)
{
    std::string text;
    if (const char* known = known_error(e))
        text = known;
    else
        text = "unknown error(" + std::to_string(e) + ")";
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 'm') {
            append_literal(out, text);
            ++p;
            continue;
        }
        std::size_t need = (p[0] == '%' && p[1] != '\0') ? 2 : 1;
        if (out.size() + need >= kMessageRoom)
            break; // never cut a conversion in two
        out.append(p, need);
        p += need - 1;
    }
    return out;
}

void write_all(int fd, const std::string& bytes)
{
    // One write per line: lines of concurrent writers stay whole in an
    // append-mode file.
    (void)!write(fd, bytes.data(), bytes.size());
}

std::string timestamp()
{
    std::array<char, 64> buf{};
    std::time_t now = std::time(nullptr);
    struct tm tm;
    // The date format is the administrator's, from the configuration file.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (localtime_r(&now, &tm) == nullptr ||
        std::strftime(buf.data(), buf.size(), state.dateformat.c_str(), &tm) == 0)
        buf[0] = '\0';
#pragma GCC diagnostic pop
    return buf.data();
}

std::string prefix(const std::string& when)
{
    return when + ": " + state.program + "[" + std::to_string(state.pid);
}

void to_file(int level, int code, const std::string& message)
{
    std::string when = timestamp();
    if (message.size() < kRepeatLimit && state.have_last && message == state.last) {
        ++state.repeats;
        return;
    }
    if (state.repeats > 0) {
        write_all(state.fd, prefix(when) + "]: Above message repeated " +
                                std::to_string(state.repeats) + " times\n");
        state.repeats = 0;
    }
    state.have_last = message.size() < kRepeatLimit;
    state.last = state.have_last ? message : std::string();
    std::string line = prefix(when) + "," + std::to_string(level);
    if (code != 0)
        line += "," + std::to_string(code);
    write_all(state.fd, line + "]: " + message + "\n");
}

void to_console(const std::string& message)
{
    std::string path = rootpath("/dev/console");
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    write_all(fd, state.program + ": " + message + "\r\n");
    close(fd);
}

void vlogmsg(int flags, int level, int code, const char* format, va_list args)
{
    int saved = errno;
    std::string expanded = expand_errno(format, saved);
    std::array<char, kMessageRoom> buf;
    errno = saved;
    if (std::vsnprintf(buf.data(), buf.size(), expanded.c_str(), args) < 0)
        buf[0] = '\0';
    std::string message = buf.data();

    if ((flags & LOG_TOECHO) && state.echo != nullptr) {
        std::fprintf(state.echo, "%s: %s\n", state.program.c_str(), message.c_str());
        std::fflush(state.echo);
    }
    if (flags & LOG_TOCONSOLE)
        to_console(message);
    if ((flags & LOG_TOFILE) && state.fd >= 0)
        to_file(level, code, message);
    errno = saved;
}

} // namespace

void logsetprogram(const char* argv0)
{
    if (argv0 == nullptr)
        return;
    const char* slash = std::strrchr(argv0, '/');
    state.program = slash ? slash + 1 : argv0;
}

const char* logprogram() { return state.program.c_str(); }

void logsetpid(pid_t pid) { state.pid = pid; }

void logsetdateformat(const char* format) { state.dateformat = format ? format : "%x %X"; }

void logclose()
{
    if (state.fd >= 0)
        close(state.fd);
    state.fd = -1;
}

void logopen(const char* path)
{
    logclose();
    struct stat st;
    state.echo = fstat(STDERR_FILENO, &st) == 0 ? stderr : stdout;
    if (path == nullptr)
        return;
    // Non-blocking so that a FIFO without a reader cannot hang the run.
    int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return;
    if (fd <= STDERR_FILENO) {
        // Standard streams were closed: keep the log off descriptors 0-2 so
        // that nothing written to stderr or stdout lands in it.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        close(fd);
        fd = moved;
        if (fd < 0)
            return;
    }
    fcntl(fd, F_SETFL, O_APPEND);
    state.fd = fd;
}

void logmsg(int flags, int level, int code, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vlogmsg(flags, level, code, format, args);
    va_end(args);
}

void logerror(const char* format, ...)
{
    int saved = errno;
    std::array<char, kErrorRoom> text;
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(text.data(), text.size(), format, args) < 0)
        text[0] = '\0';
    va_end(args);

    std::string line;
    if (const char* known = known_error(saved))
        line = std::string(text.data()) + ": " + known;
    else
        line = "unknown error(" + std::to_string(saved) + "): " + text.data();
    line.resize(std::min(line.size(), kErrorRoom - 1));
    logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0, "%s", line.c_str());
    errno = 0;
}
