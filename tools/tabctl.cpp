// Stand-in for the fax server's line and daemon control tool, for tests and
// demos.  It works only for a caller that holds a fresh admin token, edits
// the installation's inittab with the administration program's own
// routines, and answers as the pages expect: nothing at all on success,
// one line of text (and exit 1) on failure.
//   -f L            free the line before a modem test (nothing to do)
//   -d L / -e L     switch the receive daemon of line L off / on
//   -x L            switch off whatever else init respawns on L's device
//   -a L -l ENTRY   append ENTRY to inittab (under another free identifier
//                   when its own was taken meanwhile; not when it is there)
//   -X WORD         start-font, start-dialq, stop-dialq
//   -L SCRIPT       zelin.sh, zelout.sh, zeltest.sh
// After an inittab edit init is told to re-read it.  Environment:
//   STANDIN_LOG    file that gets one line: "tabctl", then each argument
//                  in brackets
//   STANDIN_PRINT  text for standard output, then exit STANDIN_EXIT
//                  (default 1): a failure on purpose
#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/plandump.h"
#include "lib/replacefile.h"
#include "sys/itlib.h"

namespace {

// The pretend scheduler lives this long at most, so a test that never
// stops it leaves nothing behind for long.
constexpr unsigned kDialqLifetime = 600;

void record(int argc, char** argv)
{
    const char* log = std::getenv("STANDIN_LOG");
    if (log == nullptr || *log == '\0')
        return;
    std::string line = "tabctl";
    for (int i = 1; i < argc; ++i)
        line += std::string(" [") + argv[i] + "]";
    line += '\n';
    if (FILE* file = std::fopen(log, "a")) {
        std::fputs(line.c_str(), file);
        std::fclose(file);
    }
}

int failed(const char* option, const char* arg, int code)
{
    std::printf("tabctl: %s %s failed (%d)\n", option, arg, code);
    return 1;
}

std::string daemon_text(const char* line) { return std::string("lineward ") + line; }

// The edits find their text anywhere, so "lineward fax-line-1" would also
// be found in fax-line-10's entry: the entry that ends with the name is
// tried first.
template <typename Edit>
int edit_entry(const char* line, Edit edit)
{
    std::string whole = daemon_text(line) + "\n";
    int rc = edit(whole.c_str());
    return rc == -1 ? edit(daemon_text(line).c_str()) : rc;
}

// The code printed when inittab cannot be locked.
constexpr int kCannotLock = -6;

// An inittab edit on a fresh read, then init's re-read.  The lock is held
// from the read to the write, so that two edits at once never write the
// file each as it was before the other.  A missing inittab is read (and
// fails) unlocked.
template <typename Edit>
int edit_inittab(const char* option, const char* arg, Edit edit)
{
    int fd = lockinittab();
    if (fd < 0 && fd != LOCK_NOFILE)
        return failed(option, arg, kCannotLock);
    Fd lock(fd);
    int rc = readinittab();
    if (rc == 0)
        rc = edit();
    if (rc < 0)
        return failed(option, arg, rc);
    runtelinit();
    return 0;
}

// Whether the text holds `line` as one of its lines.
bool has_line(const char* text, const std::string& line)
{
    std::string lines = std::string("\n") + (text ? text : "") + "\n";
    return lines.find("\n" + line + "\n") != std::string::npos;
}

bool id_used(const char* text, char id)
{
    std::string lines = std::string("\n") + (text ? text : "");
    return lines.find(std::string("\nqrt") + id + ":") != std::string::npos;
}

// The entry as the inittab now stands: the page chose its identifier from
// an earlier read, which a concurrent append may have taken since, and the
// same line saved twice at once asks for the same entry twice.
int append_entry(const char* entry)
{
    std::string line = entry;
    const char* text = inittabtext();
    if (has_line(text, line))
        return 0;
    if (line.starts_with("qrt") && line.size() > 4 && line[4] == ':' && id_used(text, line[3])) {
        int id = freeinittabid();
        if (id == 0)
            return -1;
        line[3] = static_cast<char>(id);
    }
    return appendinittab(line.c_str());
}

std::string plandump() { return std::string(getspooldir()) + "/plandump"; }

// As the daemon page reads it.
long dialq_pid() { return plandump_pid(getspooldir(), 255); }

// The child leaves the caller's session and pipes behind: the page that
// runs us waits for its output pipe to close.
int start_dialq()
{
    long running = dialq_pid();
    if (running > 0 && kill(static_cast<pid_t>(running), 0) == 0)
        return 0;
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return failed("-X", "start-dialq", -1);
    if (pid == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3; ++fd)
            dup2(null, fd);
        close_descriptors_from(STDERR_FILENO + 1);
        for (unsigned left = kDialqLifetime; left > 0;)
            left = sleep(left);
        _exit(0);
    }
    std::string first = std::to_string(pid) + "\n";
    int rc = replacefile(plandump().c_str(),
                         [&first](FILE* file) { return std::fputs(first.c_str(), file) < 0; });
    if (rc != REPLACE_OK) {
        kill(pid, SIGTERM);
        return failed("-X", "start-dialq", rc);
    }
    return 0;
}

