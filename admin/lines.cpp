#include "admin/lines.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "admin/request.h"
#include "lib/config.h"
#include "lib/configfile.h"
#include "lib/createfile.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/log.h"
#include "lib/replacefile.h"
#include "lib/spawn.h"
#include "lib/string.h"
#include "lib/ulstrcmp.h"
#include "sys/itlib.h"
#include "www/wwwinput.h"
#include "www/wwwputhtml.h"

GrowArray lines;

namespace {

constexpr const char* SELECT_TITLE = "Vantrel Image Messaging Software - Select Fax Line";
constexpr const char* UPDATE_TITLE = "Vantrel Image Messaging Software - Fax Line Update";
constexpr const char* TEST_TITLE = "Vantrel Image Messaging Software - Modem Test";
constexpr const char* RESET_TITLE = "Vantrel Image Messaging Software - Modem Reset";
constexpr const char* ERROR_TITLE = "Vantrel Image Messaging Software - Fax Line Update Error";
constexpr const char* STATUS_TITLE = "Vantrel Image Messaging Software - Fax Line Status";

constexpr const char* NO_LINE = "No line was selected!";
constexpr const char* NAME_EXISTS = "FAX LINE NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.";
constexpr const char* BAD_NAME =
    "FAX LINE NAME CONTAINS INVALID CHARACTERS, PLEASE ENTER DIFFERENT NAME.";
constexpr const char* CANNOT_DELETE = "Cannot delete fax line file.";
constexpr const char* CANNOT_RENAME = "Cannot rename fax line file.";
constexpr const char* CANNOT_CREATE = "Cannot create fax line file.";

// The red-headed box; the modem results open it without the paragraph.
constexpr const char* BOX_HEAD =
    "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\">";

// The names that nextlinename tries.
constexpr int MAX_LINE_NUMBER = 998;

bool is(const char* text, const char* word)
{
    return text != nullptr && std::strcmp(text, word) == 0;
}

std::string escaped(const char* text) { return text ? htmlescape(text) : std::string(); }

// A name that may stand for a file in the dev directory and a word of a
// command line.
bool usablename(const char* name)
{
    return name != nullptr && *name != '\0' && validlinename(name) && !is(name, ".") &&
           !is(name, "..");
}

// ---- Where things are -------------------------------------------------------

std::string devdir() { return std::string(getconfigdir()) + "/dev"; }

std::string linepath(const char* name) { return devdir() + "/" + name; }

bool fileexists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// ---- Shell words --------------------------------------------------------------

std::string toolcommand(const char* tool, const char* options, const char* name)
{
    return shellword(fax_directory(getfaxdir())) + "/lib/" + tool + " " + options + " " +
           shellword(name);
}

// ---- The field table ------------------------------------------------------------

enum class Kind { text, select };

// A field of the line form: its input, which is also its key in the line
// file, and the hidden input that carries the value the form showed.
struct LineField {
    const char* key;
    const char* oldname;
    const char* label;
    Kind kind;
    int size;            // of a text input
    const char* choices; // of a select, comma-separated
    const char* dflt;    // a new line's value, and that of a key the file lacks
    bool shown;          // false: kept in the file, not shown
};

constexpr LineField fields[] = {
    {"name", "oname", "Fax Line Name", Kind::text, 32, nullptr, "fax-line-1", true},
    {"device", "odevice", "Device Name", Kind::text, 32, nullptr, "/dev/ttyxx", true},
    {"uucp-lock-file", "ouucp-lock-file", "UUCP Lock File", Kind::text, 40, nullptr,
     "/var/lock/LCK..ttyxx", true},
    {"fax-line-mode", "ofax-line-mode", "Fax Mode", Kind::select, 0,
     "disabled,receive only,send only,send/receive", "disabled", true},
    {"data-receive", "odata-receive", "Enable Logins", Kind::select, 0, "Yes,No", "No", true},
    {"class2-type", "oclass2-type", "Class 2 Type", Kind::select, 0,
     "auto,class2,class2.0,rockwell,rockwell2,rockwell3", "auto", true},
    {"device-type", "odevice-type", "Device Type", Kind::select, 0, "eia592,Gammalink", "eia592",
     true},
    {"speed", "ospeed", "Modem Init Speed", Kind::select, 0, "9600,19200,38400,57600", "19200",
     true},
    {"fax-speed", "ofax-speed", "Modem Fax-Mode Speed", Kind::select, 0, "9600,19200,38400,57600",
     "19200", true},
    {"line-type", "oline-type", "Line Type", Kind::text, 16, nullptr, "default", true},
    {"modem-init-string", "omodem-init-string", "Modem Init String", Kind::text, 40, nullptr,
     "ATM0S0=0S7=45&D2&C1", true},
    {"number-of-rings", "onumber-of-rings", "Number of Rings", Kind::text, 2, nullptr, "1", true},
    {"pulse-dial", "opulse-dial", "Pulse Dial", Kind::select, 0, "Yes,No", "No", true},
    {"receive-only", "oreceive-only", "Receive Only", Kind::select, 0, "Yes,No", "No", false},
    {"tsi", "otsi", "Station ID", Kind::text, 20, nullptr, "", true},
};
constexpr std::size_t FIELD_COUNT = std::size(fields);

// One request's values of the form, parallel to fields; nullopt: not
// posted.
struct FieldValues {
    std::optional<std::string> value;
    std::optional<std::string> old;
};
using LineForm = std::array<FieldValues, FIELD_COUNT>;

int linewarnings(const LineForm& form);
void applylinemode(const LineForm& form);

std::size_t field(const char* key)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        if (std::strcmp(fields[i].key, key) == 0)
            return i;
    std::abort(); // a key of the table itself
}

