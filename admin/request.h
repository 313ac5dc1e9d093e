// request: the facts of the one request this process answers (its path,
// method, who signs it in and how its status goes out, debug mode) and the
// ways any page may end it (a fatal error, the Security Violation page, the
// internal failure page, the home page).  zeladmin sets the facts at
// start-up; the page modules only read them.  The endings exit; nothing
// else here fails.
#pragma once

// `webadmin-auth`: who signs a request in.
enum LoginMode {
    LOGIN_NPH,    // absent or empty: the program, only under the raw-HTTP server
    LOGIN_BASIC,  // the program, HTTP Basic under every server
    LOGIN_SERVER, // the web server (REMOTE_USER)
};

// PATH_INFO, or "" when the server passes none.
const char* request_path();
// The request method is POST.
bool request_ispost();

LoginMode request_loginmode();
void request_setloginmode(LoginMode mode);

// The answer's status goes out as a raw HTTP status line (only under the
// one server that passes raw lines on) rather than a CGI Status header.
bool request_rawstatus();
void request_setrawstatus(bool raw);

// Gives the answer `status` ("200 OK"), written with its first header
// line; one set and not yet written still goes out when the process exits
// (a forked child writes none).
void request_status(const char* status);

// Debug mode keeps the temporary files of uploaded form fields.
bool request_debug();
void request_setdebug(bool debug);

// Removes the uploaded fields' temporary files now unless debug mode keeps
// them; also registered to run at exit by the first call of
// request_removeuploads_atexit.
void request_removeuploads();
void request_removeuploads_atexit();

// Logs `message` to the log file and the echo stream at level 4 and exits
// with status 1, writing no page.
[[noreturn]] void fatalerror(const char* message);

// Returns when the signed-in user holds `privilege`; otherwise writes the
// Security Violation page (status 403 under a login mode) and exits with
// status 1.
void HXsecurity(const char* privilege);

// An assertion: returns when `condition` is non-zero, otherwise writes the
// internal failure page naming `file` and `line` and exits with status 1.
void FXcatastrophe(int condition, const char* file, int line);

// The home page, for a page whose Cancel leads back to it; zeladmin names
// the page at start-up, so that page modules need not know each other.
void request_sethomepage(void (*page)());
void gohome();
