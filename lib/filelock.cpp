#include "lib/filelock.h"

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/journal.h"

namespace {

// A rewrite that is renamed over the path while we wait sends us round
// again; this many rounds mean somebody rewrites it without pause.
constexpr int kMaxReopens = 100;

// A byte far beyond any file's end that a taker of the exclusive lock
// locks first, and that a taker of the shared one must pass before it
// locks the bytes below it: a writer then waits only for the readers that
// were in before it, not for every reader that comes while it waits.
constexpr off_t kTurnstile = std::numeric_limits<off_t>::max() - 1;

// Bytes from `start` on, `length` of them (0: to the end and beyond).
int range(int fd, int command, short type, off_t start, off_t length)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    return fcntl(fd, command, &lock);
}

int whole_file(int fd, int command, short type) { return range(fd, command, type, 0, 0); }

// The open file's own lock, so that a module that opens and closes the
// file again meanwhile (a reader by path) does not drop it.  A kernel
// without such locks (EINVAL) gets the process's lock instead.
int wait_ofd(int fd, short type, off_t start = 0, off_t length = 0)
{
    for (int command : {F_OFD_SETLKW, F_SETLKW}) {
        int result;
        while ((result = range(fd, command, type, start, length)) != 0 && errno == EINTR) {
        }
        if (result == 0 || errno != EINVAL)
            return result;
    }
    return -1;
}

int exclusive(int fd, bool writable)
{
    if (writable)
        return wait_ofd(fd, F_WRLCK, kTurnstile, 1) == 0 ? wait_ofd(fd, F_WRLCK) : -1;
    // XXX: where flock is emulated by fcntl locks (NFS) it needs a
    // writable descriptor too; the shared lock alone then keeps out the
    // writers, not the other readers-only.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    return wait_ofd(fd, F_RDLCK);
}

bool mode_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

int lock_try_write(int fd) { return whole_file(fd, F_SETLK, F_WRLCK); }
int lock_wait_write(int fd) { return whole_file(fd, F_SETLKW, F_WRLCK); }
int lock_release(int fd) { return whole_file(fd, F_SETLK, F_UNLCK); }

int lock_wait_read(int fd)
{
    if (wait_ofd(fd, F_RDLCK, kTurnstile, 1) != 0)
        return -1;
    int result = wait_ofd(fd, F_RDLCK, 0, kTurnstile);
    int saved = errno;
    if (range(fd, F_OFD_SETLK, F_UNLCK, kTurnstile, 1) != 0 && errno == EINVAL)
        range(fd, F_SETLK, F_UNLCK, kTurnstile, 1);
    errno = saved;
    return result;
}

int lock_release_read(int fd)
{
    int result = whole_file(fd, F_OFD_SETLK, F_UNLCK);
    if (result != 0 && errno == EINVAL)
        result = whole_file(fd, F_SETLK, F_UNLCK);
    return result;
}

int lock_path(const char* path)
{
    for (int round = 0; round < kMaxReopens; ++round) {
        bool writable = true;
        int fd = open(path, O_RDWR | O_CLOEXEC);
        if (fd < 0 && mode_refuses(errno)) {
            writable = false;
            fd = open(path, O_RDONLY | O_CLOEXEC);
        }
        if (fd < 0)
            return errno == ENOENT ? LOCK_NOFILE : LOCK_NOTOPEN;
        if (exclusive(fd, writable) != 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return LOCK_REFUSED;
        }
        struct stat held, named;
        bool held_ok = fstat(fd, &held) == 0;
        bool named_ok = stat(path, &named) == 0;
        if (held_ok && named_ok && same_file(held, named)) {
            journal_repair(fd, held);
            return fd;
        }
        int saved = errno;
        close(fd);
        if (!named_ok && saved == ENOENT) {
            errno = ENOENT;
            return LOCK_NOFILE;
        }
    }
    errno = EAGAIN;
    return LOCK_REFUSED;
}

FILE* lock_reader(int fd)
{
    // A copy of the descriptor, whose fclose leaves the lock's own open.
    int copy = dup(fd);
    if (copy < 0)
        return nullptr;
    FILE* file = lseek(copy, 0, SEEK_SET) == 0 ? fdopen(copy, "r") : nullptr;
    if (file == nullptr) {
        int saved = errno;
        close(copy);
        errno = saved;
    }
    return file;
}
