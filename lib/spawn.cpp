#include "lib/spawn.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "lib/fd.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kCommandRoom = 1024; // 1023 characters and the NUL
// How long output may be awaited once the child has ended: a daemon that
// the command started may hold the pipe open for good.
constexpr auto kAfterEnd = std::chrono::seconds(5);
// Without a pidfd, how often a running child is asked whether it has ended.
constexpr int kTickMs = 20;

// --- in the child, between fork and exec: async-signal-safe calls only ---

// Writes `format` with the text of errno to standard error and exits with
// status -1 (exit code 255).
[[noreturn, gnu::format(printf, 1, 0)]] void child_fail(const char* format)
{
    const char* reason = strerrordesc_np(errno);
    char text[256];
    // Every caller passes a literal, which the attribute checks there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(text, sizeof text, format, reason ? reason : "Unknown error");
#pragma GCC diagnostic pop
    if (n > 0)
        (void)!write(STDERR_FILENO, text, std::min(static_cast<std::size_t>(n), sizeof text - 1));
    _exit(255);
}

// A pipe end that sits in 0-2 would be clobbered by the redirections that
// follow, so it is first copied above them.
int above_stdio(int fd) { return fd > STDERR_FILENO ? fd : fcntl(fd, F_DUPFD, STDERR_FILENO + 1); }

// Makes `out` and `err` the child's standard output and error, then closes
// everything above them.
void redirect(int out, int err, const char* failure)
{
    out = above_stdio(out);
    err = above_stdio(err);
    if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
        child_fail(failure);
    close_descriptors_from(STDERR_FILENO + 1);
}

// --- in the parent ---

// A pipe whose ends are not inherited by any exec, ours or another's.
bool make_pipe(Fd& read_end, Fd& write_end)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
    return true;
}

// The read end of one of the child's streams.  Keeps the first `room`
// bytes and reads and drops the rest, so that the writer never blocks on a
// full pipe.  Closed at end of file.
struct Capture {
    Fd end;
    char* store = nullptr;
    std::size_t room = 0;
    std::size_t len = 0;

    bool open() const { return end.get() >= 0; }
    bool full() const { return len >= room; }

    // One read of what the pipe holds now; the end is non-blocking.
    void take()
    {
        char chunk[4096];
        ssize_t n = read(end.get(), chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            end.reset();
            return;
        }
        std::size_t keep = std::min(static_cast<std::size_t>(n), room - len);
        if (keep > 0)
            std::memcpy(store + len, chunk, keep);
        len += keep;
    }
};

void set_nonblocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// A caller that ignores SIGCHLD has its children reaped by the kernel,
// leaving no status to wait for; the default is restored while one child
// runs.
class ChildSignalDefault {
public:
    ChildSignalDefault()
    {
        if (sigaction(SIGCHLD, nullptr, &old_) != 0)
            return;
        bool ignored = !(old_.sa_flags & SA_SIGINFO) && old_.sa_handler == SIG_IGN;
        if (!ignored && !(old_.sa_flags & SA_NOCLDWAIT))
            return;
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        changed_ = sigaction(SIGCHLD, &dfl, nullptr) == 0;
    }
    ~ChildSignalDefault()
    {
        if (changed_)
            sigaction(SIGCHLD, &old_, nullptr);
    }
    ChildSignalDefault(const ChildSignalDefault&) = delete;
    ChildSignalDefault& operator=(const ChildSignalDefault&) = delete;

private:
    struct sigaction old_ {};
    bool changed_ = false;
};

// Our one child, reaped by its pid so that any other child of the caller
// stays the caller's.  Its end is watched through a pidfd where the kernel
// offers one, else by asking every kTickMs.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid)
    {
#ifdef SYS_pidfd_open
        pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#endif
    }

    bool ended() const { return ended_; }
    int status() const { return status_; }
    int pidfd() const { return pidfd_.get(); }

    void check() { reap(WNOHANG); }
    void wait() { reap(0); }

private:
    void reap(int options)
    {
        if (ended_)
            return;
        pid_t r;
        while ((r = waitpid(pid_, &status_, options)) < 0 && errno == EINTR) {
        }
        // ECHILD: nothing left to wait for; the status is lost, and a lost
        // status must never read as success (a fax would count as mailed).
        if (r == pid_ || r < 0)
            ended_ = true;
        if (r < 0)
            status_ = 255 << 8;
    }

    pid_t pid_;
    Fd pidfd_;
    bool ended_ = false;
    int status_ = 0;
};

int millis_until(Clock::time_point deadline)
{
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Polls the open captures (and the pidfd, when `child` is given) for at
// most `timeout_ms` (-1: no limit) and reads once from each one that is
// ready.  False when nothing became ready in time.
bool poll_once(Capture* caps, int ncaps, Child* child, int timeout_ms)
{
    pollfd fds[3];
    Capture* owner[3];
    nfds_t n = 0;
    for (int i = 0; i < ncaps; ++i)
        if (caps[i].open()) {
            owner[n] = &caps[i];
            fds[n++] = pollfd{caps[i].end.get(), POLLIN, 0};
        }
    if (child && child->pidfd() >= 0) {
        owner[n] = nullptr;
        fds[n++] = pollfd{child->pidfd(), POLLIN, 0};
    }
    int r = poll(fds, n, timeout_ms);
    if (r <= 0)
        return r < 0 && errno == EINTR;
    for (nfds_t i = 0; i < n; ++i)
        if (fds[i].revents != 0 && owner[i] != nullptr)
            owner[i]->take();
    return true;
}

bool any_open(const Capture* caps, int ncaps)
{
    return std::any_of(caps, caps + ncaps, [](const Capture& c) { return c.open(); });
}

// Reads the captures until the child has ended and been reaped.
void collect_while_running(Child& child, Capture* caps, int ncaps)
{
    while (!child.ended()) {
        if (!any_open(caps, ncaps)) {
            child.wait();
            return;
        }
        poll_once(caps, ncaps, &child, child.pidfd() >= 0 ? -1 : kTickMs);
        child.check();
    }
}

char* copy_text(const char* text)
{
    char* copy = static_cast<char*>(safecalloc(std::strlen(text) + 1, 1));
    std::strcpy(copy, text);
    return copy;
}

// The command's exit code, or 128 + the signal that ended it, as a shell
// reports it.
int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return status;
}