int stop_dialq()
{
    long pid = dialq_pid();
    if (pid <= 0)
        return failed("-X", "stop-dialq", -1);
    kill(static_cast<pid_t>(pid), SIGTERM);
    unlink(plandump().c_str());
    return 0;
}

int daemon_control(const char* word)
{
    if (std::strcmp(word, "start-font") == 0)
        return 0;
    if (std::strcmp(word, "start-dialq") == 0)
        return start_dialq();
    if (std::strcmp(word, "stop-dialq") == 0)
        return stop_dialq();
    std::printf("tabctl: unknown daemon command %s\n", word);
    return 1;
}

int mail_setup(const char* script)
{
    if (std::strcmp(script, "zelin.sh") == 0 || std::strcmp(script, "zelout.sh") == 0)
        return 0;
    if (std::strcmp(script, "zeltest.sh") == 0) {
        std::fputs("Testing the mail server's hand-over of fax mail\n"
                   "alias fax: delivered to <fax-gateway>\n"
                   "Test passed.\n",
                   stdout);
        return 0;
    }
    std::printf("tabctl: unknown set-up script %s\n", script);
    return 1;
}

int usage()
{
    std::puts("tabctl: usage: tabctl -f|-d|-e|-x line | -a line -l entry | -X word | -L script");
    return 1;
}

int line_device_off(const char* line)
{
    char* device = linedevice(line);
    if (device == nullptr)
        return failed("-x", line, -1);
    int rc = edit_inittab("-x", line, [device] { return disabledevice(device, 0); });
    std::free(device);
    return rc;
}

int dispatch(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    std::string option = argv[1];
    const char* arg = argv[2];
    if (option == "-a") {
        if (argc != 5 || std::strcmp(argv[3], "-l") != 0)
            return usage();
        const char* entry = argv[4];
        return edit_inittab("-a", arg, [entry] { return append_entry(entry); });
    }
    if (argc != 3)
        return usage();
    if (option == "-f")
        return 0;
    if (option == "-d") {
        return edit_inittab("-d", arg, [arg] { return edit_entry(arg, disableinittab); });
    }
    if (option == "-e") {
        return edit_inittab("-e", arg, [arg] { return edit_entry(arg, enableinittab); });
    }
    if (option == "-x")
        return line_device_off(arg);
    if (option == "-X")
        return daemon_control(arg);
    if (option == "-L")
        return mail_setup(arg);
    return usage();
}

} // namespace

int main(int argc, char** argv)
{
    record(argc, argv);
    fullio_catch_size_limit();
    config_load_or_exit();
    if (checktoken() == 0) {
        std::puts("tabctl: permission denied (no valid admin token)");
        return 1;
    }
    if (const char* text = std::getenv("STANDIN_PRINT"); text && *text) {
        std::puts(text);
        const char* code = std::getenv("STANDIN_EXIT");
        return code ? std::atoi(code) : 1;
    }
    int rc = dispatch(argc, argv);
    std::fflush(stdout);
    return rc;
}
