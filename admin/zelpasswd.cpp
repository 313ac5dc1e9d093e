// zelpasswd: the stored digest of a password, and the accounts that the
// web administration cannot make for itself: the first administrator,
// and a password set without signing in.  The users file is changed the
// way the account pages change it (its lock, the re-read, the same
// refusals, the rewrite beside it); a refusal or failure changes nothing,
// is told on standard error, and exits non-zero.  It changes the users file
// itself and nothing else: never what a symbolic link there leads to, and
// as root, where another user owns the file's directory, nothing that user
// could not change (root is asked to run it there, and that user can put
// any name in the directory).
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/log.h"
#include "lib/paramfile.h"
#include "lib/string.h"
#include "lib/trim.h"
#include "lib/usersfile.h"
#include "www/wwwauth.h"

namespace {

constexpr int EXIT_REFUSED = 1; // a refusal or a failure; nothing changed
constexpr int EXIT_USAGE = 2;

constexpr const char* USAGE = "usage: zelpasswd [-e]\n"
                              "       zelpasswd [-e] [-f file] -a name [-p privileges]\n"
                              "       zelpasswd [-e] [-f file] -s name\n";

struct Options {
    const char* add = nullptr;   // -a: the account to add
    const char* set = nullptr;   // -s: the account whose password is set
    const char* privileges = ""; // -p
    const char* file = nullptr;  // -f; null: the installation's users file
    bool allowempty = false;     // -e
};

[[noreturn]] void refuse(const std::string& message)
{
    std::fprintf(stderr, "zelpasswd: %s\n", message.c_str());
    std::exit(EXIT_REFUSED);
}

// ---- The password -----------------------------------------------------------

// The terminal's settings, and those of the prompt without echo; the
// terminal gets its own back once a password is read, and from a signal
// that ends or stops the run meanwhile.  `prompt` is the prompt shown while
// echo is off.
termios saved;
termios quiet;
const char* volatile prompt = nullptr;

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void restoreecho()
{
    if (prompt)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
}

void onending(int sig)
{
    restoreecho();
    std::signal(sig, SIG_DFL);
    std::raise(sig); // delivered, and ends the run, once this returns
}

void handle(int sig, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART; // the read of the password goes on after a stop
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
}

// A stop (^Z) gives the shell its terminal back with echo; once continued,
// the prompt turns echo off again and asks anew, as the line typed before
// the stop went with it.
void onstop(int sig)
{
    int error = errno;
    restoreecho();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, sig);
    sigprocmask(SIG_UNBLOCK, &stop, nullptr); // stops here until continued
    handle(sig, onstop);
    if (const char* text = prompt) {
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        (void)!write(STDERR_FILENO, text, std::strlen(text));
    }
    errno = error;
}

// One line of standard input without its newline; false at the end of the
// input with nothing read.
bool readline(std::string& line)
{
    line.clear();
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        line += static_cast<char>(c);
    return c != EOF || !line.empty();
}

// Echo and `prompt` change together, out of the handlers' reach: a stop
// between the two could otherwise turn echo off for good.
void setprompt(const char* text)
{
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    if (text)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    else
        restoreecho();
    prompt = text;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

std::string askpassword(const char* text)
{
    std::fputs(text, stderr);
    std::fflush(stderr);
    setprompt(text);
    std::string line;
    readline(line);
    setprompt(nullptr);
    std::fputs("\n", stderr);
    return line;
}

// Asked twice on a terminal, which must agree; else one line of input.
std::string readpassword()
{
    std::string password;
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) {
        readline(password);
        return password;
    }
    quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    for (int sig : kEndingSignals)
        handle(sig, onending);
    handle(SIGTSTP, onstop);
    password = askpassword("Password: ");
    if (askpassword("Re-type password: ") != password)
        refuse(USERS_MISMATCH);
    return password;
}

void checkempty(const std::string& password, const Options& options)
{
    if (if_blank(password.c_str()) && !options.allowempty)
        refuse("empty password refused: the account would accept any password (-e allows it)");
}

// ---- The users file ---------------------------------------------------------

std::string usersfile(const Options& options)
{
    if (options.file)
        return options.file;
    config_load_or_exit();
    const char* dir = get_config("zel-config-directory");
    if (!dir)
        refuse("No zel-config-directory defined in /etc/opt/vantrel/vantrel.conf");
    return std::string(dir) + "/users";
}

// ---- Only the users file ----------------------------------------------------

// The users file as the run reaches it: by its name alone, in its
// directory, which is the working directory from the start on, so that
// the directory's path is looked up once, before its owner is asked.
struct UsersFile {
    std::string path; // as given, for the messages
    std::string name; // in the working directory
};

