#include "admin/lines.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXselectline() {}
void HXlinestatus() {}
void lineform(const char*, int) {}
void lineupdate() {}
