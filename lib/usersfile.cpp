#include "lib/usersfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/filelock.h"
#include "lib/if_blank.h"
#include "lib/replacefile.h"

const char* usersfile_namerefusal(ParamSection* list, const char* name)
{
    if (name && std::strpbrk(name, "\r\n"))
        return USERS_LINE_BREAK;
    if (if_blank(name) || std::strchr(name, ']'))
        return USERS_BAD_NAME;
    if (!paramfile_name_fits(name))
        return USERS_TOO_LONG;
    if (paramfile_find_section(list, name))
        return USERS_NAME_EXISTS;
    return nullptr;
}

ParamSection* usersfile_readlocked(int fd)
{
    FILE* file = lock_reader(fd);
    if (file == nullptr)
        return nullptr;
    errno = 0;
    ParamSection* list = paramfile_read(file, users_param_names, 0);
    if (list == nullptr && errno == 0)
        errno = EINVAL; // a header line without its ']'
    std::fclose(file);
    return list;
}

int usersfile_write(const char* path, const ParamSection* list)
{
    return replacefile(path, [list](FILE* file) {
        return paramfile_write(file, list, users_param_names) == 0 ? 0 : -1;
    });
}
