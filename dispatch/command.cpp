// command: delivery through an account's own program.  The fax's facts
// come from the calling machine (TSI, barcode, DID, line), so each one is
// substituted as exactly one single-quoted shell word.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "dispatch/zeldispatch.h"
#include "lib/config.h"
#include "lib/log.h"
#include "lib/trim.h"

namespace {

constexpr std::size_t kKeyMax = 31;
constexpr const char* kDefaultFaxDir = "/opt/vantrel/zel";

const FaxTiffInfo kNoFacts{0, -1, 0, 0, nullptr, nullptr, nullptr, nullptr};

// Inside single quotes the shell gives nothing a meaning but the quote
// itself, which is closed, escaped and reopened.
std::string shell_quoted(std::string_view value)
{
    std::string out = "'";
    for (char c : value)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string trimmed(const char* text)
{
    std::string value = text ? text : "";
    if (!value.empty()) {
        trim(value.data());
        value.resize(std::char_traits<char>::length(value.c_str()));
    }
    return value;
}

std::string local_time(int32_t seconds)
{
    std::time_t when = seconds;
    struct tm tm;
    char text[64];
    if (localtime_r(&when, &tm) == nullptr || std::strftime(text, sizeof text, "%c", &tm) == 0)
        return "";
    return text;
}

// The fact named `key`, unquoted; false when the key is not one.
bool fact(std::string_view key, std::string& value)
{
    const FaxTiffInfo& f = dispatch.facts ? *dispatch.facts : kNoFacts;
    if (key == "file")
        value = dispatch.faxpath ? dispatch.faxpath : "";
    else if (key == "pages")
        value = std::to_string(f.pages);
    else if (key == "duration")
        value = std::to_string(f.duration);
    else if (key == "flags")
        value = std::to_string(f.flags);
    else if (key == "time")
        value = local_time(f.time);
    else if (key == "tval")
        value = std::to_string(f.time);
    else if (key == "tsi")
        value = trimmed(f.tsi);
    else if (key == "did")
        value = trimmed(f.did);
    else if (key == "barcode")
        value = trimmed(f.barcode);
    else if (key == "faxline")
        value = trimmed(f.faxline);
    else
        return false;
    return true;
}

void set_child_path()
{
    std::string path;
    if (const char* configured = get_config("zel-dispatch-path")) {
        path = configured;
    } else {
        const char* faxdir = get_config("fax-directory");
        std::string dir = faxdir ? faxdir : kDefaultFaxDir;
        path = "/bin:/usr/bin:" + dir + "/lib:" + dir + "/bin";
    }
    setenv("PATH", path.c_str(), 1);
}

// The child gets /dev/null for its streams and no other descriptor.
[[noreturn]] void run_child(const std::string& command)
{
    logclose();
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
    close(STDERR_FILENO);
    for (int i = 0; i < 3; ++i)
        if (open("/dev/null", O_RDWR) < 0)
            _exit(127);
    if (close_range(STDERR_FILENO + 1, ~0U, 0) != 0)
        for (long fd = STDERR_FILENO + 1, n = sysconf(_SC_OPEN_MAX); fd < n; ++fd)
            close(static_cast<int>(fd));
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
}

} // namespace

bool dispatch_expand(const char* action, std::string& out)
{
    out.clear();
    for (const char* p = action; *p != '\0';) {
        if (*p != '$') {
            out += *p++;
            continue;
        }
        const char* end = p + 1;
        while (std::isalpha(static_cast<unsigned char>(*end)))
            ++end;
        std::string_view key(p + 1, static_cast<std::size_t>(end - p - 1));
        std::string value;
        if (key.size() <= kKeyMax && fact(key, value))
            out += shell_quoted(value);
        else
            out.append(p, end);
        p = end;
    }
    return out.size() <= DISPATCH_COMMAND_MAX;
}

void DoCommand(const char* action)
{
    set_child_path();
    dispatch_trace("DoCommand '%s'\n", action);
    std::string command;
    if (!dispatch_expand(action, command)) {
        // XXX: cutting the command could end it inside a quoted value, so
        // the action is not run at all and the fax stays undelivered.
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Cannot execute action '%s' (longer than %zu characters)",
               action, DISPATCH_COMMAND_MAX);
        return;
    }
    std::fflush(nullptr);
    errno = 0;
    pid_t pid = fork();
    if (pid < 0) {
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Cannot execute action '%s' (fork: %d)", action, errno);
        return;
    }
    if (pid == 0)
        run_child(command);
    dispatch_trace("DoCommand processed: '%s'\n", command.c_str());

    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited == pid && status == 0) {
        logmsg(LOG_TOFILE, LOG_INFO, 0, "Command executed (action: %s)", action);
        ++dispatch.delivered;
    } else {
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Error executing action '%s' (%d)", action, errno);
    }
}