const char* current(const LineForm& form, const char* key)
{
    const FieldValues& f = form[field(key)];
    return f.value ? f.value->c_str() : nullptr;
}

void setname(LineForm& form, const char* name)
{
    FieldValues& f = form[field("name")];
    f.value = f.old = name ? name : "";
}

// Every value and old value empty.
LineForm clearedform()
{
    LineForm form;
    for (FieldValues& f : form)
        f.value = f.old = std::string();
    return form;
}

std::optional<std::string> posted(const char* name)
{
    const char* value = formvalue(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

LineForm formfromposted()
{
    LineForm form;
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        form[i].value = posted(fields[i].key);
        form[i].old = posted(fields[i].oldname);
    }
    return form;
}

// The value shown is also the old value, so that a save can tell what
// the administrator changed from what the form merely carried.
void formfromfile(LineForm& form, const KeyTree& tree)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        const char* value = keytree_lookup(tree, fields[i].key);
        form[i].value = form[i].old = value ? value : fields[i].dflt;
    }
}

void formdefaults(LineForm& form)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        form[i].value = fields[i].dflt;
}

void formhidden(const LineForm& form)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        putf("<input type=hidden name=\"%s\" value=\"%s\">\n", fields[i].oldname,
             form[i].old ? htmlescape(*form[i].old).c_str() : "");
}

void putchoices(const LineField& f, const FieldValues& v)
{
    putf("<select name=\"%s\" size=1>\n", f.key);
    std::string choices = f.choices;
    std::size_t start = 0;
    while (start <= choices.size()) {
        std::size_t end = choices.find(',', start);
        if (end == std::string::npos)
            end = choices.size();
        std::string choice = choices.substr(start, end - start);
        bool selected = v.value && ulstrcmp(choice.c_str(), v.value->c_str()) == 0;
        putf(selected ? "  <option selected>%s</option>\n" : "  <option>%s</option>\n",
             choice.c_str());
        start = end + 1;
    }
    putf("</select>\n");
}

void formrows(const LineForm& form)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i) {
        const LineField& f = fields[i];
        if (!f.shown)
            continue;
        putf("<tr bgcolor=\"#eeeecc\">\n<td>%s</td>\n<td>\n", f.label);
        if (f.kind == Kind::select)
            putchoices(f, form[i]);
        else
            putf("<input type=text name=\"%s\" size=%d value=\"%s\">\n", f.key, f.size,
                 form[i].value ? htmlescape(*form[i].value).c_str() : "");
        putf("</td>\n</tr>\n");
    }
}

// ---- Saving -------------------------------------------------------------------

