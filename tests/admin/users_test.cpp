// The account pages through zeladmin as a CGI program: the list, both
// account forms, and the users file as each kind of update leaves it on
// disk, compared byte for byte in sandbox installations.
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

using cgi::Form;
using cgi::urlencode;

const std::string kScriptName = "/zel";
const std::string kMask = "**********";

const std::string kExists = "ACCOUNT NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.";
const std::string kBadName =
    "ACCOUNT NAME MAY NOT BE EMPTY OR CONTAIN ], PLEASE ENTER DIFFERENT NAME.";
const std::string kColonName =
    "ACCOUNT NAME MAY NOT CONTAIN : (THE ACCOUNT COULD NEVER LOG IN), PLEASE ENTER DIFFERENT NAME.";
const std::string kLineBreak = "VALUES MAY NOT CONTAIN LINE BREAKS, PLEASE RE-ENTER THEM.";
const std::string kTooLong =
    "VALUES MAY NOT BE LONGER THAN ABOUT 1000 CHARACTERS, PLEASE SHORTEN THEM.";
const std::string kMismatch = "PASSWORDS DID NOT MATCH, PLEASE RE-ENTER THEM.";
const std::string kNotAllowed = "THIS CHANGE IS NOT ALLOWED FROM YOUR ACCOUNT PAGE.";
const std::string kI109 =
    "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\"><td "
    "align=center><b>WARNING!</b> (I109)</td></tr><tr><td> There is no password on this account! "
    "</td></tr></table><p>\n";

// The later value of a name replaces the earlier one; an empty name drops it.
Form with(Form form, const Form& changes)
{
    for (const auto& [name, value] : changes) {
        std::erase_if(form, [&](const auto& field) { return field.first == name; });
        if (value != "\x7f")
            form.emplace_back(name, value);
    }
    return form;
}
const std::string kDrop = "\x7f";

const std::string kAdmin =
    "[admin]\nfull-name = Administrator\npassword = " + cgi::stored_password("root") +
    "\nprivileges = admin\n";
const std::string kBobBody = "full-name = Bob Brown\npassword = " + cgi::stored_password("pw") +
                             "\ndelivery-email = bob@example.com\ndid = 100\nmail-format = text\n"
                             "image-format = tiff\nurl-delivery = file\n";
const std::string kBob = "[bob]\n" + kBobBody;
const std::string kCarol = "[carol]\nfull-name = Carol\n";
const std::string kUsers = "# accounts\n" + kAdmin + kBob + kCarol;

// What a browser posts from the administrator's form of bob under the
// default switches (no DID, IP range, program, style or delivery type).
const Form kBobAdminForm = {
    {"obp", "Update"},
    {"admin", "x"},
    {"ouname", "bob"},
    {"ofname", "Bob Brown"},
    {"opwd", ""},
    {"odea", "bob@example.com"},
    {"odid", "100"},
    {"ofea", ""},
    {"odp", ""},
    {"odf", "text"},
    {"oipfrom", ""},
    {"oipto", ""},
    {"priv", ""},
    {"opriv-ad", ""},
    {"opriv-pm", ""},
    {"uname", "bob"},
    {"fname", "Bob Brown"},
    {"pwd", kMask},
    {"pwd2", kMask},
    {"fea", ""},
    {"dea", "bob@example.com"},
    {"df", "text"},
    {"iformat", "tiff"},
    {"button", "Update"},
};

// The same for bob's own reduced form.
const Form kBobOwnForm = {
    {"obp", ""},
    {"opwd", ""},
    {"ofname", "Bob Brown"},
    {"odea", "bob@example.com"},
    {"odp", ""},
    {"odf", "text"},
    {"oiformat", "tiff"},
    {"ourldel", "file"},
    {"ostyle", ""},
    {"fname", "Bob Brown"},
    {"pwd", kMask},
    {"pwd2", kMask},
    {"dea", "bob@example.com"},
    {"iformat", "tiff"},
    {"df", "text"},
    {"button", "Update"},
};

std::string page(const std::string& title, const std::string& helpid, const std::string& body)
{
    return kOk + framed(title, helpid, body, kScriptName);
}

std::string bold(const std::string& message) { return "<p><b>" + message + "</b>\n"; }

std::string done(const std::string& name, const std::string& verb)
{
    return bold("User <em>" + name + "</em> has been " + verb + ".<p>\n");
}

class UsersTest : public SandboxTest {
protected:
    UsersTest() { box.write(Sandbox::kUsers, kUsers); }

    static std::vector<std::string> login(const std::string& credentials)
    {
        return {cgi::kNph, cgi::basic(credentials), "SCRIPT_NAME=" + kScriptName + "/"};
    }

    RunResult get(const std::string& path, const std::string& credentials) const
    {
        return cgi::zeladmin(box, cgi::get(path, login(credentials)));
    }

    static RunOptions postoptions(const std::string& path, const std::string& credentials,
                                  const Form& form)
    {
        return cgi::post(path, urlencode(form), login(credentials));
    }

