#include "sys/itlib.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/btree.h"
#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/replacefile.h"
#include "lib/rootpath.h"
#include "lib/spawn.h"
#include "lib/string.h"

int itlib_debug = 0;

namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::string_view kRespawn = "respawn";
constexpr std::string_view kOff = "off";
constexpr std::string_view kDaemon = "lineward";

// The inittab text of this process; `loaded` is false until a read
// succeeds and again after a failed one.
std::string inittab;
bool loaded = false;

std::string inittab_path() { return rootpath("/etc/inittab"); }

bool same_char(char a, char b, bool exact)
{
    if (exact)
        return a == b;
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
}

// The first occurrence of `pattern` in `text` at or after `from`.
std::size_t find_in(std::string_view text, std::string_view pattern, std::size_t from, bool exact)
{
    if (pattern.empty() || from > text.size())
        return npos;
    for (std::size_t p = from; text.size() - p >= pattern.size(); ++p) {
        std::size_t i = 0;
        while (i < pattern.size() && same_char(text[p + i], pattern[i], exact))
            ++i;
        if (i == pattern.size())
            return p;
    }
    return npos;
}

std::size_t line_start(std::string_view text, std::size_t pos)
{
    if (pos == 0)
        return 0;
    std::size_t nl = text.rfind('\n', pos - 1);
    return nl == npos ? 0 : nl + 1;
}

std::size_t line_end(std::string_view text, std::size_t pos)
{
    std::size_t nl = text.find('\n', pos);
    return nl == npos ? text.size() : nl;
}

// Where the action field of the line starting at `start` begins: past
// its second colon.  npos for a line of fewer fields, which is no entry.
std::size_t action_field(std::string_view text, std::size_t start)
{
    std::size_t end = line_end(text, start);
    std::size_t colon = text.find(':', start);
    if (colon == npos || colon >= end)
        return npos;
    colon = text.find(':', colon + 1);
    if (colon == npos || colon >= end)
        return npos;
    return colon + 1;
}

bool action_is(std::string_view text, std::size_t action, std::string_view word)
{
    return action != npos && text.substr(action).starts_with(word);
}

// Whether the receive daemon is named between the action field and the
// occurrence at `pos`.
bool runs_daemon(std::string_view text, std::size_t action, std::size_t pos)
{
    return action != npos && action <= pos &&
           find_in(text.substr(action, pos - action), kDaemon, 0, false) != npos;
}

// Characters that continue a line or device name (':' separates inittab
// fields, so it ends one).
bool name_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr(".-+=_#", c) != nullptr;
}

// Whether the occurrence at `p` stands as a whole name: "fax-line-1" must
// not be found inside "fax-line-10", nor "ttyS1" inside "ttyS10", or a
// host with ten lines could no longer tell its first line's entry apart.
bool whole_name(std::string_view text, std::size_t p, std::string_view pattern)
{
    if (name_char(pattern.front()) && p > 0 && name_char(text[p - 1]))
        return false;
    std::size_t end = p + pattern.size();
    return !(name_char(pattern.back()) && end < text.size() && name_char(text[end]));
}

// The next occurrence at or after `from` outside comment lines, which
// init ignores (a stock inittab holds commented-out getty entries).
// Names (`whole`) are found only as whole names; the edits' texts are
// found wherever they stand.
std::size_t next_occurrence(std::string_view text, std::string_view pattern, std::size_t from,
                            bool exact, bool whole)
{
    for (std::size_t p = find_in(text, pattern, from, exact); p != npos;
         p = find_in(text, pattern, p + 1, exact))
        if (text[line_start(text, p)] != '#' && (!whole || whole_name(text, p, pattern)))
            return p;
    return npos;
}