// Results of the saves below.
constexpr int SAVE_OK = 0;
constexpr int SAVE_FAILED = -1; // not read, not written, not removed
constexpr int SAVE_GONE = -2;   // the line file is gone (deleted or renamed meanwhile)
constexpr int SAVE_EXISTS = -3; // a line of the new name exists

// The fields that a save writes, parallel to fields.
using Changes = std::array<bool, FIELD_COUNT>;

// Every posted field: a new line.
Changes postedfields(const LineForm& form)
{
    Changes changes{};
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        changes[i] = form[i].value.has_value();
    return changes;
}

// The posted fields whose value differs from the posted old one, so that
// what another save changed since this form was shown stays as it is.  A
// field posted without an old value (by a script rather than the form)
// is taken as it stands.
Changes changedfields(const LineForm& form)
{
    Changes changes{};
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        changes[i] = form[i].value && (!form[i].old || *form[i].value != *form[i].old);
    return changes;
}

bool applychanges(KeyTree& tree, const LineForm& form, const Changes& changes)
{
    for (std::size_t i = 0; i < FIELD_COUNT; ++i)
        if (changes[i] && keytree_set(tree, fields[i].key, form[i].value->c_str()) == nullptr)
            return false;
    return true;
}

// Locks the line file at `path` and reads it as it is now.  SAVE_GONE
// also when it went while this process waited for the lock.
int lockline(const std::string& path, Fd& lock, KeyTree& tree)
{
    int fd = lock_path(path.c_str());
    if (fd == LOCK_NOFILE)
        return SAVE_GONE;
    if (fd < 0)
        return SAVE_FAILED;
    lock.reset(fd);
    return keytree_read_locked(fd, tree) == 0 ? SAVE_OK : SAVE_FAILED;
}

// A new line file, readable by all (0644), under a name that must still
// be free.  SAVE_EXISTS when it is not.
int createline(const std::string& path, const KeyTree& tree)
{
    if (makeparents(path.c_str(), 0644) != 0)
        return SAVE_FAILED;
    mode_t mask = umask(022);
    int result =
        createnewfile(path.c_str(), [&tree](FILE* file) { return keytree_write(tree, file); });
    umask(mask);
    if (result == REPLACE_EXISTS)
        return SAVE_EXISTS;
    return result == REPLACE_OK ? SAVE_OK : SAVE_FAILED;
}

int addfile(const std::string& path, const LineForm& form)
{
    KeyTree tree;
    if (!applychanges(tree, form, postedfields(form)))
        return SAVE_FAILED;
    return createline(path, tree);
}

// The change is made to the file as read under its lock, held to the
// rewrite, so that saves of one line at once each keep what the others
// wrote.  The file's own keys and comments stay.  A line deleted or
// renamed meanwhile is not written again under its old name.
int savefile(const std::string& path, const LineForm& form, const Changes& changes)
{
    Fd lock;
    KeyTree tree;
    if (int r = lockline(path, lock, tree); r != SAVE_OK)
        return r;
    if (!applychanges(tree, form, changes))
        return SAVE_FAILED;
    int result =
        replacefile(path.c_str(), [&tree](FILE* file) { return keytree_write(tree, file); });
    return result == REPLACE_OK ? SAVE_OK : SAVE_FAILED;
}

// The old file, changed, under the new name, then the old name goes, all
// under the old file's lock: a save that waited for it finds the line
// gone rather than writing to the old name.
int movefile(const std::string& from, const std::string& to, const LineForm& form,
             const Changes& changes)
{
    Fd lock;
    KeyTree tree;
    if (int r = lockline(from, lock, tree); r != SAVE_OK)
        return r;
    if (!applychanges(tree, form, changes))
        return SAVE_FAILED;
    if (int r = createline(to, tree); r != SAVE_OK)
        return r;
    if (unlink(from.c_str()) != 0) {
        unlink(to.c_str());
        return SAVE_FAILED;
    }
    return SAVE_OK;
}

// Under the file's lock, so that a save waiting for it finds it gone.
int deletefile(const std::string& path)
{
    int fd = lock_path(path.c_str());
    if (fd < 0)
        return fd == LOCK_NOFILE ? SAVE_GONE : SAVE_FAILED;
    Fd lock(fd);
    return unlink(path.c_str()) == 0 ? SAVE_OK : SAVE_FAILED;
}

