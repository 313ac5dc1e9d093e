#include "lib/usersfile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/if_blank.h"
#include "lib/replacefile.h"

namespace {

// The users file is read whole at start-up, but a request that needs only
// the signed-in account and the admin account's facts parses just those
// two sections: the whole list is made the first time a page asks for it.
struct Run {
    std::string path;
    bool indexed = false;             // `text` holds the file as opened
    ParamText text;                   // the file as read at start-up
    ParamSection* list = nullptr;     // the whole list, once made
    std::vector<ParamSection*> alone; // sections read alone; kept for the
                                      // run, as callers may still hold them
    void (*unreadable)() = nullptr;
    unsigned generation = 0;
    bool adminblankpassword = false;
    bool adminblankemail = false;
};
// Never destroyed: the sections it hands out stay reachable up to the exit.
Run& run = *new Run;

// Only memory can run out once the file's bytes were read and checked.
[[noreturn]] void unreadable()
{
    if (run.unreadable != nullptr)
        run.unreadable();
    std::abort();
}

// Makes `list` the run's whole list in place of the file and of the list
// before it, which is released.
void replacelist(ParamSection* list)
{
    ParamSection* old = run.list;
    paramtext_close(run.text);
    run.indexed = false;
    run.list = list;
    ++run.generation;
    if (old != list)
        paramfile_free(old);
}

// errno as it was when made, whatever the closes and releases in between
// leave in it.
struct KeepErrno {
    int saved = errno;
    ~KeepErrno() { errno = saved; }
};

// Takes the exclusive lock of the users file at `path` into `lock` and
// reads the file again under it into `list`.  USERS_OK or a failure code.
int lockandread(const char* path, const UsersCheck& check, void (*onunreadable)(), Fd& lock,
                ParamSection*& list)
{
    lock.reset(lock_path(path));
    if (lock.get() < 0)
        return USERS_NOLOCK;
    if (check && !check(lock.get()))
        return USERS_REFUSED;
    list = paramfile_read_unread(lock.get(), users_param_names, onunreadable);
    if (list != nullptr)
        return USERS_OK;
    KeepErrno keep;
    lock.reset();
    return USERS_NOREAD;
}

int rewrite(const char* path, const ParamSection* list)
{
    int result = replacefile(path, [list](FILE* file) {
        return paramfile_write(file, list, users_param_names) == 0 ? 0 : -1;
    });
    return result == REPLACE_OK ? USERS_OK : USERS_NOWRITE;
}

// After a failed rewrite: the run's list is the file as it still is, so
// that a page shows the accounts as they are, not the change that did not
// reach them.  Read plainly: the exclusive lock is this run's own, and a
// reader's shared lock would wait for it.
int restorelist()
{
    KeepErrno keep;
    ParamSection* list = paramfile_load(run.path.c_str(), users_param_names, 0);
    if (list == nullptr)
        return USERS_NORELOAD;
    replacelist(list);
    return USERS_NOWRITE;
}

} // namespace

// ---- The run's users file ----------------------------------------------------

bool usersfile_open(const char* path, void (*onunreadable)())
{
    // A new open starts afresh: nothing of an earlier one is looked at.
    replacelist(nullptr);
    run.adminblankpassword = run.adminblankemail = false;
    run.path = path;
    run.unreadable = onunreadable;
    // Where the file may be rewritten in place, it is read under a shared
    // lock for as long as it stays open.
    if (!paramtext_load(replacefile_open_read(path), run.text))
        return false;
    run.indexed = true;
    if (const ParamSection* admin = usersfile_find("admin")) {
        run.adminblankpassword = if_blank(paramfile_get(admin, USER_PASSWORD)) != 0;
        run.adminblankemail = if_blank(paramfile_get(admin, USER_FROM_EMAIL)) != 0;
    }
    return true;
}

bool usersfile_opened() { return run.indexed || run.list != nullptr; }