// The account whose rights a root run took, for the messages; empty when
// it kept its own.
std::string borrowed;

[[noreturn]] void cannotupdate(const std::string& path)
{
    std::string message = path + ": Cannot update user file (" + std::strerror(errno) + ").";
    if (!borrowed.empty())
        message += " Run as root, zelpasswd works with the rights of " + borrowed +
                   ", the owner of its directory.";
    refuse(message);
}

[[noreturn]] void refuselink(const std::string& path)
{
    refuse(path + ": is a symbolic link; zelpasswd changes the users file itself, "
                  "never what a link leads to.");
}

[[noreturn]] void cannottake(const std::string& path, const std::string& owner)
{
    refuse(path + ": cannot take the rights of " + owner + ", the owner of its directory (" +
           std::strerror(errno) + ").");
}

// The groups of `account`, as its login gets them.
bool groupsof(const passwd& account, std::vector<gid_t>& groups)
{
    for (int count = 32; count <= 65536; count *= 2) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return true;
        }
    }
    errno = E2BIG;
    return false;
}

// Root takes the file rights of the directory's owner, groups and all: the
// owner can put any name there (a link to /etc/shadow, a hard link to a
// file of root's), so whatever a name leads to may be read or written only
// where that user could do it anyway.  Root's other powers stay, but no
// file is opened, made, renamed or given away with them.
void takerights(uid_t owner, const std::string& path)
{
    errno = 0;
    const passwd* account = getpwuid(owner);
    if (!account)
        refuse(path + ": the owner of its directory, uid " + std::to_string(owner) +
               ", has no account whose rights zelpasswd could take.");
    std::string name = account->pw_name;
    gid_t group = account->pw_gid;
    std::vector<gid_t> groups;
    if (!groupsof(*account, groups) || setgroups(groups.size(), groups.data()) != 0)
        cannottake(path, name);
    setfsgid(group);
    setfsuid(owner);
    // Each answers the rights in force, which a refused change left as root's.
    if (static_cast<gid_t>(setfsgid(group)) != group ||
        static_cast<uid_t>(setfsuid(owner)) != owner) {
        errno = EPERM;
        cannottake(path, name);
    }
    borrowed = name;
}