// ---- The fax mode ---------------------------------------------------------------

bool receiving(const char* mode)
{
    return ulstrcmp(mode, "receive only") == 0 || ulstrcmp(mode, "send/receive") == 0;
}

bool sending(const char* mode)
{
    return ulstrcmp(mode, "send only") == 0 || ulstrcmp(mode, "send/receive") == 0;
}

bool knownmode(const char* mode)
{
    return mode && (receiving(mode) || sending(mode) || ulstrcmp(mode, "disabled") == 0);
}

const char* derivedmode(bool receiveonly, bool on)
{
    if (receiveonly)
        return on ? "receive only" : "disabled";
    return on ? "send/receive" : "send only";
}

void setreceiveonly(LineForm& form)
{
    const char* mode = current(form, "fax-line-mode");
    if (knownmode(mode))
        form[field("receive-only")].value = sending(mode) ? "No" : "Yes";
}

// ---- Tool runs ------------------------------------------------------------------

// With a fresh admin token; a tool that prints anything has failed, and
// what it printed is shown as the error page.
void run_tool_output_as_error(const std::string& command)
{
    settoken();
    char* output = nullptr;
    run_shell_merged_output(command.c_str(), &output);
    if (output != nullptr && *output != '\0')
        HXerror(command.c_str(), output);
    std::free(output);
}

int analyse(const char* device, const char* name)
{
    readinittab();
    return analyse_inittab(device, name, 0);
}

void freeline(const char* name) { run_tool_output_as_error(toolcommand("tabctl", "-f", name)); }

// ---- The line list --------------------------------------------------------------

LineRecord* record(int i) { return static_cast<LineRecord*>(growarray_at(&lines, i)); }

void freerecords()
{
    for (int i = 0; i < lines.count; ++i) {
        LineRecord* r = record(i);
        delete r->tree;
        delete r->status;
        std::free(r->name);
        std::free(r->statuspath);
    }
    growarray_free(&lines);
}

int loadlines(bool report)
{
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(freerecords);
    }
    freerecords();
    growarray_init(&lines, sizeof(LineRecord), 4);
    std::string dir = devdir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        if (report)
            putf("ERROR - Cannot open the directory (%s)", htmlescape(dir).c_str());
        return -1;
    }
    while (dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string path = dir + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        FILE* file = std::fopen(path.c_str(), "re");
        if (file == nullptr) {
            logerror("%s", path.c_str());
            continue;
        }
        auto* tree = new KeyTree;
        int bad = keytree_read(*tree, file);
        std::fclose(file);
        LineRecord* r = bad ? nullptr : static_cast<LineRecord*>(growarray_add(&lines, 1));
        if (r == nullptr) {
            delete tree;
            continue;
        }
        r->tree = tree;
        r->name = strdup(entry->d_name);
        r->statuspath =
            strdup((std::string(getspooldir()) + "/devstatus/" + entry->d_name).c_str());
    }
    closedir(d);
    return lines.count;
}

// ---- Pages ------------------------------------------------------------------------

void putmessage(const char* message)
{
    if (message)
        puthtml("<p><b>%s</b>\n", message);
}

// The form again after a refused submission, with the posted values.
void showagain(const char* message) { lineform(formvalue("name"), 1, message); }

void modempage(const char* name, bool reset)
{
    putpagehead("%s", reset ? RESET_TITLE : TEST_TITLE);
    putbanner(reset ? "HXmodemreset" : "HXmodemtest");
    putf(reset ? "<p>Please wait while we reset and test this modem (this can take up to "
                 "two minutes).<p><pre>"
               : "<p>Please wait while we test this modem (this can take up to two "
                 "minutes).<p><pre>");
    std::fflush(stdout);
    freeline(name);
    std::string command = toolcommand("mdmchk", reset ? "-T -f" : "-t -f", name);
    char* output = nullptr;
    run_shell_merged_output(command.c_str(), &output);
    if (output != nullptr && *output != '\0')
        putf("</pre>%s<td align=center><b>Modem Test Results</b> </td></tr><tr><td><pre>"
             "%s</pre><p></table><p>",
             BOX_HEAD + 3, output);
    else
        putf("</pre>");
    std::free(output);
    putfooter();
}

