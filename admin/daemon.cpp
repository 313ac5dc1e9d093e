#include "admin/daemon.h"

// The pages of this group are not built yet.

int fontserverprobe() { return -1; }
int schedulerprobe([[maybe_unused]] int quiet) { return -1; }
const char* convertercheck() { return nullptr; }
void HXdaemon([[maybe_unused]] const char* output) { }
void daemoncontrol([[maybe_unused]] const char* word) { }
void HXemail() { }
void HXemailcfg() { }
void HXemailuncfg() { }
void HXemailtest() { }
void emailconfigoff() { }
