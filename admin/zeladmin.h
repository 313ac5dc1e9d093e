// zeladmin: one request of the web administration, from start-up to exit:
// configuration and users file, the HTTP layer under the one web server
// that wants raw status lines, routing by PATH_INFO to pages and actions,
// the privilege guard and the two pages any handler may end a request
// with.  Owns the request facts below.  Start-up failures are fatal log
// lines (exit status 1, no response).
#pragma once

#include "lib/paramfile.h"

// The users file: its path and its sections, loaded at start-up.
extern const char* userspath;
extern ParamSection* userlist;
// The admin account exists and its password / from-email is blank.
extern int admin_blank_password;
extern int admin_blank_email;
// Keep the temporary files of uploaded form fields.
extern int debug_mode;

// The whole request; the exit status.
int zeladmin_main(int argc, char** argv, char** envp);

// Logs `message` to the log file and the echo stream at level 4 and exits
// with status 1, writing no page.
[[noreturn]] void fatalerror(const char* message);

// Returns when the signed-in user holds `privilege`; otherwise writes the
// Security Violation page and exits with status 1.
void HXsecurity(const char* privilege);

// An assertion: returns when `condition` is non-zero, otherwise writes the
// internal failure page naming `file` and `line` and exits with status 1.
void FXcatastrophe(int condition, const char* file, int line);

// The page, public page and action tables; numbers without an entry do
// nothing.
void dopage(long number);
void dopublicpage(long number);
void doaction(long number);

// Runs the action named by PATH_INFO, then removes the temporary files of
// uploaded fields unless debug_mode is set.
void runaction();
