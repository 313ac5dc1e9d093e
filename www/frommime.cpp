#include "www/frommime.h"

int extractform(FILE* /*in*/, FormField* /*head*/, const char* /*boundary*/)
{
    newformlist();
    return 0;
}
