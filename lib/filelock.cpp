#include "lib/filelock.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

int whole_file(int fd, int command, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return fcntl(fd, command, &lock);
}

} // namespace

int lock_try_write(int fd) { return whole_file(fd, F_SETLK, F_WRLCK); }
int lock_wait_write(int fd) { return whole_file(fd, F_SETLKW, F_WRLCK); }
int lock_release(int fd) { return whole_file(fd, F_SETLK, F_UNLCK); }
