// itlib: what the system knows about /etc/inittab (below ZEL_ROOT when that
// applies) and the receive daemon's entries in it: the file read into
// memory, the analysis of how a fax line and its device appear there, free
// entry identifiers, the edits the line tool makes, init's re-read, a
// line's device from its line file, device owner and mode, and the admin
// token handed to the fax server's tools.  Owns the inittab text of this
// process (replaced by every read).  Every operation reports through its
// result only; nothing is logged.  Edits rewrite the file whole
// (replacefile); an append is one write at its end.  The module takes no
// lock of its own: an editor holds lockinittab's from its read to its
// write, so that no edit is made to a text another has replaced.  Lines
// that begin with "#" are comments to init and are never taken for entries.
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

// The admin token: the time of settoken in seconds, exclusive-or this mask,
// in decimal; checktoken accepts it for less than TOKEN_LIFETIME seconds.
constexpr unsigned long TOKEN_MASK = 0x5a3c96e1UL;
constexpr long TOKEN_LIFETIME = 5;
// A token this many seconds ahead of the clock was not made here.
constexpr long TOKEN_FUTURE_MAX = 60;

// The token value that settoken would write at time `when`.
unsigned long tokenvalue(long when);

// Debug level of the analysis (0: quiet).
extern int itlib_debug;

// The inittab text as last read (and as changed by the edits since), and
// its length; null and -1 when no read has succeeded or the last one failed.
const char* inittabtext();
long inittablength();

// Reads /etc/inittab: 0, -1 cannot stat, -2 cannot open, -3 no memory,
// -4 short read.  A failed read leaves no text.
int readinittab();
// How the receive daemon of `line` (device path or null) stands in the
// text: INITTAB_* above.  `exact` searches case-sensitively.
int analyse_inittab(const char* device, const char* line, int exact);
// The first free character after "qrt" in the entry identifiers, or 0.
int freeinittabid();
// The edits work on the text in memory and rewrite the file whole; on
// failure both stay as they were.  0; -1 text not found, -2 found twice,
// -3 already in the wanted state, -4 the action is neither, -5 the file
// cannot be rewritten.
int enableinittab(const char* text);
int disableinittab(const char* text);
// 0, -1, -2, -5: removes the line that holds the text.
int deleteinittab(const char* text);
// Switches off every entry that mentions the device's last path component:
// 0 rewritten, 1 all such entries already off, -1 none, -5.
int disabledevice(const char* device, int exact);
// Appends one line, in place with one write: 0, or -1 (cannot open or
// write, or the entry holds a newline).  A write cut short (a full disk)
// is undone, the file cut back to its old length.
int appendinittab(const char* entry);
// Waits for the exclusive lock on /etc/inittab (lock_path, lib/filelock)
// and answers its descriptor, which the caller closes once its edit is
// written; the edit reads the file after taking it.  A negative LOCK_*
// code when it cannot be locked (LOCK_NOFILE: there is none).
int lockinittab();
// Runs telinit with the argument q, no shell; its output is dropped.
void runtelinit();
// The `device` value of the line's line file: a copy the caller frees
// (free), or null.  A name that could leave the dev directory gives null.
char* linedevice(const char* line);
// 0, -1 null path or no stat, -2 not a character device, -3 chmod/chown.
int fixdevice(const char* device);
// DEVICE_* bits, 0 when all hold, -1 when it cannot be examined.
int checkdevice(const char* device);
// Puts ZELADMINTOKEN into the environment (one static buffer).
void settoken();
// 1 when ZELADMINTOKEN holds a token younger than TOKEN_LIFETIME and not
// more than TOKEN_FUTURE_MAX ahead of now, else 0.
int checktoken();
