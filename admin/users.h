// users: the account pages: the account list (/Page4), the administrator's
// and the reduced account form (/Page3, /Action2) and their update
// (/Action3, /Action4).  The accounts are the run's users file's and the
// change is its locked change (lib/usersfile), made to the file as read
// again under the lock; the signed-in user is the login's (www/wwwauth).
// A refused update writes nothing and shows the form again with the
// reason; a users file that cannot be locked, read or rewritten is left as
// it was, told above the form, logged, and ends the run with status 1; an
// account the update needs and cannot find is an internal failure
// (FXcatastrophe).
#pragma once

void HXselectuser(const char* message);
// The form of account `name` (null: none); the administrator's form when
// `adminflag` is set, else the reduced one.
void userform(const char* name, int adminflag);
// Applies the posted account form; `self` is 1 for the user's own reduced
// form, 0 for the administrator's.
void userupdate(int self);
