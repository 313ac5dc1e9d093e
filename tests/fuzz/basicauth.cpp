// The Basic login check and base64.  The input up to its first NUL is
// taken three ways: as an Authorization header as it stands, as the
// "name:password" credentials of a header made the way browsers make it,
// and as bytes that base64 must encode and decode back unchanged.  What
// follows the NUL, if anything, is the stored password of the account
// "carol".  The users list is in memory: admin (password "secret"),
// nopass (no password) and carol.
#include <cstring>
#include <memory>
#include <string>

#include "lib/paramfile.h"
#include "tests/fuzz/fuzzing.h"
#include "www/base64.h"
#include "www/wwwauth.h"

namespace {

struct ListFree {
    void operator()(ParamSection* list) const { paramfile_free(list); }
};

ParamSection* users()
{
    static std::unique_ptr<ParamSection, ListFree> list = [] {
        char secret[29];
        digestpassword("secret", secret);
        std::string text = std::string("[admin]\npassword = ") + secret +
                           "\nprivileges = admin\n[nopass]\nprivileges = postmaster\n[carol]\n";
        FuzzStream in(text);
        std::unique_ptr<ParamSection, ListFree> users(
            paramfile_read(in.get(), users_param_names, 0));
        FUZZ_CHECK(users != nullptr);
        return users;
    }();
    return list.get();
}

std::string encoded(std::string_view bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data());
    return out;
}

void check_base64(std::string_view bytes)
{
    std::string text = encoded(bytes);
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    std::string decoded = text;
    char* end = base64_decode(decoded.data());
    decoded.resize(static_cast<std::size_t>(end - decoded.data()));
    FUZZ_CHECK(decoded == bytes);

    // Any text decodes in place, into no more than three bytes for four.
    std::string any(bytes);
    std::size_t length = std::strlen(any.c_str());
    end = base64_decode(any.data());
    FUZZ_CHECK(static_cast<std::size_t>(end - any.data()) <= length / 4 * 3 + 2);
}

// The result a login as `credentials` must have.
int expected(std::string_view credentials, const std::string& carol)
{
    std::size_t colon = credentials.find(':');
    std::string name(credentials.substr(0, colon));
    std::string password(colon == std::string_view::npos ? "" : credentials.substr(colon + 1));
    if (name == "admin")
        return password == "secret" ? AUTH_OK : AUTH_BADPASSWORD;
    if (name == "nopass")
        return AUTH_OK;
    if (name != "carol")
        return AUTH_NOUSER;
    if (carol.empty())
        return AUTH_OK;
    char digest[29];
    digestpassword(password.c_str(), digest);
    return carol == digest ? AUTH_OK : -100; // -100: not settled by this check
}

void check_login(std::string_view credentials, const std::string& carol)
{
    std::string header = "Basic " + encoded(credentials);
    const char* user = nullptr;
    int result = checkauth(header.c_str(), users(), &user);
    int wanted = expected(credentials, carol);
    FUZZ_CHECK(user != nullptr && user == authuser);
    FUZZ_CHECK(std::string_view(user) == credentials.substr(0, credentials.find(':')));
    if (wanted != -100)
        FUZZ_CHECK(result == wanted);
    else
        FUZZ_CHECK(result == AUTH_OK || result == AUTH_BADPASSWORD);
    if (result == AUTH_OK) {
        FUZZ_CHECK(authsection() != nullptr && std::strcmp(authsection()->name, user) == 0);
        FUZZ_CHECK(authprivileges() == paramfile_get(authsection(), USER_PRIVILEGES));
    } else {
        FUZZ_CHECK(authsection() == nullptr && authprivileges() == nullptr);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    std::string_view input = fuzz_bytes(data, size);
    std::size_t nul = input.find('\0');
    std::string_view text = input.substr(0, nul);
    std::string carol(nul == std::string_view::npos ? "" : input.substr(nul + 1));
    carol = carol.substr(0, carol.find('\0'));
    ParamSection* carols = paramfile_find_section(users(), "carol");
    FUZZ_CHECK(carols != nullptr);
    paramfile_set(carols, users_param_names, "password", carol.c_str());

    check_base64(input);
    std::string header(text);
    int result = checkauth(header.c_str(), users(), nullptr);
    FUZZ_CHECK(result == AUTH_OK || result == AUTH_NOHEADER || result == AUTH_NOTBASIC ||
               result == AUTH_BADPASSWORD || result == AUTH_NOUSER);
    FUZZ_CHECK(result != AUTH_OK || (authsection() != nullptr && authuser != nullptr));
    check_login(text, carol);
    authreset();
    return 0;
}
