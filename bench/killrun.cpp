// The kill test's hand: runs a program as another user and sends it
// SIGKILL after a random delay, as a web server's time-out or a crash
// would, at any moment of its run.
//
//   killrun MAX_MICROSECONDS UID GID PROGRAM [ARGUMENT...]
//
// The delay is drawn evenly from [0, MAX_MICROSECONDS); "none" lets the
// program run to its end (a run as that user).  Standard input, output
// and error and the environment are passed on.  Then writes "killed" to
// standard error when the SIGKILL ended the program, else "exit N T" (N:
// its exit status, or 128 + the signal that ended it; T: microseconds
// from its start to its end).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include <csignal>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

long random_below(long bound)
{
    unsigned long value = 0;
    if (getrandom(&value, sizeof value, 0) != static_cast<ssize_t>(sizeof value))
        value =
            static_cast<unsigned long>(std::time(nullptr)) ^ static_cast<unsigned long>(getpid());
    return bound > 0 ? static_cast<long>(value % static_cast<unsigned long>(bound)) : 0;
}

void pause_for(long microseconds)
{
    timespec left{microseconds / 1000000, (microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 5) {
        std::fputs("usage: killrun MAX_MICROSECONDS UID GID PROGRAM [ARGUMENT...]\n", stderr);
        return 2;
    }
    bool kills = std::string_view(argv[1]) != "none";
    long delay = kills ? random_below(std::strtol(argv[1], nullptr, 10)) : 0;
    auto uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
    auto gid = static_cast<gid_t>(std::strtoul(argv[3], nullptr, 10));
    // The default slack rounds every sleep up by 50 microseconds.
    prctl(PR_SET_TIMERSLACK, 1UL);
    timespec start{}, end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = fork();
    if (pid < 0)
        return 2;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(126);
        execv(argv[4], argv + 4);
        _exit(127);
    }
    if (kills) {
        pause_for(delay);
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    long took = (end.tv_sec - start.tv_sec) * 1000000 + (end.tv_nsec - start.tv_nsec) / 1000;
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        std::fputs("killed\n", stderr);
    else
        std::fprintf(stderr, "exit %d %ld\n",
                     WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), took);
    return 0;
}
