// configfile: the configuration file as the pages rewrite it: the locked
// re-read before a change, and the rewrite of the file from the process's
// configuration tree (config_tree, which config loads).  The file is
// /etc/opt/vantrel/vantrel.conf, else /etc/vantrel.conf (below ZEL_ROOT
// when that applies).  Rewrites go through replacefile, so a failure
// leaves the old file whole; failures are error numbers.
#pragma once

#include <initializer_list>

#include "lib/btree.h"

constexpr const char* CONFIG_MAIN = "/etc/opt/vantrel/vantrel.conf";
constexpr const char* CONFIG_OLD = "/etc/vantrel.conf";

// Merges the first of `paths` that opens as a regular file into
// config_tree(); false when none does.
bool config_reread(std::initializer_list<const char*> paths);

// The configuration file of an update, locked from its re-read to its
// rewrite, so that of two updates the later one changes what the earlier
// wrote.
struct LockedConfig {
    int fd = -1;   // the lock's descriptor; -1: nothing locked
    int error = 0; // why not, when a file was there; 0 when none opens
};

// Locks the first of CONFIG_MAIN and CONFIG_OLD that opens as a regular
// file (the caller closes fd).  EAGAIN when the files kept changing.
LockedConfig lockconfig();

// Merges the file of a locked descriptor into `into` as it reads now:
// keytree_read's result, 1 when it cannot be read.
int keytree_read_locked(int fd, KeyTree& into);

// Rewrites the configuration file from config_tree(), trying CONFIG_MAIN,
// then CONFIG_OLD.  0, or the errno of the last path's failure.
int writeconfig();

// Sets `key` to `value` in the configuration file as it is now and rewrites
// it, holding the file's lock from the re-read to the rewrite (as the
// update does), so that a concurrent change of another key survives.  0,
// or an error number.
int changeconfig(const char* key, const char* value);
