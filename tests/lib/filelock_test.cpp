#include "lib/filelock.h"

#include <cstdio>
#include <limits>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

// A child process that takes the write lock on `path`, reports on a pipe
// and holds it until told to go.
struct Holder {
    pid_t pid = -1;
    int go[2];

    explicit Holder(const std::string& path)
    {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        EXPECT_EQ(pipe(go), 0);
        pid = fork();
        if (pid == 0) {
            int fd = open(path.c_str(), O_RDWR);
            char c = lock_wait_write(fd) == 0 ? 'y' : 'n';
            (void)!write(ready[1], &c, 1);
            (void)!read(go[0], &c, 1);
            _exit(0);
        }
        char c = 0;
        EXPECT_EQ(read(ready[0], &c, 1), 1);
        EXPECT_EQ(c, 'y');
        close(ready[0]);
        close(ready[1]);
    }
    void release()
    {
        if (pid < 0)
            return;
        (void)!write(go[1], "x", 1);
        waitpid(pid, nullptr, 0);
        close(go[0]);
        close(go[1]);
        pid = -1;
    }
    ~Holder() { release(); }
};

} // namespace

TEST(FilelockTest, TryFailsWhileAnotherProcessHoldsTheLock)
{
    Sandbox box;
    box.write("status.bm", std::string(32, '\0'));
    std::string path = box.path("status.bm");
    int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    {
        Holder holder(path);
        EXPECT_EQ(lock_try_write(fd), -1);
        holder.release();
        EXPECT_EQ(lock_try_write(fd), 0);
        EXPECT_EQ(lock_release(fd), 0);
    }
    close(fd);
}

TEST(FilelockTest, WaitReturnsWhenTheHolderLetsGo)
{
    Sandbox box;
    box.write("status.bm", "bitmap");
    std::string path = box.path("status.bm");
    Holder holder(path);
    pid_t releaser = fork();
    if (releaser == 0) {
        usleep(100 * 1000);
        (void)!write(holder.go[1], "x", 1);
        _exit(0);
    }
    int fd = open(path.c_str(), O_RDWR);
    EXPECT_EQ(lock_wait_write(fd), 0); // granted once the holder exits
    EXPECT_EQ(lock_release(fd), 0);
    close(fd);
    waitpid(releaser, nullptr, 0);
    holder.release();
}

// lock_path holds the lock of the file the path names when it returns: one
// renamed over the path while it waited sends it to the new file, and the
// holder's opening and closing the file again meanwhile (a reader by path)
// does not let go.  Either fault would have the waiter read "old".
TEST(FilelockTest, LockPathFollowsAReplacedFileAndKeepsItsLock)
{
    Sandbox box;
    box.write("users", "old\n");
    box.write("users.new", "new\n");
    std::string path = box.path("users");
    int fd = lock_path(path.c_str());
    ASSERT_GE(fd, 0);
    int ready[2], seen[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(seen), 0);
    pid_t waiter = fork();
    if (waiter == 0) {
        close(fd); // the lock belongs to the open file, which a fork shares
        (void)!write(ready[1], "x", 1);
        int locked = lock_path(path.c_str());
        char text[8] = {};
        ssize_t n = locked < 0 ? -1 : read(locked, text, sizeof text - 1);
        (void)!write(seen[1], n > 0 ? text : "failed", n > 0 ? static_cast<std::size_t>(n) : 6);
        _exit(0);
    }
    close(seen[1]);
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    usleep(100 * 1000);
    close(open(path.c_str(), O_RDONLY));
    usleep(50 * 1000);
    ASSERT_EQ(rename(box.path("users.new").c_str(), path.c_str()), 0);
    close(fd);
    char text[8] = {};
    EXPECT_EQ(read(seen[0], text, sizeof text - 1), 4);
    EXPECT_STREQ(text, "new\n");
    waitpid(waiter, nullptr, 0);
    for (int end : {ready[0], ready[1], seen[0]})
        close(end);
    EXPECT_EQ(lock_path(box.path("missing").c_str()), LOCK_NOFILE);
    EXPECT_EQ(lock_path(box.root().c_str()), LOCK_NOTOPEN);
}

// A writer that waits for the readers holding the shared lock goes before
// the readers that come after it, so that a stream of readers whose turns
// overlap cannot keep an update waiting for ever.
TEST(FilelockTest, AWaitingWriterGoesBeforeLaterReaders)
{
    Sandbox box;
    box.write("users", "x\n");
    std::string path = box.path("users");
    int first = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(lock_wait_read(first), 0);
    int order[2], go[2];
    ASSERT_EQ(pipe(order), 0);
    ASSERT_EQ(pipe(go), 0);
    auto child = [&](bool writes) {
        pid_t pid = fork();
        if (pid == 0) {
            close(first);
            int fd = writes ? lock_path(path.c_str()) : open(path.c_str(), O_RDONLY);
            if (writes || lock_wait_read(fd) == 0)
                (void)!write(order[1], writes ? "w" : "r", 1);
            char c;
            if (writes)
                (void)!read(go[0], &c, 1);
            _exit(0);
        }
        return pid;
    };
    pid_t writer = child(true);
    // The writer waits once it holds the byte that later readers must pass.
    struct flock probe {};
    for (int i = 0; i < 5000 && probe.l_type != F_WRLCK; ++i) {
        usleep(1000);
        probe = {};
        probe.l_type = F_RDLCK;
        probe.l_whence = SEEK_SET;
        probe.l_start = std::numeric_limits<off_t>::max() - 1;
        probe.l_len = 1;
        ASSERT_EQ(fcntl(first, F_OFD_GETLK, &probe), 0);
    }
    ASSERT_EQ(probe.l_type, F_WRLCK);
    pid_t reader = child(false);
    pollfd none{order[0], POLLIN, 0};
    EXPECT_EQ(poll(&none, 1, 300), 0); // the later reader waits too
    close(first);
    char seen[3] = {};
    EXPECT_EQ(read(order[0], seen, 1), 1);
    (void)!write(go[1], "x", 1);
    EXPECT_EQ(read(order[0], seen + 1, 1), 1);
    EXPECT_STREQ(seen, "wr");
    waitpid(writer, nullptr, 0);
    waitpid(reader, nullptr, 0);
    for (int end : {order[0], order[1], go[0], go[1]})
        close(end);
}
