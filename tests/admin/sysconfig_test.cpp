// The system configuration form (/Page6) and its update (/Action6), run as
// zeladmin in sandbox installations: the page bytes, the configuration file
// left on disk, and which of the two configuration paths is read and
// written.  The update tests post back what the form page showed, decoded
// as a browser decodes it.
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/sysconfig.h"
#include "lib/btree.h"
#include "lib/config.h"
#include "lib/configfile.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

const std::string kScriptName = "/cgi-bin/zeladmin";
const char* const kOldConfig = "etc/vantrel.conf";
// With these and a company name, no page shows the I101 box.
const std::string kPhoneFax = "company-phone = 555-0100\ncompany-fax = 555-0101\n";

const std::string kFormTitle = "Vantrel Image Messaging Software - System Configuration";
const std::string kUpdateTitle = "Vantrel Image Messaging Software - Configuration Update";

std::string box101(const std::string& items)
{
    return "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\">"
           "<td align=center><b>WARNING!</b> (I101)</td></tr><tr><td> The following identification "
           "information is not defined. It may be illegal in your juridiction to send faxes "
           "without this information.<ul>" +
           items +
           "</ul><p>Please set this information in the appropriate fields below.<p></table><p>";
}

std::string htmldecode(std::string text)
{
    const std::pair<const char*, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}, {"&amp;", '&'}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool matched = false;
        for (const auto& [entity, c] : entities) {
            std::string e = entity;
            if (text.compare(i, e.size(), e) == 0) {
                out += c;
                i += e.size();
                matched = true;
                break;
            }
        }
        if (!matched)
            out += text[i++];
    }
    return out;
}

using Fields = cgi::Form;

// What a browser posts for the page's form: every hidden and text input,
// the checked radio button, and no submit button.  Attribute values may be
// bare or quoted, with blanks around the '='.
Fields scrape(const std::string& page)
{
    Fields fields;
    for (std::size_t at = page.find("<input "); at != std::string::npos;
         at = page.find("<input ", at + 1)) {
        std::map<std::string, std::string> attr;
        std::size_t i = at + 7;
        while (i < page.size() && page[i] != '>') {
            while (page[i] == ' ')
                ++i;
            std::size_t start = i;
            while (page[i] != '=' && page[i] != ' ' && page[i] != '>')
                ++i;
            std::string name = page.substr(start, i - start);
            while (page[i] == ' ')
                ++i;
            std::string value;
            if (page[i] == '=') {
                ++i;
                while (page[i] == ' ')
                    ++i;
                if (page[i] == '"') {
                    std::size_t end = page.find('"', i + 1);
                    value = page.substr(i + 1, end - i - 1);
                    i = end + 1;
                } else {
                    start = i;
                    while (page[i] != ' ' && page[i] != '>')
                        ++i;
                    value = page.substr(start, i - start);
                }
            }
            if (!name.empty())
                attr[name] = htmldecode(value);
        }
        const std::string& type = attr["type"];
        if (type == "hidden" || type == "text" || (type == "radio" && attr.count("checked")))
            fields.emplace_back(attr["name"], attr["value"]);
    }
    return fields;
}

void set(Fields& fields, const std::string& name, const std::string& value)
{
    for (auto& [n, v] : fields)
        if (n == name)
            v = value;
}

std::string body(Fields fields, const std::string& button)
{
    fields.emplace_back("button", button);
    return cgi::urlencode(fields);
}

std::string field(const Fields& fields, const std::string& name)
{
    for (const auto& [n, v] : fields)
        if (n == name)
            return v;
    return "(absent)";
}

class SysconfigTest : public SandboxTest {
protected:
    RunResult get(const std::string& path, uid_t uid = static_cast<uid_t>(-1)) const
    {
        return run(cgi::get(path, admin()), uid);
    }

    RunResult post(const std::string& text, uid_t uid = static_cast<uid_t>(-1)) const
    {
        return run(cgi::post("/Action6", text, admin()), uid);
    }

    // The form as the page shows it now.
    Fields form() const { return scrape(get("/Page6").out); }

