// The fax line pages: the list, the line form and its buttons, the modem
// check, the error page of a failed tool and the status page, run in
// sandbox installations with the stand-in tools.
#include "admin/lines.h"

#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/admin/linesfixture.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace linesfixture;
using namespace pagetext;

TEST_F(LinesTest, ListShowsRegularLineFilesOnly)
{
    line("fax&1", "device = /dev/null\n");
    line(".fax&1.tmp", "device = /dev/null\n");
    box.write(std::string(kDev) + "sub/x", "");
    EXPECT_EQ(get("/Page20").out, listpage("", {"fax&amp;1"}));

    box.remove(std::string(kDev) + "sub/x");
    rmdir(box.path(std::string(kDev) + "sub").c_str());
    box.remove(std::string(kDev) + "fax&1");
    box.remove(std::string(kDev) + ".fax&1.tmp");
    rmdir(box.path(kDev).c_str());
    RunResult r = get("/Page20");
    EXPECT_NE(
        r.out.find("ERROR - Cannot open the directory (" + box.path("opt/vantrel/etc/dev") + ")"),
        std::string::npos);
    EXPECT_NE(r.out.find(listbody({})), std::string::npos);
}

TEST_F(LinesTest, UpdateFormShowsFileDerivedModeAndSpeedWarning)
{
    line("fax-line-1", "# modem on the first port\ndevice = /dev/null\nreceive-only = yes\n"
                       "speed = 38400\ntsi = \"+1 555 <0100>\"\n");
    box.write(kInittab,
              "qrt1:2345:respawn:" + box.path("opt/vantrel") + "/lib/lineward fax-line-1\n");
    RunResult r = post("/Action8", "lname=fax-line-1&button=Update");
    EXPECT_EQ(r.status, 0);
    std::string select = "<select name=\"fax-line-mode\" size=1>\n  <option>disabled</option>\n"
                         "  <option selected>receive only</option>\n  <option>send only</option>\n"
                         "  <option>send/receive</option>\n</select>\n";
    std::string head =
        cgi::kOk + pagehead(kTitle + "Fax Line Update") + banner("HXlineupdate") +
        "<!-- inittabstat 1 -->\n"
        "<p><table border=1 cellpadding=6 cellspacing=6 align=center><tr "
        "bgcolor=\"#ff0000\"><td align=center><b>WARNING!</b> (I102)</td></tr><tr><td>"
        " The following problems have been detected with this device configuration:"
        "<ul><li>one or more of the 'speed' fields below are set to speeds other than "
        "19200 (ERROR I140).[38400][19200]</ul><p>Please set this information in the "
        "appropriate fields below.<p></table><p>"
        "<form action=\"/Action7\" method=post>\n";
    // Each field's old value is the one shown, the file's or the default.
    for (const char* old :
         {"name\" value=\"fax-line-1", "device\" value=\"/dev/null",
          "uucp-lock-file\" value=\"/var/lock/LCK..ttyxx", "fax-line-mode\" value=\"receive only",
          "data-receive\" value=\"No", "class2-type\" value=\"auto", "device-type\" value=\"eia592",
          "speed\" value=\"38400", "fax-speed\" value=\"19200", "line-type\" value=\"default",
          "modem-init-string\" value=\"ATM0S0=0S7=45&amp;D2&amp;C1", "number-of-rings\" value=\"1",
          "pulse-dial\" value=\"No", "receive-only\" value=\"yes",
          "tsi\" value=\"+1 555 &lt;0100&gt;"})
        head += std::string("<input type=hidden name=\"o") + old + "\">\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    for (
        const std::string& piece : std::vector<std::string>{
            "<p><table border=2 cellpadding=2 cellspacing=2><caption>Parameters for "
            "<em>fax-line-1</em></caption><tr bgcolor=\"#eeeecc\">\n<td>Fax Line Name</td>\n<td>\n"
            "<input type=text name=\"name\" size=32 value=\"fax-line-1\">\n</td>\n</tr>\n",
            "<td>Fax Mode</td>\n<td>\n" + select,
            "<input type=text name=\"modem-init-string\" size=40 value=\"ATM0S0=0S7=45&amp;D2&amp;C1\">",
            "<input type=text name=\"tsi\" size=20 value=\"+1 555 &lt;0100&gt;\">\n</td>\n</tr>\n"
            "</table>\n<p>\n<input type=submit name=button value=\"Update\">\n"
            "<input type=submit name=button value=\"Cancel\">\n</form>" +
                footer()})
        EXPECT_NE(r.out.find(piece), std::string::npos) << piece;
    EXPECT_EQ(r.out.find("Receive Only"), std::string::npos);
    EXPECT_EQ(toollog(), "");
}

