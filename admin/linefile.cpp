#include "admin/linefile.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

GrowArray lines;

namespace {

// The names that nextlinename tries.
constexpr int MAX_LINE_NUMBER = 998;

std::string linepath(const char* name) { return linedir() + "/" + name; }

bool fileexists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string toolcommand(const char* tool, const char* options, const char* name)
{
    return shellword(fax_directory(getfaxdir())) + "/lib/" + tool + " " + options + " " +
           shellword(name);
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
    const char* mode = linevalue(form, "fax-line-mode");
    if (knownmode(mode))
        form[linefield("receive-only")].value = sending(mode) ? "No" : "Yes";
}

// ---- Saving -------------------------------------------------------------------

// Every posted field: a new line.
LineChanges postedfields(const LineForm& form)
{
    LineChanges changes{};
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        changes[i] = form[i].value.has_value();
    return changes;
}

// The posted fields whose value differs from the posted old one, so that
// what another save changed since this form was shown stays as it is.
LineChanges changedfields(const LineForm& form)
{
    LineChanges changes{};
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        changes[i] = form[i].value && (!form[i].old || *form[i].value != *form[i].old);
    return changes;
}

bool applychanges(KeyTree& tree, const LineForm& form, const LineChanges& changes)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        if (changes[i] && keytree_set(tree, linefields[i].key, form[i].value->c_str()) == nullptr)
            return false;
    return true;
}

// Locks the line file at `path` and reads it as it is now.  LINEFILE_GONE
// also when it went while this process waited for the lock.
int lockline(const std::string& path, Fd& lock, KeyTree& tree)
{
    int fd = lock_path(path.c_str());
    if (fd == LOCK_NOFILE)
        return LINEFILE_GONE;
    if (fd < 0)
        return LINEFILE_FAILED;
    lock.reset(fd);
    return keytree_read_locked(fd, tree) == 0 ? LINEFILE_OK : LINEFILE_FAILED;
}

// A new line file, readable by all (0644), under a name that must still
// be free.  LINEFILE_EXISTS when it is not.
int createline(const std::string& path, const KeyTree& tree)
{
    if (makeparents(path.c_str(), 0644) != 0)
        return LINEFILE_FAILED;
    mode_t mask = umask(022);
    int result =
        createnewfile(path.c_str(), [&tree](FILE* file) { return keytree_write(tree, file); });
    umask(mask);
    if (result == REPLACE_EXISTS)
        return LINEFILE_EXISTS;
    return result == REPLACE_OK ? LINEFILE_OK : LINEFILE_FAILED;
}

// ---- Tool runs ------------------------------------------------------------------

// With a fresh admin token; a tool that prints anything has failed.
std::optional<ToolFailure> runtool(const std::string& command)
{
    settoken();
    char* output = nullptr;
    run_shell_merged_output(command.c_str(), &output);
    std::optional<ToolFailure> failed;
    if (output != nullptr && *output != '\0')
        failed = ToolFailure{command, output};
    std::free(output);
    return failed;
}

int analyse(const char* device, const char* name)
{
    readinittab();
    return analyse_inittab(device, name, 0);
}

// A receiving line without an inittab entry gets one of its own.
std::optional<ToolFailure> addentry(const char* name)
{
    int id = freeinittabid();
    std::string add = toolcommand("tabctl", "-a", name);
    if (id <= 0 || id > UCHAR_MAX)
        return ToolFailure{add,
                           "No free inittab entry identifier is left (qrt1 to qrtZ are in use).\n"};
    std::string entry = std::string("qrt") + static_cast<char>(id) +
                        ":2345:respawn:" + fax_directory(getfaxdir()) + "/lib/lineward " + name;
    return runtool(add + " -l '" + shellword_inner(entry) + "'");
}

// ---- The line list --------------------------------------------------------------

void freerecords()
{
    for (int i = 0; i < lines.count; ++i) {
        LineRecord* r = linerecord(i);
        delete r->tree;
        delete r->status;
        std::free(r->name);
        std::free(r->statuspath);
    }
    growarray_free(&lines);
}

// The line file `name` of directory `dir` as a new record; false when it
// is no regular file or does not read.
bool addrecord(const std::string& dir, const char* name)
{
    std::string path = dir + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr) {
        logerror("%s", path.c_str());
        return false;
    }
    auto* tree = new KeyTree;
    int bad = keytree_read(*tree, file);
    std::fclose(file);
    LineRecord* r = bad ? nullptr : static_cast<LineRecord*>(growarray_add(&lines, 1));
    if (r == nullptr) {
        delete tree;
        return false;
    }
    r->tree = tree;
    r->name = strdup(name);
    r->statuspath = strdup((std::string(getspooldir()) + "/devstatus/" + name).c_str());
    return true;
}

} // namespace

std::size_t linefield(const char* key)
{
    for (std::size_t i = 0; i < LINE_FIELD_COUNT; ++i)
        if (std::strcmp(linefields[i].key, key) == 0)
            return i;
    std::abort(); // a key of the table itself
}

const char* linevalue(const LineForm& form, const char* key)
{
    const LineValue& f = form[linefield(key)];
    return f.value ? f.value->c_str() : nullptr;
}

