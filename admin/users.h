// users: the account list, the account forms and the account update.
#pragma once

void HXselectuser(const char* message);
// The form of account `name` (null: none); the administrator's form when
// `adminflag` is set, else the reduced one.
void userform(const char* name, int adminflag);
// Applies the posted account form; `self` is 1 for the user's own reduced
// form, 0 for the administrator's.
void userupdate(int self);
