// The daemon status page with its probes and control commands, and the
// e-mail server pages, run through zeladmin in sandbox installations with
// stand-in tools that record how they were called.
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

using cgi::kNph;
using cgi::kOk;

const std::string kTitle = "Vantrel Image Messaging Software - ";

// A control tool whose daemon keeps the tool's output open.
const std::string kHoldingTool = "#!/bin/sh\nsleep 7 &\nexit 0\n";

const std::string kClosing = "</table>\n"
                             "<p><i>For information and status on daemons associated with \n"
                             "receiving faxes please see\n"
                             "<a href=\"/z/Page103\">Fax Line Status</a> page.\n"
                             "<p>To change the </i>Auto Start<i> setting for daemons please see \n"
                             "<a href=\"/z/Page6\">ZEL System Configuration</a> page.\n";

struct Row {
    std::string status;    // what the probe writes
    std::string autostart; // Yes or No
    std::string cell;
};

std::string daemonpage(const std::string& response, const Row& font, const Row& scheduler)
{
    std::string page = kOk + pagehead(kTitle + "Daemon Status") + banner("HXdaemon", "/z");
    if (!response.empty())
        page += "<h1>ZEL Daemon Command Response</h1>\n"
                "<table width=\"50%\" align=center cellpadding=4 border=2>\n"
                "<tr><td><pre>" +
                response + "</pre></td></tr></table>\n";
    page += "<h1>ZEL Daemon Status</h1>\n"
            "<p>Please wait a moment while we query your running daemons..</p>\n"
            "<table align=center cellpadding=4 border=2>\n"
            "<tr><th>Daemon</th><th>Status</th><th>Auto Start</th><th>Start/Stop</th></tr>\n";
    auto row = [&](const char* name, const Row& r) {
        page += std::string("<tr><td><b>") + name + "</b></td><td><i>" + r.status +
                "</i></td><td>" + r.autostart + "</td><td>" + r.cell + "</td></tr>\n";
    };
    row("Font Server", font);
    row("Fax Scheduler", scheduler);
    return page + kClosing + footer("/z");
}

const Row kNoFontServer = {"Not configured.\nMissing txtimg\n", "Yes", "Start / Stop"};
const Row kNeverRun = {"Never run.\n", "Yes", "<a href=\"/z/Page911\">Start</a> / Stop"};

class DaemonTest : public SandboxTest {
protected:
    DaemonTest()
    {
        link(tool_path("tabctl"), "opt/vantrel/lib/tabctl");
        link(source_path("tools/fstxtimg"), "opt/vantrel/lib/fstxtimg");
    }

    void link(const std::string& target, const std::string& relative) const
    {
        box.remove(relative);
        EXPECT_EQ(symlink(target.c_str(), box.path(relative).c_str()), 0) << relative;
    }

    RunResult get(const std::string& path, std::vector<std::string> env = {}) const
    {
        env.insert(env.end(), {kNph, "SCRIPT_NAME=/z", cgi::basic("admin:"), cgi::kSameSite,
                               "STANDIN_LOG=" + box.path("standin.log")});
        return cgi::zeladmin(box, cgi::get(path, std::move(env)));
    }

    // The configuration file's line for `key`, or "".
    std::string configline(const std::string& key) const
    {
        for (const std::string& line : lines_of(box.read(Sandbox::kConfig)))
            if (line.starts_with(key + " "))
                return line;
        return "";
    }
    std::string calls() const { return box.read("standin.log"); }
    std::string fax() const { return box.path("opt/vantrel"); }
};

} // namespace

