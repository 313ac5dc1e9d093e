// The start screen, the home page with its alerts, prolog and menu, the
// information pages and the built-in images, as zeladmin writes them.
#include <string>
#include <vector>

#include <sys/utsname.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/images.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

const std::string kTitle = "Vantrel Image Messaging Software";
const std::string kFont = "<font size=4 face=\"Arial,Helvetica,sans-serif\">\n";

std::string group(const std::string& name, const std::vector<std::string>& links)
{
    std::string row =
        "<tr><td><font size=5 color=\"#0000ff\" face=\"Arial,Helvetica,sans-serif\">" + name +
        "</font></td>\n<td nowrap>\n";
    for (std::size_t i = 0; i < links.size(); ++i)
        row += kFont + links[i] + (i + 1 == links.size() ? "</font></td></tr>\n" : "</font><br>\n");
    return row;
}

// The menu as `user` sees it, with SCRIPT_NAME "/z".
std::string menu(const std::string& user, bool admin, bool route)
{
    std::string text = "<table align=center border=1 cellpadding=4>\n";
    if (route)
        text += group("Route",
                      {"<a href=\"/tarnixfwg.cgi/-s/-u/unclaimed\">Unrouted Received Faxes</a>"});
    text += group("Manage", {"<a href=\"/z/Page102\">Fax Queue</a>"});
    text += group("View", {"<a href=\"/tarnixfwg.cgi/-s/-u/" + user + "\">Your Received Faxes</a>",
                           "<a href=\"/z/Page30\">Fax Daemon Status</a>",
                           "<a href=\"/z/Page103\">Fax Line Status</a>",
                           "<a href=\"/z/Page101\">Fax Queue Statistics</a>",
                           "<a href=\"/z/Page91\">System Log</a>",
                           "<a href=\"/z/Page92\">Accounting Log</a>",
                           "<a href=\"/z/page2\">Software Version</a>",
                           "<a href=\"/z/../manual/index.html\">Software Documentation</a>"});
    if (admin)
        text += group("Configure",
                      {"<a href=\"/z/Page40\">Email Server</a>",
                       "<a href=\"/z/Page6\">Fax Server</a>", "<a href=\"/z/Page20\">Fax Lines</a>",
                       "<a href=\"/z/Page4\">User Accounts</a>"});
    else
        text += group("Configure", {"<a href=\"/z/Page3\">Your Account</a>"});
    text += group("Download", {"<a href=\"/z/page9\">Windows Print Driver</a>"});
    return text +
           "</table>\n<!-- Sep  2 200313:29:06\nzeladmin home pages, release 2.0.35\n  -->\n";
}

const std::string kHomeFooter =
    "<p><font size=1>Vantrel and Image Messaging Software are trademarks of "
    "<a href=\"http://www.vantrel.com/\">Vantrel</a>\n"
    "Technologies. All other product names are trademarks of their respective owners.<br>\n"
    "Copyright &copy; Vantrel Technologies (<a href=\"http://www.vantrel.com/\">www.vantrel.com</a>). "
    "All rights reserved.</font>\n"
    "<a href=\"/z/logoff\">Log off</a>\n</BODY></HTML>\n";

const std::string kAlertBox =
    "<table><tr><td width=\"30%\">\n"
    "<table border=1 cellpadding=6><tr><td><p><font size=5 color=\"#ff0000\" "
    "face=\"Arial,Helvetica,sans-serif\">\n"
    "<center>Configuration Alerts!</center></font>\n"
    "<p>There are a few remaining configuration tasks remaining before \n"
    "you can start using your Vantrel Messaging system. Please click \n"
    "on the following items in order to obtain more information on what \n"
    "is required in order to complete your system configuration.\n"
    "<p>\n";

const std::string kIdentification =
    "<p><li><a href=\"/z/Page6\">Missing identification information.</a>\n";
const std::string kNoPassword = "<p><li><a href=\"/z/Page3\">Missing admin account password.</a>\n";
const std::string kNoEmail = "<p><li><a href=\"/z/Page3\">Missing admin from-email address.</a>\n";
const std::string kFaxModem = "<p><li><a href=\"/z/Page20\">Missing fax modem information.</a>\n";
const std::string kScheduler = "<p><li><a href=\"/z/Page30\">Non-running dialq daemon.</a>\n";
const std::string kEmailServer = "<p><li><a href=\"/z/Page40\">Email server configuration.</a>\n";
const std::string kBoxEnd = "<p></table></td>\n<td>\n";

class HomeTest : public SandboxTest {
protected:
    HomeTest()
    {
        users("[admin]\nprivileges = admin\nfrom-email = fax@example.com\npassword = " +
              cgi::stored_password("root") +
              "\n[Admin]\nprivileges = admin\n"
              "[clerk]\nprivileges = postmaster\n[temp]\n");
        configure("company-name = Acme\ncompany-phone = 1\ncompany-fax = 2\nemail-config = yes\n");
        // A modem on a character device, and a scheduler that runs (this test).
        box.write(kLine, "device = /dev/null\n");
        box.write(kPlandump, std::to_string(getpid()) + "\n");
    }