// One search of the analysis, with its trace.
std::size_t traced_search(std::string_view pattern, std::size_t from, bool exact)
{
    std::size_t p = next_occurrence(inittab, pattern, from, exact, true);
    if (itlib_debug > 0) {
        std::string key(pattern);
        if (itlib_debug > 1)
            std::fprintf(stderr, "compare(%s) (%.30s)\n", key.c_str(), inittab.c_str() + from);
        if (p == npos)
            std::fprintf(stderr, "NOT found(%s)\n", key.c_str());
        else
            std::fprintf(stderr, "found(%s) (%.30s)\n", key.c_str(), inittab.c_str() + p);
    }
    return p;
}

std::string_view last_component(const char* path)
{
    std::string_view p(path);
    std::size_t slash = p.rfind('/');
    return slash == npos ? p : p.substr(slash + 1);
}

// Writes `text` as the new /etc/inittab and makes it the text in memory.
int commit(std::string text)
{
    int rc = replacefile(inittab_path().c_str(), [&text](FILE* file) {
        return std::fwrite(text.data(), 1, text.size(), file) == text.size() ? 0 : -1;
    });
    if (rc != REPLACE_OK)
        return -5;
    inittab = std::move(text);
    return 0;
}

// The position of the one occurrence of `text`, or -1 (none) / -2 (more).
long unique_occurrence(const char* text)
{
    if (text == nullptr)
        return -1;
    std::size_t first = next_occurrence(inittab, text, 0, true, false);
    if (first == npos)
        return -1;
    if (next_occurrence(inittab, text, first + 1, true, false) != npos)
        return -2;
    return static_cast<long>(first);
}

int switch_action(const char* text, std::string_view from, std::string_view to)
{
    long pos = unique_occurrence(text);
    if (pos < 0)
        return static_cast<int>(pos);
    std::size_t action = action_field(inittab, line_start(inittab, static_cast<std::size_t>(pos)));
    if (action_is(inittab, action, to))
        return -3;
    if (!action_is(inittab, action, from))
        return -4;
    std::string changed = inittab.substr(0, action);
    changed += to;
    changed += std::string_view(inittab).substr(action + from.size());
    return commit(std::move(changed));
}

} // namespace

unsigned long tokenvalue(long when) { return static_cast<unsigned long>(when) ^ TOKEN_MASK; }

const char* inittabtext() { return loaded ? inittab.c_str() : nullptr; }

long inittablength() { return loaded ? static_cast<long>(inittab.size()) : -1; }

int readinittab()
{
    inittab.clear();
    loaded = false;
    std::string path = inittab_path();
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -2;
    Fd closer(fd);
    std::string text;
    try {
        text.resize(static_cast<std::size_t>(st.st_size));
    } catch (const std::bad_alloc&) {
        return -3;
    } catch (const std::length_error&) {
        return -3;
    }
    if (read_full(fd, text.data(), text.size()) != FULLIO_OK)
        return -4;
    inittab = std::move(text);
    loaded = true;
    return 0;
}

// The search needs no folded copy of the text, so INITTAB_NOMEMORY is
// never the answer here.  With `exact` the text is searched as it stands:
// a case-sensitive search in a folded copy could never find "ttyS0".
int analyse_inittab(const char* device, const char* line, int exact)
{
    if (itlib_debug > 0)
        std::fprintf(stderr, "analyse_inittab(%s, %s)\n", device ? device : "(null)",
                     line ? line : "(null)");
    int count = 0;
    bool enabled = false;
    std::string_view text(inittab);
    std::string_view dev = device ? last_component(device) : std::string_view();
    if (!dev.empty()) {
        for (std::size_t p = traced_search(dev, 0, exact != 0); p != npos;
             p = traced_search(dev, p + 1, exact != 0)) {
            std::size_t action = action_field(text, line_start(text, p));
            bool daemon = runs_daemon(text, action, p);
            if (action_is(text, action, kRespawn)) {
                if (!daemon)
                    return INITTAB_GETTY;
                ++count;
                enabled = true;
            } else if (daemon) {
                ++count;
            }
        }
    }
    std::string_view name = line ? std::string_view(line) : std::string_view();
    if (!name.empty()) {
        for (std::size_t p = traced_search(name, 0, exact != 0); p != npos;
             p = traced_search(name, p + 1, exact != 0)) {
            ++count;
            if (action_is(text, action_field(text, line_start(text, p)), kRespawn))
                enabled = true;
        }
    }
    if (count == 0)
        return INITTAB_NOENTRY;
    if (count > 1)
        return INITTAB_MANY;
    return enabled ? INITTAB_ENABLED : INITTAB_DISABLED;
}