// Whether users other than root may put another file in place of `name`
// in the directory `dir` of root's: its group or others may write it, and
// no sticky bit keeps them from a file of root's.
bool othersmayreplace(int dirfd, const struct stat& dir, const std::string& name)
{
    if ((dir.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return false;
    struct stat file;
    return (dir.st_mode & S_ISVTX) == 0 ||
           (fstatat(dirfd, name.c_str(), &file, AT_SYMLINK_NOFOLLOW) == 0 && file.st_uid != 0);
}

// As root, the rights to work with are those of whoever else can replace
// the users file in its directory: its owner's, and where root owns it but
// others may write it, there is no one user to take them from.
void chooserights(int dirfd, const struct stat& dir, const std::string& path,
                  const std::string& name)
{
    if (geteuid() != 0)
        return;
    if (dir.st_uid != 0)
        takerights(dir.st_uid, path);
    else if (othersmayreplace(dirfd, dir, name))
        refuse(path + ": others than root may replace it in its directory; run as root, zelpasswd "
                      "changes no users file there (give the directory to the web server's user, "
                      "or run zelpasswd as that user).");
}

UsersFile openusers(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    UsersFile users{path, slash == std::string::npos ? path : path.substr(slash + 1)};
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (users.name.empty() || users.name == "." || users.name == "..") {
        errno = EISDIR;
        cannotupdate(path);
    }
    // A path descriptor: a directory that may be searched but not read will do.
    Fd fd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        cannotupdate(path);
    chooserights(fd.get(), st, path, users.name);
    if (fchdir(fd.get()) != 0)
        cannotupdate(path);
    return users;
}

// Refuses what `fd`, opened by the users file's name, must not be changed
// as: anything but a plain file (a FIFO would hold the run), or a file
// that the name no longer leads to by itself (a link put in its place).
void checkopened(int fd, const UsersFile& users)
{
    struct stat held, named;
    if (fstat(fd, &held) != 0 || lstat(users.name.c_str(), &named) != 0)
        cannotupdate(users.path);
    if (S_ISLNK(named.st_mode))
        refuselink(users.path);
    if (!S_ISREG(held.st_mode))
        refuse(users.path + ": is not a regular file.");
    if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) {
        errno = ESTALE;
        cannotupdate(users.path);
    }
}

// The privileges value as the account form builds it from its two boxes.
std::string privileges(const char* words)
{
    bool admin = false, postmaster = false;
    std::string list = words;
    for (std::size_t at = 0; at <= list.size();) {
        std::size_t end = list.find(',', at);
        if (end == std::string::npos)
            end = list.size();
        std::string word = list.substr(at, end - at);
        if (word == "admin")
            admin = true;
        else if (word == "postmaster")
            postmaster = true;
        else if (!word.empty())
            refuse("unknown privilege \"" + word + "\" (admin, postmaster)");
        at = end + 1;
    }
    return usersfile_privileges(admin, postmaster);
}

// The password entry of an account: a blank password has none.
void storepassword(ParamSection* section, const std::string& password)
{
    char digest[29];
    digestpassword(password.c_str(), digest);
    usersfile_set(section, USER_PASSWORD, if_blank(password.c_str()) ? nullptr : digest);
}

// Refuses the change that `list` does not allow: an added account's name
// as the account pages refuse it, or no account to set.
void checkaccount(ParamSection* list, const Options& options)
{
    if (options.add) {
        if (const char* error = usersfile_namerefusal(list, options.add))
            refuse(error);
    } else if (!paramfile_find_section(list, options.set)) {
        refuse(std::string("no account \"") + options.set + "\"");
    }
}

// As the administrator's Add makes an account from a form holding only its
// name, password and privileges: the password without trailing blanks.
void addaccount(ParamSection*& list, const Options& options, std::string password)
{
    ParamSection* section = paramfile_add_section(&list);
    if (!section || !(section->name = strsave(options.add)))
        refuse(std::strerror(ENOMEM));
    password.resize(std::strlen(trim(password.data())));
    storepassword(section, password);
    usersfile_set(section, USER_MAIL_FORMAT, "text");
    usersfile_set(section, USER_PRIVILEGES, privileges(options.privileges).c_str());
}

// As an update of the password alone: the password as typed.
void setpassword(ParamSection* list, const Options& options, const std::string& password)
{
    storepassword(paramfile_find_section(list, options.set), password);
}

// Before the password is asked for, so that nobody types it for a change
// that is refused anyway; the change checks again under the lock.
void precheck(const Options& options, const UsersFile& users)
{
    privileges(options.privileges);
    Fd fd(open(users.name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 && errno == ELOOP)
        refuselink(users.path);
    if (fd.get() < 0)
        cannotupdate(users.path);
    checkopened(fd.get(), users);
    ParamSection* list = usersfile_read(fd.get());
    if (!list)
        cannotupdate(users.path);
    checkaccount(list, options);
    paramfile_free(list);
}

void changeusers(const Options& options, const UsersFile& users, const std::string& password)
{
    // The change the account update makes.  The name may have become a link
    // since the check above; what it is now is checked once the lock is held.
    auto check = [&](int fd) {
        checkopened(fd, users);
        return true;
    };
    auto apply = [&](ParamSection*& list) {
        checkaccount(list, options);
        if (options.add)
            addaccount(list, options, password);
        else
            setpassword(list, options, password);
        return true;
    };
    if (usersfile_change(users.name.c_str(), apply, check) != USERS_OK)
        cannotupdate(users.path);
}

[[noreturn]] void usage()
{
    std::fputs(USAGE, stderr);
    std::exit(EXIT_USAGE);
}

Options parseoptions(int argc, char** argv)
{
    Options options;
    bool privileged = false;
    for (int c; (c = getopt(argc, argv, "a:s:p:f:e")) != -1;) {
        switch (c) {
        case 'a':
            options.add = optarg;
            break;
        case 's':
            options.set = optarg;
            break;
        case 'p':
            options.privileges = optarg;
            privileged = true;
            break;
        case 'f':
            options.file = optarg;
            break;
        case 'e':
            options.allowempty = true;
            break;
        default:
            usage();
        }
    }
    bool change = options.add || options.set;
    if (optind != argc || (options.add && options.set) || (privileged && !options.add) ||
        (options.file && !change))
        usage();
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    logsetprogram("zelpasswd");
    fullio_catch_size_limit();
    Options options = parseoptions(argc, argv);
    if (options.add || options.set) {
        UsersFile users = openusers(usersfile(options));
        precheck(options, users);
        std::string password = readpassword();
        checkempty(password, options);
        changeusers(options, users, password);
        return EXIT_SUCCESS;
    }
    std::string password = readpassword();
    checkempty(password, options);
    char digest[29];
    digestpassword(password.c_str(), digest);
    // What the pages store for a blank password is no entry at all.
    std::printf("%s\n", if_blank(password.c_str()) ? "" : digest);
    if (std::fflush(stdout) != 0)
        refuse(std::strerror(errno));
    return EXIT_SUCCESS;
}