    RunResult post(const std::string& path, const std::string& credentials, const Form& form) const
    {
        return cgi::zeladmin(box, postoptions(path, credentials, form));
    }

    std::string users() const { return box.read(Sandbox::kUsers); }
};

} // namespace

TEST_F(UsersTest, ListPageEscapesNamesAndShowsTheMessage)
{
    box.write(Sandbox::kUsers,
              kAdmin + "[o\"k&]\nfull-name = <Ann> & 'Co'\n[solo]\nfull-name =  \n");
    RunResult r = post("/Action4", "admin:root",
                       {{"button", "Delete"}, {"uname", "solo"}, {"ouname", "solo"}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              page("Select User", "HXselectuser",
                   done("solo", "deleted") +
                       "<p>Please select the user you wish to update or delete, or press add "
                       "to add a new user to the database.\n"
                       "<form action=\"/zel/Action2\" method=post>\n"
                       "<select name=user size=4>\n"
                       "<option value=\"admin\">Administrator\n"
                       "<option value=\"o&quot;k&amp;\">&lt;Ann&gt; &amp; &#39;Co&#39;\n"
                       "</select>\n<br>\n"
                       "<p>2 accounts are defined.\n"
                       "<p>\n"
                       "<input type=submit name=button value=\"Add\">\n"
                       "<input type=submit name=button value=\"Update\">\n"
                       "<input type=submit name=button value=\"Delete\">\n"
                       "<input type=submit name=button value=\"Cancel\">\n"
                       "</form>\n"));
    EXPECT_EQ(users(), kAdmin + "[o\"k&]\nfull-name = <Ann> & 'Co'\n");

    box.write(Sandbox::kUsers, kAdmin);
    r = get("/Page4", "admin:root");
    EXPECT_NE(r.out.find("<p>1 account is defined.\n"), std::string::npos) << r.out;
}

TEST_F(UsersTest, AdministratorsFormShowsEveryFieldEscaped)
{
    configure("zel-mode = daemon\nwebadmin-did-routing = yes\nwebadmin-delivery-program = yes\n"
              "webadmin-default-style = y\nwebadmin-url-delivery = Yes\n");
    box.write(Sandbox::kUsers,
              kAdmin + "[o\"k]\nfull-name = <Ann> & 'Co'\npassword = " + cgi::stored_password("x") +
                  "\ndid = 7\nfrom-email = a@b\n"
                  "ip-addr-range-lower = 1.0.0.1\nip-addr-range-upper = 1.0.0.9\n"
                  "delivery-email = d@b\ndelivery-program = /bin/cat \"$x\"\n"
                  "default-style = fine\nmail-format = text\nimage-format = pdf\n"
                  "url-delivery = file+url\nprivileges = postmaster\n");
    RunResult r = post("/Action2", "admin:root", {{"user", "o\"k"}, {"button", "Update"}});
    EXPECT_EQ(r.status, 0);
    const std::string ann = "&lt;Ann&gt; &amp; &#39;Co&#39;";
    EXPECT_EQ(
        r.out,
        page(
            "User Update", "HXadminuserupdate",
            "<form action=\"/zel/Action4/\" method=post>\n"
            "<input type=hidden name=obp value=\"Update\">\n"
            "<input type=hidden name=admin value=\"x\">\n"
            "<input type=hidden name=ouname value=\"o&quot;k\">\n"
            "<input type=hidden name=ofname value=\"" +
                ann +
                "\">\n"
                "<input type=hidden name=opwd value=\"\">\n"
                "<input type=hidden name=odea value=\"d@b\">\n"
                "<input type=hidden name=odid value=\"7\">\n"
                "<input type=hidden name=ofea value=\"a@b\">\n"
                "<input type=hidden name=odp value=\"/bin/cat &quot;$x&quot;\">\n"
                "<input type=hidden name=odf value=\"text\">\n"
                "<input type=hidden name=oipfrom value=\"1.0.0.1\">\n"
                "<input type=hidden name=oipto value=\"1.0.0.9\">\n"
                "<input type=hidden name=priv value=\"postmaster\">\n"
                "<input type=hidden name=opriv-ad value=\"\">\n"
                "<input type=hidden name=opriv-pm value=\"postmaster\">\n"
                "<p><table border=2 cellpadding=2 cellspacing=2>\n"
                "<caption>Parameters for <em>" +
                ann +
                "</em></caption>\n"
                "<tr><td>Account Name</td><td><input type=text name=uname size=20 value=\"o&quot;k\"></td></tr>\n"
                "<tr><td>Full Name</td><td><input type=text name=fname size=50 value=\"" +
                ann +
                "\"></td></tr>\n"
                "<tr><td>Password</td><td><input type=password name=pwd size=10 value=\"**********\"></td></tr>\n"
                "<tr><td>Re-Type Password</td><td><input type=password name=pwd2 size=10 value=\"**********\"></td></tr>\n"
                "<tr><td>From E-mail Address</td><td><input type=text name=fea size=40 value=\"a@b\"></td></tr>\n"
                "<tr><td>IP Address Range</td><td><input type=text name=ipfrom size=15 value=\"1.0.0.1\"> -"
                "<input type=text name=ipto size=15 value=\"1.0.0.9\"></td></tr>\n"
                "<tr><td>DID Number</td><td><input type=text name=did size=10 value=\"7\"></td></tr>\n"
                "<tr><td>Delivery E-mail Address</td><td><input type=text name=dea size=40 value=\"d@b\"></td></tr>\n"
                "<tr><td>Delivery Program</td><td><input type=text name=dp size=40 value=\"/bin/cat &quot;$x&quot;\"></td></tr>\n"
                "<tr><td>Default Style</td><td><input type=text name=style size=40 value=\"fine\"></td></tr>\n"
                "<tr><td>Delivery Format</td><td><input type=radio name=df value=\"text\" checked> Text "
                "<input type=radio name=df value=\"html\"> HTML</td></tr>\n"
                "<tr><td>Image Format</td><td><input type=radio name=iformat value=\"tiff\"> TIFF "
                "<input type=radio name=iformat value=\"pdf\" checked> PDF</td></tr>\n"
                "<tr><td>Delivery Type</td><td><select name=urldel>\n"
                "<option value=\"file\">Deliver fax file\n"
                "<option value=\"url\">Deliver URL only\n"
                "<option value=\"file+url\" selected>Deliver URL and file\n"
                "</select></td></tr>\n"
                "<tr><td>Privileges</td><td><input type=checkbox name=priv-ad value=\"admin\"> Administrator "
                "<input type=checkbox name=priv-pm value=\"postmaster\" checked> Postmaster</td></tr>\n"
                "</table>\n<p>\n"
                "<input type=submit name=button value=\"Update\">\n"
                "<input type=submit name=button value=\"Cancel\">\n"
                "</form>\n"));
}

TEST_F(UsersTest, ReducedFormWarnsOfAMissingPassword)
{
    configure("webadmin-delivery-program = yes\nwebadmin-url-delivery = yes\n"
              "webadmin-did-routing = yes\nwebadmin-default-style = yes\nzel-mode = daemon\n");
    box.write(Sandbox::kUsers, kAdmin + "[carol]\nfull-name = '  '\nmail-format = html\n"
                                        "delivery-program = a&b\nurl-delivery = url\n");
    RunResult r = get("/Page3", "carol:anything");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.out,
        page(
            "User Update", "HXuserupdate",
            kI109 +
                "<form action = \"/zel/Action3\" method = post>\n"
                "<input type=hidden name=obp value=\"\">\n"
                "<input type=hidden name=opwd value=\"\">\n"
                "<input type=hidden name=ofname value=\"  \">\n"
                "<input type=hidden name=odea value=\"\">\n"
                "<input type=hidden name=odp value=\"a&amp;b\">\n"
                "<input type=hidden name=odf value=\"html\">\n"
                "<input type=hidden name=oiformat value=\"\">\n"
                "<input type=hidden name=ourldel value=\"url\">\n"
                "<input type=hidden name=ostyle value=\"\">\n"
                "<p><table border = 2 cellpadding = 2 cellspacing = 2>\n"
                "<caption>Parameters for <em>carol</em></caption>\n"
                "<tr><td>Full Name</td><td><input type=text name=fname size=50 value=\"  \"></td></tr>\n"
                "<tr><td>Password</td><td><input type=password name=pwd size=10 value=\"**********\"></td></tr>\n"
                "<tr><td>Re-enter Password</td><td><input type=password name=pwd2 size=10 value=\"**********\"></td></tr>\n"
                "<tr><td>Delivery E-mail Address</td><td><input type=text name=dea size=40 value=\"\"></td></tr>\n"
                "<tr><td>Delivery Program</td><td><input type=text name=dp size=40 value=\"a&amp;b\"></td></tr>\n"
                "<tr><td>Image Format</td><td><input type=radio name=iformat value=\"tiff\" checked> TIFF "
                "<input type=radio name=iformat value=\"pdf\"> PDF</td></tr>\n"
                "<tr><td>Delivery Type</td><td><select name=urldel>\n"
                "<option value=\"file\">Deliver fax file\n"
                "<option value=\"url\" selected>Deliver URL only\n"
                "<option value=\"file+url\">Deliver URL and file\n"
                "</select></td></tr>\n"
                "<tr><td>Delivery Format</td><td><input type=radio name=df value=\"text\"> Text "
                "<input type=radio name=df value=\"html\" checked> HTML</td></tr>\n"
                "</table>\n<p>\n"
                "<input type=submit name=button value=\"Update\">\n"
                "<input type=submit name=button value=\"Cancel\">\n"
                "</form>\n"));
}

