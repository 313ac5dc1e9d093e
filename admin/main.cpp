// zeladmin: the CGI program of the web administration.  The web server starts
// it once for every request; it loads the configuration and answers.
#include "lib/config.h"
#include "lib/log.h"

int main(int argc, char** argv)
{
    logsetprogram(argc > 0 ? argv[0] : "zeladmin");
    config_load_or_exit();
    return 0;
}
