#include "admin/zeladmin.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "admin/daemon.h"
#include "admin/home.h"
#include "admin/lines.h"
#include "admin/logview.h"
#include "admin/queue.h"
#include "admin/request.h"
#include "admin/sysconfig.h"
#include "admin/users.h"
#include "lib/config.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/log.h"
#include "lib/rootpath.h"
#include "lib/usersfile.h"
#include "www/frommime.h"
#include "www/wwwauth.h"
#include "www/wwwinput.h"
#include "www/wwworigin.h"
#include "www/wwwputhtml.h"

namespace {

// Only this server passes raw HTTP status lines on (it runs the program
// as a non-parsed-header script), so only under it does the program speak
// HTTP and authenticate by itself.
constexpr const char* NPH_SERVER = "Mathopd/1.3pl7";

constexpr const char* CHALLENGE = "WWW-Authenticate: Basic realm=\"ZELAdmin\"\r\n";

// A request body larger than this is refused unread, whatever the path.
constexpr long long DEFAULT_MAX_BODY = 64LL << 20;

// How much of an outside value goes into a log line.
constexpr std::size_t LOG_VALUE_MAX = 200;

bool startswith(const char* text, const char* prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// No table has this number.
constexpr long NO_ENTRY = LONG_MIN;

// The number after a path's prefix, read as atol reads it; one outside the
// int range names nothing.
long pathnumber(const char* text)
{
    errno = 0;
    long number = strtol(text, nullptr, 10);
    if (errno == ERANGE || number < INT_MIN || number > INT_MAX)
        return NO_ENTRY;
    return number;
}

// ---- The dispatch tables ------------------------------------------------

struct Route {
    long number;
    void (*handler)();
    const char* privilege; // checked by HXsecurity first; null: none
    // A page that runs a tool or changes a file when it is opened: what it
    // does, for the confirmation asked when the request shows no sign of
    // coming from this site.  Null for a page that only shows.
    const char* acts = nullptr;
    // Null: `acts` holds always; else it holds while this says so (the
    // configuration decides whether the page runs anything).
    bool (*actsif)() = nullptr;
};

bool acting(const Route& route) { return route.acts && (!route.actsif || route.actsif()); }

void ownaccount() { userform(authuser, hasprivilege("admin")); }
void daemonpage() { HXdaemon(nullptr); }
void startfont() { daemoncontrol("start-font"); }
void startdialq() { daemoncontrol("start-dialq"); }
void stopdialq() { daemoncontrol("stop-dialq"); }
void queuestat() { HXqueuestat(authparam("from-email")); }
void selectuser() { HXselectuser(nullptr); }
void selectline() { HXselectline(nullptr); }

constexpr Route pages[] = {
    {1, HXhomepage, nullptr},
    {3, ownaccount, nullptr},
    {4, selectuser, "admin"},
    {6, HXsysconfig, "admin"},
    {20, selectline, "admin"},
    // The status page probes the font server with a tool when one is named.
    {30, daemonpage, "admin", "query the font server", fontserverset},
    {40, HXemail, "admin"},
    {41, emailconfigoff, "admin", "turn the e-mail server configuration off"},
    {42, HXemailcfg, "admin", "configure the e-mail server for fax mail"},
    {43, HXemailuncfg, "admin", "remove the e-mail server's fax mail configuration"},
    {44, HXemailtest, "admin", "test the e-mail server's hand-over of fax mail"},
    {91, HXsyslog, nullptr},
    {92, HXacctlog, nullptr},
    {101, queuestat, nullptr},
    {102, HXnoqueuestatus, nullptr},
    {103, HXlinestatus, nullptr},
    {104, HXreqstatus, nullptr},
    {121, HXreqsuspend, nullptr, "suspend a request of the send queue"},
    {122, HXreqactivate, nullptr, "activate a request of the send queue"},
    {123, HXreqdelete, nullptr, "delete a request of the send queue"},
    {901, startfont, "admin", "start the font server"},
    {902, daemonpage, "admin", "query the font server", fontserverset},
    {911, startdialq, "admin", "start the dialq scheduler"},
    {912, stopdialq, "admin", "stop the dialq scheduler"},
};

void version() { HXversion(); }

constexpr Route publicpages[] = {
    {2, version, nullptr},
    {7, HXdownload, nullptr},
    {9, HXwpt, nullptr},
};

void accountform() { userform(formvalue("user"), 1); }
void ownupdate() { userupdate(1); }
void adminupdate() { userupdate(0); }
void linebutton() { lineform(formvalue("lname"), 0, nullptr); }

constexpr Route actions[] = {
    {2, accountform, "admin"},    {3, ownupdate, nullptr},  {4, adminupdate, "admin"},
    {6, HXconfigupdate, "admin"}, {7, lineupdate, "admin"}, {8, linebutton, "admin"},
};

template <std::size_t N>
const Route* findroute(const Route (&table)[N], long number)
{
    for (const Route& route : table)
        if (route.number == number)
            return &route;
    return nullptr;
}

bool confirmed();
void confirmpage(const char* what);

template <std::size_t N>
void dispatch(const Route (&table)[N], long number)
{
    const Route* route = findroute(table, number);
    if (!route)
        return;
    if (route->privilege)
        HXsecurity(route->privilege);
    if (acting(*route) && !confirmed()) {
        confirmpage(route->acts);
        return;
    }
    route->handler();
}

// ---- Start-up -------------------------------------------------------------

void loadusers()
{
    const char* dir = get_config("zel-config-directory");
    if (!dir)
        fatalerror("ERR 999: No zel-config-directory defined in /etc/opt/vantrel/vantrel.conf");
    auto unreadable = [] { fatalerror("ERR 999: Cannot load user parameter File"); };
    if (!usersfile_open((std::string(dir) + "/users").c_str(), unreadable))
        unreadable();
}

void challenge(bool endheaders)
{
    request_status("401 Permission");
    putstatusline();
    fputs(CHALLENGE, stdout); // a header line of the answer, no page text
    // Without credentials the raw header block ends here, so the page's own
    // Content-type line arrives as the first line of the body.  Under CGI
    // the page's Content-type completes the header instead, so the server
    // sends the page as HTML.
    if (endheaders && request_rawstatus()) {
        putframeheaders();
        fputs("\r\n", stdout); // the raw header block's end, no page text
    }
}

void adminhint()
{
    if (usersfile_adminblankpassword())
        puthtml("<p>Please use <i>admin</i> as your User Name and leave the Password blank.");
}

// The diagnostic paths show the server's environment and keep uploads.
constexpr const char* DEBUG_PATHS[] = {"/echo", "/copy", "/print", "/test", "/debug"};

bool debugpath(const char* path)
{
    for (const char* name : DEBUG_PATHS)
        if (strcmp(path, name) == 0)
            return true;
    return false;
}

// Whether the program signs requests in: under a login mode, and by itself
// under the raw-HTTP server.  Under other servers without a login mode
// nobody is signed in.
bool signsin() { return request_loginmode() != LOGIN_NPH || request_rawstatus(); }

// Asked only where the program signs requests in.
bool needslogin(const char* path)
{
    return startswith(path, "/Page") || startswith(path, "/Action") || debugpath(path);
}

// Answers 401 and exits when the request needs credentials it lacks.
void httplayer()
{
    const char* path = request_path();
    if (strcmp(path, "/logoff") == 0) {
        challenge(false);
        puthtml("<h1>Logoff</h1><p>You have successfully ");
        puthtml("removed your password.\n");
        exit(0);
    }
    if (needslogin(path)) {
        const char* header = getenv("HTTP_AUTHORIZATION");
        if (!header) {
            challenge(true);
            puthtml("<h1>Access Error</h1><p>You must enter a");
            puthtml(" valid user name/password in order to access this page.\n");
            adminhint();
            exit(0);
        }
        int code = checkauth(header, nullptr);
        if (code < 0) {
            challenge(false);
            // The name is the requester's own text.
            std::string name = htmlescape(authuser ? authuser : "");
            // The comment is left empty: its bytes came from the stored
            // digest, shown to whoever names an account.
            puthtml(
                "<h1>Access Error</h1><p>Your user name (%s) & password are not valid! (%d) %s\n",
                name.c_str(), code, "");
            adminhint();
            exit(0);
        }
    }
    request_status("200 OK");
}

// The web server has authenticated the request: the account it names is
// the signed-in user.  No challenge is sent, so a request without a known
// account is refused outright.
void serverlayer()
{
    const char* path = request_path();
    if (strcmp(path, "/logoff") == 0) {
        // The login is the web server's, so only the browser can drop it.
        request_status("200 OK");
        puthtml("<h1>Logoff</h1><p>Your login is kept by the web server: ");
        puthtml("close the browser to log off.\n");
        exit(0);
    }
    if (needslogin(path)) {
        const char* remote = getenv("REMOTE_USER");
        int code = serverlogin(remote);
        if (code < 0) {
            request_status("403 Forbidden");
            std::string name = htmlescape(remote ? remote : "");
            puthtml(
                "<h1>Access Error</h1><p>Your user name (%s) is not an account of this server. (%d)\n",
                name.c_str(), code);
            exit(0);
        }
    }
    request_status("200 OK");
}

// `webadmin-auth`: absent or empty, only the raw-HTTP server's requests are
// authenticated, by the program; "basic", HTTP Basic under every server;
// "server", the web server's own login.
void authlayer()
{
    const char* server = getenv("SERVER_SOFTWARE");
    // Raw HTTP status lines only for the server that passes them on; any
    // other server takes the status from a CGI "Status:" header line.
    request_setrawstatus(server && strcmp(server, NPH_SERVER) == 0);
    const char* mode = get_config("webadmin-auth");
    if (if_blank(mode))
        request_setloginmode(LOGIN_NPH);
    else if (strcmp(mode, "basic") == 0)
        request_setloginmode(LOGIN_BASIC);
    else if (strcmp(mode, "server") == 0)
        request_setloginmode(LOGIN_SERVER);
    else
        // An unknown mode must not leave the pages open to anyone.
        fatalerror("ERR 999: Unknown webadmin-auth value in /etc/opt/vantrel/vantrel.conf");
    if (request_loginmode() == LOGIN_SERVER)
        serverlayer();
    else if (request_loginmode() == LOGIN_BASIC || request_rawstatus())
        httplayer();
}

// ---- Requests from elsewhere ---------------------------------------------

// What a browser tells of where the request came from, judged once.
const OriginVerdict& origin()
{
    static const OriginVerdict verdict = requestorigin(get_config("webadmin-origins"));
    return verdict;
}

// The page a /Page path routes to, when it is one that acts when opened.
const Route* actingpage(const char* path)
{
    if (!startswith(path, "/Page"))
        return nullptr;
    const Route* route = findroute(pages, pathnumber(path + 5));
    return route && acting(*route) ? route : nullptr;
}

// Every request that changes something or runs a tool: the actions, the
// pages that act when opened, and the diagnostic paths (/copy writes its
// copy, /debug keeps uploads, and none of them is for another site's page).
bool changes(const char* path)
{
    return startswith(path, "/Action") || actingpage(path) != nullptr || debugpath(path);
}

// The value of an outside header, fit for one log line.
std::string logvalue(const char* text)
{
    std::string value(text, strnlen(text, LOG_VALUE_MAX));
    for (char& c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return value;
}

// A web server that hands the body over (fcgiwrap) may answer a program
// that ended before taking it with an error of its own, and the refusal
// would never reach the browser.  limitbody has bounded the length.
void discardbody()
{
    const char* text = getenv("CONTENT_LENGTH");
    long long left = text ? strtoll(text, nullptr, 10) : 0;
    char block[8192];
    while (left > 0) {
        size_t want =
            left < static_cast<long long>(sizeof block) ? static_cast<size_t>(left) : sizeof block;
        size_t n = fread(block, 1, want, stdin);
        if (n == 0)
            break;
        left -= static_cast<long long>(n);
    }
}

// What the browser's Origin or Referer was compared with, and what the
// administrator can do when the pages are used under another address.
void putcomparedhosts(const OriginVerdict& from)
{
    std::string hosts;
    for (const OriginHost& host : from.compared)
        hosts +=
            (hosts.empty() ? "" : ", ") + std::string(host.name) + ": " + htmlescape(host.value);
    bool listed = !if_blank(get_config("webadmin-origins"));
    if (hosts.empty())
        puthtml("<p>The web server passed on no address of the request to compare it with%s",
                listed ? "; it was compared with webadmin-origins only" : "");
    else
        puthtml("<p>It was compared with the address the request was made to (%s)%s", hosts.c_str(),
                listed ? " and with webadmin-origins" : "");
    puthtml(". If the address in your browser's address bar is the administration's own, add its "
            "scheme, host and port to webadmin-origins in /etc/opt/vantrel/vantrel.conf, as in "
            "\"webadmin-origins = http://fax.example.com:8080\".\n");
}

[[noreturn]] void refusecrosssite(const char* path)
{
    const OriginVerdict& from = origin();
    logmsg(LOG_TOFILE, LOG_ERROR, 0, "Request for %s from another site refused (%s: %s)",
           logvalue(path).c_str(), from.header, logvalue(from.value.c_str()).c_str());
    discardbody();
    request_status("403 Forbidden");
    putpagehead("Vantrel Image Messaging Software - Request Refused");
    putbanner("HXrefused");
    puthtml("<h1>Request Refused</h1><p>This request came from another site (%s: %s) and was "
            "refused.\n",
            from.header, htmlescape(from.value).c_str());
    if (from.judged)
        putcomparedhosts(from);
    putfooter();
    exit(1);
}

// The body limit, `webadmin-max-body` bytes (a number with an optional
// k, m or g for binary multiples).
long long maxbody()
{
    const char* text = get_config("webadmin-max-body");
    if (if_blank(text))
        return DEFAULT_MAX_BODY;
    char* end = nullptr;
    errno = 0;
    long long n = strtoll(text, &end, 10);
    int shift = 0;
    switch (*end) {
    case 'k':
    case 'K':
        shift = 10;
        ++end;
        break;
    case 'm':
    case 'M':
        shift = 20;
        ++end;
        break;
    case 'g':
    case 'G':
        shift = 30;
        ++end;
        break;
    default:
        break;
    }
    while (*end == ' ' || *end == '\t')
        ++end;
    if (end == text || *end != '\0' || errno != 0 || n < 0 || n > (LLONG_MAX >> shift))
        fatalerror("ERR 999: Invalid webadmin-max-body value in /etc/opt/vantrel/vantrel.conf");
    return n << shift;
}

void limitbody()
{
    long long limit = maxbody();
    const char* text = getenv("CONTENT_LENGTH");
    if (!text)
        return;
    errno = 0;
    char* end = nullptr;
    long long length = strtoll(text, &end, 10);
    // What the decoders would not read as a length is no body to them.
    if (end == text || (length <= limit && errno == 0))
        return;
    request_status("413 Request Entity Too Large");
    putpagehead("Vantrel Image Messaging Software - Request Too Large");
    putbanner("HXtoolarge");
    puthtml("<h1>Request Too Large</h1><p>The request's body of %s bytes is larger than the %lld "
            "bytes this server accepts.\n",
            htmlescape(logvalue(text)).c_str(), limit);
    putfooter();
    exit(1);
}

// Before anything is read or run: the body's size, and whether a request
// that would change something comes from another site.
void guardrequest()
{
    const char* path = request_path();
    limitbody();
    if (changes(path) && origin().verdict == ORIGIN_CROSS)
        refusecrosssite(path);
}

// A page that acts when opened runs only on evidence that the request came
// from this site; a plain link from anywhere carries none.
bool confirmed() { return origin().verdict == ORIGIN_SAME || request_ispost(); }

void confirmpage(const char* what)
{
    // The same address again, this time from this site's own page.
    std::string again = request_path();
    if (const char* query = getenv("QUERY_STRING"); query && *query)
        again += std::string("?") + query;
    putpagehead("Vantrel Image Messaging Software - Please Confirm");
    putbanner("HXconfirm");
    puthtml("<h1>Please Confirm</h1><p>This link would %s.\n", what);
    puthtml("<p><a href=\"$SCRIPT_NAME%s\">Yes, %s</a>\n", htmlescape(again).c_str(), what);
    putfooter();
}

void testresponse()
{
    switch (form_encoding) {
    case FORM_URLENCODED:
        puthtml(
            "<h2>Test Response</h2><p>This CGI program was called correctly with standardCGI encoding for forms.\n");
        break;
    case FORM_MULTIPART:
        puthtml(
            "<h2>Test Response</h2><p>This CGI program was called correctly with enhancedMIME encoding for forms.\n");
        break;
    default:
        puthtml("<h2>Test Response</h2><p>CGI program internal error!");
    }
}

void formpath(const char* path)
{
    request_removeuploads_atexit();
    int count = decodeform();
    if (count < 0) {
        puthtml("<h2>ERROR WF010</h2><p>This script was called in error");
        exit(1);
    }
    if (strcmp(path, "/test") == 0) {
        testresponse();
    } else if (strcmp(path, "/print") == 0) {
        listform(count);
    } else if (strcmp(path, "/debug") == 0) {
        listform(count);
        // The kept uploads are for a signed-in administrator to look at;
        // where nobody signs in, anyone could fill the disk with them.
        if (signsin())
            request_setdebug(true);
        runaction();
    } else {
        runaction();
    }
}

// Wherever the program signs requests in, the diagnostic paths are the
// administrator's, and anyone else is refused as a login mode refuses.
void debugguard()
{
    if (!hasprivilege("admin"))
        request_status("403 Forbidden");
    HXsecurity("admin");
}

void route(char** envp)
{
    const char* path = request_path();
    if (signsin() && debugpath(path))
        debugguard();
    if (strcmp(path, "/echo") == 0) {
        putstatusline();
        // The echo is a dump of the request, written without a page head.
        fputs("<html><body><pre>BURP!ZZ\r\n", stdout);
        echorequest(envp, nullptr);
    } else if (strcmp(path, "/copy") == 0) {
        std::string copy = rootpath("/tmp/cgi.copy");
        echorequest(envp, copy.c_str());
    } else if (startswith(path, "/page")) {
        dopublicpage(pathnumber(path + 5));
    } else if (startswith(path, "/Page")) {
        dopage(pathnumber(path + 5));
    } else if (*path == '\0' || strcmp(path, "/") == 0) {
        start_screen();
    } else {
        formpath(path);
    }
}

} // namespace

// ---- Interfaces -----------------------------------------------------------

void dopage(long number) { dispatch(pages, number); }

void dopublicpage(long number)
{
    if (number == NO_ENTRY)
        return;
    if (number < 0)
        serve_image(-number);
    else
        dispatch(publicpages, number);
}

void doaction(long number) { dispatch(actions, number); }

std::vector<std::string> routepaths()
{
    std::vector<std::string> paths;
    auto add = [&paths](const char* prefix, const auto& table) {
        for (const Route& route : table)
            paths.push_back(prefix + std::to_string(route.number));
    };
    add("/Page", pages);
    add("/page", publicpages);
    for (long number = 1; number <= imagecount(); ++number)
        paths.push_back("/page-" + std::to_string(number));
    add("/Action", actions);
    for (const char* name : DEBUG_PATHS)
        paths.emplace_back(name);
    paths.emplace_back("/logoff");
    paths.emplace_back("/");
    return paths;
}

void runaction()
{
    const char* path = request_path();
    // The lower-case action table has no entries.
    if (!startswith(path, "/action") && startswith(path, "/Action"))
        doaction(pathnumber(path + 7));
    request_removeuploads();
}

int zeladmin_main(int argc, char** argv, char** envp)
{
    logsetprogram(argc > 0 ? argv[0] : "zeladmin");
    fullio_catch_size_limit();
    // A list page is hundreds of KB: the web server gets it in a few large
    // writes rather than one per 4 KB.  Nothing is written yet.
    if (!isatty(STDOUT_FILENO))
        setvbuf(stdout, nullptr, _IOFBF, 65536);
    config_load_or_exit();
    request_sethomepage(HXhomepage);
    loadusers();
    authlayer();
    guardrequest();
    request_setdebug(if_yes(get_config("tarnix-wfg-debug"), 0) ||
                     if_yes(get_config("zel-debug"), 0));
    route(envp);
    // A CGI response needs its header block even when nothing answered; the
    // raw-HTTP server takes the bare status line as it always has.
    if (statusset() && !framesent()) {
        putheaders();
        if (!request_rawstatus())
            fputs("Content-type: text/html\r\n\r\n", stdout); // a bare header, no page
    }
    return 0;
}
