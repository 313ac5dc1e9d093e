// config: the system configuration, /etc/opt/vantrel/vantrel.conf (below
// ZEL_ROOT when that applies), loaded once per process into the one
// configuration tree (config_tree), and the installation's directories
// derived from it.  config_load_or_exit either succeeds or ends the process
// with status 1 after the catastrophic message; the getters assert that it
// has run.
#pragma once

#include "lib/btree.h"

// Loads the configuration, exports SERVER_DIRECTORY, SPOOL_DIRECTORY,
// ETC_FAX_DIRECTORY, CONFIG_DIRECTORY (and CLIENT_DIRECTORY when
// `client-directory` is set) into the environment, opens the system log and
// keeps the journals of rewrites in place in the spool directory
// (lib/journal).  A rewrite in place of the file itself that a kill cut
// short is repaired, and the file read again.
void config_load_or_exit();

// The configuration tree as loaded, which a page's update re-reads and
// changes before the file is rewritten from it (lib/configfile).
KeyTree& config_tree();

// The configured value of `key`, or null.
const char* get_config(const char* key);

// The installation directory of the fax server's tools: the value of
// `fax-directory` as it stands, a blank value too (a tool's path is built
// from it as written); `absent` when the key is not set.
const char* fax_directory(const char* absent);

// The system log: the spool directory followed by "/log".
const char* getlogfilename();

// The server (fax) directory, the spool directory and the configuration
// directory, as derived at load time.
const char* getfaxdir();
const char* getspooldir();
const char* getconfigdir();

// "dir/name" in a static buffer of 256 bytes that the next call overwrites.
// A result longer than 255 characters fails an assertion.
const char* safedfcat(const char* dir, const char* name);
