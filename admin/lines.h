// lines: the fax line pages and their update.
#pragma once

void HXselectline();
void HXlinestatus();
// The form of line `name`; `newline` set for a line not yet configured.
void lineform(const char* name, int newline);
void lineupdate();
