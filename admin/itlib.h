// itlib: what the system knows about /etc/inittab (below ZEL_ROOT when that
// applies) and the receive daemon's entries in it: the file read into
// memory, the analysis of how a fax line and its device appear there, free
// entry identifiers, the edits the line tool makes, init's re-read, a
// line's device from its line file, device owner and mode, and the admin
// token handed to the fax server's tools.  Owns the inittab text of this
// process (replaced by every read).  Every operation reports through its
// result only; nothing is logged.  Edits rewrite the file whole through a
// fresh file renamed over it.
#pragma once

// analyse_inittab results.
constexpr int INITTAB_ENABLED = 1;
constexpr int INITTAB_DISABLED = 2;
constexpr int INITTAB_NOMEMORY = -1;
constexpr int INITTAB_GETTY = -2;
constexpr int INITTAB_NOENTRY = -3;
constexpr int INITTAB_MANY = -4;

// checkdevice bits.
constexpr int DEVICE_BADOWNER = 1;
constexpr int DEVICE_BADGROUP = 2;
constexpr int DEVICE_NOTCHAR = 4;
constexpr int DEVICE_BADMODE = 8;

// Owner and mode of fax line devices.
constexpr int DEVICE_UID = 2;
constexpr int DEVICE_GID = 1;
constexpr int DEVICE_MODE = 0660;

// Debug level of the analysis (0: quiet).
extern int itlib_debug;

// The inittab text as last read, and its length.
const char* inittabtext();
long inittablength();

int readinittab();
int analyse_inittab(const char* device, const char* line, int exact);
int freeinittabid();
int enableinittab(const char* text);
int disableinittab(const char* text);
int deleteinittab(const char* text);
int disabledevice(const char* device, int exact);
int appendinittab(const char* entry);
void runtelinit();
// A copy the caller frees, or null.
char* linedevice(const char* line);
int fixdevice(const char* device);
int checkdevice(const char* device);
void settoken();
int checktoken();
