#include "sys/slotrequest.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/btree.h"
#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/log.h"
#include "lib/plandump.h"

namespace {

bool exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// The spool directory of a deletion: every file of the request is reached
// from its descriptor, and names are compared with the paths that lead
// to it, as configured and as resolved.
struct Spool {
    Fd dir;
    std::string configured;
    std::string resolved;
};

std::string withoutslashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// `dir` is -1 when the spool directory cannot be opened.
void openspool(Spool& spool, const char* path)
{
    char resolved[PATH_MAX];
    if (path == nullptr)
        return;
    spool.dir.reset(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    spool.configured = withoutslashes(path);
    spool.resolved = realpath(path, resolved) != nullptr ? resolved : spool.configured;
}

// What follows `prefix` in `name` when name lies below it, else nullopt.
std::optional<std::string_view> below(std::string_view name, const std::string& prefix)
{
    if (!name.starts_with(prefix))
        return std::nullopt;
    std::string_view rest = name.substr(prefix.size());
    if (prefix != "/" && !rest.empty() && rest.front() != '/')
        return std::nullopt;
    return rest;
}

// The components of `name` below the spool directory: a relative name is
// taken from it, an absolute one must begin with one of its paths.  Empty
// and "." components go; a ".." component, which could lead out, makes
// it nullopt, as does a name elsewhere.
std::optional<std::vector<std::string>> spoolparts(const Spool& spool, std::string_view name)
{
    std::optional<std::string_view> rest = name;
    if (name.starts_with('/')) {
        rest = below(name, spool.configured);
        if (!rest)
            rest = below(name, spool.resolved);
    }
    if (!rest)
        return std::nullopt;
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= rest->size();) {
        std::size_t end = std::min(rest->find('/', at), rest->size());
        std::string_view part = rest->substr(at, end - at);
        if (part == "..")
            return std::nullopt;
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        at = end + 1;
    }
    return parts;
}

// The directory that holds the last of `parts`, opened one component at a
// time from the spool directory without following a symbolic link, so
// that none, not even one swapped in a moment ago, leads elsewhere.  The
// descriptor (O_PATH), or -1 with errno set.
int openparent(const Spool& spool, const std::vector<std::string>& parts)
{
    if (spool.dir.get() < 0 || parts.empty()) {
        errno = spool.dir.get() < 0 ? EBADF : EISDIR;
        return -1;
    }
    int dir = fcntl(spool.dir.get(), F_DUPFD_CLOEXEC, 0);
    for (std::size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
        int next = openat(dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        errno = saved;
        dir = next;
    }
    return dir;
}

void notremoving(const char* name, const StatusSlot& record, const char* why)
{
    logmsg(LOG_TOFILE, LOG_ERROR, 0, "Request %d-%d: not removing %.200s: %.200s",
           static_cast<int>(record.idmajor), record.idminor, name, why);
}

// Removes a file named in a suspended request file.  Whoever can write such
// a file (or damage it) chooses the name, so only a regular file below
// the spool directory goes, reached and unlinked through descriptors
// without following a link.  A name already gone is nothing to remove;
// every other skip is logged.
void removefile(const Spool& spool, const char* name, const StatusSlot& record)
{
    std::optional<std::vector<std::string>> parts = spoolparts(spool, name);
    if (!parts) {
        std::string why = "outside the spool directory " + spool.resolved;
        notremoving(name, record, why.c_str());
        return;
    }
    Fd dir(openparent(spool, *parts));
    struct stat st;
    if (dir.get() < 0 || fstatat(dir.get(), parts->back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        // O_NOFOLLOW | O_DIRECTORY says ENOTDIR of a link on the way.
        notremoving(name, record,
                    errno == ENOTDIR ? "a symbolic link or no directory on the way"
                                     : std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        notremoving(name, record, "not a regular file");
        return;
    }
    if (unlinkat(dir.get(), parts->back().c_str(), 0) != 0 && errno != ENOENT)
        notremoving(name, record, std::strerror(errno));
}

// Reads the suspended file into `keys` and removes it, reached like the
// files it names.  DELETE_OK, DELETE_NOREAD or DELETE_NOUNLINK.
int removesuspended(const Spool& spool, const StatusSlot& record, KeyTree& keys)
{
    char name[PATH_MAX];
    int n = std::snprintf(name, sizeof name, "destinations/%s/sf%d-%d",
                          slotfieldtext(record.phone).c_str(), static_cast<int>(record.idmajor),
                          record.idminor);
    std::optional<std::vector<std::string>> parts = spoolparts(spool, name);
    if (n < 0 || n >= PATH_MAX || !parts)
        return DELETE_NOREAD;
    Fd dir(openparent(spool, *parts));
    int fd = dir.get() < 0
                 ? -1
                 : openat(dir.get(), parts->back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "r");
    if (file == nullptr) {
        if (errno != ENOENT)
            logmsg(LOG_TOFILE, LOG_ERROR, 0, "Request %d-%d: not reading %.200s: %m",
                   static_cast<int>(record.idmajor), record.idminor, name);
        if (fd >= 0)
            close(fd);
        return DELETE_NOREAD;
    }
    keytree_read(keys, file);
    std::fclose(file);
    return unlinkat(dir.get(), parts->back().c_str(), 0) == 0 ? DELETE_OK : DELETE_NOUNLINK;
}

} // namespace

bool destinationdir(std::string_view phone)
{
    if (phone.empty() || phone.front() == '/')
        return false;
    // Only a "." or ".." component could lead out of destinations/.
    for (std::size_t at = 0; at <= phone.size();) {
        std::size_t end = std::min(phone.find('/', at), phone.size());
        std::string_view part = phone.substr(at, end - at);
        if (part == "." || part == "..")
            return false;
        at = end + 1;
    }
    return true;
}

int requestfiles(const StatusSlot* record, char* cf, char* sf)
{
    char cfbuf[PATH_MAX];
    char sfbuf[PATH_MAX];
    if (cf == nullptr)
        cf = cfbuf;
    if (sf == nullptr)
        sf = sfbuf;
    cf[0] = sf[0] = '\0';
    const char* spool = get_config("spool-directory");
    if (spool == nullptr)
        return FILES_NOPATH;
    std::string phone = slotfieldtext(record->phone);
    if (!destinationdir(phone))
        return FILES_NONE;
    int major = static_cast<int>(record->idmajor);
    int minor = record->idminor;
    int n = std::snprintf(cf, PATH_MAX, "%s/destinations/%s/cf%d-%d", spool, phone.c_str(), major,
                          minor);
    int m = std::snprintf(sf, PATH_MAX, "%s/destinations/%s/sf%d-%d", spool, phone.c_str(), major,
                          minor);
    if (n < 0 || n >= PATH_MAX || m < 0 || m >= PATH_MAX) {
        cf[0] = sf[0] = '\0';
        return FILES_NOPATH;
    }
    if (exists(cf))
        return FILES_QUEUED;
    if (exists(sf))
        return FILES_SUSPENDED;
    return FILES_NONE;
}

void wakescheduler()
{
    constexpr std::size_t kLineMax = 511; // of the state file's first line
    pid_t pid = plandump_pid(getspooldir(), kLineMax);
    if (pid > 0)
        kill(pid, SIGALRM);
}

int activaterequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH || files == FILES_NONE)
        return ACTIVATE_NOFILE;
    if (files == FILES_QUEUED)
        return ACTIVATE_QUEUED;
    if (rename(sf, cf) != 0)
        return ACTIVATE_NORENAME;
    setslotstate(entry->slot, SLOT_REACTIVATED, "-");
    wakescheduler();
    return ACTIVATE_OK;
}

int suspendrequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH || files == FILES_NONE)
        return SUSPEND_NOFILE;
    if (files == FILES_SUSPENDED)
        return SUSPEND_ALREADY;
    {
        Fd fd(open(cf, O_WRONLY | O_CLOEXEC));
        if (fd.get() < 0)
            return SUSPEND_NOTOPEN;
        // A lock held elsewhere means the scheduler is sending it right now.
        if (lock_try_write(fd.get()) != 0)
            return SUSPEND_LOCKED;
        // Renamed under the lock, which goes with the descriptor: the
        // scheduler cannot take the request between the test and the rename.
        if (rename(cf, sf) != 0)
            return SUSPEND_NORENAME;
    }
    setslotstate(entry->slot, SLOT_SUSPENDED, "-");
    return SUSPEND_OK;
}

int deleterequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH)
        return DELETE_NOPATH;
    if (files == FILES_QUEUED)
        return DELETE_QUEUED;
    if (files == FILES_SUSPENDED) {
        Spool spool;
        openspool(spool, get_config("spool-directory"));
        KeyTree keys;
        if (int r = removesuspended(spool, entry->record, keys); r != DELETE_OK)
            return r;
        if (const char* cover = keytree_lookup(keys, "retry-coversheet"))
            removefile(spool, cover, entry->record);
        for (int i = 1;; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "data-file%d", i);
            const char* data = keytree_lookup(keys, name);
            if (data == nullptr)
                break;
            removefile(spool, data, entry->record);
        }
        return DELETE_OK;
    }
    if (int r = freeslot(entry->slot); r < 0)
        return DELETE_FREESLOT + r;
    if (int r = clearslot(entry->slot); r < 0)
        return DELETE_CLEARSLOT + r;
    return DELETE_OK;
}
