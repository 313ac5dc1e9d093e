// fullio: whole transfers through signals and short transfers, at the
// descriptor's offset and at given ones, and the codes of the ways a
// transfer stops early.
#include "lib/fullio.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

volatile sig_atomic_t alarms = 0;

void count_alarm(int) { alarms = alarms + 1; }

// A signal every 100 microseconds, not restarting the calls it interrupts.
void interrupt_often()
{
    struct sigaction action {};
    action.sa_handler = count_alarm;
    sigaction(SIGALRM, &action, nullptr);
    itimerval every{{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &every, nullptr);
}

void stop_interrupting()
{
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
}

} // namespace

// A pipe holds far less than the bytes sent, so the writer's calls end
// short (or with EINTR) when a signal lands, and the reader's come back
// with what the pipe held.
TEST(FullioTest, PipeTransfersSurviveSignalsAndShortCalls)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        constexpr std::size_t kSize = 4 << 20;
        std::string sent(kSize, '\0');
        for (std::size_t i = 0; i < kSize; ++i)
            sent[i] = static_cast<char>(i * 7 + i / 251);
        int fds[2];
        if (pipe(fds) != 0)
            return;
        pid_t writer = fork();
        if (writer == 0) {
            close(fds[0]);
            interrupt_often();
            std::size_t done = 0;
            int result = write_full(fds[1], sent.data(), sent.size(), &done);
            _exit(result == FULLIO_OK && done == kSize && alarms > 0 ? 0 : 1);
        }
        close(fds[1]);
        interrupt_often();
        std::string got(kSize, '\0');
        std::size_t done = 0;
        int whole = read_full(fds[0], got.data(), got.size(), &done);
        std::size_t more = 1;
        char extra;
        int after = read_full(fds[0], &extra, 1, &more);
        stop_interrupting();
        int status = 0;
        waitpid(writer, &status, 0);
        std::printf("read %d %d %s, then %d %zu, writer %d\n", whole, done == kSize,
                    got == sent ? "same" : "different", after, more, status);
    });
    EXPECT_EQ(r.out, "read 0 1 same, then -1 0, writer 0\n") << r.err;
}

TEST(FullioTest, OffsetsEndOfFileAndErrors)
{
    Sandbox box;
    box.write("f", "0123456789");
    int fd = open(box.path("f").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite_full(fd, "abc", 3, 4), FULLIO_OK);
    // Positional calls leave the descriptor's offset where it was.
    char head[2];
    EXPECT_EQ(read_full(fd, head, sizeof head), FULLIO_OK);
    EXPECT_EQ(std::string(head, sizeof head), "01");
    char buffer[16];
    std::size_t done = 99;
    EXPECT_EQ(pread_full(fd, buffer, sizeof buffer, 2, &done), FULLIO_SHORT);
    EXPECT_EQ(std::string(buffer, done), "23abc789");
    EXPECT_EQ(read_full(fd, buffer, 0, &done), FULLIO_OK);
    EXPECT_EQ(done, 0u);
    close(fd);

    errno = 0;
    EXPECT_EQ(read_full(fd, buffer, 1, &done), FULLIO_ERROR);
    EXPECT_EQ(errno, EBADF);
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_EQ(write_full(full, "x", 1), FULLIO_ERROR);
    EXPECT_EQ(errno, ENOSPC);
    close(full);
}