    std::string resultpage(const std::string& company, const std::string& warning = "") const
    {
        return kOk + pagehead(kUpdateTitle) + banner("HXconfigupdate", kScriptName, company) +
               "<p>The configuration file has been successfully updated." + warning +
               footer(kScriptName);
    }

private:
    static std::vector<std::string> admin()
    {
        return {kNph, cgi::basic("admin:x"), "SCRIPT_NAME=" + kScriptName};
    }

    RunResult run(RunOptions options, uid_t uid) const
    {
        options.uid = uid;
        options.gid = uid == static_cast<uid_t>(-1) ? static_cast<gid_t>(-1) : kNobody;
        return cgi::zeladmin(box, options);
    }
};

} // namespace

TEST_F(SysconfigTest, FormPageBytes)
{
    configure("company-name = A <\"&'> Co\n"
              "company-addr1 = 1 Main Street\n"
              "company-phone = 555-0100\n"
              "company-fax = 555-0101\n"
              "minimum-free-blocks = 2000\n"
              "default-retry-limit = 3\n"
              "resolution = fine\n"
              "font-server = fonthost\n");
    std::string esc = "A &lt;&quot;&amp;&#39;&gt; Co";
    auto hidden = [](const std::string& name, const std::string& value) {
        return "<input type=hidden name=" + name + " size=60 value=\"" + value + "\">\n";
    };
    auto row = [](const std::string& label, const std::string& name, int size,
                  const std::string& value) {
        return "<tr bgcolor=\"#eeeecc\">\n<td>" + label +
               "</td>\n<td><input type=text name=" + name + " size=" + std::to_string(size) +
               " value = \"" + value + "\"></td></tr>\n";
    };
    std::string expected =
        kOk + pagehead(kFormTitle) + banner("HXsysconfig", kScriptName, esc) +
        "<form action = \"/cgi-bin/zeladmin/Action6/\" method = post>" +
        hidden("ocompany_name", esc) + hidden("oaddr1", "1 Main Street") + hidden("oaddr2", "") +
        hidden("oaddr3", "") + hidden("oaddr4", "") + hidden("ophone", "555-0100") +
        hidden("ofax", "555-0101") + hidden("ozel_config_directory", box.path("opt/vantrel/etc")) +
        hidden("ozel_directory", box.path("opt/vantrel")) + hidden("ozel_ip_addr", "") +
        hidden("ozel_hostname", "") + hidden("ospool_directory", box.path("var/opt/vantrel")) +
        hidden("ominimum_free_blocks", "2000") + hidden("ominimum_idle_lines", "") +
        hidden("oretry_limit", "3") + hidden("oretry_delay", "") + hidden("oresolution", "fine") +
        hidden("obanner1", "") + hidden("ofont_server", "fonthost") +
        "<p><table border=2 cellpadding=2 cellspacing=2 align=center>"
        "<tr bgcolor=\"#4040ff\">\n<td colspan=2><font color=\"#ffffff\"><b>Company Identification "
        "Parameters</b></font></td></tr>\n" +
        row("Company Name", "company_name", 60, esc) +
        row("Address Line 1", "addr1", 60, "1 Main Street") +
        row("Address Line 2", "addr2", 60, "") + row("Address Line 3", "addr3", 60, "") +
        row("Address Line 4", "addr4", 60, "") + row("Company Phone", "phone", 20, "555-0100") +
        row("Company Fax", "fax", 20, "555-0101") +
        "<tr bgcolor=\"#4040ff\">\n<td colspan=2><font color=\"#ffffff\"><b>Operational "
        "Parameters</b></font></td></tr>\n" +
        row("Minimum Free Blocks", "minimum_free_blocks", 6, "2000") +
        row("Minimum Idle Fax Lines", "minimum_idle_lines", 4, "") +
        row("Maximum Number of Retries", "retry_limit", 4, "3") +
        row("Delay Between Retries", "retry_delay", 4, "") +
        "<tr bgcolor=\"#eeeecc\">\n<td>Fax Resolution</td>\n"
        "<td><input type=radio name=resolution value=\"fine\" checked>Fine (204x198 dpi)"
        "&nbsp;&nbsp;&nbsp;<input type=radio name=resolution value=\"standard\">Standard "
        "(204x96 dpi)</td></tr>\n" +
        row("Top-of-Page Banner", "banner1", 60, "") +
        "</table>\n<p>\n"
        "<input type=submit name=button value=\"Update\">\n"
        "<input type=submit name=button value=\"Cancel\">\n"
        "</form>" +
        footer(kScriptName);
    RunResult r = get("/Page6");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    // Posted back unchanged, the escaped value compares equal to the old
    // one: nothing is set, the file is only rewritten in key order.
    std::string before = box.read(Sandbox::kConfig);
    Fields fields = scrape(r.out);
    EXPECT_EQ(field(fields, "company_name"), "A <\"&'> Co");
    EXPECT_EQ(post(body(fields, "Update")).out, resultpage(esc));
    EXPECT_NE(box.read(Sandbox::kConfig).find("company-name = \"A <\\\"&'> Co\"\n"),
              std::string::npos)
        << box.read(Sandbox::kConfig);
}