    static constexpr const char* kLine = "opt/vantrel/etc/dev/fax-line-1";
    static constexpr const char* kPlandump = "var/opt/vantrel/plandump";

    void users(const std::string& text) const { box.write(Sandbox::kUsers, text); }

    RunResult get(const std::string& path, const std::string& user = "admin:root") const
    {
        return cgi::zeladmin(box, cgi::get(path, {kNph, "SCRIPT_NAME=/z", cgi::basic(user)}));
    }

    std::string home(const std::string& body, const std::string& company = "Acme") const
    {
        return kOk + pagehead(kTitle) + banner("HXhomepage", "/z", company) + body + kHomeFooter;
    }
};

} // namespace

TEST_F(HomeTest, MenuAloneWhenNothingIsMissing)
{
    RunResult r = get("/Page1");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, home(menu("admin", true, true)));

    // A postmaster sees the Route row and only their own account to configure.
    r = get("/Page1", "clerk:");
    EXPECT_EQ(r.out, home(menu("clerk", false, true)));
    r = get("/Page1", "temp:");
    EXPECT_EQ(r.out, home(menu("temp", false, false)));
}

TEST_F(HomeTest, AlertsFillTheBoxInOrder)
{
    users("[admin]\nprivileges = admin\n");
    configure("company-name = Your Company Name Here\ncompany-phone = 1\ncompany-fax = 2\n");
    box.remove(kLine);
    box.remove(kPlandump);
    RunResult r = get("/Page1", "admin:");
    EXPECT_EQ(r.out,
              home(kAlertBox + kIdentification + kFaxModem + kNoPassword + kNoEmail + kScheduler +
                       kEmailServer + kBoxEnd + menu("admin", true, true) + "</td></tr></table>\n",
                   "Your Company Name Here"));

    // A password without a from-email raises only the from-email line.
    box.write(kLine, "device = /dev/null\n");
    box.write(kPlandump, std::to_string(getpid()) + "\n");
    users("[admin]\nprivileges = admin\npassword = " + cgi::stored_password("root") +
          "\n[Admin]\nprivileges = admin\n");
    configure("company-name = Acme\ncompany-phone = 1\ncompany-fax = 2\nemail-config = no\n");
    r = get("/Page1");
    EXPECT_EQ(r.out, home(kAlertBox + kNoEmail + kBoxEnd + menu("admin", true, true) +
                          "</td></tr></table>\n"));

    // The account alert is for the account named exactly admin.
    r = get("/Page1", "Admin:");
    EXPECT_EQ(r.out, home(menu("Admin", true, true)));
}

TEST_F(HomeTest, FaxModemAlert)
{
    const std::string page =
        home(kAlertBox + kFaxModem + kBoxEnd + menu("admin", true, true) + "</td></tr></table>\n");
    box.write(kLine, "device = " + box.path("dev/console") + "\n");
    EXPECT_EQ(get("/Page1").out, page) << "not a character device";
    box.write(kLine, "device = /dev/no-such-modem\n");
    EXPECT_EQ(get("/Page1").out, page) << "missing device";
    box.write(kLine, "speed = 9600\n");
    EXPECT_EQ(get("/Page1").out, page) << "no device value";
    box.remove(kLine);
    EXPECT_EQ(get("/Page1").out, page) << "no line";
}

TEST_F(HomeTest, SchedulerAlert)
{
    const std::string page =
        home(kAlertBox + kScheduler + kBoxEnd + menu("admin", true, true) + "</td></tr></table>\n");
    box.write(kPlandump, std::to_string(endedpid()) + "\n");
    EXPECT_EQ(get("/Page1").out, page) << "stale pid";
    box.write(kPlandump, "0\n");
    EXPECT_EQ(get("/Page1").out, page) << "pid 0";
    box.remove(kPlandump);
    EXPECT_EQ(get("/Page1").out, page) << "never run";
}

TEST_F(HomeTest, PrologOnlyWithoutAlerts)
{
    box.write("prolog.html", "<b>Welcome</b>\n" + std::string(20000, 'x'));
    configure("company-name = Acme\ncompany-phone = 1\ncompany-fax = 2\nemail-config = yes\n"
              "zel-prolog = " +
              box.path("prolog.html") + "\n");
    RunResult r = get("/Page1");
    EXPECT_EQ(r.out, home("<table><tr><td width=\"30%\">\n<table border=1 cellpadding=6><tr><td>\n"
                          "<b>Welcome</b>\n" +
                          std::string(20000, 'x') + kBoxEnd + menu("admin", true, true) +
                          "</td></tr></table>\n"));

    configure("company-name = Acme\ncompany-phone = 1\ncompany-fax = \n"
              "zel-prolog = " +
              box.path("prolog.html") + "\n");
    r = get("/Page1");
    EXPECT_EQ(r.out.find("Welcome"), std::string::npos);

    configure("company-name = Acme\ncompany-phone = 1\ncompany-fax = 2\nemail-config = yes\n"
              "zel-prolog = " +
              box.path("missing.html") + "\n");
    r = get("/Page1");
    EXPECT_EQ(r.out, home(menu("admin", true, true)));
}

