// zeldispatch: one received fax, from its TIFF file to the accounts whose
// called number it carries.  Owns the run state below (one fax per process).
// A run that cannot start logs why and exits 1 leaving the fax untouched;
// otherwise the fax is removed only once a delivery succeeded or it has a
// second name in the unclaimed queue, so no failure loses it.
#pragma once

#include <string>

#include "dispatch/tiffpeek.h"

// email_fax link modes.
constexpr int EMAIL_ATTACH = 0;        // the fax file only
constexpr int EMAIL_LINK = 1;          // a link only: gateway "-U"
constexpr int EMAIL_LINK_AND_FILE = 2; // both: gateway "-u"

// The most characters an expanded action may hold.
constexpr std::size_t DISPATCH_COMMAND_MAX = 1023;

// The state of the one run this process makes.
struct DispatchRun {
    const char* faxpath = nullptr; // the last command-line argument
    FaxTiffInfo* facts = nullptr;  // owned; freed when the run ends
    int seq = 0;                   // number after the name's two-letter prefix
    int linecode = 0;              // inode of the line's file, or 0
    int actions = 0;               // deliveries attempted
    int delivered = 0;             // deliveries that succeeded (queueing too)
    int queuecount = 0;            // added to the next queued name
    bool trace = false;            // debug mode: trace lines to stderr
};

extern DispatchRun dispatch;

// The whole run; the process's exit status (0 done, 1 could not start).
int zeldispatch_main(int argc, char** argv);

// Loads the users file and delivers to every account whose `did` matches
// (equal, or starting with '*'), in file order.
void scan_users(const char* faxline, const char* did);

// Expands `action` and runs it through /bin/sh with /dev/null for its
// standard streams; counts a delivery when it exits 0.
void DoCommand(const char* action);

// dispatch_expand results.
constexpr int EXPAND_OK = 0;
constexpr int EXPAND_TOO_LONG = -1;   // over DISPATCH_COMMAND_MAX
constexpr int EXPAND_UNQUOTABLE = -2; // a fact where the shell's quoting is not followed

// `action` with each $key replaced by the fax's fact, into `out`, quoted
// for where it stands as /bin/sh reads the action: bare, one single-quoted
// word; inside '...', each ' as '\''; inside "...", \ " $ ` backslashed.
// A $key escaped by a backslash or in a comment stays as it is.  Not
// EXPAND_OK (out unspecified): too long, as a cut command could end inside
// a quoted value; or a fact inside `...`, ${...}, $((...)), ((...)), $[...],
// $'...', a case in $(...), or after a here-document, where no one quoting
// is safe in every shell.
int dispatch_expand(const char* action, std::string& out);

// Hands the fax to the e-mail gateway; 0 accepted (exit 0, silent), -1 not.
int email_fax(const char* address, const char* path, bool html, bool pdf, int linkmode);

// Gives the fax a second name in inbox/<name> of the spool directory;
// 0 done, -1 not (logged).  The caller removes the old name.
int doqueue(const char* name);

// printf to standard error (the debug file), only in debug mode.
void dispatch_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
