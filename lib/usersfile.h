// usersfile: the users file as a whole.  Owns the run's users file (its
// path, the file held open and indexed by its header lines, the sections
// read alone, the whole list once made, the admin account's facts) and
// the one way to change a users file: its exclusive lock, the re-read
// under it, the caller's change, the rewrite (lib/replacefile, so a
// failure leaves the old file whole).  Failures are null or a code below,
// errno set; only running out of memory for a section the run needs later
// ends the run, through the caller's `unreadable`.  Nothing here knows of
// logins or pages: callers decide what a failure means to them.
#pragma once

#include <functional>

#include "lib/paramfile.h"

// usersfile_change results.
constexpr int USERS_OK = 0;
constexpr int USERS_REFUSED = -1;  // the change declined (its check or apply
                                   // answered false); nothing written
constexpr int USERS_NOLOCK = -2;   // the file could not be locked (errno)
constexpr int USERS_NOREAD = -3;   // nor read again under the lock (errno)
constexpr int USERS_NOWRITE = -4;  // the rewrite failed (errno); the file
                                   // is as it was
constexpr int USERS_NORELOAD = -5; // the run's change: after USERS_NOWRITE
                                   // the file could not be read again, so
                                   // the run's list is the change that
                                   // never reached it (errno of the write)

// The refusals of an account change, worded as the account pages show them.
constexpr const char* USERS_NAME_EXISTS =
    "ACCOUNT NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.";
constexpr const char* USERS_BAD_NAME =
    "ACCOUNT NAME MAY NOT BE EMPTY OR CONTAIN ], PLEASE ENTER DIFFERENT NAME.";
constexpr const char* USERS_COLON_NAME =
    "ACCOUNT NAME MAY NOT CONTAIN : (THE ACCOUNT COULD NEVER LOG IN), PLEASE ENTER DIFFERENT NAME.";
constexpr const char* USERS_LINE_BREAK =
    "VALUES MAY NOT CONTAIN LINE BREAKS, PLEASE RE-ENTER THEM.";
constexpr const char* USERS_TOO_LONG =
    "VALUES MAY NOT BE LONGER THAN ABOUT 1000 CHARACTERS, PLEASE SHORTEN THEM.";
constexpr const char* USERS_MISMATCH = "PASSWORDS DID NOT MATCH, PLEASE RE-ENTER THEM.";

// ---- The run's users file ----------------------------------------------------

// Opens the users file at `path` for the run and checks its header lines;
// false when it cannot be read or one has no ']'.  Where the file may be
// rewritten in place it stays under a shared lock while it is held open.
// Notes whether the admin account's password and from-email are blank.
// Should memory run out when a section is read later, `unreadable` is
// called (it must not return; without one the run aborts).  A new open
// starts afresh: nothing an earlier one handed out stays valid.
bool usersfile_open(const char* path, void (*unreadable)() = nullptr);
// Whether the run has a users file: opened, or read again for a change.
bool usersfile_opened();
// The first section of the run's users file named exactly `name`, or
// null; read alone while the whole list is not made.  Valid until
// usersfile_generation changes.
ParamSection* usersfile_find(const char* name);
// The whole list, made the first time it is asked for (the file is then
// closed, and its shared lock goes); null when no file was opened.
ParamSection* usersfile_list();
// Calls `each` with every account's name and first value of `index`, in
// the file's order, from the whole list once it is made, else from the
// file (a list page need not make the whole list).
void usersfile_each(int index, const ParamValueEach& each);
// Changes whenever a section that usersfile_find answered may be gone or
// no longer the run's: a section kept across a change must be found again.
unsigned usersfile_generation();
// The admin account exists and its password / from-email was blank when
// the file was opened.
bool usersfile_adminblankpassword();
bool usersfile_adminblankemail();

// ---- Changes -----------------------------------------------------------------

// A change to the list as read under the lock: false declines it (nothing
// is written).  It may add or remove sections of `list`.
using UsersApply = std::function<bool(ParamSection*& list)>;
// A check of the locked file, `fd`, before it is read: false declines.
using UsersCheck = std::function<bool(int fd)>;

// Changes the run's users file: lets go of the run's shared lock, takes
// the exclusive one (lib/filelock's lock_path), reads the file again under
// it with its sections unread, which becomes the run's list, applies
// `apply` to that and rewrites the file, and lets go of the lock.  When
// the rewrite fails the run's list is read again from the file, which
// still holds what it held.  USERS_OK or a code above.
int usersfile_change(const UsersApply& apply);
// The same for the users file at `path` alone (the run's users file is
// not touched): `check`, when given, first sees the locked file, and the
// list is released afterwards.
int usersfile_change(const char* path, const UsersApply& apply, const UsersCheck& check = nullptr);

// Why `name` may not be given to an account of `list`, or null: a line
// break would add a line to the file, a blank name or a ']' would not read
// back as the section's header, nor would one too long for its line, a
// login ends its name at the first ':' so no login could reach it, and the
// name may be no other account's.  Only a name being given is checked: an
// account that already holds one keeps it.
const char* usersfile_namerefusal(ParamSection* list, const char* name);

// Sets (a non-empty value) or removes (null or empty) the first value of
// `key` (a UsersParam) in an account's section, as paramfile_set does.
int usersfile_set(ParamSection* section, int key, const char* value);
// The privileges value of an account holding the admin and the postmaster
// privilege or not: the words joined by ',', empty for neither.
const char* usersfile_privileges(bool admin, bool postmaster);

// ---- Reads -------------------------------------------------------------------

// The users file open as `fd`, read from its start with its sections
// unread (paramfile_read_unread): the caller releases it.  Null, errno
// set, when it cannot be read or a header line has no ']' (EINVAL).
ParamSection* usersfile_read(int fd);
// The users file at `path` read whole, under a shared lock where it may be
// rewritten in place, so that no rewrite is seen half done; the caller
// releases it.  Null, errno set, when it cannot be read.
ParamSection* usersfile_load(const char* path);
