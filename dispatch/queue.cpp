// queue: the fax's second name in a queue of the spool directory's inbox.
// Runs for other faxes may make the same directories and names at the same
// moment, so a directory someone else made is used and a name someone else
// holds is never replaced (link never overwrites).
#include <cerrno>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "dispatch/zeldispatch.h"
#include "lib/config.h"
#include "lib/log.h"

namespace {

constexpr mode_t kQueueMode = 0755;
// How many names past a taken one are tried before giving up.
constexpr int kQueueTries = 100;

// errno tells why not.
bool usable_directory(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return access(path.c_str(), R_OK | W_OK | X_OK) == 0;
}

bool make_directory(const std::string& path)
{
    if (usable_directory(path) || mkdir(path.c_str(), kQueueMode) == 0)
        return true;
    return errno == EEXIST && usable_directory(path);
}

std::string queued_name(const std::string& queue)
{
    return queue + "/df" + std::to_string(dispatch.seq) + "+" + std::to_string(dispatch.queuecount);
}

int Movetiff(const char* from, const std::string& to)
{
    dispatch_trace("Movetiff from '%s' to '%s'\n", from, to.c_str());
    return link(from, to.c_str());
}

} // namespace

int doqueue(const char* name)
{
    std::string inbox = std::string(getspooldir()) + "/inbox";
    std::string queue = inbox + "/" + name;
    dispatch_trace("doqueue from '%s' to '%s'\n", inbox.c_str(), queue.c_str());
    if (!make_directory(inbox)) {
        logmsg(LOG_TOFILE, LOG_ERROR, dispatch.linecode, "Cannot create inbox directory '%s' (%d)",
               inbox.c_str(), errno);
        return -1;
    }
    if (!make_directory(queue)) {
        logmsg(LOG_TOFILE, LOG_ERROR, dispatch.linecode, "Cannot create new queue '%s' (%d)",
               queue.c_str(), errno);
        return -1;
    }

    std::string target;
    for (int tries = 0; tries < kQueueTries; ++tries) {
        target = queued_name(queue);
        if (Movetiff(dispatch.faxpath, target) == 0) {
            logmsg(LOG_TOFILE, LOG_INFO, dispatch.linecode, "Moved fax 'df%d' to '%s'",
                   dispatch.seq, target.c_str());
            ++dispatch.delivered;
            ++dispatch.queuecount;
            return 0;
        }
        if (errno != EEXIST)
            break;
        ++dispatch.queuecount;
    }
    logmsg(LOG_TOFILE, LOG_ERROR, dispatch.linecode, "Cannot move fax to '%s'", target.c_str());
    return -1;
}
