#include "admin/users.h"

// The pages of this group are not built yet: each handler writes nothing.

void HXselectuser(const char*) {}
void userform(const char*, int) {}
void userupdate(int) {}
