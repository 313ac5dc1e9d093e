#include "lib/usersfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lib/if_blank.h"
#include "lib/replacefile.h"

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

ParamSection* usersfile_readlocked(int fd, void (*unreadable)())
{
    return paramfile_read_unread(fd, users_param_names, unreadable);
}

int usersfile_write(const char* path, const ParamSection* list)
{
    return replacefile(path, [list](FILE* file) {
        return paramfile_write(file, list, users_param_names) == 0 ? 0 : -1;
    });
}
