#include "lib/createfile.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/log.h"

namespace {

// Owner rwx always; group and others r-x when the file mode grants them
// anything, so that the file stays reachable for whoever may read it.
mode_t directory_mode(mode_t mode)
{
    mode_t dirmode = mode | 0700;
    if (mode & 0070)
        dirmode |= 0050;
    if (mode & 0007)
        dirmode |= 0005;
    return dirmode;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

} // namespace

int makedirs(const char* path, mode_t mode, uid_t uid, gid_t gid)
{
    mode_t dirmode = directory_mode(mode);
    std::string p = path;
    for (std::size_t i = 1; i < p.size(); ++i) {
        if (p[i] != '/')
            continue;
        std::string prefix = p.substr(0, i);
        if (exists(prefix))
            continue;
        if (mkdir(prefix.c_str(), dirmode) != 0) {
            logerror("mkdir %s", prefix.c_str());
            return -1;
        }
        if (chmod(prefix.c_str(), dirmode) != 0) {
            logerror("chmod 0%o %s", static_cast<unsigned>(dirmode), prefix.c_str());
            return -1;
        }
        if (chown(prefix.c_str(), uid, gid) != 0) {
            int e = errno;
            logerror("chown %d.%d %s [%d/%d %d/%d %d]", static_cast<int>(uid),
                     static_cast<int>(gid), prefix.c_str(), static_cast<int>(getuid()),
                     static_cast<int>(geteuid()), static_cast<int>(getgid()),
                     static_cast<int>(getegid()), e);
            return -1;
        }
    }
    return 0;
}

int makeparents(const char* path, mode_t mode)
{
    std::string p = path;
    std::size_t last = p.rfind('/');
    if (last == std::string::npos || exists(p.substr(0, last)))
        return 0;
    struct stat ancestor;
    if (stat(p[0] == '/' ? "/" : ".", &ancestor) != 0) {
        logerror("stat %s", p[0] == '/' ? "/" : ".");
        return -1;
    }
    for (std::size_t i = 1; i < p.size(); ++i) {
        if (p[i] != '/')
            continue;
        struct stat st;
        if (stat(p.substr(0, i).c_str(), &st) != 0)
            return makedirs(path, mode, ancestor.st_uid, ancestor.st_gid);
        ancestor = st;
    }
    return 0;
}

int createfile(const char* path, mode_t mode)
{
    makeparents(path, mode);
    int fd = creat(path, mode);
    if (fd < 0)
        logerror("%s", path);
    return fd;
}