TEST_F(LinesTest, DeviceWarnings)
{
    box.write("plain", "");
    struct Case {
        std::string device, item;
    } cases[] = {
        {"", "<li>the device file is not defined (ERROR I110)\n"},
        {"/nonexistent/tty<1>",
         "<li>the device file (/nonexistent/tty&lt;1&gt;) does not exist(ERROR I120)\n"},
        {box.path("plain"), "<li>the device file (" + box.path("plain") +
                                ") is not a special characterfile (ERROR I130)\n"},
    };
    for (const Case& c : cases) {
        line("fax-line-1", "device = \"" + c.device + "\"\n");
        std::string out = post("/Action8", "lname=fax-line-1&button=Delete").out;
        EXPECT_NE(
            out.find("(I102)</td></tr><tr><td> The following problems have been detected with "
                     "this device configuration:<ul>" +
                     c.item + "</ul>"),
            std::string::npos)
            << c.device;
        EXPECT_NE(
            out.find("ARE YOU SURE YOU WANT TO DELETE THIS LINE?<input type=submit name=button "
                     "value=\"Delete\">\n<input type=submit name=button value=\"Cancel\">\n"),
            std::string::npos);
    }
}

TEST_F(LinesTest, AddOffersNextFreeNameWithDefaults)
{
    line("fax-line-1", "device = /dev/null\n");
    line("fax-line-2", "device = /dev/null\n");
    std::string out = post("/Action8", "lname=&button=Add").out;
    for (const char* piece :
         {"<input type=hidden name=\"oname\" value=\"fax-line-3\">\n<input type=hidden "
          "name=\"odevice\" value=\"\">\n",
          "<caption>Parameters for <em>fax-line-3</em></caption>",
          "<input type=text name=\"name\" size=32 value=\"fax-line-3\">",
          "<input type=text name=\"device\" size=32 value=\"/dev/ttyxx\">",
          "  <option selected>disabled</option>\n",
          "</table>\n<p>\n<input type=submit name=button value=\"Add\">\n"
          "<input type=submit name=button value=\"Cancel\">\n</form>"})
        EXPECT_NE(out.find(piece), std::string::npos) << piece;
    EXPECT_EQ(out.find("WARNING!"), std::string::npos);
    EXPECT_EQ(out.find("inittabstat"), std::string::npos);
}

TEST_F(LinesTest, ListButtonsWithoutALine)
{
    for (const char* body :
         {"lname=&button=Update", "lname=+&button=Delete", "lname=&button=Test+Modem",
          "button=Reset+Modem", "lname=", "lname=..%2Fx&button=Update", "lname=..&button=Delete",
          "lname=a%3Bb&button=Test+Modem"})
        EXPECT_EQ(post("/Action8", body).out, listpage("No line was selected!", {})) << body;
    EXPECT_EQ(toollog(), "");

    line("fax-line-1", "device = /dev/null\n");
    box.remove(std::string(kDev) + "fax-line-1");
    RunResult r = post("/Action8", "lname=fax-line-1&button=Update");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, cgi::kOk + pagehead(kTitle + "Fax Line Update") + banner("HXlineupdate") +
                         "<p>Cannot locate device named fax-line-1.\n" + footer());

    EXPECT_NE(post("/Action8", "lname=&button=Cancel").out.find(banner("HXhomepage")),
              std::string::npos);
    EXPECT_EQ(post("/Action7", "name=x&button=Cancel").out, listpage("", {}));
}

