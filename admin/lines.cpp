#include "admin/lines.h"
#include <cstdlib>

// The pages of this group are not built yet.

void HXselectline([[maybe_unused]] const char* message) { }
void lineform([[maybe_unused]] const char* name, [[maybe_unused]] int redisplay, [[maybe_unused]] const char* message) { }
void lineupdate() { }
void HXerror([[maybe_unused]] const char* command, [[maybe_unused]] const char* output) { abort(); }
void HXlinestatus() { }
int linelist() { return -1; }
LineRecord* loadline([[maybe_unused]] const char* name) { return nullptr; }
int devicestate([[maybe_unused]] const char* device) { return -1; }
int firstlinecheck() { return -1; }
const char* nextlinename() { return nullptr; }
int validlinename([[maybe_unused]] const char* name) { return -1; }
int linewarnings() { return -1; }
void applylinemode() { }
GrowArray lines;
