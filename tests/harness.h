// harness: what the tests share.  A Sandbox is a fresh installation tree in
// a temporary directory (configuration file, users file, spool directory
// with an existing log file, tmp/, dev/console), removed again when the
// Sandbox goes.  Built programs run in it as children with ZEL_ROOT
// pointing at it, with a given environment, argument list and standard
// input; their exit status, standard output and standard error come back
// as bytes.  SandboxTest is the fixture of tests that run in one sandbox,
// and the small helpers below are what several test files read or make.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <gtest/gtest.h>

struct RunResult {
    int status = -1; // exit status; 128 + the signal number when killed
    std::string out; // standard output
    std::string err; // standard error
};

struct RunOptions {
    std::vector<std::string> args;      // the arguments after argv[0]
    std::vector<std::string> env;       // NAME=value, over the defaults
    std::string input;                  // standard input
    std::string argv0;                  // default: the program's path
    bool sandbox_root = true;           // set ZEL_ROOT to the sandbox
    bool close_stderr = false;          // start with descriptor 2 closed
    uid_t uid = static_cast<uid_t>(-1); // run as this user (needs root)
    gid_t gid = static_cast<gid_t>(-1);
    rlim_t file_size_limit = RLIM_INFINITY; // RLIMIT_FSIZE, in bytes
};

// The path of a program built with the tests (build/bin/<name>).
std::string program_path(std::string_view name);

// A stand-in tool built with the tests (build/tools/<name>).
std::string tool_path(std::string_view name);

// A file of the source tree (the stand-in tools, for instance).
std::string source_path(std::string_view relative);

// Whether the tests run as root (file permissions then do not stop reads).
bool running_as_root();

// `program` itself when every user may reach and run it, else a copy that
// every user may run (made once per test process, removed at its exit):
// a clone in a private directory (mode 0700, as a home directory is) must
// still let its programs run as another user.
std::string reachable(const std::string& program);

class Sandbox {
public:
    Sandbox();
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    const std::string& root() const { return root_; }
    std::string path(std::string_view relative) const;

    void write(std::string_view relative, std::string_view bytes, mode_t mode = 0644) const;
    // Puts `program` at `relative`, as a link to what reachable() gives.
    void link_program(const std::string& program, std::string_view relative) const;
    std::string read(std::string_view relative) const;
    bool exists(std::string_view relative) const;
    void remove(std::string_view relative) const;

    // The configuration file, relative to the root, and its first content.
    static constexpr const char* kConfig = "etc/opt/vantrel/vantrel.conf";
    static constexpr const char* kUsers = "opt/vantrel/etc/users";
    static constexpr const char* kLog = "var/opt/vantrel/log";
    std::string default_config() const;
    // Writes the configuration file: its first content and `extra` lines.
    void configure(std::string_view extra) const;

    // Runs a program (see program_path) in the sandbox; as another user
    // (options.uid), what reachable() gives for it.
    RunResult run(const std::string& program, const RunOptions& options = {}) const;

    // Runs `body` in a forked child of the test (ZEL_ROOT set to the
    // sandbox, standard input empty); the child exits 0 when body returns.
    RunResult run_forked(const std::function<void()>& body) const;

private:
    std::string root_;
};

// Sandbox::run_forked with `dir` for the sandbox, for a child that needs
// no installation.
RunResult run_forked_in(const std::string& dir, const std::function<void()>& body);

// A test in a fresh sandbox installation.
class SandboxTest : public testing::Test {
protected:
    void configure(std::string_view extra) const { box.configure(extra); }

    Sandbox box;
};

// The user "nobody", for runs without privileges.
constexpr uid_t kNobody = 65534;

// The pid of a process that has ended and been reaped.
pid_t endedpid();

// stat() of `path`; a failure is a test failure.
struct stat status_of(const std::string& path);

// The names in directory `dir`, sorted.
std::vector<std::string> entries(const std::string& dir);

// The little-endian number at `at` in `bytes`.
unsigned le16(const std::string& bytes, std::size_t at);
std::uint32_t le32(const std::string& bytes, std::size_t at);

// What a shell command writes to standard output.
std::string shell_output(const std::string& command);

// Whether a program of that name is on PATH.
bool have_program(const char* name);

// The lines of `text` (each without its newline).
std::vector<std::string> lines_of(const std::string& text);
