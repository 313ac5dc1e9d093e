#include "lib/config.h"

#include <array>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "lib/journal.h"
#include "lib/log.h"
#include "lib/replacefile.h"
#include "lib/rootpath.h"

namespace {

// The loaded tree; null until config_load_or_exit has run.
KeyTree* configroot = nullptr;

constexpr const char* kConfigFile = "/etc/opt/vantrel/vantrel.conf";

struct ConfigState {
    KeyTree tree;
    std::string spooldir;
    std::string serverdir;
    std::string configdir;
    std::string logpath;
    const char* faxdir = nullptr;     // serverdir, once derived
    const char* logfname = nullptr;   // logpath, once built
    std::array<char, 256> filename{}; // safedfcat's result
};

// Lives until the process ends; nothing frees the configuration.
ConfigState& state()
{
    static ConfigState* s = new ConfigState;
    return *s;
}

// The value of the first of `keys` that is set, else `fallback`.
std::string first_set(std::initializer_list<const char*> keys, const std::string& fallback)
{
    for (const char* key : keys)
        if (const char* value = keytree_lookup(state().tree, key))
            return value;
    return fallback;
}

[[noreturn]] void catastrophe(int number, const char* what, const std::string& path, int error)
{
    std::fprintf(stderr, "***** CATASTROPHIC ERROR %d *****\n", number);
    std::fprintf(stderr, ">>>>> %s\n", what);
    errno = error;
    logerror("%s", path.c_str());
    std::exit(1);
}

void export_directory(const char* name, const std::string& value)
{
    setenv(name, value.c_str(), 1);
}

void derive_directories()
{
    ConfigState& s = state();
    s.spooldir = first_set({"spool-directory"}, "/var/opt/vantrel");
    s.serverdir = first_set({"server-directory", "fax-directory", "zel-directory"}, "/opt/vantrel");
    s.configdir =
        first_set({"etc-fax-directory", "config-directory", "zel-config-directory"}, s.serverdir);
    s.faxdir = s.serverdir.c_str();

    export_directory("SERVER_DIRECTORY", s.serverdir);
    export_directory("SPOOL_DIRECTORY", s.spooldir);
    export_directory("ETC_FAX_DIRECTORY", s.configdir);
    export_directory("CONFIG_DIRECTORY", s.configdir);
    if (const char* client = keytree_lookup(s.tree, "client-directory"))
        export_directory("CLIENT_DIRECTORY", client);
    journal_setdir(s.spooldir.c_str());
}

} // namespace

namespace {

// Reads the file into the tree, under a shared lock where it may be
// rewritten in place (lib/replacefile).
void read_or_exit(const std::string& path, const struct stat& st)
{
    int fd = S_ISDIR(st.st_mode) ? (errno = EISDIR, -1) : replacefile_open_read(path.c_str());
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "r");
    if (file == nullptr) {
        int error = errno;
        if (fd >= 0)
            close(fd);
        catastrophe(3, "Cannot read configuration file.", path, error);
    }
    (void)keytree_read(state().tree, file); // a short read keeps the keys read so far
    if (std::fclose(file) != 0) {
        logerror("%s", path.c_str());
        std::exit(1);
    }
}

void use_tree()
{
    ConfigState& s = state();
    configroot = &s.tree;
    s.logfname = nullptr;
    derive_directories();
    logsetdateformat(keytree_lookup(s.tree, "date-format"));
    logopen(getlogfilename());
}

} // namespace

void config_load_or_exit()
{
    logsetpid(getpid());
    logopen(nullptr);

    std::string path = rootpath(kConfigFile);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        catastrophe(1, "Cannot stat configuration file.", path, errno);
    if (st.st_size == 0)
        catastrophe(2, "Empty configuration file.", path, 0);
    read_or_exit(path, st);
    use_tree();
    // Only the file tells where the journal of a killed rewrite of it is:
    // once read, it is repaired (the log says so) and read again.
    if (journal_pending(st)) {
        state().tree = KeyTree{};
        read_or_exit(path, st);
        use_tree();
    }
}

// The assertions' texts are the messages the system has always printed,
// null pointer constant and all, so the layout leaves them as written.
// clang-format off
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"

KeyTree& config_tree()
{
    assert(configroot != ((void *)0));
    return *configroot;
}

const char* get_config(const char* key)
{
    assert(configroot != ((void *)0));
    return keytree_lookup(*configroot, key);
}

const char* fax_directory(const char* absent)
{
    const char* dir = get_config("fax-directory");
    return dir ? dir : absent;
}

const char* getlogfilename()
{
    assert(configroot != ((void *)0));
    ConfigState& s = state();
    if (s.logfname == nullptr) {
        const char* spool = keytree_lookup(*configroot, "spool-directory");
        s.logpath = std::string(spool ? spool : "/var/opt/vantrel") + "/log";
        s.logfname = s.logpath.c_str();
    }
    const char* logfname = s.logfname;
    assert(logfname != ((void *)0));
    return logfname;
}

const char* getfaxdir()
{
    const char* faxdir = state().faxdir;
    assert(faxdir != ((void *)0));
    return faxdir;
}

const char* getspooldir()
{
    assert(configroot != ((void *)0));
    return state().spooldir.c_str();
}

const char* getconfigdir()
{
    assert(configroot != ((void *)0));
    return state().configdir.c_str();
}

#pragma GCC diagnostic pop
// clang-format on

const char* safedfcat(const char* dir, const char* name)
{
    std::array<char, 256>& filename = state().filename;
    std::string joined = std::string(dir ? dir : "") + "/" + (name ? name : "");
    // Copy at most the whole buffer; a result that fills it has no room
    // for its NUL, which the assertion below catches.
    filename[255] = '\0';
    std::size_t n = joined.size() < filename.size() ? joined.size() + 1 : filename.size();
    std::memcpy(filename.data(), joined.c_str(), n);
    assert(filename[255] == '\0');
    return filename.data();
}
