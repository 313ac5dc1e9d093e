#include "admin/daemon.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "admin/request.h"
#include "lib/btree.h"
#include "lib/config.h"
#include "lib/configfile.h"
#include "lib/if_blank.h"
#include "lib/if_yes.h"
#include "lib/plandump.h"
#include "lib/spawn.h"
#include "lib/string.h"
#include "sys/itlib.h"
#include "www/wwwputhtml.h"

namespace {

constexpr const char* TITLE = "Vantrel Image Messaging Software";
// How much of the first line of the scheduler's state file the probe reads.
constexpr std::size_t PLANDUMP_LINE = 255;

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using ToolOutput = std::unique_ptr<char, FreeDeleter>;

// "<fax-directory>/<tool> <arguments>"; the arguments are fixed words or
// already quoted.
std::string toolcommand(const char* tool, const std::string& arguments)
{
    std::string path = std::string(fax_directory(getfaxdir())) + "/" + tool;
    return shellword(path) + " " + arguments;
}

// Every tool of the maker checks the admin token, so each run gets a
// fresh one just before it starts.
int run_tool_keep_output(const std::string& command, ToolOutput& output)
{
    std::fflush(stdout);
    settoken();
    char* text = nullptr;
    int status = run_shell_merged_output(command.c_str(), &text);
    output.reset(text);
    return status;
}

// The runner words a failure that printed nothing itself; the probe's
// "not available" is exactly such a silent exit 1.
bool silent(const char* output)
{
    return if_blank(output) || std::strcmp(output, "Unknown error running command. (1)") == 0;
}

bool examine(const std::string& path, struct stat& st) { return stat(path.c_str(), &st) == 0; }

void statusline(const char* text) { putf("%s\n", text); }

// The Start/Stop cell for a probe's result.
void startstopcell(int result, int startpage, int stoppage)
{
    // Expanded with its number in place: puthtml would cut a long expansion
    // before the number goes in.
    std::string cell = "Start / Stop";
    if (result == 1)
        cell = "Start / <a href=\"$SCRIPT_NAME/Page" + std::to_string(stoppage) + "\">Stop</a>";
    else if (result == 0)
        cell = "<a href=\"$SCRIPT_NAME/Page" + std::to_string(startpage) + "\">Start</a> / Stop";
    putexpanded(cell.c_str());
}

void daemonrow(const char* name, int (*probe)(), const char* autostart, int startpage, int stoppage)
{
    putf("<tr><td><b>%s</b></td><td><i>", name);
    int result = probe();
    putf("</i></td><td>%s</td><td>", if_yes(get_config(autostart), 1) ? "Yes" : "No");
    startstopcell(result, startpage, stoppage);
    putline("</td></tr>");
}

int schedulerrow() { return schedulerprobe(0); }

// ---- E-mail server set-up -------------------------------------------------

struct EmailStep {
    const char* helpid;
    const char* title;
    const char* verb;
    const char* script;
    const char* heading;
    bool escaped; // the test's report is shown as text
    const char* closing;
    const char* emailconfig; // null: left as it is
};

constexpr EmailStep CONFIGURE = {
    "HXemailcfg",
    "Configure Email Server",
    "configure",
    "zelin.sh",
    "Email Server Configuration Results",
    false,
    "Configuration ended.",
    "yes",
};
constexpr EmailStep UNCONFIGURE = {
    "HXemailuncfg",
    "UNConfigure Email Server",
    "unconfigure",
    "zelout.sh",
    "Email Server UN-Configuration Results",
    false,
    "Configuration ended.",
    "no",
};
constexpr EmailStep TEST = {
    "HXemailtest", "Test Email Server", "test",  "zeltest.sh", "Email Server Test Results",
    true,          "Test ended.",       nullptr,
};

void setemailconfig(const char* value)
{
    // XXX: the set-up has happened whatever the file says; a file that
    // cannot be written only brings the home page's reminder back.
    changeconfig("email-config", value);
}

void emailstep(const EmailStep& step)
{
    putpagehead("%s - %s", TITLE, step.title);
    putbanner(step.helpid);
    putf("<p>Please wait while we try to %s your email server (this can take a moment)."
         "<p>Please do not click on stop or any other link until the %s has ended."
         "<hr><pre>\n",
         step.verb, step.escaped ? "test" : "configuration process");
    std::fflush(stdout);

    ToolOutput output;
    run_tool_keep_output(toolcommand("lib/tabctl", std::string("-L ") + step.script), output);
    if (output) {
        putf("</pre><table border=1 cellpadding=6 cellspacing=6 align=center>"
             "<tr bgcolor=\"#ff0000\"><td align=center><b>%s</b> </td></tr><tr><td><pre>",
             step.heading);
        if (step.escaped)
            puthtmlescaped(output.get());
        else
            putf("%s", output.get());
        putf("</pre><hr><p><center>%s</center></table><p>\n", step.closing);
    } else {
        putf("</pre><hr><p><center>%s</center><p>\n", step.closing);
    }
    if (step.emailconfig)
        setemailconfig(step.emailconfig);
    putfooter();
}

void emaillink(int page, const char* label)
{
    std::string link = "<p><a href=\"$SCRIPT_NAME/Page" + std::to_string(page) +
                       "\"><font face=\"Arial,Helvetica\" size=4>";
    putline(link.c_str());
    putf("%s</font></a>\n", label);
}

} // namespace

