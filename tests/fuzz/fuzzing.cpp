#include "tests/fuzz/fuzzing.h"

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string root;

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    std::remove(path);
    return 0;
}

void remove_root()
{
    if (!root.empty())
        nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void make_parents(const std::string& path)
{
    for (std::size_t slash = path.find('/', root.size() + 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        FUZZ_CHECK(mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST);
    }
}

} // namespace

void fuzz_fail(const char* file, int line, const char* condition)
{
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, condition);
    remove_root();
    std::abort();
}

FuzzStream::FuzzStream(std::string_view bytes)
    // fmemopen refuses an empty buffer; an empty file reads the same.
    : file_(bytes.empty() ? std::fopen("/dev/null", "r")
                          : fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r"))
{
    FUZZ_CHECK(file_ != nullptr);
}

FuzzStream::~FuzzStream() { std::fclose(file_); }

const std::string& fuzz_root()
{
    if (root.empty()) {
        // In memory where there is such a file system: the edits under test
        // sync every file they replace.
        const char* tmp = std::getenv("TMPDIR");
        std::string base = access("/dev/shm", W_OK) == 0    ? "/dev/shm"
                           : tmp != nullptr && *tmp != '\0' ? tmp
                                                            : "/tmp";
        std::string pattern = base + "/zelfuzz.XXXXXX";
        FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
        root = pattern;
        FUZZ_CHECK(setenv("ZEL_ROOT", root.c_str(), 1) == 0);
        std::atexit(remove_root);
    }
    return root;
}

std::string fuzz_put(const std::string& relative, std::string_view bytes)
{
    std::string path = fuzz_root() + "/" + relative;
    make_parents(path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    FUZZ_CHECK(close(fd) == 0);
    return path;
}

std::vector<std::string> fuzz_list(const std::string& relative)
{
    std::vector<std::string> names;
    DIR* dir = opendir((fuzz_root() + "/" + relative).c_str());
    if (dir == nullptr)
        return names;
    while (const dirent* entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}