TEST_F(HomeTest, ReceivedFaxesLinkKeepsToItsPath)
{
    users("[a/../b\"<x>]\n");
    RunResult r = get("/Page1", "a/../b\"<x>:");
    EXPECT_NE(
        r.out.find("<a href=\"/tarnixfwg.cgi/-s/-u/a%2F..%2Fb%22%3Cx%3E\">Your Received Faxes</a>"),
        std::string::npos);
}

TEST_F(HomeTest, StartScreenHintsWhileAdminHasNoPassword)
{
    const std::string top =
        pagehead(kTitle) +
        "<center><table border=4 cellspacing=10 cellpadding=10><tr><td align=center>\n"
        "<a href=\"/z/Page1\"><img src=\"/z/page-1\" alt=\"Vantrel Logo\" border=0></a>"
        "<font size=2>&reg;</font><br>\n"
        "<font size=6 color=\"#0000ff\">Image Messaging Software</font>\n"
        "</td></tr></table></center>\n"
        "<P><center><font size=4>To start, click on the logo above.</font><p>\n";
    const std::string bottom = "<center><form action=\"/help.cgi\" method=put>\n"
                               "<input type=submit name=\"HXstartscreen\" value=\"Help!\">\n"
                               "</form></center>\n</BODY></HTML>\n";
    RunResult r = get("/");
    EXPECT_EQ(r.out, kOk + top + bottom);
    users("[admin]\n");
    r = get("");
    EXPECT_EQ(r.out, kOk + top +
                         "<font size=2>If asked for a User Name, enter <i>admin</i> \n"
                         "(with no password).</font></center>\n" +
                         bottom);
}

TEST_F(HomeTest, InformationPages)
{
    RunResult r = get("/page2", "");
    EXPECT_EQ(r.out, kOk + pagehead(kTitle + " - Version Info") +
                         banner("HXversion", "/z", "Acme") +
                         "<h1>ZEL Version</h1><table border=2 align=center>\n"
                         "<tr><td>Package</td><td>Vantrel Image Messaging Software</td></tr>\n"
                         "<tr><td>Version</td><td>2.0.35</td>\n"
                         "<tr><td>Compiled</td><td>Sep  2 2003 13:29:06</td>\n</table>\n"
                         "<p>To find out whether a newer version is available, visit the "
                         "<a href=\"http://www.vantrel.com/zel/versions/2-0-35.html\">Vantrel web "
                         "site</a>.\n" +
                         footer("/z"));

    struct utsname host;
    ASSERT_EQ(uname(&host), 0);
    r = get("/page7", "");
    EXPECT_EQ(r.out,
              kOk + pagehead(kTitle + " - Download") + banner("HXdownload", "/z", "Acme") +
                  "<h1>ZEL Software Download</h1>\n<p>New versions and updates of this software "
                  "are available from the Vantrel web site:\n<p><a href=\"http://www.vantrel.com/"
                  "cgi-bin/zeldownload/-n/" +
                  std::string(host.nodename) +
                  "/-b/2-0-35/-f/zel/-p/linux\">ZEL Software and Update Download Page</a>\n" +
                  footer("/z"));

    r = get("/page9", "");
    EXPECT_TRUE(r.out.starts_with(kOk + pagehead(kTitle + " - Download Windows Print Driver") +
                                  banner("HXwpt", "/z", "Acme") +
                                  "<h1>ZEL Windows Print Driver</h1>\n"));
    EXPECT_NE(r.out.find("<p><a href=\"/z/REVUZAZ.EXE\">\nWindows Print Driver from your local ZEL "
                         "server</a>\n"),
              std::string::npos);
    EXPECT_TRUE(
        r.out.ends_with("zel/download/REVUZAZ/\">The Windows Print Driver on the Vantrel web "
                        "site</a>\n"));
}

TEST_F(HomeTest, ImagesAreServedWhole)
{
    RunResult r = get("/page-1", "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kOk + kFrame + "Content-type: image/gif\r\n\r\n" +
                         std::string(reinterpret_cast<const char*>(logo_gif), LOGO_GIF_SIZE));
    r = get("/page-2", "");
    EXPECT_EQ(r.out, kOk + kFrame + "Content-type: image/jpeg\r\n\r\n" +
                         std::string(reinterpret_cast<const char*>(home_jpeg), HOME_JPEG_SIZE));
    for (const char* path : {"/page-3", "/page0", "/page-0"})
        EXPECT_EQ(get(path, "").out, kOk + kFrame) << path;
}
