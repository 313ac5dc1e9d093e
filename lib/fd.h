// fd: a file descriptor that is closed when it goes out of scope, on every
// exit path (closing also drops the process's fcntl locks on the file).
#pragma once

#include <unistd.h>

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};
