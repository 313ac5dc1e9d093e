// lines: the fax line pages: the list of lines with its buttons, the line
// form and its submission (add, update, rename, delete, modem test and
// reset), receiving switched on and off through the line tool, and the
// status page of all lines.  Line files live in "<config>/dev", status
// files in "<spool>/devstatus".  A line name from a form reaches a file
// name or a command line only after validlinename.  A save writes only the
// fields changed on the form, to the file as read under its lock
// (lib/filelock), and a delete or rename holds that lock too, so that none
// loses what another wrote.  A failed tool run ends the request with the
// error page (HXerror).
#pragma once

#include <optional>

#include "lib/btree.h"
#include "lib/growarray.h"

// One line of the line list.
struct LineRecord {
    KeyTree* tree; // the line file
    char* name;
    char* statuspath; // "<spool>/devstatus/<name>"
    KeyTree* status;  // the status file, filled by the status page
};

// The line list, loaded by linelist.
extern GrowArray lines;

// A line's file as the line form shows it.
struct LineFile {
    KeyTree tree; // with fax-line-mode derived from the inittab
    int analysis; // analyse_inittab's answer for the line
};

// The list page; `message` (trusted page text) above the list, or null.
void HXselectline(const char* message);
// The handler of the list page's buttons, and the form again after a
// failed submission (`redisplay` set) with `message` above it.
void lineform(const char* name, int redisplay, const char* message);
void lineupdate();
// Error page of a failed tool run; ends the process with status 0.
[[noreturn]] void HXerror(const char* command, const char* output);
void HXlinestatus();

int linelist();
// The file of line `name`, or nullopt when the name is unusable or the
// file does not read.
std::optional<LineFile> loadline(const char* name);
int devicestate(const char* device);
// 1: no line defined; otherwise devicestate of the first listed line's device.
int firstlinecheck();
// For the home page's alerts: no line is defined or the first listed
// line's device is not a usable character device.
bool faxmodemmissing();
const char* nextlinename();
// 1 when `name` holds only letters, digits and ".-+=_#:" and does not
// begin with '-' (a tool would take it for an option).
int validlinename(const char* name);