TEST_F(SysconfigTest, IdentificationBoxListsTheBlankKeys)
{
    configure("company-name = Acme\ncompany-phone = 555-0100\ncompany-fax =   \n");
    std::string page = get("/Page6").out;
    std::string onlyfax = box101("<li> Company Fax");
    EXPECT_NE(page.find("</td></tr></table>\n" + onlyfax + "<form action"), std::string::npos)
        << page;
    Fields fields = scrape(page);
    set(fields, "addr1", "Somewhere 1");
    EXPECT_EQ(post(body(fields, "Update")).out, resultpage("Acme", onlyfax));

    configure("");
    page = get("/Page6").out;
    EXPECT_NE(page.find(box101("<li> Company Name<li> Company Phone<li> Company Fax")),
              std::string::npos)
        << page;
    fields = scrape(page);
    set(fields, "fax", "555-0101");
    EXPECT_EQ(post(body(fields, "Update")).out,
              resultpage("", box101("<li> Company Name<li> Company Phone")));
}

TEST_F(SysconfigTest, ChangingTheCompanyNameKeepsOtherKeysAndComments)
{
    configure("# Who we are\n"
              "company-name = Old Name\n"
              "company-phone = 555-0100   \n"
              "# fax\n"
              "company-fax = \"555 0101\"\n"
              "resolution = fine\n"
              "# the end\n");
    Fields fields = form();
    set(fields, "company_name", "New <Name> & Co");
    RunResult r = post(body(fields, "Update"));
    EXPECT_EQ(r.out, resultpage("New &lt;Name&gt; &amp; Co"));
    // Sorted by key, each comment with the key it stood before; keys the
    // file lacks (the address lines) stay absent.
    std::string root = box.root();
    EXPECT_EQ(box.read(Sandbox::kConfig), "# fax\n"
                                          "company-fax = \"555 0101\"\n"
                                          "# Who we are\n"
                                          "company-name = \"New <Name> & Co\"\n"
                                          "company-phone = 555-0100\n"
                                          "fax-directory = " +
                                              root +
                                              "/opt/vantrel\n"
                                              "resolution = fine\n"
                                              "server-directory = " +
                                              root +
                                              "/opt/vantrel\n"
                                              "# The sandbox installation.\n"
                                              "spool-directory = " +
                                              root +
                                              "/var/opt/vantrel\n"
                                              "zel-config-directory = " +
                                              root +
                                              "/opt/vantrel/etc\n"
                                              "zel-directory = " +
                                              root +
                                              "/opt/vantrel\n"
                                              "# the end\n");
    EXPECT_EQ(entries(box.path("etc/opt/vantrel")), std::vector<std::string>{"vantrel.conf"});
}

TEST_F(SysconfigTest, ARepeatedKeyKeepsEachCommentThroughUpdates)
{
    configure("# phone of the main office\n"
              "company-phone = 555-0100\n"
              "company-fax = 555-0101\n"
              "# since the move\n"
              "company-phone = 555-0199\n"
              "company-name = Acme\n"
              "company-phone = 555-0199\n");
    for (const char* name : {"Acme Two", "Acme Three"}) {
        Fields fields = form();
        set(fields, "company_name", name);
        EXPECT_EQ(post(body(fields, "Update")).out, resultpage(name));
    }
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("company-name = \"Acme Three\"\n"
                        "# phone of the main office\n"
                        "# since the move\n"
                        "company-phone = 555-0199\n"
                        "fax-directory = "),
              std::string::npos)
        << file;
}