void putbuttons(const char* button)
{
    if (is(button, "Update")) {
        putf("<input type=submit name=button value=\"Update\">\n");
    } else if (is(button, "Delete")) {
        putf("ARE YOU SURE YOU WANT TO DELETE THIS LINE?");
        putf("<input type=submit name=button value=\"Delete\">\n");
    } else if (is(button, "Add")) {
        putf("<input type=submit name=button value=\"Add\">\n");
    } else {
        return;
    }
    putf("<input type=submit name=button value=\"Cancel\">\n");
}

// The line's file as the form shows it; ends the request when it is gone.
// The inittab's state of the line.
int formfromline(LineForm& form, const char* name)
{
    std::optional<LineFile> line = loadline(name);
    if (!line) {
        putf("<p>Cannot locate device named %s.\n", htmlescape(name).c_str());
        putfooter();
        std::exit(-1);
    }
    formfromfile(form, line->tree);
    setname(form, name);
    return line->analysis;
}

void linepage(const char* name, int redisplay, const char* message, const char* button)
{
    putpagehead("%s", UPDATE_TITLE);
    putbanner("HXlineupdate");
    LineForm form = clearedform();
    bool add = is(button, "Add");
    if (add) {
        name = nextlinename();
        if (!redisplay) {
            formdefaults(form);
            setname(form, name);
        }
    }
    if (redisplay) {
        form = formfromposted();
    } else if (!add) {
        int analysis = formfromline(form, name);
        putf("<!-- inittabstat %d -->\n", analysis);
    }
    putmessage(message);
    if (!add)
        linewarnings(form);
    puthtml("<form action=\"$SCRIPT_NAME/Action7\" method=post>\n");
    formhidden(form);
    putf("<p><table border=2 cellpadding=2 cellspacing=2>");
    putf("<caption>Parameters for <em>%s</em></caption>", escaped(name).c_str());
    formrows(form);
    putf("</table>\n<p>\n");
    putbuttons(button);
    putf("</form>");
    putfooter();
}

void donepage(const char* name, const char* verb)
{
    std::string message = "Fax line <em>" + htmlescape(name) + "</em> has been " + verb + ".<p>\n";
    HXselectline(message.c_str());
}

// The line was deleted or renamed by someone else between its form and
// this save.
void gonepage(const char* name)
{
    std::string message = "Fax line <em>" + htmlescape(name) +
                          "</em> no longer exists: it was deleted or renamed after its form was "
                          "shown, and nothing was saved.<p>\n";
    HXselectline(message.c_str());
}

void deleteline(const char* name)
{
    if (deletefile(linepath(name)) != SAVE_OK) {
        showagain(CANNOT_DELETE);
        return;
    }
    donepage(name, "deleted");
}

void addline(const char* name, LineForm& form)
{
    setreceiveonly(form);
    // A line that could not be written is not reported as added, and its
    // receiving is left alone.
    int result = addfile(linepath(name), form);
    if (result != SAVE_OK) {
        showagain(result == SAVE_EXISTS ? NAME_EXISTS : CANNOT_CREATE);
        return;
    }
    applylinemode(form);
    donepage(name, "added");
}

// What an update changes: receive-only follows a changed mode.
Changes updatechanges(LineForm& form)
{
    Changes changes = changedfields(form);
    if (changes[field("fax-line-mode")]) {
        setreceiveonly(form);
        changes[field("receive-only")] = form[field("receive-only")].value.has_value();
    }
    return changes;
}

// Receiving is switched only for a changed mode or device, so that a save
// of other fields leaves what another administrator switched since as it
// is.
bool switchesmode(const Changes& changes)
{
    return changes[field("fax-line-mode")] || changes[field("device")];
}

