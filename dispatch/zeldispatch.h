// zeldispatch: one received fax, from its TIFF file to the accounts whose
// called number it carries.  zeldispatch_main owns the run (one fax per
// process) and hands it to the delivery methods, which read it and return
// what they did; the dispatcher alone counts.  A run that cannot start
// logs why and exits 1 leaving the fax untouched; otherwise the fax is
// removed only once a delivery succeeded or it has a second name in the
// unclaimed queue, so no failure loses it.
#pragma once

#include <string>

#include "dispatch/tiffpeek.h"

// email_fax link modes.
constexpr int EMAIL_ATTACH = 0;        // the fax file only
constexpr int EMAIL_LINK = 1;          // a link only: gateway "-U"
constexpr int EMAIL_LINK_AND_FILE = 2; // both: gateway "-u"

// The most characters an expanded action may hold.
constexpr std::size_t DISPATCH_COMMAND_MAX = 1023;

// The one run this process makes: the fax, which the delivery methods
// read; the counts, which the dispatcher keeps from what they return; and
// debug mode.
struct DispatchRun {
    const char* faxpath = nullptr;      // the last command-line argument
    const FaxTiffInfo* facts = nullptr; // the fax's tags; null: none read
    int seq = 0;                        // number after the name's two-letter prefix
    int linecode = 0;                   // inode of the line's file, or 0
    bool debug = false;                 // trace lines to standard error
    int actions = 0;                    // deliveries attempted
    int delivered = 0;                  // deliveries that succeeded (queueing too)
    int queuecount = 0;                 // added to the next queued name

    // printf to standard error (the debug file), only in debug mode.
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
};

// What a delivery method did; it has logged why when it failed.
constexpr int DELIVERY_DONE = 0;
constexpr int DELIVERY_FAILED = -1;

// The whole run; the process's exit status (0 done, 1 could not start).
int zeldispatch_main(int argc, char** argv);

// Loads the users file and delivers to every account whose `did` matches
// the fax's (equal, or starting with '*'), in file order, counting into
// `run`.
void scan_users(DispatchRun& run);

// Expands `action` and runs it through /bin/sh with /dev/null for its
// standard streams; DELIVERY_DONE when it exits 0.
int DoCommand(const DispatchRun& run, const char* action);

// dispatch_expand results.
constexpr int EXPAND_OK = 0;
constexpr int EXPAND_TOO_LONG = -1;   // over DISPATCH_COMMAND_MAX
constexpr int EXPAND_UNQUOTABLE = -2; // a fact where the shell's quoting is not followed

// `action` with each $key replaced by the fact of the run's fax, into
// `out`, quoted for where it stands as /bin/sh reads the action: bare, one
// single-quoted word; inside '...', each ' as '\''; inside "...", \ " $ `
// backslashed.  A $key escaped by a backslash or in a comment stays as it
// is.  Not EXPAND_OK (out unspecified): too long, as a cut command could
// end inside a quoted value; or a fact inside `...`, ${...}, $((...)),
// ((...)), $[...], $'...', a case in $(...), or after a here-document,
// where no one quoting is safe in every shell.
int dispatch_expand(const DispatchRun& run, const char* action, std::string& out);

// Hands the run's fax to the e-mail gateway; DELIVERY_DONE when it
// accepted it (exit 0, silent).
int email_fax(const DispatchRun& run, const char* address, bool html, bool pdf, int linkmode);

// What doqueue did: DELIVERY_DONE or DELIVERY_FAILED, and how many queued
// names it used up (those it found taken, and its own), which the next
// queueing of the run passes over.
struct Queued {
    int result = DELIVERY_FAILED;
    int names = 0;
};

// Gives the fax a second name in inbox/<name> of the spool directory, the
// first free one from the run's queuecount on.  The caller removes the old
// name.
Queued doqueue(const DispatchRun& run, const char* name);
