// sysconfig: the system configuration form (/Page6) and its update
// (/Action6), and the writer that rewrites the configuration file from the
// process's configuration tree (the e-mail pages use it too).  Reads and
// rewrites the configuration file; the rewrite is atomic (replacefile), so
// a failure leaves the old file in place and is reported, never hidden.
#pragma once

// The form with the configuration file's current values.
void HXsysconfig();
// Applies the posted form and rewrites the configuration file.
void HXconfigupdate();

// Rewrites the configuration file from `configroot`, trying
// /etc/opt/vantrel/vantrel.conf, then /etc/vantrel.conf (below ZEL_ROOT
// when that applies).  0, or the errno of the last path's failure.
int writeconfig();

// The I101 box, when company-name, company-phone or company-fax is blank.
void identification_warning();