void renameline(const char* name, const char* oname, LineForm& form)
{
    std::string path = linepath(name);
    if (fileexists(path)) {
        showagain(NAME_EXISTS);
        return;
    }
    // Without an old name there is nothing to rename.
    if (!oname) {
        showagain(CANNOT_RENAME);
        return;
    }
    if (!usablename(oname)) {
        showagain(BAD_NAME);
        return;
    }
    Changes changes = updatechanges(form);
    int result = movefile(linepath(oname), path, form, changes);
    if (result == SAVE_GONE) {
        gonepage(oname);
        return;
    }
    if (result != SAVE_OK) {
        showagain(result == SAVE_EXISTS ? NAME_EXISTS : CANNOT_RENAME);
        return;
    }
    // The new name has no receiving of its own yet, whatever the mode.
    applylinemode(form);
    donepage(name, "renamed/updated");
}

void updateline(const char* name, const char* oname, LineForm& form)
{
    if (!is(oname, name)) {
        renameline(name, oname, form);
        return;
    }
    Changes changes = updatechanges(form);
    int result = savefile(linepath(name), form, changes);
    if (result == SAVE_GONE) {
        gonepage(name);
        return;
    }
    if (result != SAVE_OK) {
        showagain(CANNOT_RENAME);
        return;
    }
    if (switchesmode(changes))
        applylinemode(form);
    donepage(name, "updated");
}

// The probe's answer: whether the process of the id in `value` is gone.
// An id that is not a positive number names no process of its own (0 and
// negative ids would probe process groups).
bool gone(const char* value, long* pid, int* probe)
{
    char* end = nullptr;
    errno = 0;
    long id = std::strtol(value, &end, 10);
    while (end && *end == ' ')
        ++end;
    if (end == value || *end != '\0' || errno != 0 || id <= 0 || id > INT_MAX)
        return true;
    *pid = id;
    *probe = kill(static_cast<pid_t>(id), 0);
    return *probe != 0 && errno == ESRCH;
}

struct Probes {
    long pid = 0;
    int retval = 0;
};

void statusrow(const LineRecord& line, Probes& probes)
{
    const char* device = keytree_lookup(*line.tree, "device");
    const char* status = keytree_lookup(*line.status, "status");
    const char* listen = keytree_lookup(*line.status, "listen-process-id");
    const char* process = keytree_lookup(*line.status, "process-id");
    const char* receive = "not active";
    if (listen) {
        long pid = 0;
        receive = gone(listen, &pid, &probes.retval) ? "not running" : "running";
        probes.pid = pid;
    }
    const char* transmit = "not active";
    if (process) {
        long ignored = 0;
        bool same = listen && std::strtol(process, nullptr, 10) == std::strtol(listen, nullptr, 10);
        transmit = same || gone(process, &ignored, &probes.retval) ? "not running" : "running";
    }
    putf("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td></tr>\n",
         htmlescape(line.name).c_str(), escaped(device ? device : "Unknown").c_str(),
         escaped(status ? status : "Not available").c_str(), receive, transmit);
}

} // namespace

// ---- Entry points ---------------------------------------------------------------------

void HXselectline(const char* message)
{
    // The page opens first, so that a failure to read the directory shows
    // inside it.
    putpagehead("%s", SELECT_TITLE);
    putbanner("HXselectline");
    int count = linelist();
    putmessage(message);
    putf("<p>Please select the fax line you wish to update or delete, or press add to add "
         "a new line to the system.\n");
    puthtml("<form action=\"$SCRIPT_NAME/Action8\" method=post>\n");
    putf("<select name=lname size=4>\n");
    for (int i = 0; i < lines.count; ++i) {
        std::string name = htmlescape(record(i)->name);
        putf("<option value=\"%s\">%s\n", name.c_str(), name.c_str());
    }
    putf("</select><br>\nNumber of fax lines defined: %d\n", count < 0 ? 0 : count);
    putf("<input type=submit name=button value=\"Add\">\n");
    putf("<input type=submit name=button value=\"Update\">\n");
    putf("<input type=submit name=button value=\"Delete\">\n");
    putf("<p><input type=submit name=button value=\"Test Modem\">\n");
    putf("<input type=submit name=button value=\"Reset Modem\">\n");
    putf("</form>\n");
    putfooter();
}