TEST_F(SysconfigTest, HandEditSurvivesUnlessTheFormChangedTheField)
{
    configure("company-name = Acme\ncompany-phone = 555-0100\nresolution = fine\n");
    Fields fields = form();
    configure("company-name = Hand Name\ncompany-phone = 555-9999\nresolution = fine\n");
    set(fields, "company_name", "Form Name");
    post(body(fields, "Update"));
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("company-name = \"Form Name\"\n"), std::string::npos) << file;
    EXPECT_NE(file.find("company-phone = 555-9999\n"), std::string::npos) << file;
}

TEST_F(SysconfigTest, MissingResolutionIsStoredAsStandardAndEmptyStaysEmpty)
{
    configure("company-addr1 = Street 1\n");
    std::string page = get("/Page6").out;
    EXPECT_NE(page.find("<input type=radio name=resolution value=\"standard\" checked>"),
              std::string::npos);
    Fields fields = scrape(page);
    set(fields, "addr1", "");
    post(body(fields, "Update"));
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("resolution = standard\n"), std::string::npos) << file;
    EXPECT_NE(file.find("company-addr1 = \"\"\n"), std::string::npos) << file;
    for (const char* key : {"company-addr2", "company-name", "minimum-free-blocks", "zel-banner1"})
        EXPECT_EQ(file.find(key), std::string::npos) << key;
}

