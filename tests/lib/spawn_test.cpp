#include "lib/spawn.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

struct Shell {
    int status;
    std::string text;
    bool null;
};

Shell shell(const std::string& command)
{
    char* out = nullptr;
    int status = run_shell_merged_output(command.c_str(), &out);
    Shell r{status, out ? out : "", out == nullptr};
    std::free(out);
    return r;
}

struct Program {
    int status;
    std::string out, err;
};

Program program(const char* path, std::initializer_list<const char*> args, std::size_t size)
{
    std::vector<char*> argv;
    for (const char* a : args)
        argv.push_back(const_cast<char*>(a));
    argv.push_back(nullptr);
    std::string out(size, '?'), err(size, '?');
    int status = run_program_split_output(path, argv.data(), out.data(), err.data(), size);
    return Program{status, out.c_str(), err.c_str()};
}

// Runs `body` in a child of the test under a time limit, so that a stall
// fails instead of hanging the run; the body reports on standard output.
std::string forked(const Sandbox& box, unsigned seconds, const std::function<void()>& body)
{
    RunResult r = box.run_forked([&] {
        alarm(seconds);
        body();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void kill_from(const std::string& pidfile)
{
    std::ifstream file(pidfile);
    pid_t pid = 0;
    if (file >> pid && pid > 0)
        kill(pid, SIGKILL);
}

const char* kMegabyte = "head -c 1048576 /dev/zero | tr '\\0' ";

} // namespace

TEST(SpawnTest, ShellFormStatusAndOutput)
{
    struct Case {
        const char* command;
        int status;
        const char* text; // null: no output
    } cases[] = {
        {"true", 0, nullptr},
        {"echo hello", 0, "hello\n"},
        {"exit 1", 1, "Unknown error running command. (1)"},
        {"echo out; echo err >&2; exit 3", 3, "out\nerr\n"},
        {"exit 200", 200, "Unknown error running command. (c8)"},
        {"kill -TERM $$", 128 + SIGTERM, "Unknown error running command. (8f)"},
    };
    for (const Case& c : cases) {
        Shell r = shell(c.command);
        EXPECT_EQ(r.status, c.status) << c.command;
        EXPECT_EQ(r.null, c.text == nullptr) << c.command;
        EXPECT_EQ(r.text, c.text ? c.text : "") << c.command;
    }
}

TEST(SpawnTest, ShellFormKeepsTheFirst1023Bytes)
{
    Shell r = shell("head -c 2000 /dev/zero | tr '\\0' x");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.text, std::string(1023, 'x'));

    // More than a pipe holds: the child must not stall on a full pipe.
    Sandbox box;
    std::string out = forked(box, 10, [] {
        Shell big = shell(std::string(kMegabyte) + "y; exit 2");
        std::printf("%d %d\n", big.status, big.text == std::string(1023, 'y'));
    });
    EXPECT_EQ(out, "2 1\n");
}

TEST(SpawnTest, ShellFormDoesNotWaitForAProcessLeftHoldingTheOutput)
{
    Sandbox box;
    std::string silent = box.path("tmp/silent.pid"), talker = box.path("tmp/talker.pid"),
                writer = box.path("tmp/writer.pid");
    std::string out = forked(box, 20, [&] {
        auto start = std::chrono::steady_clock::now();
        Shell r = shell("sleep 30 & echo $! >" + silent);
        double s = seconds_since(start);
        std::printf("%d|%s|%d\n", r.status, r.text.c_str(), s > 4.5 && s < 7);

        // Output the command wrote itself comes back at once.
        start = std::chrono::steady_clock::now();
        r = shell("echo started; sleep 30 & echo $! >" + talker);
        std::printf("%d|%s|%d\n", r.status, r.text.c_str(), seconds_since(start) < 2);

        // One that keeps writing after the command ended cannot keep the
        // caller reading.
        start = std::chrono::steady_clock::now();
        r = shell("(sleep 0.3; while :; do echo tick; done) & echo $! >" + writer);
        std::printf("%d|%.5s|%d\n", r.status, r.text.c_str(), seconds_since(start) < 4);
    });
    kill_from(silent);
    kill_from(talker);
    kill_from(writer);
    EXPECT_EQ(out, "-2|No data within five seconds.|1\n"
                   "0|started\n|1\n"
                   "0|tick\n|1\n");
}

TEST(SpawnTest, ProgramFormCapturesTheStreamsApart)
{
    Program r = program("/bin/sh", {"sh", "-c", "echo out; echo err >&2; exit 4"}, 64);
    EXPECT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 4);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");

    r = program("/bin/sh", {"sh", "-c", "echo out; echo err >&2"}, 3);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ou");
    EXPECT_EQ(r.err, "er");

    // A megabyte on each stream, standard error first: both pipes must be
    // read while the child runs.
    Sandbox box;
    std::string out = forked(box, 10, [] {
        std::string script = std::string(kMegabyte) + "e >&2; " + kMegabyte + "o";
        Program big = program("/bin/sh", {"sh", "-c", script.c_str()}, 10240);
        std::printf("%d %d %d\n", big.status, big.out == std::string(10239, 'o'),
                    big.err == std::string(10239, 'e'));
    });
    EXPECT_EQ(out, "0 1 1\n");
}