TEST_F(UsersTest, ListButtonsOpenTheForms)
{
    RunResult r = post("/Action2", "admin:root", {{"button", "Add"}, {"user", "bob"}});
    EXPECT_NE(r.out.find("name=uname size=20 value=\"New User\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("<caption>Parameters for <em>New User</em></caption>\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("<p>\n<input type=submit name=button value=\"Add\">\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find(kI109), std::string::npos);

    r = post("/Action2", "admin:root", {{"button", "Delete"}, {"user", "carol"}});
    EXPECT_NE(r.out.find("<p>\nARE YOU SURE YOU WANT TO DELETE USER?\n"
                         "<input type=submit name=button value=\"Delete\">\n"
                         "<input type=submit name=button value=\"Cancel\">\n</form>"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(kI109), std::string::npos);

    for (std::string button : {"Update", "Delete"}) {
        r = post("/Action2", "admin:root", {{"button", button}});
        std::string verb = button == "Update" ? "update" : "delete";
        EXPECT_TRUE(r.out.starts_with(kOk +
                                      pagehead("Vantrel Image Messaging Software - Select User") +
                                      banner("HXselectuser", kScriptName) +
                                      bold("Please select the user you wish to " + verb + ".")))
            << r.out;
    }
    // The DID input is there only with DID routing on.
    r = get("/Page3", "admin:root");
    EXPECT_NE(r.out.find("HXadminuserupdate"), std::string::npos);
    EXPECT_EQ(r.out.find("name=did "), std::string::npos);
}

TEST_F(UsersTest, UpdatesLeaveTheFileAsExpected)
{
    struct Case {
        const char* what;
        Form form;
        std::string file;
        std::string message;
    } cases[] = {
        {"nothing changed", kBobAdminForm, kUsers, done("bob", "changed")},
        {"add",
         {{"button", "Add"},     {"obp", "Add"},           {"admin", "x"},
          {"ouname", ""},        {"uname", "dave"},        {"fname", "Dave D"},
          {"pwd", "secret "},    {"pwd2", "secret "},      {"dea", "d@x"},
          {"did", "200"},        {"dp", "/bin/true"},      {"fea", "dave@x"},
          {"ipfrom", "1.2.3.4"}, {"ipto", "1.2.3.9"},      {"style", "plain"},
          {"df", "html"},        {"iformat", "pdf"},       {"urldel", "url"},
          {"priv-ad", "admin"},  {"priv-pm", "postmaster"}},
         // A key new to a section goes first in it; on Add the trailing
         // blank of the password is dropped.
         kUsers +
             "[dave]\nprivileges = admin,postmaster\ndefault-style = plain\nurl-delivery = url\n"
             "image-format = pdf\nmail-format = html\nip-addr-range-upper = 1.2.3.9\n"
             "ip-addr-range-lower = 1.2.3.4\nfrom-email = dave@x\ndelivery-program = /bin/true\n"
             "did = 200\ndelivery-email = d@x\nfull-name = Dave D\npassword = " +
             cgi::stored_password("secret") + "\n",
         done("dave", "added")},
        {"add with the defaults",
         {{"button", "Add"},
          {"uname", "eve"},
          {"fname", ""},
          {"pwd", kMask},
          {"pwd2", kMask},
          {"df", "text"},
          {"iformat", "gif"}},
         kUsers + "[eve]\nmail-format = text\n",
         done("eve", "added")},
        {"update",
         with(kBobAdminForm, {{"fname", "Robert Brown"},
                              {"did", ""},
                              {"df", "html"},
                              {"iformat", "pdf"},
                              {"urldel", "file+url"},
                              {"fea", "bob@corp"},
                              {"priv-ad", "admin"}}),
         "# accounts\n" + kAdmin +
             "[bob]\nprivileges = admin\nfrom-email = bob@corp\n"
             "full-name = Robert Brown\npassword = " +
             cgi::stored_password("pw") +
             "\n"
             "delivery-email = bob@example.com\nmail-format = html\nimage-format = pdf\n"
             "url-delivery = file+url\n" +
             kCarol,
         done("bob", "changed")},
        {"rename", with(kBobAdminForm, {{"uname", "robert"}}),
         "# accounts\n" + kAdmin + "[robert]\n" + kBobBody + kCarol, done("robert", "changed")},
        {"both boxes ticked",
         with(kBobAdminForm, {{"priv-ad", "admin"}, {"priv-pm", "postmaster"}}),
         "# accounts\n" + kAdmin + "[bob]\nprivileges = admin,postmaster\n" + kBobBody + kCarol,
         done("bob", "changed")},
        {"both boxes unticked",
         {{"button", "Update"},
          {"ouname", "admin"},
          {"uname", "admin"},
          {"priv", "admin"},
          {"opriv-ad", "admin"},
          {"opriv-pm", ""}},
         "# accounts\n[admin]\nfull-name = Administrator\npassword = " +
             cgi::stored_password("root") + "\n" + kBob + kCarol,
         done("admin", "changed")},
        {"delete",
         {{"button", "Delete"}, {"uname", "carol"}, {"ouname", "carol"}},
         "# accounts\n" + kAdmin + kBob,
         done("carol", "deleted")},
    };
    for (const Case& c : cases) {
        box.write(Sandbox::kUsers, kUsers);
        RunResult r = post("/Action4", "admin:root", c.form);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(users(), c.file) << c.what;
        EXPECT_NE(r.out.find(banner("HXselectuser", kScriptName) + c.message), std::string::npos)
            << c.what << "\n"
            << r.out;
    }
}

TEST_F(UsersTest, PasswordRules)
{
    std::string without = "# accounts\n" + kAdmin +
                          "[bob]\nfull-name = Bob Brown\n"
                          "delivery-email = bob@example.com\ndid = 100\nmail-format = text\n"
                          "image-format = tiff\nurl-delivery = file\n" +
                          kCarol;
    auto withpassword = [&](const std::string& pw) {
        std::string file = kUsers;
        file.replace(file.find(cgi::stored_password("pw")), 28, cgi::stored_password(pw));
        return file;
    };
    struct Case {
        const char* what;
        Form changes;
        std::string file;
        std::string message;
    } cases[] = {
        {"untouched", {}, kUsers, done("bob", "changed")},
        {"retyped", {{"pwd", "pw"}, {"pwd2", "pw"}}, kUsers, done("bob", "changed")},
        {"retyped once", {{"pwd", "pw"}}, kUsers, done("bob", "changed")},
        {"second box untouched", {{"pwd", "new"}}, kUsers, bold(kMismatch)},
        {"different", {{"pwd", "new"}, {"pwd2", "New"}}, kUsers, bold(kMismatch)},
        {"first box untouched", {{"pwd2", "new"}}, kUsers, done("bob", "changed")},
        {"boxes not posted", {{"pwd", kDrop}, {"pwd2", kDrop}}, kUsers, done("bob", "changed")},
        {"blanks", {{"pwd", "  "}, {"pwd2", "  "}}, without, done("bob", "changed") + kI109},
        {"trailing blank kept",
         {{"pwd", "new "}, {"pwd2", "new "}},
         withpassword("new "),
         done("bob", "changed")},
    };
    for (const Case& c : cases) {
        box.write(Sandbox::kUsers, kUsers);
        RunResult r = post("/Action3", "bob:pw", with(kBobOwnForm, c.changes));
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(users(), c.file) << c.what;
        EXPECT_NE(r.out.find(banner("HXuserupdate", kScriptName) + c.message), std::string::npos)
            << c.what << "\n"
            << r.out;
    }
    // The administrator's form follows the same rule.
    box.write(Sandbox::kUsers, kUsers);
    RunResult r =
        post("/Action4", "admin:root", with(kBobAdminForm, {{"pwd", "a"}, {"pwd2", "b"}}));
    EXPECT_EQ(users(), kUsers);
    EXPECT_NE(r.out.find(banner("HXadminuserupdate", kScriptName) + bold(kMismatch)),
              std::string::npos);
}

TEST_F(UsersTest, RefusedUpdatesLeaveTheFileAlone)
{
    struct Case {
        const char* what;
        const char* path;
        Form form;
        std::string message;
        std::string shows; // a piece of the form shown again
    } cases[] = {
        {"rename onto an existing name", "/Action4", with(kBobAdminForm, {{"uname", "carol"}}),
         kExists, "<input type=hidden name=ouname value=\"bob\">\n"},
        {"add an existing name",
         "/Action4",
         {{"button", "Add"}, {"uname", "carol"}, {"fname", "Other Carol"}},
         kExists,
         "name=uname size=20 value=\"New User\""},
        {"add an empty name",
         "/Action4",
         {{"button", "Add"}, {"uname", ""}},
         kBadName,
         "value=\"Add\""},
        {"add a blank name",
         "/Action4",
         {{"button", "Add"}, {"uname", "  "}},
         kBadName,
         "New User"},
        {"add a name with ]",
         "/Action4",
         {{"button", "Add"}, {"uname", "a]b"}},
         kBadName,
         "New User"},
        // A login ends its name at the first ':'.
        {"add a name with :",
         "/Action4",
         {{"button", "Add"}, {"uname", "ann:x"}},
         kColonName,
         "New User"},
        {"rename to a name with :", "/Action4", with(kBobAdminForm, {{"uname", "bob:"}}),
         kColonName, "name=uname size=20 value=\"bob:\""},
        {"add a name with a line break",
         "/Action4",
         {{"button", "Add"}, {"uname", "a\nb"}},
         kLineBreak,
         "New User"},
        {"rename to nothing", "/Action4", with(kBobAdminForm, {{"uname", kDrop}}), kBadName,
         "value=\"Bob Brown\""},
        {"line feed in a value", "/Action4",
         with(kBobAdminForm, {{"fea", "x@y\nprivileges = admin"}}), kLineBreak,
         "name=fea size=40 value=\"x@y\nprivileges = admin\""},
        {"own carriage return", "/Action3", with(kBobOwnForm, {{"fname", "Bob\r"}}), kLineBreak,
         "name=fname size=50 value=\"Bob\r\""},
        {"own line feed", "/Action3", with(kBobOwnForm, {{"dea", "a@b\n[evil]"}}), kLineBreak,
         "value=\"a@b\n[evil]\""},
        // Longer than a line of the users file: the next update would cut it.
        {"own long name", "/Action3", with(kBobOwnForm, {{"fname", std::string(1500, 'n')}}),
         kTooLong, "value=\"nnnn"},
        {"long value", "/Action4", with(kBobAdminForm, {{"dea", std::string(1010, 'e')}}), kTooLong,
         "value=\"eeee"},
        {"long account name",
         "/Action4",
         {{"button", "Add"}, {"uname", std::string(1030, 'u')}},
         kTooLong,
         "New User"},
    };
    for (const Case& c : cases) {
        RunResult r =
            post(c.path, c.path == std::string("/Action3") ? "bob:pw" : "admin:root", c.form);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(users(), kUsers) << c.what;
        EXPECT_NE(r.out.find("</td></tr></table>\n" + bold(c.message)), std::string::npos)
            << c.what << "\n"
            << r.out;
        EXPECT_NE(r.out.find(c.shows), std::string::npos) << c.what << "\n" << r.out;
    }
}

TEST_F(UsersTest, DidStaysWithoutDidRouting)
{
    // The form has no DID input, so the post has none: did = 100 stays.
    RunResult r = post("/Action4", "admin:root", with(kBobAdminForm, {{"fname", "B"}}));
    EXPECT_EQ(users(), "# accounts\n" + kAdmin + "[bob]\nfull-name = B\n" +
                           kBobBody.substr(kBobBody.find("password")) + kCarol);
}

// Every page that shows an account form, a refused post of a form from
// before (which carried the digest) among them: opwd is empty and no
// stored digest is anywhere in the page.
TEST_F(UsersTest, FormsCarryNoDigest)
{
    struct Case {
        const char* what;
        RunResult result;
    } cases[] = {
        {"own reduced form", get("/Page3", "bob:pw")},
        {"own administrator's form", get("/Page3", "admin:root")},
        {"administrator's form of bob",
         post("/Action2", "admin:root", {{"user", "bob"}, {"button", "Update"}})},
        {"refused own update",
         post("/Action3", "bob:pw",
              with(kBobOwnForm, {{"opwd", cgi::stored_password("pw")}, {"pwd", "a"}}))},
        {"refused update of bob",
         post("/Action4", "admin:root",
              with(kBobAdminForm, {{"opwd", cgi::stored_password("pw")}, {"pwd", "a"}}))},
        {"updated own form", post("/Action3", "bob:pw", kBobOwnForm)},
    };
    for (const Case& c : cases) {
        EXPECT_NE(c.result.out.find("<input type=hidden name=opwd value=\"\">\n"),
                  std::string::npos)
            << c.what << "\n"
            << c.result.out;
        for (const char* password : {"pw", "root"})
            EXPECT_EQ(c.result.out.find(cgi::stored_password(password)), std::string::npos)
                << c.what;
    }
    EXPECT_EQ(users(), kUsers);
}

// A name holding ':' is refused only when it is given: an account that has
// one keeps it through an update, and can be renamed away from it.
TEST_F(UsersTest, AnAccountNamedWithAColonStaysEditable)
{
    box.write(Sandbox::kUsers, kAdmin + "[x:y]\nfull-name = X\n");
    const Form form = {{"button", "Update"}, {"ouname", "x:y"}, {"uname", "x:y"}, {"ofname", "X"}};
    RunResult r = post("/Action4", "admin:root", with(form, {{"fname", "Ex"}}));
    EXPECT_NE(r.out.find(done("x:y", "changed")), std::string::npos) << r.out;
    r = post("/Action4", "admin:root", with(form, {{"uname", "xy"}}));
    EXPECT_NE(r.out.find(done("xy", "changed")), std::string::npos) << r.out;
    EXPECT_EQ(users(), kAdmin + "[xy]\nfull-name = Ex\n");
}

TEST_F(UsersTest, OwnFormChangesOnlyOwnSettings)
{
    struct Case {
        const char* what;
        std::string credentials;
        Form form;
        std::string message;
    } refused[] = {
        {"delete", "bob:pw", {{"button", "Delete"}, {"uname", "admin"}}, kNotAllowed},
        {"add", "bob:pw", {{"button", "Add"}, {"uname", "eve"}, {"priv-ad", "admin"}}, kNotAllowed},
        {"no button", "bob:pw", with(kBobOwnForm, {{"button", kDrop}}), kNotAllowed},
        {"odd button", "bob:pw", {{"button", "update"}}, kNotAllowed},
        {"administrator too", "admin:root", {{"button", "Delete"}, {"uname", "bob"}}, kNotAllowed},
        {"fields of the administrator", "bob:pw",
         with(kBobOwnForm, {{"did", "*"},
                            {"odid", "100"},
                            {"fea", "x@y"},
                            {"style", "s"},
                            {"priv-ad", "admin"},
                            {"priv-pm", "postmaster"},
                            {"uname", "admin"},
                            {"ouname", "bob"},
                            {"ipfrom", "1"}}),
         "User <em>bob</em> has been changed.<p>\n"},
        {"program and delivery type switched off", "bob:pw",
         with(kBobOwnForm, {{"dp", "/bin/sh"}, {"urldel", "url"}}),
         "User <em>bob</em> has been changed.<p>\n"},
    };
    for (const Case& c : refused) {
        RunResult r = post("/Action3", c.credentials, c.form);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(users(), kUsers) << c.what;
        EXPECT_NE(r.out.find(banner("HXuserupdate", kScriptName) + bold(c.message)),
                  std::string::npos)
            << c.what << "\n"
            << r.out;
    }

    configure("webadmin-delivery-program = yes\nwebadmin-url-delivery = yes\n");
    RunResult r = post("/Action3", "bob:pw",
                       with(kBobOwnForm, {{"fname", "Robert"},
                                          {"dea", ""},
                                          {"dp", "/bin/lp"},
                                          {"iformat", "pdf"},
                                          {"urldel", "url"},
                                          {"df", "html"},
                                          {"pwd", "new"},
                                          {"pwd2", "new"},
                                          {"did", "*"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(users(), "# accounts\n" + kAdmin +
                           "[bob]\ndelivery-program = /bin/lp\n"
                           "full-name = Robert\npassword = " +
                           cgi::stored_password("new") +
                           "\ndid = 100\n"
                           "mail-format = html\nimage-format = pdf\nurl-delivery = url\n" +
                           kCarol);
    // The page is the reduced form as the file now has it.
    EXPECT_NE(r.out.find(done("bob", "changed") +
                         "<form action = \"/zel/Action3\" method = post>\n"
                         "<input type=hidden name=obp value=\"Update\">\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("name=dp size=40 value=\"/bin/lp\""), std::string::npos);
}

TEST_F(UsersTest, CancelChangesNothing)
{
    std::string home = get("/Page1", "bob:pw").out;
    RunResult r =
        post("/Action3", "bob:pw", with(kBobOwnForm, {{"button", "Cancel"}, {"fname", "X"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, home);

    home = get("/Page1", "admin:root").out;
    r = post("/Action2", "admin:root", {{"button", "Cancel"}, {"user", "bob"}});
    EXPECT_EQ(r.out, home);

    std::string list = get("/Page4", "admin:root").out;
    r = post("/Action4", "admin:root", with(kBobAdminForm, {{"button", "Cancel"}, {"fname", "X"}}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, list);
    EXPECT_EQ(users(), kUsers);
}

TEST_F(UsersTest, UnknownButtonsAndAccountsAreInternalFailures)
{
    const std::string failure =
        kOk + pagehead("Vantrel Image Messaging Software - Catatrophic Internal Failure") +
        banner("FXcatastrophe", kScriptName) +
        "<h1>Catastrophic Internal Failure</h1><p>Please contact Vantrel "
        "Technical Support. File users.cpp, line ";
    for (const Form& form : {Form{{"button", "Purge"}}, Form{{"uname", "bob"}},
                             Form{{"button", "Delete"}, {"uname", "nobody"}},
                             with(kBobAdminForm, {{"ouname", "nobody"}})}) {
        RunResult r = post("/Action4", "admin:root", form);
        EXPECT_EQ(r.status, 1) << urlencode(form);
        EXPECT_TRUE(r.out.starts_with(failure)) << r.out;
        EXPECT_EQ(users(), kUsers);
    }
}

// Neither a fresh file beside it nor the file itself may be written: the
// form again with the reason, as for any other failed write.
TEST_F(UsersTest, AFileThatCannotBeWrittenShowsTheFormAgain)
{
    std::string dir = box.path("opt/vantrel/etc");
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    RunOptions o = postoptions("/Action4", "admin:root", with(kBobAdminForm, {{"fname", "X"}}));
    if (running_as_root())
        o.uid = 65534, o.gid = 65534; // root writes anywhere
    else
        ASSERT_EQ(chmod(box.path(Sandbox::kUsers).c_str(), 0444), 0);
    RunResult r = cgi::zeladmin(box, o);
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeladmin: Cannot update user file.\n");
    EXPECT_EQ(users(), kUsers);
    EXPECT_NE(r.out.find(banner("HXadminuserupdate", kScriptName) +
                         bold("Cannot update user file (Permission denied).") +
                         "<form action=\"/zel/Action4/\" method=post>\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("name=fname size=50 value=\"X\""), std::string::npos);
}

// The web server's user may write the users file, and perhaps not its
// directory (root's, mode 0755): a common set-up, in which the file is
// rewritten in place.  Run as that user ("nobody").
TEST_F(UsersTest, UpdatesWhereTheWebServersUserMayWriteTheFile)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run zeladmin as another user";
    struct Case {
        const char* what;
        uid_t dirowner;
        gid_t filegroup;
        mode_t filemode;
        bool sameinode;
    } cases[] = {
        {"writable directory", kNobody, kNobody, 0660, false},
        {"group-writable file", 0, kNobody, 0660, true},
        {"other-writable file", 0, 0, 0666, true},
    };
    std::string dir = box.path("opt/vantrel/etc");
    std::string path = box.path(Sandbox::kUsers);
    // The rewrite in place keeps its journal there, and removes it.
    std::string spool = box.path("var/opt/vantrel");
    ASSERT_EQ(chown(spool.c_str(), kNobody, kNobody), 0);
    for (const Case& c : cases) {
        box.write(Sandbox::kUsers, kUsers, c.filemode);
        ASSERT_EQ(chown(path.c_str(), 0, c.filegroup), 0);
        ASSERT_EQ(chown(dir.c_str(), c.dirowner, c.dirowner), 0);
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        RunOptions o =
            postoptions("/Action4", "admin:root", with(kBobAdminForm, {{"fname", "Robert"}}));
        o.uid = kNobody, o.gid = kNobody;
        RunResult r = cgi::zeladmin(box, o);
        ASSERT_EQ(chown(dir.c_str(), 0, 0), 0);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_NE(r.out.find(banner("HXselectuser", kScriptName) + done("bob", "changed")),
                  std::string::npos)
            << c.what << "\n"
            << r.out;
        EXPECT_EQ(users(), "# accounts\n" + kAdmin + "[bob]\nfull-name = Robert\n" +
                               kBobBody.substr(kBobBody.find("password")) + kCarol)
            << c.what;
        struct stat after {};
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino, c.sameinode) << c.what;
        EXPECT_EQ(after.st_mode & 07777, c.filemode) << c.what;
        EXPECT_EQ(after.st_gid, c.filegroup) << c.what;
        EXPECT_EQ(entries(dir), std::vector<std::string>{"users"}) << c.what;
        EXPECT_EQ(entries(spool), std::vector<std::string>{"log"}) << c.what;
    }
}

// Twenty people save their own forms at once.  Each update changes the
// file as the one before it left it, so every change survives.
TEST_F(UsersTest, ConcurrentUpdatesOfDifferentAccountsAllSurvive)
{
    constexpr int kAccounts = 20;
    auto account = [](int i, const std::string& fullname) {
        return "[user" + std::to_string(i) + "]\nfull-name = " + fullname + " " +
               std::to_string(i) + "\n";
    };
    std::string before = kAdmin, after = kAdmin;
    for (int i = 0; i < kAccounts; ++i) {
        before += account(i, "User");
        after += account(i, "Changed");
    }
    box.write(Sandbox::kUsers, before);
    std::vector<RunResult> results(kAccounts);
    std::vector<std::thread> runs;
    for (int i = 0; i < kAccounts; ++i)
        runs.emplace_back([&, i] {
            std::string n = std::to_string(i);
            results[static_cast<std::size_t>(i)] = post("/Action3", "user" + n + ":",
                                                        {{"button", "Update"},
                                                         {"ofname", "User " + n},
                                                         {"fname", "Changed " + n},
                                                         {"pwd", kMask},
                                                         {"pwd2", kMask}});
        });
    for (std::thread& run : runs)
        run.join();
    EXPECT_EQ(users(), after);
    for (int i = 0; i < kAccounts; ++i)
        EXPECT_NE(results[static_cast<std::size_t>(i)].out.find(
                      done("user" + std::to_string(i), "changed")),
                  std::string::npos)
            << i;
}

TEST_F(UsersTest, AFailedWriteShowsTheFormAgain)
{
    // No byte may reach a regular file: the fresh users file cannot be written.
    RunOptions o = postoptions(
        "/Action4", "admin:root",
        {{"button", "Delete"}, {"obp", "Delete"}, {"uname", "carol"}, {"ouname", "carol"}});
    o.args = {"-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\"", program_path("zeladmin")};
    RunResult r = box.run("/bin/sh", o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeladmin: Cannot update user file.\n");
    EXPECT_EQ(users(), kUsers);
    // The account is still there to confirm again.
    EXPECT_NE(r.out.find(banner("HXadminuserupdate", kScriptName) +
                         bold("Cannot update user file (File too large).") +
                         "<form action=\"/zel/Action4/\" method=post>\n"
                         "<input type=hidden name=obp value=\"Delete\">\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ARE YOU SURE YOU WANT TO DELETE USER?\n"), std::string::npos);
}

// A file-size limit just above the users file's size, as a web server may
// set: the grown file cannot be written, and the page says so as for a
// full disk, rather than the run dying of SIGXFSZ with nothing written.
TEST_F(UsersTest, AFileSizeLimitIsReportedOnThePage)
{
    RunOptions o = postoptions("/Action4", "admin:root",
                               with(kBobAdminForm, {{"fname", "Robert the Longer"}}));
    o.file_size_limit = users().size() + 1;
    RunResult r = cgi::zeladmin(box, o);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeladmin: Cannot update user file.\n");
    EXPECT_EQ(users(), kUsers);
    EXPECT_NE(r.out.find(banner("HXadminuserupdate", kScriptName) +
                         bold("Cannot update user file (File too large).")),
              std::string::npos)
        << r.out;
    EXPECT_EQ(entries(box.path("opt/vantrel/etc")), std::vector<std::string>{"users"});
}