TEST_F(SysconfigTest, CancelShowsTheHomePageAndLeavesTheFile)
{
    configure("company-name = Acme\n");
    struct stat before {};
    ASSERT_EQ(stat(box.path(Sandbox::kConfig).c_str(), &before), 0);
    std::string home = get("/Page1").out;
    Fields fields = form();
    set(fields, "company_name", "Changed");
    EXPECT_EQ(post(body(fields, "Cancel")).out, home);
    EXPECT_EQ(post("company_name=Changed&ocompany_name=Acme").out, home); // no button
    EXPECT_EQ(post(body(fields, "update")).out, home);                    // exact match only
    struct stat after {};
    ASSERT_EQ(stat(box.path(Sandbox::kConfig).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(box.read(Sandbox::kConfig), box.default_config() + "company-name = Acme\n");
}

TEST_F(SysconfigTest, LineBreaksAndQuotesSurviveTheFile)
{
    configure("company-name = Acme\n");
    Fields fields = form();
    set(fields, "company_name", "Line one\nLine \"two\"");
    set(fields, "phone", "'a\\b\"c");
    post(body(fields, "Update"));
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("company-name = \"Line one\\012Line \\\"two\\\"\"\n"), std::string::npos)
        << file;

    KeyTree tree;
    FILE* in = std::fopen(box.path(Sandbox::kConfig).c_str(), "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(keytree_read(tree, in), 0);
    std::fclose(in);
    EXPECT_STREQ(keytree_lookup(tree, "company-name"), "Line one\nLine \"two\"");
    EXPECT_STREQ(keytree_lookup(tree, "company-phone"), "'a\\b\"c");
    // And the form shows them again as they were typed.
    fields = form();
    EXPECT_EQ(field(fields, "company_name"), "Line one\nLine \"two\"");
    EXPECT_EQ(field(fields, "ophone"), "'a\\b\"c");
}

TEST_F(SysconfigTest, ValueTheFileCannotHoldIsRefused)
{
    configure("company-name = Acme\n" + kPhoneFax);
    std::string before = box.read(Sandbox::kConfig);
    Fields fields = form();
    std::string huge(9000, 'x');
    set(fields, "company_name", huge);
    RunResult r = post(body(fields, "Update"));
    std::string expected = kOk + pagehead(kFormTitle) + banner("HXsysconfig", kScriptName, "Acme") +
                           "<p>The following errors have been detected.<p><ul>\n"
                           "<li>The value given for Company Name cannot be stored in the "
                           "configuration file\n</ul><p>\n"
                           "<form action";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    EXPECT_EQ(field(scrape(r.out), "company_name"), huge);
    EXPECT_EQ(field(scrape(r.out), "ocompany_name"), "Acme");
    EXPECT_EQ(box.read(Sandbox::kConfig), before);
}

TEST_F(SysconfigTest, UnwritableConfigurationIsReportedAndLeftAlone)
{
    configure("company-name = Old Name\n" + kPhoneFax);
    std::string before = box.read(Sandbox::kConfig);
    uid_t runner = static_cast<uid_t>(-1);
    if (running_as_root()) {
        runner = kNobody; // the directories belong to root
    } else {
        chmod(box.path("etc/opt/vantrel").c_str(), 0555);
        chmod(box.path("etc").c_str(), 0555);
    }
    Fields fields = scrape(get("/Page6", runner).out);
    set(fields, "company_name", "New Name");
    RunResult r = post(body(fields, "Update"), runner);
    chmod(box.path("etc/opt/vantrel").c_str(), 0755);
    chmod(box.path("etc").c_str(), 0755);

    std::string expected = kOk + pagehead(kFormTitle) +
                           banner("HXsysconfig", kScriptName, "New Name") +
                           "<p>The following errors have been detected.<p><ul>\n"
                           "<li>The configuration file could not be updated (Permission denied)\n"
                           "</ul><p>\n<form action";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    Fields shown = scrape(r.out);
    EXPECT_EQ(field(shown, "company_name"), "New Name");
    EXPECT_EQ(field(shown, "ocompany_name"), "Old Name");
    EXPECT_EQ(box.read(Sandbox::kConfig), before);
    EXPECT_EQ(entries(box.path("etc/opt/vantrel")), std::vector<std::string>{"vantrel.conf"});
    EXPECT_FALSE(box.exists(kOldConfig));
}

TEST_F(SysconfigTest, ReadOnlyFileMakesTheSecondPathBeWritten)
{
    configure("company-name = Old Name\n" + kPhoneFax);
    std::string before = box.read(Sandbox::kConfig);
    uid_t runner = static_cast<uid_t>(-1);
    if (running_as_root()) {
        // Directories it may write, a file it may not.
        runner = kNobody;
        ASSERT_EQ(chown(box.path("etc").c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(box.path("etc/opt/vantrel").c_str(), kNobody, kNobody), 0);
    } else {
        chmod(box.path(Sandbox::kConfig).c_str(), 0444);
    }
    Fields fields = scrape(get("/Page6", runner).out);
    set(fields, "company_name", "New Name");
    EXPECT_EQ(post(body(fields, "Update"), runner).out, resultpage("New Name"));
    EXPECT_EQ(box.read(Sandbox::kConfig), before);
    EXPECT_NE(box.read(kOldConfig).find("company-name = \"New Name\"\n"), std::string::npos);
}

TEST_F(SysconfigTest, ReReadOrderOfFormAndUpdate)
{
    configure("company-name = Main Place\ncompany-phone = 222\n");
    std::string old = "company-name = Old Place\ncompany-phone = 111\nonly-old = x\n";
    box.write(kOldConfig, old);
    // The form prefers the old path; the banner shows what start-up loaded.
    std::string page = get("/Page6").out;
    EXPECT_NE(page.find(banner("HXsysconfig", kScriptName, "Main Place")), std::string::npos);
    Fields fields = scrape(page);
    EXPECT_EQ(field(fields, "company_name"), "Old Place");
    EXPECT_EQ(field(fields, "ophone"), "111");

    // The update re-reads and writes the main path only.
    set(fields, "company_name", "New Place");
    post(body(fields, "Update"));
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("company-name = \"New Place\"\ncompany-phone = 222\n"), std::string::npos)
        << file;
    EXPECT_EQ(file.find("only-old"), std::string::npos) << file;
    EXPECT_EQ(box.read(kOldConfig), old);
}

TEST_F(SysconfigTest, RewriteKeepsOwnerAndMode)
{
    configure("company-name = Acme\n" + kPhoneFax);
    std::string path = box.path(Sandbox::kConfig);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    if (running_as_root()) {
        ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    }
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    Fields fields = form();
    set(fields, "company_name", "Acme Two");
    EXPECT_EQ(post(body(fields, "Update")).out, resultpage("Acme Two"));
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

// The web server's user may write the configuration file but not its
// directory (root's, mode 0755): the file is rewritten in place.
TEST_F(SysconfigTest, UpdateWhereTheWebServersUserMayWriteOnlyTheFile)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run zeladmin as another user";
    struct Case {
        const char* what;
        gid_t group;
        mode_t mode;
    } cases[] = {
        {"group-writable file", kNobody, 0664},
        {"other-writable file", 0, 0666},
    };
    std::string path = box.path(Sandbox::kConfig);
    // The rewrite in place keeps its journal there.
    ASSERT_EQ(chown(box.path("var/opt/vantrel").c_str(), kNobody, kNobody), 0);
    for (const Case& c : cases) {
        configure("company-name = Old Name\n" + kPhoneFax);
        ASSERT_EQ(chmod(path.c_str(), c.mode), 0);
        ASSERT_EQ(chown(path.c_str(), 0, c.group), 0);
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);
        Fields fields = scrape(get("/Page6", kNobody).out);
        set(fields, "company_name", "New Name");
        EXPECT_EQ(post(body(fields, "Update"), kNobody).out, resultpage("New Name")) << c.what;
        EXPECT_NE(box.read(Sandbox::kConfig).find("company-name = \"New Name\"\n"),
                  std::string::npos)
            << c.what;
        struct stat after {};
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.what;
        EXPECT_EQ(after.st_mode & 07777, c.mode) << c.what;
        EXPECT_EQ(after.st_gid, c.group) << c.what;
        EXPECT_EQ(entries(box.path("etc/opt/vantrel")), std::vector<std::string>{"vantrel.conf"})
            << c.what;
    }
}

// Updates of different fields at once, each posted from the same form:
// each changes the file as the one before it left it, so all survive.
TEST_F(SysconfigTest, ConcurrentUpdatesOfDifferentKeysAllSurvive)
{
    configure("company-name = Acme\n" + kPhoneFax);
    const Fields shown = form();
    const struct {
        const char* field;
        const char* key;
        const char* value;
    } changes[] = {
        {"company_name", "company-name", "Acme Two"}, {"addr1", "company-addr1", "1 Main Street"},
        {"addr2", "company-addr2", "Floor 2"},        {"addr3", "company-addr3", "Suite 3"},
        {"addr4", "company-addr4", "Springfield"},    {"phone", "company-phone", "555-0200"},
        {"fax", "company-fax", "555-0201"},           {"banner1", "zel-banner1", "Hello"},
        {"retry_limit", "default-retry-limit", "7"},  {"retry_delay", "default-retry-delay", "9"},
    };
    std::vector<std::thread> runs;
    std::vector<std::string> pages(std::size(changes));
    for (std::size_t i = 0; i < std::size(changes); ++i)
        runs.emplace_back([&, i] {
            Fields fields = shown;
            set(fields, changes[i].field, changes[i].value);
            pages[i] = post(body(fields, "Update")).out;
        });
    for (std::thread& run : runs)
        run.join();
    KeyTree tree;
    FILE* in = std::fopen(box.path(Sandbox::kConfig).c_str(), "r");
    ASSERT_NE(in, nullptr);
    keytree_read(tree, in);
    std::fclose(in);
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        const char* value = keytree_lookup(tree, changes[i].key);
        EXPECT_STREQ(value ? value : "(absent)", changes[i].value) << changes[i].key;
        EXPECT_NE(pages[i].find("<p>The configuration file has been successfully updated."),
                  std::string::npos)
            << pages[i];
    }
}

// A page that changes one key (the e-mail pages) does so on the file as it
// is now: a key changed in the file since the request began is kept.
TEST_F(SysconfigTest, ChangingOneKeyKeepsWhatTheFileGotMeanwhile)
{
    configure("company-name = Acme\n");
    RunResult r = box.run_forked([&] {
        config_load_or_exit();
        configure("company-name = Acme Two\n");
        std::printf("%d", changeconfig("email-config", "yes"));
    });
    EXPECT_EQ(r.out, "0");
    std::string file = box.read(Sandbox::kConfig);
    EXPECT_NE(file.find("company-name = \"Acme Two\"\nemail-config = yes\n"), std::string::npos)
        << file;
}
