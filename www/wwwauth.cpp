#include "www/wwwauth.h"

#include <array>
#include <cstring>
#include <forward_list>
#include <string>
#include <string_view>

#include "lib/usersfile.h"
#include "www/base64.h"
#include "www/sha1.h"

const char* authuser = nullptr;

namespace {

// The login facts: the signed-in account's section and its privileges.  A
// login against the run's users file follows it: once the file's sections
// were replaced, the account is found again in what holds it now.
struct Login {
    ParamSection* section = nullptr;
    const char* privileges = nullptr;
    bool followed = false;   // found in the run's users file
    unsigned generation = 0; // of the run's users file when found
};
Login signedin;

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
    static constexpr bool run = false;
    ParamSection* users;
    ParamSection* operator()(const char* name) const { return paramfile_find_section(users, name); }
};

// The section of `name` in the run's users file.
struct InRun {
    static constexpr bool run = true;
    ParamSection* operator()(const char* name) const { return usersfile_find(name); }
};

// Makes `section` the signed-in account's; `run`: found in the run's users
// file.
void signin(ParamSection* section, bool run)
{
    signedin.section = section;
    signedin.privileges = paramfile_get(section, USER_PRIVILEGES);
    signedin.followed = run;
    signedin.generation = usersfile_generation();
}

// After a change of the run's users file: the same name's section in it
// now; an account gone from it stays gone.
void follow()
{
    if (!signedin.followed || signedin.generation == usersfile_generation())
        return;
    signin(usersfile_find(authuser), true);
    signedin.followed = signedin.section != nullptr;
}

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
    signin(section, Find::run);
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
    signin(section, Find::run);
    return AUTH_OK;
}

void forget_login() { signedin = Login{}; }

} // namespace

ParamSection* authsection()
{
    follow();
    return signedin.section;
}

const char* authprivileges()
{
    follow();
    return signedin.privileges;
}

int checkauth(const char* header, ParamSection* users, const char** user)
{
    forget_login();
    return users == nullptr ? AUTH_NOLIST : login(header, user, InList{users});
}

int checkauth(const char* header, const char** user)
{
    forget_login();
    return !usersfile_opened() ? AUTH_NOLIST : login(header, user, InRun{});
}

int serverlogin(const char* name, ParamSection* users)
{
    forget_login();
    return users == nullptr ? AUTH_NOLIST : login_server(name, InList{users});
}

int serverlogin(const char* name)
{
    forget_login();
    return !usersfile_opened() ? AUTH_NOLIST : login_server(name, InRun{});
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
    const char* held = authprivileges();
    return held != nullptr && *held != '\0' && std::strstr(held, privilege) != nullptr;
}

const char* authparam(const char* name)
{
    ParamSection* section = authsection();
    if (section == nullptr || name == nullptr)
        return nullptr;
    int index = paramfile_index(auth_param_names, name);
    return index == 0 ? nullptr : paramfile_get(section, index);
}

void authreset()
{
    authuser = nullptr;
    forget_login();
}
