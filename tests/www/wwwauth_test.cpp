#include "www/wwwauth.h"

#include <string>

#include <gtest/gtest.h>

#include "lib/usersfile.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "www/base64.h"

namespace {

// sha1("secret") is e5e9fa1b..., sha1("abc") is a9993e36...
const std::string users_file = "# accounts\n"
                               "[admin]\n"
                               "full-name = Administrator\n"
                               "password = 5en6G6MezRroT3XKqkdPOmY/BfQ=\n"
                               "privileges = superadmin postmaster\n"
                               "from-email = root@example.com\n"
                               "image-format = pdf\n"
                               "[open]\n"
                               "password =\n"
                               "privileges = postmaster\n"
                               "[nopass]\n"
                               "full-name = 'No Password'\n"
                               "[colons]\n"
                               "password = XyRLaTIb/WCdo8CuWc58gPVHl68=\n"
                               "[short]\n"
                               "password = QUJD\n"
                               "[long]\n"
                               "password = " +
                               std::string(80, 'A').append("\n");

class WwwauthTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        authreset();
        box_.write(Sandbox::kUsers, users_file);
        users_ = paramfile_load(box_.path(Sandbox::kUsers).c_str(), users_param_names, 0);
        ASSERT_NE(users_, nullptr);
    }
    void TearDown() override
    {
        authreset();
        paramfile_free(users_);
    }

    int check(const std::string& credentials)
    {
        return checkauth(("Basic " + cgi::base64(credentials)).c_str(), users_, nullptr);
    }

    Sandbox box_;
    ParamSection* users_ = nullptr;
};

} // namespace

TEST_F(WwwauthTest, HeaderFaults)
{
    EXPECT_EQ(checkauth("Basic YWRtaW46c2VjcmV0", nullptr, nullptr), AUTH_NOLIST);
    EXPECT_EQ(checkauth(nullptr, users_, nullptr), AUTH_NOHEADER);
    EXPECT_EQ(checkauth("", users_, nullptr), AUTH_NOHEADER);
    EXPECT_EQ(checkauth("basic YWRtaW46c2VjcmV0", users_, nullptr), AUTH_NOTBASIC);
    EXPECT_EQ(checkauth("Digest x", users_, nullptr), AUTH_NOTBASIC);
    EXPECT_EQ(checkauth("Basi", users_, nullptr), AUTH_NOTBASIC);
    EXPECT_EQ(authuser, nullptr);
    // Nothing after the scheme: an empty name, never read past the header.
    EXPECT_EQ(checkauth("Basic", users_, nullptr), AUTH_NOUSER);
    EXPECT_STREQ(authuser, "");
    // The separator is not checked.
    EXPECT_EQ(checkauth("Basic:YWRtaW46c2VjcmV0", users_, nullptr), AUTH_OK);
}

TEST_F(WwwauthTest, RightPasswordSignsIn)
{
    const char* user = nullptr;
    std::string header = ("Basic " + cgi::base64("admin:secret"));
    const std::string original = header;
    EXPECT_EQ(checkauth(header.c_str(), users_, &user), AUTH_OK);
    EXPECT_EQ(header, original);
    EXPECT_STREQ(user, "admin");
    EXPECT_STREQ(authuser, "admin");
    ASSERT_NE(authsection(), nullptr);
    EXPECT_STREQ(authsection()->name, "admin");
    EXPECT_STREQ(authprivileges(), "superadmin postmaster");

    // The handed-out name outlives the login facts.
    authreset();
    EXPECT_EQ(check("nobody:x"), AUTH_NOUSER);
    EXPECT_STREQ(user, "admin");
}

TEST_F(WwwauthTest, WrongPasswordSignsNobodyIn)
{
    EXPECT_EQ(check("admin:abc"), AUTH_BADPASSWORD);
    EXPECT_STREQ(authuser, "admin");
    EXPECT_EQ(authsection(), nullptr);
    EXPECT_EQ(hasprivilege("admin"), 0);

    EXPECT_EQ(check("admin:"), AUTH_BADPASSWORD);
    EXPECT_EQ(check("admin"), AUTH_BADPASSWORD);   // no colon: empty password
    EXPECT_EQ(check("Admin:secret"), AUTH_NOUSER); // names are case-sensitive
}

TEST_F(WwwauthTest, UnknownUserIsNamed)
{
    EXPECT_EQ(check("mallory:secret"), AUTH_NOUSER);
    EXPECT_STREQ(authuser, "mallory");
    EXPECT_EQ(authsection(), nullptr);
    EXPECT_EQ(check(":secret"), AUTH_NOUSER);
    EXPECT_STREQ(authuser, "");
}

TEST_F(WwwauthTest, NoStoredPasswordAcceptsAny)
{
    for (const char* credentials : {"open:anything", "open:", "open", "nopass:x", "nopass:"}) {
        EXPECT_EQ(check(credentials), AUTH_OK) << credentials;
        EXPECT_NE(authsection(), nullptr);
    }
}

