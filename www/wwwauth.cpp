#include "www/wwwauth.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <forward_list>
#include <string>
#include <string_view>
#include <vector>

#include "lib/filelock.h"
#include "lib/if_blank.h"
#include "lib/replacefile.h"
#include "www/base64.h"
#include "www/sha1.h"

const char* authuser = nullptr;
ParamSection* authsection = nullptr;
const char* authprivileges = nullptr;

namespace {

// The first ten names of the users file, in its order, so the indices agree.
const char* const auth_param_names[] = {
    "delivery-email",
    "delivery-program",
    "did",
    "from-email",
    "full-name",
    "ip-addr-range-lower",
    "ip-addr-range-upper",
    "mail-format",
    "password",
    "privileges",
    nullptr,
};

// The stored digest is decoded in a buffer of this size; a longer value
// cannot be a digest of ours.
constexpr std::size_t STORED_PASSWORD_SIZE = 76;

// User names handed out by checkauth live for the rest of the run, so a
// caller may keep the pointer; a list keeps their addresses stable.
std::forward_list<std::string> user_names;

const char* keep_user_name(std::string_view name)
{
    user_names.emplace_front(name);
    return user_names.front().c_str();
}

// The 20 stored bytes of a `password` value: its base64 decoded, padded
// with zeros when it decodes to fewer.  False for a value too long for the
// decoding buffer.
bool stored_digest(const char* value, unsigned char digest[SHA1_DIGEST_SIZE])
{
    std::size_t length = std::strlen(value);
    if (length >= STORED_PASSWORD_SIZE)
        return false;
    std::array<char, STORED_PASSWORD_SIZE> buffer{};
    std::memcpy(buffer.data(), value, length);
    char* end = base64_decode(buffer.data());
    auto decoded = static_cast<std::size_t>(end - buffer.data());
    std::memset(digest, 0, SHA1_DIGEST_SIZE);
    std::memcpy(digest, buffer.data(), decoded < SHA1_DIGEST_SIZE ? decoded : SHA1_DIGEST_SIZE);
    return true;
}

// The password check of a found section; AUTH_OK or AUTH_BADPASSWORD.
int check_section_password(const ParamSection* section, const char* password)
{
    const char* value = paramfile_get(section, USER_PASSWORD);
    if (value == nullptr || *value == '\0')
        return AUTH_OK;
    unsigned char digest[SHA1_DIGEST_SIZE];
    if (!stored_digest(value, digest))
        return AUTH_BADPASSWORD;
    return checkpassword(password, digest) ? AUTH_OK : AUTH_BADPASSWORD;
}

// The section of `name` in the list `users`.
struct InList {
    ParamSection* users;
    ParamSection* operator()(const char* name) const { return paramfile_find_section(users, name); }
};

// The section of `name` among the users of the run.
struct InRun {
    ParamSection* operator()(const char* name) const { return authfinduser(name); }
};

template <typename Find>
int login(const char* header, const char** user, Find find)
{
    if (header == nullptr || *header == '\0')
        return AUTH_NOHEADER;
    if (std::strncmp(header, "Basic", 5) != 0)
        return AUTH_NOTBASIC;
    // The separator after the scheme is skipped unchecked, but a header
    // that ends there has no credentials to read beyond it.
    const char* encoded = header[5] == '\0' ? header + 5 : header + 6;

    // Decoded in a copy of our own: the header belongs to the caller.
    std::string credentials(encoded);
    credentials.resize(
        static_cast<std::size_t>(base64_decode(credentials.data()) - credentials.data()));
    // The decoded bytes end at their first NUL, as the name and the
    // password are C strings from here on.
    credentials.resize(std::strlen(credentials.c_str()));

    std::size_t colon = credentials.find(':');
    std::string_view name(credentials);
    const char* password = "";
    if (colon != std::string::npos) {
        name = name.substr(0, colon);
        password = credentials.c_str() + colon + 1;
    }
    authuser = keep_user_name(name);
    if (user != nullptr)
        *user = authuser;

    // An empty name is nobody's, not even a section written as "[]".
    ParamSection* section = name.empty() ? nullptr : find(authuser);
    if (section == nullptr)
        return AUTH_NOUSER;
    int result = check_section_password(section, password);
    // A failed login holds no privileges, so nothing later can mistake it
    // for a signed-in user.
    if (result != AUTH_OK)
        return result;
    authsection = section;
    authprivileges = paramfile_get(section, USER_PRIVILEGES);
    return AUTH_OK;
}

template <typename Find>
int login_server(const char* name, Find find)
{
    if (name == nullptr || *name == '\0')
        return AUTH_NOHEADER;
    authuser = keep_user_name(name);
    ParamSection* section = find(authuser);
    if (section == nullptr)
        return AUTH_NOUSER;
    authsection = section;
    authprivileges = paramfile_get(section, USER_PRIVILEGES);
    return AUTH_OK;
}

void forget_login()
{
    authsection = nullptr;
    authprivileges = nullptr;
}

bool users_loaded();

} // namespace

int checkauth(const char* header, ParamSection* users, const char** user)
{
    forget_login();
    return users == nullptr ? AUTH_NOLIST : login(header, user, InList{users});
}

int checkauth(const char* header, const char** user)
{
    forget_login();
    return !users_loaded() ? AUTH_NOLIST : login(header, user, InRun{});
}

