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

std::string queued_name(const std::string& queue, int seq, int count)
{
    return queue + "/df" + std::to_string(seq) + "+" + std::to_string(count);
}

int Movetiff(const DispatchRun& run, const std::string& to)
{
    run.trace("Movetiff from '%s' to '%s'\n", run.faxpath, to.c_str());
    return link(run.faxpath, to.c_str());
}

} // namespace

Queued doqueue(const DispatchRun& run, const char* name)
{
    std::string inbox = std::string(getspooldir()) + "/inbox";
    std::string queue = inbox + "/" + name;
    run.trace("doqueue from '%s' to '%s'\n", inbox.c_str(), queue.c_str());
    if (!make_directory(inbox)) {
        logmsg(LOG_TOFILE, LOG_ERROR, run.linecode, "Cannot create inbox directory '%s' (%d)",
               inbox.c_str(), errno);
        return {};
    }
    if (!make_directory(queue)) {
        logmsg(LOG_TOFILE, LOG_ERROR, run.linecode, "Cannot create new queue '%s' (%d)",
               queue.c_str(), errno);
        return {};
    }

    Queued queued;
    std::string target;
    for (int tries = 0; tries < kQueueTries; ++tries) {
        target = queued_name(queue, run.seq, run.queuecount + queued.names);
        if (Movetiff(run, target) == 0) {
            logmsg(LOG_TOFILE, LOG_INFO, run.linecode, "Moved fax 'df%d' to '%s'", run.seq,
                   target.c_str());
            ++queued.names;
            queued.result = DELIVERY_DONE;
            return queued;
        }
        if (errno != EEXIST)
            break;
        ++queued.names;
    }
    logmsg(LOG_TOFILE, LOG_ERROR, run.linecode, "Cannot move fax to '%s'", target.c_str());
    return queued;
}
