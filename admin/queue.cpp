#include "admin/queue.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXqueuestat(const char*) {}
void HXnoqueuestatus() {}
void HXreqstatus() {}
void HXreqsuspend() {}
void HXreqactivate() {}
void HXreqdelete() {}