TEST_F(WwwauthTest, LaterColonsBelongToThePassword)
{
    EXPECT_EQ(check("colons:pa:ss"), AUTH_OK);
    EXPECT_STREQ(authuser, "colons");
    EXPECT_EQ(check("colons:pa"), AUTH_BADPASSWORD);
}

TEST_F(WwwauthTest, MalformedStoredPasswordsNeverMatch)
{
    // Decodes to three bytes; the rest of the comparison is against zeros.
    EXPECT_EQ(check("short:ABC"), AUTH_BADPASSWORD);
    // Too long for the decoding buffer: refused without a comparison.
    EXPECT_EQ(check("long:"), AUTH_BADPASSWORD);
    EXPECT_EQ(check("long:x"), AUTH_BADPASSWORD);
}

TEST_F(WwwauthTest, Privileges)
{
    EXPECT_EQ(hasprivilege(""), 1);
    EXPECT_EQ(hasprivilege(nullptr), 1);
    EXPECT_EQ(hasprivilege("admin"), 0);

    ASSERT_EQ(check("admin:secret"), AUTH_OK);
    EXPECT_EQ(hasprivilege("admin"), 1); // inside "superadmin"
    EXPECT_EQ(hasprivilege("postmaster"), 1);
    EXPECT_EQ(hasprivilege("Admin"), 0);

    ASSERT_EQ(check("nopass:"), AUTH_OK);
    EXPECT_EQ(authprivileges(), nullptr);
    EXPECT_EQ(hasprivilege("admin"), 0);
    EXPECT_EQ(hasprivilege(""), 1);
}

TEST_F(WwwauthTest, Authparam)
{
    EXPECT_EQ(authparam("from-email"), nullptr);
    ASSERT_EQ(check("admin:secret"), AUTH_OK);
    EXPECT_STREQ(authparam("from-email"), "root@example.com");
    EXPECT_STREQ(authparam("full-name"), "Administrator");
    EXPECT_STREQ(authparam("privileges"), "superadmin postmaster");
    EXPECT_EQ(authparam("did"), nullptr);
    EXPECT_EQ(authparam("image-format"), nullptr); // not among the first ten
    EXPECT_EQ(authparam("no-such-name"), nullptr);
    EXPECT_EQ(authparam(nullptr), nullptr);
}

// A login against the run's users file follows the changes the account
// pages make to it: the privileges as changed, none once the account is
// gone (the section signed in with is released by then).
TEST_F(WwwauthTest, ALoginFollowsTheRunsUsersFile)
{
    ASSERT_TRUE(usersfile_open(box_.path(Sandbox::kUsers).c_str()));
    ASSERT_EQ(checkauth(("Basic " + cgi::base64("open:")).c_str(), nullptr), AUTH_OK);
    EXPECT_EQ(hasprivilege("admin"), 0);
    auto set = [](ParamSection*& list) {
        return usersfile_set(paramfile_find_section(list, "open"), USER_PRIVILEGES, "admin") == 1;
    };
    ASSERT_EQ(usersfile_change(set), USERS_OK);
    EXPECT_EQ(hasprivilege("admin"), 1);
    EXPECT_STREQ(authparam("privileges"), "admin");
    auto remove = [](ParamSection*& list) {
        paramfile_remove_section(&list, paramfile_find_section(list, "open"));
        return true;
    };
    ASSERT_EQ(usersfile_change(remove), USERS_OK);
    EXPECT_EQ(authsection(), nullptr);
    EXPECT_EQ(hasprivilege("admin"), 0);
    EXPECT_EQ(box_.read(Sandbox::kUsers).find("[open]"), std::string::npos);
}

TEST(WwwauthDigestTest, CheckpasswordAndDigestpassword)
{
    authreset();
    char stored[29];
    digestpassword("secret", stored);
    EXPECT_STREQ(stored, "5en6G6MezRroT3XKqkdPOmY/BfQ=");
    digestpassword("", stored);
    EXPECT_STREQ(stored, "2jmj7l5rSw0yVb/vlWAYkK/YBwk=");

    base64_decode(stored);
    EXPECT_EQ(checkpassword("", reinterpret_cast<const unsigned char*>(stored)), 1);

    const unsigned char odd[20] = {0x01, 0x00, 0x0a, 0xff};
    EXPECT_EQ(checkpassword("secret", odd), 0);

    // A digest that differs only in its last byte is still refused.
    unsigned char almost[20] = {0xe5, 0xe9, 0xfa, 0x1b, 0xa3, 0x1e, 0xcd, 0x1a, 0xe8, 0x4f,
                                0x75, 0xca, 0xaa, 0x47, 0x4f, 0x3a, 0x66, 0x3f, 0x05, 0xf4};
    EXPECT_EQ(checkpassword("secret", almost), 1);
    almost[19] ^= 1;
    EXPECT_EQ(checkpassword("secret", almost), 0);
    authreset();
}
