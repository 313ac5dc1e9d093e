#include "lib/fd.h"

#include <sys/resource.h>
#include <sys/syscall.h>

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

void close_descriptors_from(int lowest)
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, lowest, ~0U, 0) == 0)
        return;
#endif
    // A kernel without close_range: every descriptor below the limit.
    rlimit limit{};
    rlim_t top = 65536;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        top = limit.rlim_cur;
    for (rlim_t fd = static_cast<rlim_t>(lowest); fd < top; ++fd)
        close(static_cast<int>(fd));
}