// ---- Probes -------------------------------------------------------------------

const char* convertercheck()
{
    std::string bin = std::string(fax_directory(getfaxdir())) + "/bin/";
    struct stat txtimg, variant;
    if (!examine(bin + "txtimg", txtimg))
        return "Missing txtimg";
    if (examine(bin + "fstxtimg", variant) && variant.st_size == txtimg.st_size)
        return "Needed.";
    if (examine(bin + "pktxtimg", variant) && variant.st_size == txtimg.st_size)
        return "Not Needed.";
    return "Need Indeterminate..";
}

bool fontserverset() { return !if_blank(get_config("font-server")); }

int fontserverprobe()
{
    const char* server = get_config("font-server");
    int result = -1;
    const char* text = "Not configured.";
    if (fontserverset()) {
        std::string command = toolcommand("lib/fstxtimg", "-T " + shellword(server));
        ToolOutput output;
        int status = run_tool_keep_output(command, output);
        if (status == 0) {
            result = 1;
            text = "Available.";
        } else if (status == 1 && silent(output.get())) {
            result = 0;
            text = "Not Available.";
        } else {
            text = "Not Known.";
            putf("<!-- %s = %d (%s)  -->\n", htmlescape(command).c_str(), result,
                 output ? htmlescape(output.get()).c_str() : "-no emsg-");
        }
    }
    statusline(text);
    statusline(convertercheck());
    return result;
}

int schedulerprobe(int quiet)
{
    auto answer = [quiet](const char* text, int result) {
        if (!quiet)
            statusline(text);
        return result;
    };
    const char* spool = get_config("spool-directory");
    if (if_blank(spool))
        return answer("Not known.", 0);
    pid_t pid = plandump_pid(spool, PLANDUMP_LINE);
    if (pid == PLANDUMP_NOFILE)
        return answer("Never run.", 0);
    // A process we may not signal still runs.
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == ESRCH))
        return answer("Not running.", 0);
    return answer("Running.", 1);
}

bool schedulerrunning() { return schedulerprobe(1) == 1; }

// ---- Daemon status ------------------------------------------------------------

void daemoncontrol(const char* word)
{
    ToolOutput output;
    int status = run_tool_keep_output(toolcommand("lib/tabctl", std::string("-X ") + word), output);
    // A daemon that was started keeps the tool's output open; the wait's
    // own message says nothing about the daemon.
    if (status == RUN_NODATA)
        output.reset();
    HXdaemon(output.get());
}

void HXdaemon(const char* output)
{
    putpagehead("%s - Daemon Status", TITLE);
    putbanner("HXdaemon");
    if (output) {
        putline("<h1>ZEL Daemon Command Response</h1>");
        putline("<table width=\"50%\" align=center cellpadding=4 border=2>");
        putf("<tr><td><pre>%s</pre></td></tr></table>\n", output);
    }
    putline("<h1>ZEL Daemon Status</h1>");
    putline("<p>Please wait a moment while we query your running daemons..</p>");
    std::fflush(stdout);
    putline("<table align=center cellpadding=4 border=2>");
    putline("<tr><th>Daemon</th><th>Status</th><th>Auto Start</th><th>Start/Stop</th></tr>");
    daemonrow("Font Server", fontserverprobe, "init-font-server", 901, 902);
    daemonrow("Fax Scheduler", schedulerrow, "init-dialq", 911, 912);
    static const char* const closing[] = {
        "</table>",
        "<p><i>For information and status on daemons associated with ",
        "receiving faxes please see",
        "<a href=\"$SCRIPT_NAME/Page103\">Fax Line Status</a> page.",
        "<p>To change the </i>Auto Start<i> setting for daemons please see ",
        "<a href=\"$SCRIPT_NAME/Page6\">ZEL System Configuration</a> page.",
        nullptr,
    };
    putlines(closing);
    putfooter();
}

// ---- E-mail server pages --------------------------------------------------------

void HXemail()
{
    putpagehead("%s - Email Server Configuration Options", TITLE);
    putbanner("HXemail");
    putline("<h1>Email Server Configuration</h1>");
    putline("<p>For the email to fax gateway component of the Vantrel Messaging Server to work, "
            "your mail server must pass all mail meant for fax delivery to it.");
    putline("If you do not need the email to fax gateway you need not do this, and you can "
            "select the link below so that you are no longer reminded.");
    putline("The HELP button explains how to set up your mail server by hand.");
    if (if_blank(get_config("email-config")))
        emaillink(41, "Do NOT Configure Email");
    emaillink(44, "<b>Test Email Configuration</b>");
    emaillink(42, "Configure Email for Fax");
    emaillink(43, "UNCONFIGURE Email for Fax");
    putfooter();
}

void HXemailcfg() { emailstep(CONFIGURE); }
void HXemailuncfg() { emailstep(UNCONFIGURE); }
void HXemailtest() { emailstep(TEST); }

void emailconfigoff()
{
    setemailconfig("no");
    gohome();
}
