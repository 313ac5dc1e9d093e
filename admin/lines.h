// lines: the fax line pages: the list of lines with its buttons, the line
// form and its submission (add, update, rename, delete, modem test and
// reset), and the status page of all lines, with the status files in
// "<spool>/devstatus".  The line files and the tool runs behind them are
// admin/linefile's; a name from a form is used only once usablelinename
// accepts it.  A refused submission shows the form again with the reason;
// a failed tool run ends the request with the error page (HXerror).
#pragma once

// The list page; `message` (trusted page text) above the list, or null.
void HXselectline(const char* message);
// The handler of the list page's buttons, and the form again after a
// failed submission (`redisplay` set) with `message` above it.
void lineform(const char* name, int redisplay, const char* message);
void lineupdate();
// Error page of a failed tool run; ends the process with status 0.
[[noreturn]] void HXerror(const char* command, const char* output);
void HXlinestatus();

// Loads the line list (loadlines); a dev directory that does not open is
// reported in the page.  The count, or LINEFILE_NODIR.
int linelist();
