#include "lib/plandump.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

pid_t plandump_pid(const char* spooldir, std::size_t linemax)
{
    std::string path = std::string(spooldir) + "/plandump";
    FILE* file = std::fopen(path.c_str(), "re");
    if (file == nullptr)
        return PLANDUMP_NOFILE;
    std::string line(linemax + 1, '\0');
    bool got = std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr;
    std::fclose(file);
    if (!got)
        return 0;
    char* end = nullptr;
    errno = 0;
    long pid = std::strtol(line.c_str(), &end, 10);
    if (end == line.c_str() || errno == ERANGE || pid <= 0 || pid > INT_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}
