// linefile: the fax line files in "<config>/dev" and the line tool runs
// that follow their changes.  Owns the line form's field table, the list
// of lines, and every change to a line's file: a save writes only the
// fields changed on the form, to the file as read under its lock
// (lib/filelock); an add creates the file only under a free name; a
// rename or a delete holds that lock too, so that none loses what another
// wrote.  A name reaches a file name or a command line only after
// usablelinename.  Changes answer LINEFILE_* codes; a tool that prints
// anything has failed, and its run answers what it printed (ToolFailure).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

#include "lib/btree.h"
#include "lib/growarray.h"

// One line of the line list.
struct LineRecord {
    KeyTree* tree; // the line file
    char* name;
    char* statuspath; // "<spool>/devstatus/<name>"
    KeyTree* status;  // the status file, filled by the status page
};

// The line list, loaded by loadlines.
extern GrowArray lines;
LineRecord* linerecord(int i);

// A line's file as the line form shows it.
struct LineFile {
    KeyTree tree; // with fax-line-mode derived from the inittab
    int analysis; // analyse_inittab's answer for the line
};

// A field of the line form: its input, which is also its key in the line
// file, and the hidden input that carries the value the form showed.
struct LineField {
    enum class Kind { text, select };
    const char* key;
    const char* oldname;
    const char* label;
    Kind kind;
    int size;            // of a text input
    const char* choices; // of a select, comma-separated
    const char* dflt;    // a new line's value, and that of a key the file lacks
    bool shown;          // false: kept in the file, not shown
};

inline constexpr LineField linefields[] = {
    {"name", "oname", "Fax Line Name", LineField::Kind::text, 32, nullptr, "fax-line-1", true},
    {"device", "odevice", "Device Name", LineField::Kind::text, 32, nullptr, "/dev/ttyxx", true},
    {"uucp-lock-file", "ouucp-lock-file", "UUCP Lock File", LineField::Kind::text, 40, nullptr,
     "/var/lock/LCK..ttyxx", true},
    {"fax-line-mode", "ofax-line-mode", "Fax Mode", LineField::Kind::select, 0,
     "disabled,receive only,send only,send/receive", "disabled", true},
    {"data-receive", "odata-receive", "Enable Logins", LineField::Kind::select, 0, "Yes,No", "No",
     true},
    {"class2-type", "oclass2-type", "Class 2 Type", LineField::Kind::select, 0,
     "auto,class2,class2.0,rockwell,rockwell2,rockwell3", "auto", true},
    {"device-type", "odevice-type", "Device Type", LineField::Kind::select, 0, "eia592,Gammalink",
     "eia592", true},
    {"speed", "ospeed", "Modem Init Speed", LineField::Kind::select, 0, "9600,19200,38400,57600",
     "19200", true},
    {"fax-speed", "ofax-speed", "Modem Fax-Mode Speed", LineField::Kind::select, 0,
     "9600,19200,38400,57600", "19200", true},
    {"line-type", "oline-type", "Line Type", LineField::Kind::text, 16, nullptr, "default", true},
    {"modem-init-string", "omodem-init-string", "Modem Init String", LineField::Kind::text, 40,
     nullptr, "ATM0S0=0S7=45&D2&C1", true},
    {"number-of-rings", "onumber-of-rings", "Number of Rings", LineField::Kind::text, 2, nullptr,
     "1", true},
    {"pulse-dial", "opulse-dial", "Pulse Dial", LineField::Kind::select, 0, "Yes,No", "No", true},
    {"receive-only", "oreceive-only", "Receive Only", LineField::Kind::select, 0, "Yes,No", "No",
     false},
    {"tsi", "otsi", "Station ID", LineField::Kind::text, 20, nullptr, "", true},
};
constexpr std::size_t LINE_FIELD_COUNT = std::size(linefields);

// One request's values of the form, parallel to linefields; nullopt: not
// posted.
struct LineValue {
    std::optional<std::string> value;
    std::optional<std::string> old;
};
using LineForm = std::array<LineValue, LINE_FIELD_COUNT>;
// The fields that a save writes, parallel to linefields.
using LineChanges = std::array<bool, LINE_FIELD_COUNT>;

// The index of `key` in linefields, which must hold it.
std::size_t linefield(const char* key);
// The form's value of `key`, or null.
const char* linevalue(const LineForm& form, const char* key);

// What an update changes: the posted fields whose value differs from the
// posted old one (a field posted without an old value, by a script rather
// than the form, is taken as it stands); receive-only follows a changed
// mode, in `form` too.
LineChanges updatechanges(LineForm& form);
// Whether the changes call for receiving to be switched (applylinemode):
// only a changed mode or device.
bool switchesmode(const LineChanges& changes);

// Results of the changes below.
constexpr int LINEFILE_OK = 0;
constexpr int LINEFILE_FAILED = -1; // not read, not written, not removed
constexpr int LINEFILE_GONE = -2;   // the line file is gone (deleted or renamed meanwhile)
constexpr int LINEFILE_EXISTS = -3; // a line of the new name exists
// loadlines: the dev directory does not open.
constexpr int LINEFILE_NODIR = -1;

// A new line's file with every posted field, receive-only following the
// mode (in `form` too), readable by all; LINEFILE_EXISTS when the name is
// taken.
int addlinefile(const char* name, LineForm& form);
// The changed fields into the line's file as it is under its lock; the
// file's own keys and comments stay.
int savelinefile(const char* name, const LineForm& form, const LineChanges& changes);
// The file of line `from`, changed, under the name `to`, which must be
// free; the old name goes.
int movelinefile(const char* from, const char* to, const LineForm& form,
                 const LineChanges& changes);
int deletelinefile(const char* name);

// The dev directory, and whether a line of that name has a file there.
std::string linedir();
bool lineexists(const char* name);

// Reads the line list, a record for every regular file of the dev
// directory that reads; unreadable files are logged.  The count, or
// LINEFILE_NODIR.
int loadlines();
// The file of line `name`, or nullopt when the name is unusable or the
// file does not read.
std::optional<LineFile> loadline(const char* name);
int devicestate(const char* device);
// 1: no line defined; otherwise devicestate of the first listed line's device.
int firstlinecheck();
// For the home page's alerts: no line is defined or the first listed
// line's device is not a usable character device.
bool faxmodemmissing();
// The first "fax-line-N" without a file (N up to 998), or "Error!".
const char* nextlinename();
// 1 when `name` holds only letters, digits and ".-+=_#:" and does not
// begin with '-' (a tool would take it for an option).
int validlinename(const char* name);
// A name that may stand for a file in the dev directory and a word of a
// command line: not empty, valid, neither "." nor "..".
bool usablelinename(const char* name);

// A line tool's run that printed something: the command and what it
// printed.
struct ToolFailure {
    std::string command;
    std::string output;
};
// Switches receiving on the line (through its inittab entry) as the form's
// mode asks, adding the entry when there is none; stops at the first run
// that fails.  A form with an unusable name or an unknown mode changes
// nothing.
std::optional<ToolFailure> applylinemode(const LineForm& form);
// Frees the line for a modem check.
std::optional<ToolFailure> freeline(const char* name);
// What the modem check of line `name` printed (a reset first when `reset`).
std::string checkmodem(const char* name, bool reset);