int serverlogin(const char* name, ParamSection* users)
{
    forget_login();
    return users == nullptr ? AUTH_NOLIST : login_server(name, InList{users});
}

int serverlogin(const char* name)
{
    forget_login();
    return !users_loaded() ? AUTH_NOLIST : login_server(name, InRun{});
}

int checkpassword(const char* password, const unsigned char* stored)
{
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1(password, std::strlen(password), digest);
    // Every byte is compared, so the time taken tells nothing of where the
    // digests differ.
    unsigned difference = 0;
    for (std::size_t i = 0; i < SHA1_DIGEST_SIZE; ++i)
        difference |= digest[i] ^ stored[i];
    return difference == 0;
}

void digestpassword(const char* password, char out[29])
{
    unsigned char digest[SHA1_DIGEST_SIZE];
    sha1(password, std::strlen(password), digest);
    base64_encode(digest, sizeof digest, out);
    out[28] = '\0';
}

int hasprivilege(const char* privilege)
{
    if (privilege == nullptr || *privilege == '\0')
        return 1;
    return authprivileges != nullptr && *authprivileges != '\0' &&
           std::strstr(authprivileges, privilege) != nullptr;
}

const char* authparam(const char* name)
{
    if (authsection == nullptr || name == nullptr)
        return nullptr;
    int index = paramfile_index(auth_param_names, name);
    return index == 0 ? nullptr : paramfile_get(authsection, index);
}

void authrefresh(ParamSection* users)
{
    if (authsection == nullptr)
        return;
    authsection = paramfile_find_section(users, authuser);
    authprivileges = paramfile_get(authsection, USER_PRIVILEGES);
}

namespace {

// The users file is read whole at start-up, but a request that needs only
// the signed-in account and the admin account's facts parses just those
// two sections: the whole list is made the first time a page asks for it.
struct Users {
    std::string path;
    bool loaded = false;
    ParamText text;                   // the file as read at start-up
    ParamSection* list = nullptr;     // the whole list, once made
    std::vector<ParamSection*> alone; // sections read alone; kept for the
                                      // run, the login facts point there
    void (*unreadable)() = nullptr;
    bool adminblankpassword = false;
    bool adminblankemail = false;
};
// Never destroyed: the login facts point into its lists up to the exit.
Users& users = *new Users;

bool users_loaded() { return users.loaded || users.list != nullptr; }

} // namespace

// Only memory can run out once the file's bytes were read and checked.
void authunreadable()
{
    if (users.unreadable != nullptr)
        users.unreadable();
    std::abort();
}

bool authloadusers(const char* path, void (*unreadable)())
{
    // A new load starts afresh: nothing of an earlier one is looked at.
    authreset();
    paramfile_free(users.list);
    users.list = nullptr;
    users.loaded = false;
    users.adminblankpassword = users.adminblankemail = false;
    users.path = path;
    users.unreadable = unreadable;
    // Where the file may be rewritten in place, it is read under a shared
    // lock for as long as it stays open.
    if (!paramtext_load(replacefile_open_read(path), users.text))
        return false;
    users.loaded = true;
    if (const ParamSection* admin = authfinduser("admin")) {
        users.adminblankpassword = if_blank(paramfile_get(admin, USER_PASSWORD)) != 0;
        users.adminblankemail = if_blank(paramfile_get(admin, USER_FROM_EMAIL)) != 0;
    }
    return true;
}

ParamSection* authfinduser(const char* name)
{
    if (users.list != nullptr || !users.loaded)
        return paramfile_find_section(users.list, name);
    ParamSection* alone = nullptr;
    int found = paramtext_section(users.text, users_param_names, name, &alone);
    if (found < 0)
        authunreadable();
    if (found == 0)
        return nullptr;
    users.alone.push_back(alone);
    return alone->next;
}

ParamSection* authusers()
{
    if (users.list == nullptr && users.loaded) {
        users.list = paramtext_list(users.text, users_param_names);
        if (users.list == nullptr)
            authunreadable();
        paramtext_close(users.text);
        users.loaded = false;
        authrefresh(users.list);
    }
    return users.list;
}
const char* authuserspath() { return users.path.empty() ? nullptr : users.path.c_str(); }

void authforeachuser(int index, const ParamValueEach& each)
{
    if (users.list == nullptr && users.loaded) {
        if (!paramtext_each(users.text, users_param_names, index, each))
            authunreadable();
        return;
    }
    if (!paramfile_each(users.list, users_param_names, index, each))
        authunreadable();
}

void authreplaceusers(ParamSection* list)
{
    ParamSection* old = users.list;
    paramtext_close(users.text);
    users.loaded = false;
    users.list = list;
    authrefresh(users.list);
    if (old != list)
        paramfile_free(old);
}

ParamSection* authadduser()
{
    authusers();
    return paramfile_add_section(&users.list);
}

void authremoveuser(ParamSection* section)
{
    paramfile_remove_section(&users.list, section);
    authrefresh(users.list);
}

void authunlockusers()
{
    if (users.text.fd.get() >= 0)
        lock_release_read(users.text.fd.get());
}

bool adminblankpassword() { return users.adminblankpassword; }
bool adminblankemail() { return users.adminblankemail; }

void authreset()
{
    authuser = nullptr;
    authsection = nullptr;
    authprivileges = nullptr;
}
