// if_yes: the yes/no test for configuration values.  Pure.
#pragma once

// After leading space characters, y or Y gives 1 and n or N gives 0; a null
// text, and any other first character (or none), give `dflt`.
int if_yes(const char* text, int dflt);
