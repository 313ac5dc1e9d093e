#include "dispatch/zeldispatch.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/log.h"
#include "lib/paramfile.h"
#include "lib/rootpath.h"
#include "lib/trim.h"
#include "lib/ulstrcmp.h"
#include "lib/usersfile.h"
#include "lib/version.h"

namespace {

constexpr const char* kDebugSwitch = "/tmp/dispatch.dbg";
constexpr const char* kUnclaimed = "unclaimed";
// The longest line file path; the name comes from the calling side's tag.
constexpr std::size_t kPathMax = 255;

const char* shown(const char* text) { return text ? text : "(null)"; }
const char* shown_value(const char* text) { return text ? text : "-NULL-"; }

// Debug mode needs a regular file of root's or our own, opened without
// following a link: a setuid run must not append to a file that another
// user planted.  Non-blocking, so that a FIFO cannot hang the run.
bool open_debug_switch()
{
    std::string path = rootpath(kDebugSwitch);
    int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok =
        fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid());
    if (ok) {
        fcntl(fd, F_SETFL, O_APPEND);
        if (fd == STDERR_FILENO)
            return fcntl(fd, F_SETFD, 0) == 0;
        ok = dup2(fd, STDERR_FILENO) == STDERR_FILENO;
    }
    close(fd);
    return ok;
}

void trace_ids(const DispatchRun& run)
{
    run.trace("UID = %d %d\n", static_cast<int>(getuid()), static_cast<int>(geteuid()));
    run.trace("GID = %d %d\n", static_cast<int>(getgid()), static_cast<int>(getegid()));
}

// Children and files made later act with the effective ids only.
void start_privileges(DispatchRun& run)
{
    if (!open_debug_switch()) {
        int ignored = setuid(geteuid());
        ignored = setgid(getegid());
        (void)ignored;
        return;
    }
    run.debug = true;
    std::time_t now = std::time(nullptr);
    const char* when = std::ctime(&now);
    run.trace("---------- %s", when ? when : "\n");
    run.trace("SccsID = zeldispatch %s\n", ZEL_VERSION);
    run.trace("Build = %s\n", ZEL_VERSION);
    trace_ids(run);
    uid_t uid = geteuid();
    errno = 0;
    int result = setuid(uid);
    run.trace("setuid = %d %d\n", static_cast<int>(uid), result);
    run.trace("errno = %d\n", errno);
    gid_t gid = getegid();
    errno = 0;
    result = setgid(gid);
    run.trace("setgid = %d %d\n", static_cast<int>(gid), result);
    run.trace("errno = %d\n", errno);
    trace_ids(run);
    mode_t mask = umask(0);
    umask(mask);
    run.trace("umask = %o\n", static_cast<unsigned>(mask));
}

void trace_facts(const DispatchRun& run, const FaxTiffInfo& facts)
{
    std::time_t when = facts.time;
    const char* text = std::ctime(&when);
    run.trace("Processing tiff file '%s'\n", run.faxpath);
    run.trace("...Pages %d\n", facts.pages);
    run.trace("...Time %24.24s\n", text ? text : "");
    run.trace("...Duration %d\n", facts.duration);
    run.trace("...DID %s\n", shown(facts.did));
    run.trace("...TSI %s\n", shown(facts.tsi));
    run.trace("...Fax Line %s\n", shown(facts.faxline));
}

// The number after the two-letter prefix of `name` (which starts at its
// "/"); 0 when there is none.  Clamped, since the name is the caller's.
int sequence_number(const char* name)
{
    if (name == nullptr || std::strlen(name) < 4)
        return 0;
    long n = 0;
    for (const char* p = name + 3; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        n = n * 10 + (*p - '0');
        if (n > INT_MAX)
            return INT_MAX;
    }
    return static_cast<int>(n);
}