int freeinittabid()
{
    std::array<bool, 256> used{};
    std::string_view text(inittab);
    for (std::size_t start = 0; start < text.size(); start = line_end(text, start) + 1)
        if (text.substr(start).starts_with("qrt") && start + 3 < text.size())
            used[static_cast<unsigned char>(text[start + 3])] = true;
    for (const char* range :
         {"123456789", "abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ"})
        for (const char* c = range; *c != '\0'; ++c)
            if (!used[static_cast<unsigned char>(*c)])
                return *c;
    return 0;
}

int enableinittab(const char* text) { return switch_action(text, kOff, kRespawn); }

int disableinittab(const char* text) { return switch_action(text, kRespawn, kOff); }

int deleteinittab(const char* text)
{
    long pos = unique_occurrence(text);
    if (pos < 0)
        return static_cast<int>(pos);
    std::size_t start = line_start(inittab, static_cast<std::size_t>(pos));
    std::size_t end = line_end(inittab, start);
    if (end < inittab.size())
        ++end;
    std::string changed = inittab;
    changed.erase(start, end - start);
    return commit(std::move(changed));
}

int disabledevice(const char* device, int exact)
{
    std::string_view dev = device ? last_component(device) : std::string_view();
    if (dev.empty())
        return -1;
    std::string_view text(inittab);
    std::string changed;
    bool found = false;
    bool replaced = false;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = line_end(text, start);
        std::string_view line = text.substr(start, end - start);
        std::size_t action = action_field(line, 0);
        if (!line.starts_with('#') && action != npos &&
            next_occurrence(line, dev, 0, exact != 0, true) != npos) {
            found = true;
            if (!action_is(line, action, kOff)) {
                std::size_t colon = line.find(':', action);
                changed += line.substr(0, action);
                changed += kOff;
                if (colon != npos)
                    changed += line.substr(colon);
                replaced = true;
                line = {};
            }
        }
        changed += line;
        if (end < text.size())
            changed += '\n';
        start = end + 1;
    }
    if (replaced)
        return commit(std::move(changed));
    return found ? 1 : -1;
}

int lockinittab() { return lock_path(inittab_path().c_str()); }

