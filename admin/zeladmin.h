// zeladmin: one request of the web administration, from start-up to exit:
// configuration and users file, the HTTP layer under the one web server
// that wants raw status lines, routing by PATH_INFO to pages and actions
// behind their guards (body size, origin, privilege).  Sets the facts of the request module at start-up.
// Start-up failures are fatal log lines (exit status 1, no response).
#pragma once

// The whole request; the exit status.
int zeladmin_main(int argc, char** argv, char** envp);

// The page, public page and action tables; numbers without an entry do
// nothing.
void dopage(long number);
void dopublicpage(long number);
void doaction(long number);

// Runs the action named by PATH_INFO, then removes the temporary files of
// uploaded fields unless debug mode is set.
void runaction();