// The child of run_shell_merged_output: the command through /bin/sh with
// its output and error both into the pipe's write end.
[[noreturn]] void exec_shell_merged(const char* command, int read_end, int write_end)
{
    close(read_end);
    int w = above_stdio(write_end);
    if (w < 0 || dup2(w, STDOUT_FILENO) < 0)
        child_fail("Cannot run command (Dup 1 failed - %s)\n");
    if (dup2(w, STDERR_FILENO) < 0)
        child_fail("Cannot run command (Dup 2 failed - %s)\n");
    close_descriptors_from(STDERR_FILENO + 1);
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    child_fail("Cannot run command (Execv failed - %s)\n");
}

// What the child wrote is in the pipe by now; a process it left behind
// may still hold the pipe.  Waits for a first byte only as long as nothing
// came, and never past the limit, then closes the capture.  True when the
// pipe stayed open with nothing in it.
bool silent_after_end(Capture& cap)
{
    auto deadline = Clock::now() + kAfterEnd;
    while (cap.open() && !cap.full() && Clock::now() < deadline)
        if (!poll_once(&cap, 1, nullptr, cap.len > 0 ? 0 : millis_until(deadline)) && cap.len > 0)
            break;
    bool nodata = cap.open() && cap.len == 0;
    cap.end.reset();
    return nodata;
}

} // namespace

int run_shell_merged_output(const char* command, char** output)
{
    assert(command != nullptr && output != nullptr);
    *output = nullptr;
    Capture cap;
    Fd write_end;
    if (!make_pipe(cap.end, write_end)) {
        *output = copy_text("Cannot run command (pipe failed).");
        return RUN_NOPROCESS;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ChildSignalDefault sigchld;
    pid_t pid = fork();
    if (pid < 0) {
        *output = copy_text("Cannot run command (fork failed).");
        return RUN_NOPROCESS;
    }
    if (pid == 0)
        exec_shell_merged(command, cap.end.get(), write_end.get());
    write_end.reset();
    set_nonblocking(cap.end.get());
    char* buffer = static_cast<char*>(safecalloc(kCommandRoom, 1));
    cap.store = buffer;
    cap.room = kCommandRoom - 1;

    Child child(pid);
    collect_while_running(child, &cap, 1);
    int status = exit_code(child.status());

    if (silent_after_end(cap)) {
        std::strcpy(buffer, "No data within five seconds.");
        if (status == 0)
            status = RUN_NODATA;
    } else if (cap.len == 0) {
        if (status == 0) {
            std::free(buffer);
            return 0;
        }
        std::snprintf(buffer, kCommandRoom, "Unknown error running command. (%x)",
                      static_cast<unsigned>(status));
    }
    *output = buffer;
    return status;
}

int run_program_split_output(const char* path, char* const argv[], char* out, char* err,
                             std::size_t size)
{
    assert(path != nullptr && argv != nullptr);
    Capture caps[2];
    Fd out_write, err_write;
    if (!make_pipe(caps[0].end, out_write) || !make_pipe(caps[1].end, err_write))
        return RUN_NOPIPE;
    std::fflush(stdout);
    std::fflush(stderr);
    ChildSignalDefault sigchld;
    pid_t pid = fork();
    if (pid < 0)
        return RUN_NOFORK;
    if (pid == 0) {
        close(caps[0].end.get());
        close(caps[1].end.get());
        redirect(out_write.get(), err_write.get(), "Cannot run command (Dup failed - %s)\n");
        execv(path, argv);
        child_fail("Cannot run command (Execv failed - %s)\n");
    }
    out_write.reset();
    err_write.reset();
    char* stores[2] = {out, err};
    for (int i = 0; i < 2; ++i) {
        set_nonblocking(caps[i].end.get());
        caps[i].store = stores[i];
        caps[i].room = size > 0 && stores[i] != nullptr ? size - 1 : 0;
    }

    Child child(pid);
    collect_while_running(child, caps, 2);
    // Read to the end, but a process left behind holding the pipes open
    // does not keep the caller past the limit.
    auto deadline = Clock::now() + kAfterEnd;
    while (any_open(caps, 2) && Clock::now() < deadline)
        poll_once(caps, 2, nullptr, millis_until(deadline));

    for (int i = 0; i < 2; ++i)
        if (size > 0 && stores[i] != nullptr)
            stores[i][caps[i].len] = '\0';
    return child.status();
}

namespace {

[[noreturn]] void out_of_memory()
{
    static const char text[] = "\r\n***** CATASTROPHIC ERROR - Not enough memory. *****\r\n";
    for (int i = 0; i < 10; ++i)
        (void)!write(STDERR_FILENO, text, sizeof text - 1);
    std::abort();
}

} // namespace

void* safecalloc(std::size_t count, std::size_t size)
{
    // A zero size is a valid request, not a failure.
    void* p = count == 0 || size == 0 ? std::calloc(1, 1) : std::calloc(count, size);
    if (p == nullptr)
        out_of_memory();
    return p;
}

void* safemalloc(std::size_t size)
{
    void* p = std::malloc(size > 0 ? size : 1);
    if (p == nullptr)
        out_of_memory();
    return p;
}
