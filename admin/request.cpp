#include "admin/request.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

#include "lib/log.h"
#include "www/tempfiles.h"
#include "www/wwwauth.h"
#include "www/wwwputhtml.h"

namespace {

struct Request {
    LoginMode loginmode = LOGIN_NPH;
    bool rawstatus = false;
    bool debug = false;
    // The process that set the status, the only one to write it at exit.
    pid_t statusowner = 0;
    bool cleanupregistered = false;
    void (*homepage)() = nullptr;
};
Request request;

// An answer that ends without a page of its own (a fatal error) still
// gets the status line it was given, and the header lines every answer
// carries; a forked child writes none.
void flushstatus()
{
    if (getpid() == request.statusowner)
        putheaders();
}

} // namespace

const char* request_path()
{
    const char* path = getenv("PATH_INFO");
    return path ? path : "";
}

bool request_ispost()
{
    const char* method = getenv("REQUEST_METHOD");
    return method && strcmp(method, "POST") == 0;
}

LoginMode request_loginmode() { return request.loginmode; }
void request_setloginmode(LoginMode mode) { request.loginmode = mode; }

bool request_rawstatus() { return request.rawstatus; }
void request_setrawstatus(bool raw) { request.rawstatus = raw; }

void request_status(const char* status)
{
    if (!statusset()) {
        request.statusowner = getpid();
        std::atexit(flushstatus);
    }
    setstatus(status, request.rawstatus);
}

bool request_debug() { return request.debug; }
void request_setdebug(bool debug) { request.debug = debug; }

void request_removeuploads()
{
    if (!request.debug)
        removetempfiles();
}

// Uploads live in a shared directory: whichever way the request ends
// (a refused privilege, a fatal error, a failed decode), they go with it
// unless debug mode keeps them.
void request_removeuploads_atexit()
{
    if (request.cleanupregistered)
        return;
    request.cleanupregistered = true;
    std::atexit(request_removeuploads);
}

void fatalerror(const char* message)
{
    logmsg(LOG_TOFILE | LOG_TOECHO, LOG_FATAL, 0, "%s", message);
    exit(1);
}

void HXsecurity(const char* privilege)
{
    if (hasprivilege(privilege))
        return;
    // Where the program signs users in, a refusal is told as one.
    if (request.loginmode != LOGIN_NPH)
        request_status("403 Forbidden");
    putpagehead("Vantrel Image Messaging Software - Security Violation");
    putbanner("HXsecurity");
    putline(
        "<h1>Security Violation</h1><p>You do not have sufficient privileges to access this administrative function.");
    putfooter();
    exit(1);
}

void FXcatastrophe(int condition, const char* file, int line)
{
    if (condition)
        return;
    putpagehead("Vantrel Image Messaging Software - Catatrophic Internal Failure");
    putbanner("FXcatastrophe");
    puthtml(
        "<h1>Catastrophic Internal Failure</h1><p>Please contact Vantrel Technical Support. File %s, line %d",
        file ? file : "Null", line);
    putfooter();
    exit(1);
}

void request_sethomepage(void (*page)()) { request.homepage = page; }

void gohome()
{
    if (request.homepage)
        request.homepage();
}