TEST_F(LinesTest, FailingToolShowsErrorPage)
{
    line("fax-line-1", "device = /dev/null\n");
    std::string command =
        box.path("opt/vantrel") +
        "/lib/tabctl -a fax-line-1 -l 'qrt1:2345:respawn:" + box.path("opt/vantrel") +
        "/lib/lineward fax-line-1'";
    RunResult r = post("/Action7", form("Update", "fax-line-1", "fax-line-1", "receive only"),
                       {"STANDIN_PRINT=refused <now>"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              cgi::kOk + pagehead(kTitle + "Fax Line Update Error") + banner("HXerror") +
                  "<p>There has been a problem trying to update the specified faxline. Please "
                  "report the following error to support@vantrel.com<p>Here is the command "
                  "that we tried to run:<pre>" +
                  command +
                  "</pre><p>Here is the output that we received:<pre>refused <now>\n</pre>" +
                  footer());
}

TEST_F(LinesTest, ModemTestAndReset)
{
    line("fax-line-1", "device = /dev/null\n");
    std::string box_head =
        "<table border=1 cellpadding=6 cellspacing=6 align=center><tr "
        "bgcolor=\"#ff0000\"><td align=center><b>Modem Test Results</b> </td></tr>"
        "<tr><td><pre>";
    RunResult r = post("/Action8", "lname=fax-line-1&button=Test+Modem");
    EXPECT_EQ(r.out,
              cgi::kOk + pagehead(kTitle + "Modem Test") + banner("HXmodemtest") +
                  "<p>Please wait while we test this modem (this can take up to two minutes)."
                  "<p><pre></pre>" +
                  box_head + "ATI0\n5601\nOK\n</pre><p></table><p>" + footer());
    r = post("/Action7", "name=fax-line-1&button=Reset+Modem");
    EXPECT_NE(r.out.find(banner("HXmodemreset") +
                         "<p>Please wait while we reset and test this modem "
                         "(this can take up to two minutes).<p><pre></pre>" +
                         box_head + "ATZ\nOK\nATI0\n5601\nOK\n</pre>"),
              std::string::npos);
    EXPECT_EQ(toollog(), "tabctl [-f] [fax-line-1]\nmdmchk [-t] [-f] [fax-line-1]\n"
                         "tabctl [-f] [fax-line-1]\nmdmchk [-T] [-f] [fax-line-1]\n");

    // A line that cannot be freed ends the page already open, with one
    // document head only.
    r = post("/Action8", "lname=fax-line-1&button=Test+Modem", {"STANDIN_PRINT=busy"});
    EXPECT_NE(r.out.find("<pre></pre>" + banner("HXerror") + "<p>There has been a problem"),
              std::string::npos);
    EXPECT_EQ(r.out.find("Content-type", r.out.find("Content-type") + 1), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("received:<pre>busy\n</pre>" + footer()));
}

// A name must stay inside the dev directory and be no option of a tool.
TEST_F(LinesTest, NamesLeavingTheDevDirectoryAreRefused)
{
    box.write("opt/vantrel/etc/x", "device = /dev/null\nkeep = me\n");
    for (const char* button : {"Update", "Delete", "Add"}) {
        for (const std::string& name :
             {std::string("../x"), std::string(".."), std::string("-Xstop-dialq")}) {
            std::string out = post("/Action7", form(button, name, name, "receive only")).out;
            EXPECT_NE(out.find("<p><b>" + kBadName + "</b>\n"), std::string::npos)
                << button << name;
        }
    }
    // A rename whose old name points outside is refused as well.
    post("/Action7", form("Update", "fax-line-1", "../x", "receive only"));
    EXPECT_EQ(box.read("opt/vantrel/etc/x"), "device = /dev/null\nkeep = me\n");
    EXPECT_FALSE(box.exists(std::string(kDev) + "fax-line-1"));
    EXPECT_FALSE(box.exists("opt/vantrel/x"));
    EXPECT_EQ(toollog(), "");
}

TEST_F(LinesTest, StatusPage)
{
    // A child that has been reaped leaves its process id unused.
    pid_t dead = endedpid();
    line("fax&1", "device = /dev/null\n");
    box.write("var/opt/vantrel/devstatus/fax&1",
              "status = <idle>\nlisten-process-id = " + std::to_string(dead) +
                  "\nprocess-id = " + std::to_string(getpid()) + "\n");
    std::string head = cgi::kOk + pagehead(kTitle + "Fax Line Status") + banner("HXlinestatus") +
                       "<p><table align=center cellpadding=4 border=2>\n<tr>\n<th>Port</th>\n"
                       "<th>Device</th>\n<th>Status</th>\n<th>Fax Receive<br>Daemon</th>\n"
                       "<th>Fax Transmit<br>Daemon</th>\n</tr>\n";
    std::string tail =
        "<p><i>To start or stop fax receive daemons go to the <a href=\"/Page20\">"
        "Configure Fax Line</a>\npage, select the appropriate line, and change the</i> "
        "Fax Mode <i>to enable or disable receiving.</i>" +
        footer();
    std::string out = get("/Page103").out;
    std::string row = "<tr><td>fax&amp;1</td><td>/dev/null</td><td>&lt;idle&gt;</td>"
                      "<td>not running</td><td>running</td></tr>\n</table>\n<!-- pid=" +
                      std::to_string(dead) + " retval=0 errno=";
    EXPECT_EQ(out.substr(0, head.size() + row.size()), head + row);
    EXPECT_TRUE(out.ends_with(" -->\n" + tail));

    box.write("var/opt/vantrel/devstatus/fax&1", "listen-process-id = 1\nprocess-id = 1\n");
    out = get("/Page103").out;
    EXPECT_NE(out.find("<td>Not available</td><td>running</td><td>not running</td>"),
              std::string::npos);

    box.remove("var/opt/vantrel/devstatus/fax&1");
    box.write(std::string(kDev) + "fax&1", "speed = 9600\n");
    EXPECT_EQ(get("/Page103").out,
              head +
                  "<tr><td>fax&amp;1</td><td colspan=2>No status available</td></tr>\n</table>\n"
                  "<!-- pid=0 retval=0 errno=2 -->\n" +
                  tail);
}
