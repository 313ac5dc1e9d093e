#include "lib/configfile.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/replacefile.h"
#include "lib/rootpath.h"

namespace {

// The first of `paths` that opens for reading as a file; null when none
// does.  A directory opens too, but reads as nothing.  Read as the
// start-up reads it (lib/replacefile), never half rewritten.
FILE* openconfig(std::initializer_list<const char*> paths)
{
    for (const char* path : paths) {
        int fd = replacefile_open_read(rootpath(path).c_str());
        FILE* file = fd < 0 ? nullptr : fdopen(fd, "r");
        if (file == nullptr) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        struct stat st;
        if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode))
            return file;
        std::fclose(file);
    }
    return nullptr;
}

} // namespace

bool config_reread(std::initializer_list<const char*> paths)
{
    FILE* file = openconfig(paths);
    if (file == nullptr)
        return false;
    keytree_read(config_tree(), file);
    std::fclose(file);
    return true;
}

namespace {

// How often the search for the file to lock starts again because the
// files changed while it waited; past that the update is refused.
constexpr int kLockRounds = 100;

bool regular_file(const char* fixed)
{
    struct stat st;
    return stat(rootpath(fixed).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

// One of the paths before the file locked that was missing and appeared
// while this one waited for its lock (an update created the first path)
// sends the search round again, so that the file locked is always the one
// the update reads.
LockedConfig lockconfig()
{
    const std::initializer_list<const char*> paths = {CONFIG_MAIN, CONFIG_OLD};
    for (int round = 0; round < kLockRounds; ++round) {
        std::vector<const char*> missing;
        bool again = false;
        for (const char* fixed : paths) {
            int fd = lock_path(rootpath(fixed).c_str());
            if (fd == LOCK_REFUSED)
                return {-1, errno};
            if (fd == LOCK_NOFILE)
                missing.push_back(fixed);
            struct stat st;
            if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
                close(fd);
                fd = -1;
            }
            if (fd < 0)
                continue;
            for (const char* earlier : missing)
                again = again || regular_file(earlier);
            if (!again)
                return {fd, 0};
            close(fd);
            break;
        }
        if (!again)
            return {};
    }
    return {-1, EAGAIN};
}

int keytree_read_locked(int fd, KeyTree& into)
{
    FILE* file = lock_reader(fd);
    if (file == nullptr)
        return 1;
    int bad = keytree_read(into, file);
    std::fclose(file);
    return bad;
}

int writeconfig()
{
    int error = ENOENT;
    for (const char* fixed : {CONFIG_MAIN, CONFIG_OLD}) {
        std::string path = rootpath(fixed);
        // The rewrite replaces the file, which its own mode would not allow
        // in place: a file made read-only is as unwritable as before.
        if (access(path.c_str(), F_OK) == 0 &&
            faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
            error = errno;
            continue;
        }
        int result = replacefile(path.c_str(),
                                 [](FILE* file) { return keytree_write(config_tree(), file); });
        if (result == REPLACE_OK)
            return 0;
        error = errno;
        if (result != REPLACE_NOTOPEN)
            return error;
    }
    return error;
}

int changeconfig(const char* key, const char* value)
{
    LockedConfig locked = lockconfig();
    Fd lock(locked.fd);
    if (locked.error != 0)
        return locked.error;
    if (lock.get() >= 0)
        keytree_read_locked(lock.get(), config_tree());
    if (keytree_set(config_tree(), key, value) == nullptr)
        return errno;
    return writeconfig();
}