// In place: one write with O_APPEND lands whole at the end, so no reader
// sees the old lines torn.  A last line without its newline gets one first,
// or the new entry would be glued onto it.  A write cut short (a full
// disk) is taken back: init would run the half entry.
int appendinittab(const char* entry)
{
    if (entry == nullptr || std::strchr(entry, '\n') != nullptr)
        return -1;
    int fd = open(inittab_path().c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return -1;
    }
    std::string line;
    char last = '\n';
    if (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        line = "\n";
    line += entry;
    line += '\n';
    ssize_t written = write(fd, line.data(), line.size());
    if (written != static_cast<ssize_t>(line.size())) {
        int error = written < 0 ? errno : ENOSPC;
        if (written > 0)
            (void)ftruncate(fd, st.st_size);
        close(fd);
        errno = error;
        return -1;
    }
    if (close(fd) != 0)
        return -1;
    if (loaded) {
        if (!inittab.empty() && inittab.back() != '\n')
            inittab += '\n';
        inittab += entry;
        inittab += '\n';
    }
    return 0;
}

// No shell: a configured path with blanks or shell characters is run as
// the path it is.
void runtelinit()
{
    std::string program;
    const char* configured = get_config("telinit");
    if (!if_blank(configured)) {
        program = configured;
    } else {
        for (const char* candidate : {"/sbin/telinit", "/bin/telinit", "/etc/telinit", "/sbin/init",
                                      "/bin/init", "/etc/init"}) {
            std::string path = rootpath(candidate);
            if (access(path.c_str(), F_OK) == 0) {
                program = path;
                break;
            }
        }
    }
    // init takes orders only from root; an unprivileged run tries anyway.
    if (setuid(0) != 0) {
    }
    if (program.empty())
        return;
    std::string q = "q";
    char* argv[] = {program.data(), q.data(), nullptr};
    std::array<char, 256> out{};
    std::array<char, 256> err{};
    run_program_split_output(program.c_str(), argv, out.data(), err.data(), out.size());
}

char* linedevice(const char* line)
{
    if (line == nullptr || *line == '\0' || std::strchr(line, '/') != nullptr ||
        std::strcmp(line, ".") == 0 || std::strcmp(line, "..") == 0)
        return nullptr;
    const char* dir = nullptr;
    for (const char* key : {"zel-config-directory", "config-directory", "zel-config-dir",
                            "fax-directory", "fax-dir"}) {
        dir = get_config(key);
        // A blank directory would make the path the system's own /dev.
        if (!if_blank(dir))
            break;
        dir = nullptr;
    }
    if (dir == nullptr)
        return nullptr;
    std::string path = std::string(dir) + "/dev/" + line;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return nullptr;
    KeyTree tree;
    int rc = keytree_read(tree, file);
    std::fclose(file);
    if (rc != 0)
        return nullptr;
    const char* device = keytree_lookup(tree, "device");
    return device ? strsave(device) : nullptr;
}

int fixdevice(const char* device)
{
    struct stat st;
    if (device == nullptr || stat(device, &st) != 0)
        return -1;
    if (!S_ISCHR(st.st_mode))
        return -2;
    if (chmod(device, DEVICE_MODE) != 0 || chown(device, DEVICE_UID, DEVICE_GID) != 0)
        return -3;
    return 0;
}

int checkdevice(const char* device)
{
    struct stat st;
    if (device == nullptr || stat(device, &st) != 0)
        return -1;
    int bits = 0;
    if (st.st_uid != DEVICE_UID)
        bits |= DEVICE_BADOWNER;
    if (st.st_gid != DEVICE_GID)
        bits |= DEVICE_BADGROUP;
    if (!S_ISCHR(st.st_mode))
        bits |= DEVICE_NOTCHAR;
    if ((st.st_mode & 0777) != DEVICE_MODE)
        bits |= DEVICE_BADMODE;
    return bits;
}

void settoken()
{
    // putenv keeps the buffer itself, so it must outlive every call.
    static std::array<char, 48> token{};
    std::snprintf(token.data(), token.size(), "ZELADMINTOKEN=%lu",
                  tokenvalue(static_cast<long>(std::time(nullptr))));
    putenv(token.data());
}

int checktoken()
{
    const char* value = std::getenv("ZELADMINTOKEN");
    if (value == nullptr || !std::isdigit(static_cast<unsigned char>(*value)))
        return 0;
    errno = 0;
    char* end = nullptr;
    unsigned long number = std::strtoul(value, &end, 10);
    if (*end != '\0' || errno != 0)
        return 0;
    long when = static_cast<long>(number ^ TOKEN_MASK);
    // A time before 1970 is no token, and keeps the subtraction in range.
    if (when < 0)
        return 0;
    long age = static_cast<long>(std::time(nullptr)) - when;
    // A clock set back a little must not lock the tools out, but a token
    // from far ahead would stay valid for as long as it likes.
    return age < TOKEN_LIFETIME && age >= -TOKEN_FUTURE_MAX ? 1 : 0;
}
