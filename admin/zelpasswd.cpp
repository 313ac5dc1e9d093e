// zelpasswd: the stored digest of a password, and the accounts that the
// web administration cannot make for itself: the first administrator,
// and a password set without signing in.  The users file is changed the
// way the account pages change it (its lock, the re-read, the same
// refusals, the rewrite beside it); a refusal or failure changes nothing,
// is told on standard error, and exits non-zero.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <termios.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/log.h"
#include "lib/paramfile.h"
#include "lib/replacefile.h"
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

// The terminal's settings, put back once a password is read and by a
// signal that ends the run meanwhile.
termios saved;
bool echooff = false;

void restoreecho()
{
    if (echooff)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    echooff = false;
}

void onsignal(int sig)
{
    restoreecho();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
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

std::string askpassword(const char* prompt)
{
    std::fputs(prompt, stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    echooff = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    std::string line;
    readline(line);
    restoreecho();
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
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(sig, onsignal);
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

void store(ParamSection* section, int key, const char* value)
{
    paramfile_set(section, users_param_names, users_param_names[key - 1], value);
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
    if (admin && postmaster)
        return "admin,postmaster";
    return admin ? "admin" : postmaster ? "postmaster" : "";
}

// The password entry of an account: a blank password has none.
void storepassword(ParamSection* section, const std::string& password)
{
    char digest[29];
    digestpassword(password.c_str(), digest);
    store(section, USER_PASSWORD, if_blank(password.c_str()) ? nullptr : digest);
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
    store(section, USER_MAIL_FORMAT, "text");
    store(section, USER_PRIVILEGES, privileges(options.privileges).c_str());
}

// As an update of the password alone: the password as typed.
void setpassword(ParamSection* list, const Options& options, const std::string& password)
{
    storepassword(paramfile_find_section(list, options.set), password);
}

[[noreturn]] void cannotupdate(const std::string& path)
{
    refuse(path + ": Cannot update user file (" + std::strerror(errno) + ").");
}

// Before the password is asked for, so that nobody types it for a change
// that is refused anyway; the change checks again under the lock.
void precheck(const Options& options, const std::string& path)
{
    privileges(options.privileges);
    errno = 0;
    ParamSection* list = paramfile_load(path.c_str(), users_param_names, 0);
    if (!list) {
        if (errno == 0)
            errno = EINVAL; // a header line without its ']'
        cannotupdate(path);
    }
    checkaccount(list, options);
    paramfile_free(list);
}

void changeusers(const Options& options, const std::string& path, const std::string& password)
{
    // Held from the re-read to the rename, as the account update holds it.
    Fd lock(lock_path(path.c_str()));
    if (lock.get() < 0)
        cannotupdate(path);
    ParamSection* list = usersfile_readlocked(lock.get());
    if (!list)
        cannotupdate(path);
    checkaccount(list, options);
    if (options.add)
        addaccount(list, options, password);
    else
        setpassword(list, options, password);
    if (usersfile_write(path.c_str(), list) != REPLACE_OK)
        cannotupdate(path);
    paramfile_free(list);
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
        std::string path = usersfile(options);
        precheck(options, path);
        std::string password = readpassword();
        checkempty(password, options);
        changeusers(options, path, password);
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
