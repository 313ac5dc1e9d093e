#include "lib/rootpath.h"

#include <stdlib.h>

std::string rootpath(std::string_view fixed)
{
    // secure_getenv answers null in a run that changed privileges at exec,
    // so an installed setuid program cannot be pointed at another tree.
    const char* root = secure_getenv("ZEL_ROOT");
    std::string path = root ? root : "";
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    path += fixed;
    return path;
}