TEST(SpawnTest, ProgramFormReportsAProgramThatCannotRun)
{
    Program r = program("/nonexistent/tarnixfeg", {"tarnixfeg"}, 256);
    EXPECT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Cannot run command (Execv failed - No such file or directory)\n");

    // No path search.
    r = program("sh", {"sh", "-c", "echo ran"}, 256);
    EXPECT_EQ(WEXITSTATUS(r.status), 255);
    EXPECT_EQ(r.out, "");
}

TEST(SpawnTest, ChildrenGetOnlyTheStandardDescriptors)
{
    Sandbox box;
    std::string out = forked(box, 10, [] {
        int fd = open("/dev/null", O_RDONLY);
        int high = dup2(fd, 200);
        std::string script = "for f in " + std::to_string(fd) + " " + std::to_string(high) +
                             "; do [ ! -e /proc/self/fd/$f ] || echo $f; done";
        Shell s = shell(script);
        Program p = program("/bin/sh", {"sh", "-c", script.c_str()}, 64);
        std::printf("%d %d|%d %s|%s\n", s.status, s.null, p.status, p.out.c_str(), p.err.c_str());
    });
    EXPECT_EQ(out, "0 1|0 |\n");
}

TEST(SpawnTest, ReapsOnlyItsOwnChild)
{
    Sandbox box;
    std::string out = forked(box, 10, [] {
        pid_t other = fork();
        if (other == 0)
            _exit(7);
        // Let it end first, so that a wait for any child would take it.
        usleep(100 * 1000);
        Shell s = shell("exit 3");
        Program p = program("/bin/sh", {"sh", "-c", "exit 4"}, 8);
        int status = 0;
        pid_t w = waitpid(other, &status, 0);
        std::printf("%d %d %d %d\n", s.status, WEXITSTATUS(p.status), w == other,
                    WEXITSTATUS(status));

        // A caller that ignores SIGCHLD still gets the status, and keeps
        // its setting.
        std::signal(SIGCHLD, SIG_IGN);
        s = shell("exit 5");
        std::printf("%d %d\n", s.status, std::signal(SIGCHLD, SIG_DFL) == SIG_IGN);
    });
    EXPECT_EQ(out, "3 4 1 7\n5 1\n");
}

TEST(SpawnTest, NoPipeIsAStatus)
{
    Sandbox box;
    std::string out = forked(box, 10, [] {
        rlimit limit{16, 16};
        setrlimit(RLIMIT_NOFILE, &limit);
        while (open("/dev/null", O_RDONLY) >= 0) {
        }
        Shell s = shell("echo never");
        char o[4], e[4];
        char* argv[] = {const_cast<char*>("true"), nullptr};
        int status = run_program_split_output("/bin/true", argv, o, e, sizeof o);
        std::printf("%d|%s|%d\n", s.status, s.text.c_str(), status == RUN_NOPIPE);
    });
    EXPECT_EQ(out, "-1|Cannot run command (pipe failed).|1\n");
}

TEST(SpawnTest, AllocationNeverAnswersNull)
{
    void* a = safecalloc(0, 0);
    void* b = safemalloc(0);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    std::free(a);
    std::free(b);
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator reports a failed allocation itself";
#else
    Sandbox box;
    RunResult r = box.run_forked([] { safemalloc(SIZE_MAX); });
    EXPECT_EQ(r.status, 128 + SIGABRT);
    std::string text;
    for (int i = 0; i < 10; ++i)
        text += "\r\n***** CATASTROPHIC ERROR - Not enough memory. *****\r\n";
    EXPECT_EQ(r.err, text);
#endif
}