void lineform(const char* name, int redisplay, const char* message)
{
    const char* button = formvalue("button");
    bool needsname = button == nullptr || is(button, "Update") || is(button, "Test Modem") ||
                     is(button, "Reset Modem") || is(button, "Delete");
    if (needsname && if_blank(name)) {
        HXselectline(NO_LINE);
        return;
    }
    if (is(button, "Cancel")) {
        gohome();
        return;
    }
    bool test = is(button, "Test Modem"), reset = is(button, "Reset Modem");
    // Only a name that stays inside the dev directory and is one word of a
    // command line is looked up or handed to a tool.
    bool usesname = test || reset || (!redisplay && !is(button, "Add"));
    if (usesname && !usablename(name)) {
        HXselectline(NO_LINE);
        return;
    }
    if (test || reset)
        modempage(name, reset);
    else
        linepage(name, redisplay, message, button);
}

void lineupdate()
{
    LineForm form = formfromposted();
    const char* name = formvalue("name");
    const char* oname = formvalue("oname");
    const char* button = formvalue("button");
    if (is(button, "Cancel")) {
        HXselectline(nullptr);
        return;
    }
    bool known = is(button, "Delete") || is(button, "Add") || is(button, "Update") ||
                 is(button, "Test Modem") || is(button, "Reset Modem");
    if (!known) {
        HXselectline(nullptr);
        return;
    }
    // Checked before anything is read, written, removed or run: an update
    // or a delete names files too.  A rename's old name is checked where
    // the rename needs it, after the new name's existence.
    if (!usablename(name)) {
        showagain(BAD_NAME);
        return;
    }
    if (is(button, "Test Modem") || is(button, "Reset Modem"))
        modempage(name, is(button, "Reset Modem"));
    else if (is(button, "Delete"))
        deleteline(name);
    else if (is(button, "Add"))
        addline(name, form);
    else
        updateline(name, oname, form);
}

void HXerror(const char* command, const char* output)
{
    if (headstate() == HEAD_BODY) {
        // A modem page is open, its output inside <pre>: the error joins it
        // rather than starting a second document.
        putf("</pre>");
    } else {
        putpagehead("%s", ERROR_TITLE);
    }
    putbanner("HXerror");
    putf("<p>There has been a problem trying to update the specified faxline. Please "
         "report the following error to %s<p>Here is the command that we tried to run:"
         "<pre>",
         SUPPORT_EMAIL);
    puthtmlescaped(command);
    putf("</pre><p>Here is the output that we received:<pre>%s</pre>", output ? output : "");
    putfooter();
    std::exit(0);
}

void HXlinestatus()
{
    putpagehead("%s", STATUS_TITLE);
    putbanner("HXlinestatus");
    for (const char* cell :
         {"<p><table align=center cellpadding=4 border=2>", "<tr>", "<th>Port</th>",
          "<th>Device</th>", "<th>Status</th>", "<th>Fax Receive<br>Daemon</th>",
          "<th>Fax Transmit<br>Daemon</th>", "</tr>"})
        putline(cell);
    linelist();
    Probes probes;
    for (int i = 0; i < lines.count; ++i) {
        LineRecord* line = record(i);
        line->status = new KeyTree;
        FILE* file = std::fopen(line->statuspath, "re");
        int bad = file ? keytree_read(*line->status, file) : 1;
        if (file)
            std::fclose(file);
        if (bad)
            putf("<tr><td>%s</td><td colspan=2>%s</td></tr>\n", htmlescape(line->name).c_str(),
                 "No status available");
        else
            statusrow(*line, probes);
    }
    int error = errno;
    putf("</table>\n");
    putf("<!-- pid=%ld retval=%d errno=%d -->\n", probes.pid, probes.retval, error);
    putf("<p><i>To start or stop fax receive daemons go to the ");
    puthtml("<a href=\"$SCRIPT_NAME/Page20\">Configure Fax Line</a>\n");
    putf("page, select the appropriate line, and change the</i> Fax Mode ");
    putf("<i>to enable or disable receiving.</i>");
    putfooter();
}

int linelist() { return loadlines(true); }

