#include "lib/replacefile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file a rewrite of `path` replaces: the end of its chain of links.
std::string target_of(const char* path)
{
    char resolved[PATH_MAX];
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, resolved))
        return resolved;
    return path;
}

mode_t default_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Gives the fresh file the old one's owner and mode.  A chown that the
// process may not make (it does not own the old file) is left undone:
// the file then belongs to the writer, as a rewrite in place would not
// change, but it stays readable as before through the mode.
void copy_owner_and_mode(int fd, const std::string& target)
{
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        fchmod(fd, default_mode());
        return;
    }
    if (fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    fchmod(fd, st.st_mode & 07777);
}

} // namespace

int replacefile(const char* path, const std::function<int(FILE*)>& writer)
{
    std::string target = target_of(path);
    // A hidden name, so that a scan of the directory never takes the
    // fresh file for one of its own.
    std::size_t slash = target.rfind('/');
    std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    std::string fresh = target.substr(0, base) + "." + target.substr(base) + ".XXXXXX";
    int fd = mkstemp(fresh.data());
    if (fd < 0)
        return REPLACE_NOTOPEN;
    copy_owner_and_mode(fd, target);
    FILE* file = fdopen(fd, "w");
    if (!file) {
        int saved = errno;
        close(fd);
        unlink(fresh.c_str());
        errno = saved;
        return REPLACE_NOTOPEN;
    }
    errno = 0;
    bool written = writer(file) == 0 && fflush(file) == 0 && !ferror(file) && fsync(fd) == 0;
    int saved = errno ? errno : EIO;
    if (fclose(file) != 0 && written) {
        written = false;
        saved = errno;
    }
    if (!written) {
        unlink(fresh.c_str());
        errno = saved;
        return REPLACE_NOWRITE;
    }
    if (rename(fresh.c_str(), target.c_str()) != 0) {
        saved = errno;
        unlink(fresh.c_str());
        errno = saved;
        return REPLACE_NORENAME;
    }
    return REPLACE_OK;
}
