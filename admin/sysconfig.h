// sysconfig: the system configuration form (/Page6) and its update
// (/Action6), and the writer that rewrites the configuration file from the
// process's configuration tree (the e-mail pages use it too).  Reads and
// rewrites the configuration file (replacefile), so a failure leaves the old
// file in place and is reported, never hidden.  An update holds the file's
// lock (lock_path) from its re-read to its rewrite.
#pragma once

// The form with the configuration file's current values.
void HXsysconfig();
// Applies the posted form and rewrites the configuration file.
void HXconfigupdate();

// Rewrites the configuration file from `configroot`, trying
// /etc/opt/vantrel/vantrel.conf, then /etc/vantrel.conf (below ZEL_ROOT
// when that applies).  0, or the errno of the last path's failure.
int writeconfig();

// Sets `key` to `value` in the configuration file as it is now and rewrites
// it, holding the file's lock from the re-read to the rewrite (as the
// update does), so that a concurrent change of another key survives.  0,
// or an error number.
int changeconfig(const char* key, const char* value);

// The I101 box, when company-name, company-phone or company-fax is blank.
void identification_warning();
