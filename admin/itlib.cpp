#include "admin/itlib.h"

// Not built yet: every operation fails.

const char* inittabtext() { return nullptr; }
long inittablength() { return -1; }
int readinittab() { return -1; }
int analyse_inittab([[maybe_unused]] const char* device, [[maybe_unused]] const char* line, [[maybe_unused]] int exact) { return -1; }
int freeinittabid() { return -1; }
int enableinittab([[maybe_unused]] const char* text) { return -1; }
int disableinittab([[maybe_unused]] const char* text) { return -1; }
int deleteinittab([[maybe_unused]] const char* text) { return -1; }
int disabledevice([[maybe_unused]] const char* device, [[maybe_unused]] int exact) { return -1; }
int appendinittab([[maybe_unused]] const char* entry) { return -1; }
void runtelinit() { }
char* linedevice([[maybe_unused]] const char* line) { return nullptr; }
int fixdevice([[maybe_unused]] const char* device) { return -1; }
int checkdevice([[maybe_unused]] const char* device) { return -1; }
void settoken() { }
int checktoken() { return -1; }
int itlib_debug = 0;
