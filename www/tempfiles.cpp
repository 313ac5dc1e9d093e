#include "www/tempfiles.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Temporary files of this process, removed together: by removetempfiles,
// or by the handler of a signal that ends the process.  The handler may
// only read what it finds in place, so the names are fixed buffers in the
// directory held open, and the list changes with those signals held.
constexpr std::size_t TEMPNAME_SIZE = sizeof "mm.XXXXXX";
struct TempFiles {
    char names[MIME_TEMPFILES_MAX][TEMPNAME_SIZE];
    volatile sig_atomic_t count = 0;
    int dirfd = -1;
    std::string dir;       // the directory's path, for the fields' values
    pid_t owner = 0;       // the process that made them
    bool catching = false; // the handlers are set
    bool swept = false;    // the old files are gone
};
TempFiles temps;

// Six characters for a new name: from the kernel's random source, or, should
// that fail, from the clock, the process and a counter; a name that exists
// is never reused, only the next one tried.
std::string randomsuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static unsigned long counter = 0;
    unsigned char bytes[6];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        unsigned long x = static_cast<unsigned long>(std::time(nullptr)) ^
                          (static_cast<unsigned long>(getpid()) << 16) ^ (++counter * 2654435761UL);
        for (unsigned char& b : bytes) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            b = static_cast<unsigned char>(x);
        }
    }
    std::string suffix;
    for (unsigned char b : bytes)
        suffix += letters[b % (sizeof letters - 1)];
    return suffix;
}

// The signals a web server ends a request with (time-outs, a client gone).
constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGHUP, SIGINT, SIGPIPE};

sigset_t endingsignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS)
        sigaddset(&set, sig);
    return set;
}

// Keeps the ending signals off while the list changes, so that their
// handler never sees a name whose file is not (or no longer) ours.
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set = endingsignals();
        sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t old_;
};

// Async-signal-safe calls only: the files go, then the process dies of the
// signal as it would have without the handler.
extern "C" void removeandraise(int sig)
{
    if (getpid() == temps.owner)
        for (sig_atomic_t i = 0; i < temps.count; ++i)
            unlinkat(temps.dirfd, temps.names[i], 0);
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
}

// Only where a signal would end the process anyway: one the web server
// ignores, or that has a handler of its own, keeps it.
void catchsignals()
{
    if (temps.catching)
        return;
    temps.catching = true;
    struct sigaction action {};
    action.sa_handler = removeandraise;
    action.sa_mask = endingsignals();
    for (int sig : ENDING_SIGNALS) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_DFL &&
            (old.sa_flags & SA_SIGINFO) == 0)
            sigaction(sig, &action, nullptr);
    }
}

// The directory the files are made in, held open.  One with files in it
// stays the process's directory until they are removed.
bool opentempdir(const std::string& dir)
{
    if (temps.dirfd >= 0 && (temps.dir == dir || temps.count > 0))
        return true;
    if (temps.dirfd >= 0)
        close(temps.dirfd);
    temps.dirfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (temps.dirfd < 0)
        return false;
    temps.dir = dir;
    catchsignals();
    return true;
}

// A name this module gives: "mm." and six letters or digits.
bool tempname(const char* name)
{
    if (std::strncmp(name, "mm.", 3) != 0 || std::strlen(name) != TEMPNAME_SIZE - 1)
        return false;
    for (const char* p = name + 3; *p != '\0'; ++p)
        if (!std::isalnum(static_cast<unsigned char>(*p)))
            return false;
    return true;
}

} // namespace

// The directory is shared, so an existing name or a planted link is never
// opened, and only the owner may read what was posted.
int createtempfile(const std::string& dir, TempFile* file)
{
    if (!opentempdir(dir))
        return TEMPFILE_CANNOT;
    if (temps.count >= static_cast<sig_atomic_t>(MIME_TEMPFILES_MAX))
        return TEMPFILE_TOOMANY;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix = randomsuffix();
        SignalsHeld held;
        char* name = temps.names[temps.count];
        std::memcpy(name, "mm.", 3);
        std::memcpy(name + 3, suffix.data(), TEMPNAME_SIZE - 4);
        name[TEMPNAME_SIZE - 1] = '\0';
        int fd =
            openat(temps.dirfd, name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            temps.owner = getpid();
            temps.count = temps.count + 1;
            *file = {fd, temps.dir + "/" + name};
            return TEMPFILE_OK;
        }
        if (errno != EEXIST)
            break;
    }
    return TEMPFILE_CANNOT;
}

// A process killed outright (SIGKILL) leaves its files: those of the
// running user that are older than any request may take go.
void sweeptempfiles(const std::string& dirpath)
{
    if (temps.swept)
        return;
    temps.swept = true;
    int fd = open(dirpath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    time_t before = std::time(nullptr) - MIME_TEMPFILE_AGE;
    uid_t user = geteuid();
    while (const dirent* entry = readdir(dir)) {
        if ((entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) || !tempname(entry->d_name))
            continue;
        struct stat st;
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == user && st.st_mtime < before)
            unlinkat(fd, entry->d_name, 0);
    }
    closedir(dir);
}

void removetempfiles()
{
    if (getpid() != temps.owner)
        return;
    SignalsHeld held;
    for (sig_atomic_t i = 0; i < temps.count; ++i)
        unlinkat(temps.dirfd, temps.names[i], 0);
    temps.count = 0;
}

int tempfilecount() { return temps.count; }
