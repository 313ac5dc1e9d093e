// sysconfig: the system configuration form (/Page6) and its update
// (/Action6).  The file is re-read and rewritten through configfile, so a
// failure leaves the old file in place and is reported on the form, never
// hidden; an update holds the file's lock from its re-read to its rewrite.
#pragma once

// The form with the configuration file's current values.
void HXsysconfig();
// Applies the posted form and rewrites the configuration file.
void HXconfigupdate();

// The I101 box, when company-name, company-phone or company-fax is blank.
void identification_warning();