std::optional<LineFile> loadline(const char* name)
{
    if (!usablename(name))
        return std::nullopt;
    FILE* file = std::fopen(linepath(name).c_str(), "re");
    if (file == nullptr)
        return std::nullopt;
    LineFile line;
    int bad = keytree_read(line.tree, file);
    std::fclose(file);
    if (bad)
        return std::nullopt;
    line.analysis = analyse(keytree_lookup(line.tree, "device"), name);
    bool receiveonly = if_yes(keytree_lookup(line.tree, "receive-only"), 0);
    keytree_set(line.tree, "fax-line-mode",
                derivedmode(receiveonly, line.analysis == INITTAB_ENABLED));
    return line;
}

int devicestate(const char* device)
{
    struct stat st;
    if (if_blank(device) || stat(device, &st) != 0)
        return 1;
    return S_ISCHR(st.st_mode) ? 0 : 2;
}

int firstlinecheck()
{
    if (loadlines(false) <= 0)
        return 1;
    return devicestate(keytree_lookup(*record(0)->tree, "device"));
}

bool faxmodemmissing() { return firstlinecheck() != 0; }

const char* nextlinename()
{
    static char name[32];
    for (int i = 1; i <= MAX_LINE_NUMBER; ++i) {
        std::snprintf(name, sizeof name, "fax-line-%d", i);
        if (!fileexists(linepath(name)))
            return name;
    }
    return "Error!";
}

int validlinename(const char* name)
{
    // The name is a word of the tools' command lines: one that starts with
    // '-' would be taken as an option.
    if (name && *name == '-')
        return 0;
    for (const char* p = name; p && *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  std::strchr(".-+=_#:", c) != nullptr;
        if (!ok)
            return 0;
    }
    return 1;
}

namespace {

int linewarnings(const LineForm& form)
{
    const char* device = current(form, "device");
    const char* speed = current(form, "speed");
    const char* faxspeed = current(form, "fax-speed");
    int state = devicestate(device);
    bool slow = !is(speed, "19200") || !is(faxspeed, "19200");
    if (state == 0 && !slow)
        return 0;
    putf("%s<td align=center><b>WARNING!</b> (I102)</td></tr><tr><td> The following "
         "problems have been detected with this device configuration:<ul>",
         BOX_HEAD);
    if (state == 1 && if_blank(device))
        putf("<li>the device file is not defined (ERROR I110)\n");
    else if (state == 1)
        putf("<li>the device file (%s) does not exist(ERROR I120)\n", htmlescape(device).c_str());
    else if (state == 2)
        putf("<li>the device file (%s) is not a special characterfile (ERROR I130)\n",
             htmlescape(device).c_str());
    if (slow)
        putf("<li>one or more of the 'speed' fields below are set to speeds other than "
             "19200 (ERROR I140).[%s][%s]",
             escaped(speed).c_str(), escaped(faxspeed).c_str());
    putf("</ul><p>Please set this information in the appropriate fields below.<p>"
         "</table><p>");
    return 1;
}

void applylinemode(const LineForm& form)
{
    const char* name = current(form, "name");
    const char* mode = current(form, "fax-line-mode");
    const char* device = current(form, "device");
    if (!usablename(name) || !knownmode(mode))
        return;
    int result = analyse(device, name);
    if (!receiving(mode)) {
        if (result == INITTAB_ENABLED)
            run_tool_output_as_error(toolcommand("tabctl", "-d", name));
        return;
    }
    if (result == INITTAB_DISABLED) {
        run_tool_output_as_error(toolcommand("tabctl", "-e", name));
        return;
    }
    if (result == INITTAB_GETTY) {
        run_tool_output_as_error(toolcommand("tabctl", "-x", name));
        result = analyse(device, name);
    }
    if (result != INITTAB_NOENTRY)
        return;
    int id = freeinittabid();
    std::string add = toolcommand("tabctl", "-a", name);
    if (id <= 0 || id > UCHAR_MAX)
        HXerror(add.c_str(),
                "No free inittab entry identifier is left (qrt1 to qrtZ are in use).\n");
    std::string entry = std::string("qrt") + static_cast<char>(id) +
                        ":2345:respawn:" + fax_directory(getfaxdir()) + "/lib/lineward " + name;
    run_tool_output_as_error(add + " -l '" + shellword_inner(entry) + "'");
}

} // namespace
