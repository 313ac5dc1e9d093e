#include "admin/daemon.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXdaemon(const char*) {}
void daemoncontrol(const char*) {}
void HXemail() {}
void HXemailcfg() {}
void HXemailuncfg() {}
void HXemailtest() {}
void emailconfigoff() {}
