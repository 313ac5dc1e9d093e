#include "admin/sysconfig.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXsysconfig() {}
void HXconfigupdate() {}
