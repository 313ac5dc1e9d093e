// wwwauth: HTTP Basic login against the users file, the privileges of
// the signed-in user, and the stored password digest (base64 of the SHA-1
// of the password; an empty stored value accepts any password).  Owns the
// login facts below, set by checkauth or serverlogin for the rest of the
// run; a login against the run's users file (lib/usersfile) follows its
// changes.  Failures are result codes; nothing is written to the page here.
#pragma once

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
// After a change of the run's users file, the account's section as it now
// holds it (null once the account is gone).
ParamSection* authsection();
const char* authprivileges();

// Checks an Authorization header value against `users`.  The decoded
// credentials are "name:password" (no colon: all of it is the name and the
// password is empty).  When `user` is given it receives the name, which
// then lives for the rest of the run.  AUTH_OK or a negative code above.
int checkauth(const char* header, ParamSection* users, const char** user);
// The same against the run's users file (AUTH_NOLIST before it is
// opened).
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

// Forgets the login facts (for tests).
void authreset();