LineChanges updatechanges(LineForm& form)
{
    LineChanges changes = changedfields(form);
    if (changes[linefield("fax-line-mode")]) {
        setreceiveonly(form);
        changes[linefield("receive-only")] = form[linefield("receive-only")].value.has_value();
    }
    return changes;
}

// So that a save of other fields leaves what another administrator
// switched since as it is.
bool switchesmode(const LineChanges& changes)
{
    return changes[linefield("fax-line-mode")] || changes[linefield("device")];
}

int addlinefile(const char* name, LineForm& form)
{
    setreceiveonly(form);
    KeyTree tree;
    if (!applychanges(tree, form, postedfields(form)))
        return LINEFILE_FAILED;
    return createline(linepath(name), tree);
}

// The change is made to the file as read under its lock, held to the
// rewrite, so that saves of one line at once each keep what the others
// wrote.  A line deleted or renamed meanwhile is not written again under
// its old name.
int savelinefile(const char* name, const LineForm& form, const LineChanges& changes)
{
    std::string path = linepath(name);
    Fd lock;
    KeyTree tree;
    if (int r = lockline(path, lock, tree); r != LINEFILE_OK)
        return r;
    if (!applychanges(tree, form, changes))
        return LINEFILE_FAILED;
    int result =
        replacefile(path.c_str(), [&tree](FILE* file) { return keytree_write(tree, file); });
    return result == REPLACE_OK ? LINEFILE_OK : LINEFILE_FAILED;
}

// The old file, changed, under the new name, then the old name goes, all
// under the old file's lock: a save that waited for it finds the line
// gone rather than writing to the old name.
int movelinefile(const char* from, const char* to, const LineForm& form, const LineChanges& changes)
{
    std::string oldpath = linepath(from), newpath = linepath(to);
    Fd lock;
    KeyTree tree;
    if (int r = lockline(oldpath, lock, tree); r != LINEFILE_OK)
        return r;
    if (!applychanges(tree, form, changes))
        return LINEFILE_FAILED;
    if (int r = createline(newpath, tree); r != LINEFILE_OK)
        return r;
    if (unlink(oldpath.c_str()) != 0) {
        unlink(newpath.c_str());
        return LINEFILE_FAILED;
    }
    return LINEFILE_OK;
}

// Under the file's lock, so that a save waiting for it finds it gone.
int deletelinefile(const char* name)
{
    std::string path = linepath(name);
    int fd = lock_path(path.c_str());
    if (fd < 0)
        return fd == LOCK_NOFILE ? LINEFILE_GONE : LINEFILE_FAILED;
    Fd lock(fd);
    return unlink(path.c_str()) == 0 ? LINEFILE_OK : LINEFILE_FAILED;
}

std::string linedir() { return std::string(getconfigdir()) + "/dev"; }

bool lineexists(const char* name) { return fileexists(linepath(name)); }

LineRecord* linerecord(int i) { return static_cast<LineRecord*>(growarray_at(&lines, i)); }

int loadlines()
{
    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(freerecords);
    }
    freerecords();
    growarray_init(&lines, sizeof(LineRecord), 4);
    std::string dir = linedir();
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return LINEFILE_NODIR;
    while (dirent* entry = readdir(d))
        if (entry->d_name[0] != '.')
            addrecord(dir, entry->d_name);
    closedir(d);
    return lines.count;
}

std::optional<LineFile> loadline(const char* name)
{
    if (!usablelinename(name))
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
    if (loadlines() <= 0)
        return 1;
    return devicestate(keytree_lookup(*linerecord(0)->tree, "device"));
}

bool faxmodemmissing() { return firstlinecheck() != 0; }

const char* nextlinename()
{
    static char name[32];
    for (int i = 1; i <= MAX_LINE_NUMBER; ++i) {
        std::snprintf(name, sizeof name, "fax-line-%d", i);
        if (!lineexists(name))
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

bool usablelinename(const char* name)
{
    return name != nullptr && *name != '\0' && validlinename(name) && std::strcmp(name, ".") != 0 &&
           std::strcmp(name, "..") != 0;
}

std::optional<ToolFailure> applylinemode(const LineForm& form)
{
    const char* name = linevalue(form, "name");
    const char* mode = linevalue(form, "fax-line-mode");
    const char* device = linevalue(form, "device");
    if (!usablelinename(name) || !knownmode(mode))
        return std::nullopt;
    int result = analyse(device, name);
    if (!receiving(mode)) {
        if (result == INITTAB_ENABLED)
            return runtool(toolcommand("tabctl", "-d", name));
        return std::nullopt;
    }
    if (result == INITTAB_DISABLED)
        return runtool(toolcommand("tabctl", "-e", name));
    if (result == INITTAB_GETTY) {
        if (auto failed = runtool(toolcommand("tabctl", "-x", name)))
            return failed;
        result = analyse(device, name);
    }
    if (result != INITTAB_NOENTRY)
        return std::nullopt;
    return addentry(name);
}

std::optional<ToolFailure> freeline(const char* name)
{
    return runtool(toolcommand("tabctl", "-f", name));
}

// Without a fresh token: the check follows freeline's run.
std::string checkmodem(const char* name, bool reset)
{
    std::string command = toolcommand("mdmchk", reset ? "-T -f" : "-t -f", name);
    char* output = nullptr;
    run_shell_merged_output(command.c_str(), &output);
    std::string text = output != nullptr ? output : "";
    std::free(output);
    return text;
}
