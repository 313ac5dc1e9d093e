// zeldispatch: run once for every received fax, with the path of its TIFF
// file; delivers the fax to the accounts whose called number it carries.
#include "lib/config.h"
#include "lib/log.h"

int main(int argc, char** argv)
{
    logsetprogram(argc > 0 ? argv[0] : "zeldispatch");
    config_load_or_exit();
    return 0;
}