TEST_F(DaemonTest, ConverterCheckComparesSizes)
{
    const struct {
        const char* txtimg; // null: not installed
        const char* fstxtimg;
        const char* pktxtimg;
        const char* answer;
    } cases[] = {
        {nullptr, "abc", "abc", "Missing txtimg"},
        {"xyz", "abc", "abcd", "Needed."},
        {"xyz", nullptr, "abc", "Not Needed."},
        {"xyz", "ab", "abcd", "Need Indeterminate.."},
    };
    for (const auto& c : cases) {
        for (const char* tool : {"txtimg", "fstxtimg", "pktxtimg"})
            box.remove(std::string("opt/vantrel/bin/") + tool);
        const char* contents[] = {c.txtimg, c.fstxtimg, c.pktxtimg};
        const char* names[] = {"txtimg", "fstxtimg", "pktxtimg"};
        for (int i = 0; i < 3; ++i)
            if (contents[i])
                box.write(std::string("opt/vantrel/bin/") + names[i], contents[i]);
        RunResult r = get("/Page30");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, daemonpage("",
                                    {std::string("Not configured.\n") + c.answer + "\n", "Yes",
                                     "Start / Stop"},
                                    kNeverRun))
            << c.answer;
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(DaemonTest, SchedulerFromItsStateFile)
{
    const Row running = {"Running.\n", "Yes", "Start / <a href=\"/z/Page912\">Stop</a>"};
    const Row stopped = {"Not running.\n", "Yes", "<a href=\"/z/Page911\">Start</a> / Stop"};
    const struct {
        std::string plandump;
        Row row;
    } cases[] = {
        {std::to_string(getpid()) + " dialq\nmore\n", running},
        {std::to_string(endedpid()) + "\n", stopped},
        // Never probed: they would address process groups.
        {"0\n", stopped},
        {"-1\n", stopped},
        {"", stopped},
        {"99999999999999999999\n", stopped},
        // Only the first 255 characters are the first line.
        {std::string(255, ' ') + std::to_string(getpid()) + "\n", stopped},
    };
    for (const auto& c : cases) {
        box.write("var/opt/vantrel/plandump", c.plandump);
        EXPECT_EQ(get("/Page30").out, daemonpage("", kNoFontServer, c.row)) << c.plandump;
    }
    EXPECT_EQ(calls(), "");
}

TEST_F(DaemonTest, FontServerProbe)
{
    configure("font-server = fonts host\ninit-dialq = n\n");
    const Row scheduler = {"Never run.\n", "No", "<a href=\"/z/Page911\">Start</a> / Stop"};
    const std::string command = fax() + "/lib/fstxtimg -T &#39;fonts host&#39;";

    RunResult r = get("/Page30");
    EXPECT_EQ(r.out, daemonpage("",
                                {"Available.\nMissing txtimg\n", "Yes",
                                 "Start / <a href=\"/z/Page902\">Stop</a>"},
                                scheduler));
    EXPECT_EQ(calls(), "fstxtimg [-T] [fonts host]\n");

    r = get("/Page30", {"STANDIN_EXIT=1"});
    EXPECT_EQ(r.out, daemonpage("",
                                {"Not Available.\nMissing txtimg\n", "Yes",
                                 "<a href=\"/z/Page901\">Start</a> / Stop"},
                                scheduler));

    // Any other answer is unknown; the comment shows what came back.
    r = get("/Page30", {"STANDIN_EXIT=1", "STANDIN_PRINT=<refused> & gone"});
    EXPECT_EQ(r.out, daemonpage("",
                                {"<!-- " + command +
                                     " = -1 (&lt;refused&gt; &amp; gone\n)  -->\n"
                                     "Not Known.\nMissing txtimg\n",
                                 "Yes", "Start / Stop"},
                                scheduler));
    r = get("/Page30", {"STANDIN_EXIT=3"});
    EXPECT_EQ(r.out, daemonpage("",
                                {"<!-- " + command +
                                     " = -1 (Unknown error running command. (3))  -->\n"
                                     "Not Known.\nMissing txtimg\n",
                                 "Yes", "Start / Stop"},
                                scheduler));
}

TEST_F(DaemonTest, FontServerReachesTheShellAsOneWord)
{
    configure("font-server = \"x'; touch pwned; echo '$(touch pwned2)\"\n");
    get("/Page30");
    EXPECT_EQ(calls(), "fstxtimg [-T] [x'; touch pwned; echo '$(touch pwned2)]\n");
    EXPECT_FALSE(box.exists("pwned"));
    EXPECT_FALSE(box.exists("pwned2"));
}

TEST_F(DaemonTest, ControlCommandsShowTheirAnswer)
{
    const Row running = {"Running.\n", "Yes", "Start / <a href=\"/z/Page912\">Stop</a>"};
    // The tool starts the scheduler, which the same page then finds running.
    EXPECT_EQ(get("/Page911").out, daemonpage("", kNoFontServer, running));
    EXPECT_EQ(get("/Page912").out, daemonpage("", kNoFontServer, kNeverRun));
    EXPECT_FALSE(box.exists("var/opt/vantrel/plandump"));
    get("/Page901");
    // The font server's Stop runs nothing.
    configure("init-font-server = no\n");
    EXPECT_EQ(
        get("/Page902").out,
        daemonpage("", {"Not configured.\nMissing txtimg\n", "No", "Start / Stop"}, kNeverRun));
    EXPECT_EQ(calls(),
              "tabctl [-X] [start-dialq]\ntabctl [-X] [stop-dialq]\ntabctl [-X] [start-font]\n");
    configure("");

    // The answer is the tool's own page text.
    RunResult r = get("/Page911", {"STANDIN_PRINT=dialq <b>not</b> started"});
    EXPECT_EQ(r.out, daemonpage("dialq <b>not</b> started\n", kNoFontServer, kNeverRun));
}

// Slow: the runner gives up on the daemon's open output after five seconds.
TEST_F(DaemonTest, StartedDaemonHoldingTheOutputShowsNoResponse)
{
    box.remove("opt/vantrel/lib/tabctl");
    box.write("opt/vantrel/lib/tabctl", kHoldingTool, 0755);
    RunResult r = get("/Page911");
    EXPECT_EQ(r.out, daemonpage("", kNoFontServer, kNeverRun));
}

namespace {

std::string emailpage(const std::string& helpid, const std::string& title, const std::string& wait,
                      const std::string& results)
{
    return kOk + framed(title, helpid,
                        "<p>Please wait while we try to " + wait + "<hr><pre>\n" + results, "/z");
}

std::string resultsbox(const std::string& heading, const std::string& output,
                       const std::string& closing)
{
    return "</pre><table border=1 cellpadding=6 cellspacing=6 align=center><tr bgcolor=\"#ff0000\">"
           "<td align=center><b>" +
           heading + "</b> </td></tr><tr><td><pre>" + output + "</pre><hr><p><center>" + closing +
           "</center></table><p>\n";
}

const std::string kConfigureWait =
    "configure your email server (this can take a moment).<p>Please do not click on stop or any "
    "other link until the configuration process has ended.";

} // namespace

TEST_F(DaemonTest, EmailOptionsOfferDeclineOnlyUntilDecided)
{
    auto link = [](int page, const std::string& label) {
        return "<p><a href=\"/z/Page" + std::to_string(page) +
               "\"><font face=\"Arial,Helvetica\" size=4>\n" + label + "</font></a>\n";
    };
    const std::string links = link(44, "<b>Test Email Configuration</b>") +
                              link(42, "Configure Email for Fax") +
                              link(43, "UNCONFIGURE Email for Fax");
    RunResult r = get("/Page40");
    EXPECT_TRUE(r.out.starts_with(kOk + pagehead(kTitle + "Email Server Configuration Options") +
                                  banner("HXemail", "/z") +
                                  "<h1>Email Server Configuration</h1>\n"));
    EXPECT_TRUE(r.out.ends_with(link(41, "Do NOT Configure Email") + links + footer("/z")))
        << r.out;

    // Declining records "no": no more reminder here or on the home page.
    r = get("/Page41");
    EXPECT_EQ(configline("email-config"), "email-config = no");
    EXPECT_TRUE(r.out.starts_with(kOk + pagehead("Vantrel Image Messaging Software") +
                                  banner("HXhomepage", "/z")));
    EXPECT_EQ(r.out.find("Email server configuration."), std::string::npos);
    r = get("/Page40");
    EXPECT_EQ(r.out.find("Do NOT Configure Email"), std::string::npos);
    EXPECT_TRUE(r.out.ends_with("by hand.\n" + links + footer("/z"))) << r.out;
    EXPECT_EQ(calls(), "");
}

TEST_F(DaemonTest, ConfigureAndUnconfigureRecordTheOutcome)
{
    RunResult r = get("/Page42", {"STANDIN_PRINT=<b>configured</b>", "STANDIN_EXIT=0"});
    EXPECT_EQ(r.out, emailpage("HXemailcfg", "Configure Email Server", kConfigureWait,
                               resultsbox("Email Server Configuration Results",
                                          "<b>configured</b>\n", "Configuration ended.")));
    EXPECT_EQ(calls(), "tabctl [-L] [zelin.sh]\n");
    EXPECT_EQ(configline("email-config"), "email-config = yes");

    // The tool's failure does not matter.
    r = get("/Page43", {"STANDIN_EXIT=2", "STANDIN_PRINT=no mail server"});
    EXPECT_EQ(
        r.out,
        emailpage("HXemailuncfg", "UNConfigure Email Server",
                  "unconfigure your email server (this can take a moment).<p>Please do not "
                  "click on stop or any other link until the configuration process has ended.",
                  resultsbox("Email Server UN-Configuration Results", "no mail server\n",
                             "Configuration ended.")));
    EXPECT_EQ(calls(), "tabctl [-L] [zelin.sh]\ntabctl [-L] [zelout.sh]\n");
    EXPECT_EQ(configline("email-config"), "email-config = no");

    // Silent success: no results box.
    r = get("/Page42");
    EXPECT_EQ(r.out, emailpage("HXemailcfg", "Configure Email Server", kConfigureWait,
                               "</pre><hr><p><center>Configuration ended.</center><p>\n"));
}

TEST_F(DaemonTest, EmailTestShowsItsReportAsText)
{
    configure("email-config = no\n");
    const std::string before = box.read(Sandbox::kConfig);
    const std::string wait =
        "test your email server (this can take a moment).<p>Please do not click on "
        "stop or any other link until the test has ended.";
    RunResult r = get("/Page44", {"STANDIN_PRINT=<fax@host> & \"ok\"", "STANDIN_EXIT=0"});
    EXPECT_EQ(r.out, emailpage("HXemailtest", "Test Email Server", wait,
                               resultsbox("Email Server Test Results",
                                          "&lt;fax@host&gt; &amp; \"ok\"\n", "Test ended.")));
    EXPECT_EQ(calls(), "tabctl [-L] [zeltest.sh]\n");
    EXPECT_EQ(box.read(Sandbox::kConfig), before);

    // The stand-in's own report, with its address.
    r = get("/Page44");
    EXPECT_EQ(r.out,
              emailpage("HXemailtest", "Test Email Server", wait,
                        resultsbox("Email Server Test Results",
                                   "Testing the mail server's hand-over of fax mail\n"
                                   "alias fax: delivered to &lt;fax-gateway&gt;\nTest passed.\n",
                                   "Test ended.")));
}
