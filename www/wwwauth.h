// wwwauth: HTTP Basic login against the users list, the privileges of the
// signed-in user, and the stored password digest (base64 of the SHA-1 of
// the password; an empty stored value accepts any password).  Owns the
// users list of the run (read from the users file at start-up, parsed a
// section at a time until a page needs it whole, replaced by the account
// updates) and the process-wide login facts below, set by
// checkauth for the rest of the run.  Failures are result codes; nothing
// is written to the page here.
#pragma once

#include <cstddef>
#include <functional>

#include "lib/paramfile.h"

// checkauth results.
constexpr int AUTH_OK = 0;
constexpr int AUTH_NOHEADER = -1;    // header absent or empty
constexpr int AUTH_NOTBASIC = -2;    // does not begin with "Basic"
constexpr int AUTH_BADPASSWORD = -4; // password does not match
constexpr int AUTH_NOUSER = -6;      // no section of that name
constexpr int AUTH_NOLIST = -9;      // no users list

// The user name from the header (also for unknown users and wrong
// passwords); null until a header was decoded.
extern const char* authuser;
// The section named `authuser`, and its privileges value; null when none.
extern ParamSection* authsection;
extern const char* authprivileges;

// Checks an Authorization header value against `users`.  The decoded
// credentials are "name:password" (no colon: all of it is the name and the
// password is empty).  When `user` is given it receives the name, which
// then lives for the rest of the run.  AUTH_OK or a negative code above.
int checkauth(const char* header, ParamSection* users, const char** user);
// The same against the users of the run (AUTH_NOLIST before they are
// loaded).
int checkauth(const char* header, const char** user);

// The login the web server made itself: `name` (REMOTE_USER) becomes the
// signed-in user with its account's privileges; no password is checked.
// AUTH_OK, AUTH_NOHEADER (no name), AUTH_NOUSER or AUTH_NOLIST.
int serverlogin(const char* name, ParamSection* users);
int serverlogin(const char* name);

// 1 when the SHA-1 of `password` equals the 20 `stored` bytes, compared in
// constant time.  Nothing of either digest is kept for a page or a log.
int checkpassword(const char* password, const unsigned char* stored);

// The 28-character stored form of `password` (plus a NUL) into `out`.
void digestpassword(const char* password, char out[29]);

// 1 when the signed-in user holds `privilege` (a substring of the
// privileges value); an absent or empty name is always held.
int hasprivilege(const char* privilege);

// The signed-in user's value of one of the first ten users-file names
// (delivery-email ... privileges); null when nobody is signed in, the name
// is not one of them, or the value is not set.
const char* authparam(const char* name);

// Points authsection and authprivileges into `users`, a reload of the users
// list, for the same signed-in name: null when the account is gone from it.
// Nothing changes when nobody was signed in.
void authrefresh(ParamSection* users);

// Reads the users file at `path` for the run; false when it cannot be read
// or a header line has no ']'.  Also notes whether the admin account's
// password and from-email are blank in the file as loaded.  Should memory
// run out when a section is parsed later, `unreadable` is called (it must
// not return; without one the run aborts).
bool authloadusers(const char* path, void (*unreadable)() = nullptr);
// Ends the run the way authloadusers's `unreadable` does (aborts without
// one): for a section of the users list that memory ran out reading later.
[[noreturn]] void authunreadable();
// Lets go of the shared lock that the users file is read under, where it
// may be rewritten in place (lib/replacefile), so that this run may take
// its exclusive lock for a change: the list is to be read again under that.
void authunlockusers();
// The first section of the run's users named exactly `name`, or null; it
// stays valid until the list is replaced or the section removed.
ParamSection* authfinduser(const char* name);
// The whole users list, made the first time it is asked for (the login
// facts then point into it), and the users file's path; null until loaded.
ParamSection* authusers();
const char* authuserspath();
// Calls `each` with every account's name and first value of `index`, in
// the file's order, from the whole list once it is made, else from the
// file (a list page need not make the whole list).
void authforeachuser(int index, const ParamValueEach& each);
// Makes `users` the users list in place of the current one, which is
// released; the login facts follow it (authrefresh).
void authreplaceusers(ParamSection* users);
// Appends an empty section to the users list (null when out of memory), or
// unlinks and releases one of its sections; the login facts follow.
ParamSection* authadduser();
void authremoveuser(ParamSection* section);
// The admin account exists and its password / from-email was blank when
// the list was loaded.
bool adminblankpassword();
bool adminblankemail();

// Forgets the login facts (for tests).
void authreset();
