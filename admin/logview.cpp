#include "admin/logview.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXsyslog() {}
void HXacctlog() {}
