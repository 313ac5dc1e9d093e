// zeladmin: one request of the web administration, from start-up to exit:
// configuration and users file, the HTTP layer under the one web server
// that wants raw status lines, routing by PATH_INFO to pages and actions
// behind their guards (body size, origin, privilege).  Sets the facts of the request module at start-up.
// Start-up failures are fatal log lines (exit status 1, no response).
#pragma once

#include <string>
#include <vector>

// The whole request; the exit status.
int zeladmin_main(int argc, char** argv, char** envp);

// The page, public page and action tables; numbers without an entry do
// nothing.
void dopage(long number);
void dopublicpage(long number);
void doaction(long number);

// Every path the tables and the fixed routes answer, for a walk over all
// of them: each /Page, /page and /Action number, the pictures (/page-N),
// the diagnostic paths, /logoff and the start screen "/".
std::vector<std::string> routepaths();

// Runs the action named by PATH_INFO, then removes the temporary files of
// uploaded fields unless debug mode is set.
void runaction();