// The line name comes from the calling side: a "/" in it could name any
// file, so only a plain name inside dev/ gives a code.
int line_code(const char* faxline)
{
    if (faxline == nullptr || std::strchr(faxline, '/') != nullptr)
        return 0;
    std::string path = std::string(getconfigdir()) + "/dev/" + faxline;
    struct stat st;
    if (path.size() > kPathMax || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<int>(st.st_ino);
}

void remove_fax(const DispatchRun& run)
{
    if (unlink(run.faxpath) != 0)
        logmsg(LOG_TOFILE, LOG_ERROR, run.linecode, "Cannot remove fax '%s' (%d)", run.faxpath,
               errno);
}

void count(DispatchRun& run, int result)
{
    if (result == DELIVERY_DONE)
        ++run.delivered;
}

// The unclaimed queue keeps a second name, so the first may go.
void queue_unclaimed(DispatchRun& run)
{
    Queued queued = doqueue(run, kUnclaimed);
    run.queuecount += queued.names;
    count(run, queued.result);
    if (queued.result == DELIVERY_DONE)
        remove_fax(run);
}

int finish()
{
    logclose();
    std::fflush(stdout);
    return 0;
}

int link_mode(const char* urldelivery)
{
    if (ulstrcmp(urldelivery, "url") == 0)
        return EMAIL_LINK;
    if (ulstrcmp(urldelivery, "file+url") == 0)
        return EMAIL_LINK_AND_FILE;
    return EMAIL_ATTACH;
}

void deliver_to(DispatchRun& run, const ParamSection* user)
{
    const char* email = paramfile_get(user, USER_DELIVERY_EMAIL);
    const char* action = paramfile_get(user, USER_DELIVERY_PROGRAM);
    const char* mailformat = paramfile_get(user, USER_MAIL_FORMAT);
    const char* imageformat = paramfile_get(user, USER_IMAGE_FORMAT);
    const char* urldelivery = paramfile_get(user, USER_URL_DELIVERY);
    run.trace("DID Match on '%s'\n ... email '%s'\n ... action '%s'\n", user->name,
              shown_value(email), shown_value(action));
    if (!if_blank(action)) {
        ++run.actions;
        count(run, DoCommand(run, action));
    }
    if (!if_blank(email)) {
        ++run.actions;
        count(run, email_fax(run, email, ulstrcmp(mailformat, "html") == 0,
                             ulstrcmp(imageformat, "pdf") == 0, link_mode(urldelivery)));
    }
}

// The facts as tiffpeek made them: one malloc'd block.
struct FreeFacts {
    void operator()(FaxTiffInfo* facts) const { std::free(facts); }
};
using FaxFacts = std::unique_ptr<FaxTiffInfo, FreeFacts>;

// What a run that may start does before it reads the fax; false when it
// cannot go on (logged).
bool start(DispatchRun& run, int argc, char** argv)
{
    start_privileges(run);
    run.faxpath = argc > 0 ? argv[argc - 1] : nullptr;
    logsetprogram(argc > 0 ? argv[0] : "zeldispatch");
    config_load_or_exit();
    umask(027);
    if (chdir(getspooldir()) != 0) {
        logmsg(LOG_TOFILE | LOG_TOECHO | LOG_TOCONSOLE, LOG_FATAL, 0, "Cannot chdir to %s: %m",
               getspooldir());
        return false;
    }
    if (argc != 2 && argc != 3) {
        logmsg(LOG_TOFILE | LOG_TOECHO | LOG_TOCONSOLE, LOG_FATAL, 0,
               "Improper number of arguments.");
        logclose();
        return false;
    }
    return true;
}

// Delivers the fax of `facts` and then removes it, or queues it as
// unclaimed when nothing was delivered.
int dispatch_fax(DispatchRun& run, FaxTiffInfo& facts)
{
    run.facts = &facts;
    trace_facts(run, facts);
    const char* name = std::strrchr(run.faxpath, '/');
    run.seq = sequence_number(name);
    run.trace("Tiff file (%s) seq=%d\n", name ? name : run.faxpath, run.seq);
    trim(facts.faxline);
    run.linecode = line_code(facts.faxline);

    if (if_blank(facts.did) && if_yes(get_config("zel-unclaimed-always"), 0)) {
        run.trace("Unclaimed always enabled.\n");
        queue_unclaimed(run);
        return finish();
    }
    trim(facts.did);
    scan_users(run);

    if (run.actions == 0) {
        logmsg(LOG_TOFILE | LOG_TOECHO, LOG_INFO, 0, "No action taken on fax %s", run.faxpath);
        run.trace("No action taken on fax %s.\n", run.faxpath);
    }
    if (run.delivered > 0) {
        if (run.debug)
            run.trace("Delete tiff file (disabled).\n");
        else
            remove_fax(run);
    } else {
        run.trace("Not preserved flag.\n");
        queue_unclaimed(run);
    }
    return finish();
}

} // namespace

void DispatchRun::trace(const char* format, ...) const
{
    if (!debug)
        return;
    int saved = errno;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
    errno = saved;
}

void scan_users(DispatchRun& run)
{
    std::string path = std::string(getconfigdir()) + "/users";
    ParamSection* users = usersfile_load(path.c_str());
    if (users == nullptr) {
        logmsg(LOG_TOFILE | LOG_TOECHO | LOG_TOCONSOLE, LOG_FATAL, 0,
               "Cannot open users file (%s) %m", path.c_str());
        run.trace("Cannot open users file (%s)\n", path.c_str());
        return;
    }
    const char* did = run.facts->did;
    run.trace("Scanning %d users for DID '%s:%s'\n", paramfile_count_sections(users),
              shown(run.facts->faxline), shown(did));
    for (ParamSection* user = paramfile_match_value(users, USER_DID, did); user != nullptr;
         user = paramfile_match_value(user->next, USER_DID, did))
        deliver_to(run, user);
    paramfile_free(users);
}

int zeldispatch_main(int argc, char** argv)
{
    // A receive side that ignores SIGCHLD would hand that on through exec,
    // and the exit status of every delivery would be lost.
    signal(SIGCHLD, SIG_DFL);
    fullio_catch_size_limit();
    DispatchRun run;
    if (!start(run, argc, argv))
        return 1;
    errno = 0;
    FaxFacts facts(tiffpeek(run.faxpath));
    if (facts == nullptr) {
        int error = errno;
        logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0, "Cannot open '%s' (%d/%d).", run.faxpath,
               error, tiffpeek_error);
        return 1;
    }
    return dispatch_fax(run, *facts);
}
