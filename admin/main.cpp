// zeladmin: the CGI program of the web administration.  The web server starts
// it once for every request.
#include "admin/zeladmin.h"

int main(int argc, char** argv, char** envp) { return zeladmin_main(argc, argv, envp); }
