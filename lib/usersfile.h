// usersfile: the users file as the account pages and zelpasswd change it:
// the re-read under its lock before a change, the rewrite of the whole
// list, and the rule an account's name keeps, with the messages that
// refuse the others.  The rewrite goes through replacefile, so a failure
// leaves the old file whole; failures are null or a code, errno set.
#pragma once

#include "lib/paramfile.h"

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

// Why `name` may not be given to an account of `list`, or null: a line
// break would add a line to the file, a blank name or a ']' would not read
// back as the section's header, nor would one too long for its line, a
// login ends its name at the first ':' so no login could reach it, and the
// name may be no other account's.  Only a name being given is checked: an
// account that already holds one keeps it.
const char* usersfile_namerefusal(ParamSection* list, const char* name);

// The users file as `fd`, a descriptor of lock_path (lib/filelock), reads
// it now, its accounts unread until asked for (paramfile_read_unread, with
// `unreadable`), so that a change of one account copies the others' lines
// as they are.  Null when it cannot be read, errno set (EINVAL: a header
// line without its ']').
ParamSection* usersfile_readlocked(int fd, void (*unreadable)() = nullptr);

// Puts `list` in place of the users file at `path`: REPLACE_OK or a
// failure code of replacefile (lib/replacefile).
int usersfile_write(const char* path, const ParamSection* list);
