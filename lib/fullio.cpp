#include "lib/fullio.h"

#include <cerrno>
#include <csignal>

#include <unistd.h>

namespace {

// Calls `step(at, count)` for the bytes left until they are all moved;
// `step` returns what read(2) or write(2) would.
template <typename Step>
int transfer(std::size_t size, std::size_t* done, bool writing, Step step)
{
    std::size_t moved = 0;
    int result = FULLIO_OK;
    while (moved < size) {
        ssize_t n = step(moved, size - moved);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result = FULLIO_ERROR;
            break;
        }
        if (n == 0) {
            if (writing)
                errno = ENOSPC;
            result = FULLIO_SHORT;
            break;
        }
        moved += static_cast<std::size_t>(n);
    }
    if (done != nullptr)
        *done = moved;
    return result;
}

} // namespace

int read_full(int fd, void* buffer, std::size_t size, std::size_t* done)
{
    char* bytes = static_cast<char*>(buffer);
    return transfer(size, done, false,
                    [&](std::size_t at, std::size_t count) { return read(fd, bytes + at, count); });
}

int pread_full(int fd, void* buffer, std::size_t size, off_t offset, std::size_t* done)
{
    char* bytes = static_cast<char*>(buffer);
    return transfer(size, done, false, [&](std::size_t at, std::size_t count) {
        return pread(fd, bytes + at, count, offset + static_cast<off_t>(at));
    });
}

int write_full(int fd, const void* buffer, std::size_t size, std::size_t* done)
{
    const char* bytes = static_cast<const char*>(buffer);
    return transfer(size, done, true, [&](std::size_t at, std::size_t count) {
        return write(fd, bytes + at, count);
    });
}

int pwrite_full(int fd, const void* buffer, std::size_t size, off_t offset, std::size_t* done)
{
    const char* bytes = static_cast<const char*>(buffer);
    return transfer(size, done, true, [&](std::size_t at, std::size_t count) {
        return pwrite(fd, bytes + at, count, offset + static_cast<off_t>(at));
    });
}

namespace {

void on_size_limit(int) {}

} // namespace

void fullio_catch_size_limit()
{
    struct sigaction action {};
    action.sa_handler = on_size_limit;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGXFSZ, &action, nullptr);
}
