// fd: the owner of a file descriptor, closed when it goes out of scope on
// every exit path (closing also drops the process's fcntl locks on the
// file), and the closing of every descriptor a child must not inherit.
// Nothing here reports a failure: a close that fails has nothing left to
// release.
#pragma once

#include <unistd.h>

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes the descriptor held, if any, and takes `fd` (-1: none).
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Closes every descriptor from `lowest` up, so that descriptors the caller
// opened without close-on-exec do not reach the program a child execs.
// Async-signal-safe: meant for the child between fork and exec.
void close_descriptors_from(int lowest);