ParamSection* usersfile_find(const char* name)
{
    if (run.list != nullptr || !run.indexed)
        return paramfile_find_section(run.list, name);
    ParamSection* alone = nullptr;
    int found = paramtext_section(run.text, users_param_names, name, &alone);
    if (found < 0)
        unreadable();
    if (found == 0)
        return nullptr;
    run.alone.push_back(alone);
    return alone->next;
}

ParamSection* usersfile_list()
{
    if (run.list == nullptr && run.indexed) {
        ParamSection* list = paramtext_list(run.text, users_param_names);
        if (list == nullptr)
            unreadable();
        replacelist(list);
    }
    return run.list;
}

void usersfile_each(int index, const ParamValueEach& each)
{
    bool done = run.list == nullptr && run.indexed
                    ? paramtext_each(run.text, users_param_names, index, each)
                    : paramfile_each(run.list, users_param_names, index, each);
    if (!done)
        unreadable();
}

unsigned usersfile_generation() { return run.generation; }

bool usersfile_adminblankpassword() { return run.adminblankpassword; }
bool usersfile_adminblankemail() { return run.adminblankemail; }

// ---- Changes -----------------------------------------------------------------

int usersfile_change(const UsersApply& apply)
{
    // This run's own shared lock would keep its exclusive one out.
    if (run.text.fd.get() >= 0)
        lock_release_read(run.text.fd.get());
    // Held from the re-read to the rename; the caller's page that follows
    // may wait on a slow client.
    Fd lock;
    ParamSection* list = nullptr;
    int result = lockandread(run.path.c_str(), nullptr, run.unreadable, lock, list);
    if (result != USERS_OK)
        return result;
    replacelist(list);
    bool apply_ok = apply(run.list);
    ++run.generation; // the change may have removed sections
    if (!apply_ok)
        return USERS_REFUSED;
    if (rewrite(run.path.c_str(), run.list) == USERS_OK)
        return USERS_OK;
    result = restorelist();
    KeepErrno keep;
    lock.reset();
    return result;
}

int usersfile_change(const char* path, const UsersApply& apply, const UsersCheck& check)
{
    Fd lock;
    ParamSection* list = nullptr;
    int result = lockandread(path, check, nullptr, lock, list);
    if (result != USERS_OK)
        return result;
    result = apply(list) ? rewrite(path, list) : USERS_REFUSED;
    KeepErrno keep;
    paramfile_free(list);
    lock.reset();
    return result;
}

const char* usersfile_namerefusal(ParamSection* list, const char* name)
{
    if (name && std::strpbrk(name, "\r\n"))
        return USERS_LINE_BREAK;
    if (if_blank(name) || std::strchr(name, ']'))
        return USERS_BAD_NAME;
    if (std::strchr(name, ':'))
        return USERS_COLON_NAME;
    if (!paramfile_name_fits(name))
        return USERS_TOO_LONG;
    if (paramfile_find_section(list, name))
        return USERS_NAME_EXISTS;
    return nullptr;
}

int usersfile_set(ParamSection* section, int key, const char* value)
{
    return paramfile_set(section, users_param_names, users_param_names[key - 1], value);
}

const char* usersfile_privileges(bool admin, bool postmaster)
{
    if (admin && postmaster)
        return "admin,postmaster";
    return admin ? "admin" : postmaster ? "postmaster" : "";
}

// ---- Reads -------------------------------------------------------------------

ParamSection* usersfile_read(int fd) { return paramfile_read_unread(fd, users_param_names); }

ParamSection* usersfile_load(const char* path)
{
    int fd = replacefile_open_read(path);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "r");
    if (file == nullptr) {
        if (fd >= 0)
            close(fd);
        return nullptr;
    }
    ParamSection* list = paramfile_read(file, users_param_names, 0);
    int saved = errno;
    std::fclose(file);
    errno = saved;
    return list;
}
