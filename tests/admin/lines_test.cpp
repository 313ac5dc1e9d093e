// The fax line pages: the list, the line form and its buttons, the files,
// inittab and tool command lines each submission leaves behind, and the
// status page, run in sandbox installations with the stand-in tools.
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/lines.h"
#include "lib/filelock.h"
#include "tests/cgi.h"
#include "tests/harness.h"
#include "tests/pagetext.h"

using namespace pagetext;

namespace {

constexpr const char* kDev = "opt/vantrel/etc/dev/";
constexpr const char* kInittab = "etc/inittab";
constexpr const char* kToolLog = "tools.log";

const std::string kTitle = "Vantrel Image Messaging Software - ";
const std::string kBadName =
    "FAX LINE NAME CONTAINS INVALID CHARACTERS, PLEASE ENTER DIFFERENT NAME.";

// The list page's text after its optional message, for lines given in
// directory order.
std::string listbody(const std::vector<std::string>& names)
{
    std::string text = "<p>Please select the fax line you wish to update or delete, or press add "
                       "to add a new line to the system.\n"
                       "<form action=\"/Action8\" method=post>\n<select name=lname size=4>\n";
    for (const std::string& name : names)
        text += "<option value=\"" + name + "\">" + name + "\n";
    return text + "</select><br>\nNumber of fax lines defined: " + std::to_string(names.size()) +
           "\n<input type=submit name=button value=\"Add\">\n"
           "<input type=submit name=button value=\"Update\">\n"
           "<input type=submit name=button value=\"Delete\">\n"
           "<p><input type=submit name=button value=\"Test Modem\">\n"
           "<input type=submit name=button value=\"Reset Modem\">\n</form>\n";
}

std::string listpage(const std::string& message, const std::vector<std::string>& names)
{
    return cgi::kOk +
           framed("Select Fax Line", "HXselectline",
                  (message.empty() ? "" : "<p><b>" + message + "</b>\n") + listbody(names));
}

std::string donemessage(const std::string& name, const std::string& verb)
{
    return "Fax line <em>" + name + "</em> has been " + verb + ".<p>\n";
}

// A line file's lock, held by the test while submissions started in the
// background queue up behind it: each is started only once the one before
// waits (the kernel lists it in /proc/locks), so what they find when the
// lock goes is decided without timings.
class HeldLock {
public:
    explicit HeldLock(const std::string& path)
        : fd_(lock_path(path.c_str())), ino_(status_of(path).st_ino)
    {
    }
    ~HeldLock()
    {
        release();
        for (pid_t pid : children_)
            waitpid(pid, nullptr, 0);
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

    // Runs `submit` in a child.  True once it waits for the lock, false
    // when it ended without waiting.
    bool queue(const std::function<void()>& submit)
    {
        int before = waiting();
        pid_t pid = fork();
        if (pid == 0) {
            close(fd_); // the lock goes with the last descriptor of its open file
            submit();
            _exit(0);
        }
        children_.push_back(pid);
        while (waiting() == before) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                children_.pop_back();
                return false;
            }
            usleep(1000);
        }
        return true;
    }
    // Lets the queued submissions go and waits until they ended.
    void finish()
    {
        release();
        for (pid_t pid : children_)
            waitpid(pid, nullptr, 0);
        children_.clear();
    }

private:
    void release()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int waiting() const
    {
        std::ifstream locks("/proc/locks");
        std::string entry, file = ":" + std::to_string(ino_) + " ";
        int count = 0;
        while (std::getline(locks, entry))
            count += entry.find("->") != std::string::npos && entry.find(file) != std::string::npos;
        return count;
    }

    int fd_;
    ino_t ino_;
    std::vector<pid_t> children_;
};

class LinesTest : public SandboxTest {
protected:
    LinesTest()
    {
        box.link_program(tool_path("tabctl"), "opt/vantrel/lib/tabctl");
        box.link_program(source_path("tools/mdmchk"), "opt/vantrel/lib/mdmchk");
        box.write(kInittab, "id:2:initdefault:\n");
        mkdir(box.path(kDev).c_str(), 0755);
    }

    RunResult run(const std::string& path, const std::string& body,
                  std::vector<std::string> env) const
    {
        env.insert(env.end(),
                   {cgi::kNph, cgi::basic("admin:x"), "STANDIN_LOG=" + box.path(kToolLog)});
        RunOptions options =
            body.empty() ? cgi::get(path, std::move(env)) : cgi::post(path, body, std::move(env));
        options.uid = runas;
        options.gid = static_cast<gid_t>(runas);
        return cgi::zeladmin(box, options);
    }
    RunResult get(const std::string& path) const { return run(path, "", {}); }
    RunResult post(const std::string& path, const std::string& body,
                   std::vector<std::string> env = {}) const
    {
        return run(path, body, std::move(env));
    }

    void line(const std::string& name, const std::string& text) const
    {
        box.write(kDev + name, text);
    }
    std::string toollog() const { return box.exists(kToolLog) ? box.read(kToolLog) : ""; }

    // A line's form as the browser posts it back.
    static std::string form(const std::string& button, const std::string& name,
                            const std::string& oname, const std::string& mode,
                            const std::string& extra = "")
    {
        return "oname=" + cgi::urlencode(oname) + "&name=" + cgi::urlencode(name) +
               "&device=%2Fdev%2Fnull&fax-line-mode=" + cgi::urlencode(mode) +
               "&speed=19200&fax-speed=19200&receive-only=No" + extra + "&button=" + button;
    }

    uid_t runas = static_cast<uid_t>(-1); // the programs' user, with the same group
};

} // namespace

TEST(LineNames, CharactersAndDevices)
{
    EXPECT_EQ(validlinename("fax-line_1.a+b=c#d:e"), 1);
    EXPECT_EQ(validlinename(""), 1);
    for (const char* bad : {"fax line", "a/b", "../x", "a'b", "a;b", "\xc3\xa9"})
        EXPECT_EQ(validlinename(bad), 0) << bad;
    EXPECT_EQ(devicestate("/dev/null"), 0);
    EXPECT_EQ(devicestate(nullptr), 1);
    EXPECT_EQ(devicestate("  "), 1);
    EXPECT_EQ(devicestate("/nonexistent/ttyS9"), 1);
    EXPECT_EQ(devicestate("/"), 2);
}

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

TEST_F(LinesTest, AddReceiveOnlyWritesFileAndAppendsEntry)
{
    std::string lineward = box.path("opt/vantrel") + "/lib/lineward";
    box.write(kInittab, "id:2:initdefault:\nqrt1:2345:respawn:" + lineward + " other\n");
    RunResult r =
        post("/Action7", form("Add", "fax-line-1", "fax-line-1", "receive only", "&tsi=a%0Ab"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, listpage(donemessage("fax-line-1", "added"), {"fax-line-1"}));
    EXPECT_EQ(box.read(std::string(kDev) + "fax-line-1"),
              "device = /dev/null\nfax-line-mode = \"receive only\"\nfax-speed = 19200\n"
              "name = fax-line-1\nreceive-only = Yes\nspeed = 19200\ntsi = \"a\\012b\"\n");
    struct stat st;
    ASSERT_EQ(stat(box.path(std::string(kDev) + "fax-line-1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::string entry = "qrt2:2345:respawn:" + lineward + " fax-line-1";
    EXPECT_EQ(toollog(), "tabctl [-a] [fax-line-1] [-l] [" + entry + "]\n");
    EXPECT_EQ(box.read(kInittab),
              "id:2:initdefault:\nqrt1:2345:respawn:" + lineward + " other\n" + entry + "\n");

    r = post("/Action7", form("Add", "fax-line-1", "fax-line-1", "disabled"));
    EXPECT_NE(r.out.find("<p><b>FAX LINE NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.</b>\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("<caption>Parameters for <em>fax-line-2</em></caption>"),
              std::string::npos);
    EXPECT_NE(r.out.find("value=\"fax-line-1\""), std::string::npos);
}

TEST_F(LinesTest, ModeChangesRunTheLineTool)
{
    std::string lineward = box.path("opt/vantrel") + "/lib/lineward";
    std::string entry = "qrt1:2345:respawn:" + lineward + " fax-line-1\n";
    line("fax-line-1", "# kept\ndevice = /dev/null\nreceive-only = No\nvendor-key = 7\n");
    box.write(kInittab, entry);

    EXPECT_EQ(post("/Action7", form("Update", "fax-line-1", "fax-line-1", "send only")).out,
              listpage(donemessage("fax-line-1", "updated"), {"fax-line-1"}));
    EXPECT_EQ(toollog(), "tabctl [-d] [fax-line-1]\n");
    EXPECT_EQ(box.read(kInittab), "qrt1:2345:off:" + lineward + " fax-line-1\n");
    EXPECT_EQ(box.read(std::string(kDev) + "fax-line-1"),
              "# kept\ndevice = /dev/null\nfax-line-mode = \"send only\"\nfax-speed = 19200\n"
              "receive-only = No\nspeed = 19200\nvendor-key = 7\n");

    // Already off: nothing to run.
    post("/Action7", form("Update", "fax-line-1", "fax-line-1", "disabled"));
    EXPECT_EQ(toollog(), "tabctl [-d] [fax-line-1]\n");
    EXPECT_NE(box.read(std::string(kDev) + "fax-line-1").find("receive-only = Yes\n"),
              std::string::npos);

    post("/Action7", form("Update", "fax-line-1", "fax-line-1", "send/receive"));
    EXPECT_EQ(toollog(), "tabctl [-d] [fax-line-1]\ntabctl [-e] [fax-line-1]\n");
    EXPECT_EQ(box.read(kInittab), entry);

    // A login on the line's device is switched off before the entry is added.
    box.remove(kToolLog);
    box.write(kInittab, "s0:2345:respawn:/sbin/getty ttyS0\n");
    line("fax-line-1", "device = /dev/ttyS0\n");
    post("/Action7", "name=fax-line-1&oname=fax-line-1&device=%2Fdev%2FttyS0&"
                     "fax-line-mode=receive+only&button=Update");
    EXPECT_EQ(toollog(),
              "tabctl [-x] [fax-line-1]\ntabctl [-a] [fax-line-1] [-l] [qrt1:2345:respawn:" +
                  lineward + " fax-line-1]\n");
    EXPECT_EQ(box.read(kInittab),
              "s0:2345:off:/sbin/getty ttyS0\nqrt1:2345:respawn:" + lineward + " fax-line-1\n");
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

TEST_F(LinesTest, RenameAndDelete)
{
    std::string entry = "qrt1:2345:off:" + box.path("opt/vantrel") + "/lib/lineward fax-line-1\n";
    box.write(kInittab, entry);
    line("fax-line-1", "device = /dev/null\n");
    line("fax-line-2", "device = /dev/null\n");
    struct Case {
        std::string name, message;
    } refused[] = {
        {"fax-line-2", "FAX LINE NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME."},
        {"fax line", kBadName},
        {"a/b", kBadName},
        {"", kBadName},
    };
    for (const Case& c : refused) {
        std::string out = post("/Action7", form("Update", c.name, "fax-line-1", "disabled")).out;
        if (c.name.empty()) {
            EXPECT_NE(out.find("<p><b>No line was selected!</b>\n"), std::string::npos);
        } else {
            EXPECT_NE(out.find("<p><b>" + c.message + "</b>\n"), std::string::npos) << c.name;
            EXPECT_NE(out.find("<input type=text name=\"name\" size=32 value=\"" + c.name + "\">"),
                      std::string::npos);
            EXPECT_NE(out.find("<input type=hidden name=\"oname\" value=\"fax-line-1\">"),
                      std::string::npos);
        }
        EXPECT_TRUE(box.exists(std::string(kDev) + "fax-line-1"));
        EXPECT_EQ(box.read(std::string(kDev) + "fax-line-2"), "device = /dev/null\n");
    }
    // Without its old name a rename onto an existing line is told so first;
    // onto a new name there is nothing to rename.
    std::string noold =
        form("Update", "fax-line-2", "", "disabled").substr(std::string("oname=&").size());
    EXPECT_NE(post("/Action7", noold).out.find("<p><b>FAX LINE NAME ALREADY EXISTS"),
              std::string::npos);
    noold = form("Update", "fax-line-7", "", "disabled").substr(std::string("oname=&").size());
    EXPECT_NE(post("/Action7", noold).out.find("<p><b>Cannot rename fax line file.</b>"),
              std::string::npos);
    EXPECT_FALSE(box.exists(std::string(kDev) + "fax-line-7"));
    EXPECT_EQ(box.read(std::string(kDev) + "fax-line-2"), "device = /dev/null\n");

    post("/Action7", form("Update", "fax-line-9", "fax-line-1", "send only"));
    EXPECT_FALSE(box.exists(std::string(kDev) + "fax-line-1"));
    EXPECT_NE(box.read(std::string(kDev) + "fax-line-9").find("name = fax-line-9\n"),
              std::string::npos);

    box.write("var/opt/vantrel/devstatus/fax-line-9", "status = idle\n");
    EXPECT_EQ(post("/Action7", form("Delete", "fax-line-9", "fax-line-9", "send only")).out,
              listpage(donemessage("fax-line-9", "deleted"), {"fax-line-2"}));
    EXPECT_FALSE(box.exists(std::string(kDev) + "fax-line-9"));
    EXPECT_TRUE(box.exists("var/opt/vantrel/devstatus/fax-line-9"));
    EXPECT_EQ(box.read(kInittab), entry);
    EXPECT_EQ(toollog(), "");

    std::string out = post("/Action7", form("Delete", "fax-line-9", "fax-line-9", "send only")).out;
    EXPECT_NE(out.find("<p><b>Cannot delete fax line file.</b>\n"), std::string::npos);
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

// The web server's user may write the line file but not the dev directory
// (root's, mode 0755): the file is rewritten in place.
TEST_F(LinesTest, UpdateWhereTheWebServersUserMayWriteOnlyTheLineFile)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run zeladmin as another user";
    runas = kNobody;
    std::string path = box.path(std::string(kDev) + "fax-line-1");
    line("fax-line-1", "# kept\ndevice = /dev/null\nvendor-key = 7\n");
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    ASSERT_EQ(chown(path.c_str(), 0, runas), 0);
    // The rewrite in place keeps its journal there.
    ASSERT_EQ(chown(box.path("var/opt/vantrel").c_str(), runas, runas), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    EXPECT_EQ(post("/Action7", form("Update", "fax-line-1", "fax-line-1", "disabled")).out,
              listpage(donemessage("fax-line-1", "updated"), {"fax-line-1"}));
    EXPECT_EQ(box.read(std::string(kDev) + "fax-line-1"),
              "# kept\ndevice = /dev/null\nfax-line-mode = disabled\nfax-speed = 19200\n"
              "receive-only = Yes\nspeed = 19200\nvendor-key = 7\n");
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0664u);
}

// Saves of one line at once, each of a different field from a form that
// showed the same file: every change stays, as do the file's own keys, and
// receiving is switched by none of them (mode and device stay off).
TEST_F(LinesTest, SavesOfOneLineAtOnceKeepEveryChange)
{
    line("fax-line-1",
         "# kept\ndevice = /dev/null\nline-type = default\nmodem-init-string = AT\n"
         "receive-only = Yes\ntsi = old\nuucp-lock-file = /var/lock/LCK..null\nvendor-key = 7\n");
    const struct {
        const char* key;
        const char* shown;
        const char* changed;
    } fields[] = {
        {"device", "/dev/null", "/dev/ttyS1"},
        {"uucp-lock-file", "/var/lock/LCK..null", "/var/lock/LCK..ttyS1"},
        {"fax-line-mode", "disabled", "send only"},
        {"line-type", "default", "us"},
        {"modem-init-string", "AT", "ATZ"},
        {"tsi", "old", "new"},
    };
    HeldLock held(box.path(std::string(kDev) + "fax-line-1"));
    for (const auto& mine : fields) {
        cgi::Form form = {
            {"oname", "fax-line-1"}, {"name", "fax-line-1"}, {"oreceive-only", "Yes"}};
        for (const auto& f : fields) {
            form.emplace_back(f.key, &f == &mine ? f.changed : f.shown);
            form.emplace_back(std::string("o") + f.key, f.shown);
        }
        form.emplace_back("button", "Update");
        std::string page = std::string("page.") + mine.key;
        ASSERT_TRUE(
            held.queue([&] { box.write(page, post("/Action7", cgi::urlencode(form)).out); }));
    }
    held.finish();
    for (const auto& f : fields)
        EXPECT_EQ(box.read(std::string("page.") + f.key),
                  listpage(donemessage("fax-line-1", "updated"), {"fax-line-1"}));
    EXPECT_EQ(box.read(std::string(kDev) + "fax-line-1"),
              "# kept\ndevice = /dev/ttyS1\nfax-line-mode = \"send only\"\nline-type = us\n"
              "modem-init-string = ATZ\nreceive-only = No\ntsi = new\nuucp-lock-file = "
              "/var/lock/LCK..ttyS1\n"
              "vendor-key = 7\n");
    EXPECT_EQ(toollog(), "");
}

// Delete and rename hold the line file's lock while they unlink or rename
// it; a save that waited for the lock meanwhile finds the line gone and
// writes nothing, neither under the old name nor under the new.
TEST_F(LinesTest, DeleteAndRenameHoldTheLineAndSavesBehindThemFindItGone)
{
    const std::string gone =
        "Fax line <em>fax-line-1</em> no longer exists: it was deleted or renamed "
        "after its form was shown, and nothing was saved.<p>\n";
    const std::string file = "device = /dev/null\nvendor-key = 7\n";
    const std::string update = form("Update", "fax-line-1", "fax-line-1", "disabled");
    const std::string renamed =
        "device = /dev/null\nfax-line-mode = disabled\nfax-speed = 19200\n"
        "name = fax-line-2\nreceive-only = Yes\nspeed = 19200\nvendor-key = 7\n";
    const struct {
        std::string body;      // the submission that waits
        bool tested_meanwhile; // the test renames the file away while it waits
        std::string page;
        std::vector<std::string> left; // the line files afterwards
    } cases[] = {
        {form("Delete", "fax-line-1", "fax-line-1", "disabled"),
         false,
         listpage(donemessage("fax-line-1", "deleted"), {}),
         {}},
        {form("Update", "fax-line-2", "fax-line-1", "disabled"),
         false,
         listpage(donemessage("fax-line-2", "renamed/updated"), {"fax-line-2"}),
         {"fax-line-2"}},
        {update, true, listpage(gone, {"fax-line-3"}), {"fax-line-3"}},
    };
    for (const auto& c : cases) {
        line("fax-line-1", file);
        {
            HeldLock held(box.path(std::string(kDev) + "fax-line-1"));
            ASSERT_TRUE(held.queue([&] { box.write("page", post("/Action7", c.body).out); }))
                << c.body;
            EXPECT_EQ(entries(box.path(kDev)), std::vector<std::string>{"fax-line-1"});
            if (c.tested_meanwhile) {
                ASSERT_EQ(rename(box.path(std::string(kDev) + "fax-line-1").c_str(),
                                 box.path(std::string(kDev) + "fax-line-3").c_str()),
                          0);
            }
            held.finish();
        }
        EXPECT_EQ(box.read("page"), c.page) << c.body;
        EXPECT_EQ(entries(box.path(kDev)), c.left) << c.body;
        for (const std::string& name : c.left)
            EXPECT_EQ(box.read(std::string(kDev) + name), name == "fax-line-2" ? renamed : file);
        for (const std::string& name : c.left)
            box.remove(std::string(kDev) + name);
    }
    EXPECT_EQ(toollog(), "");
}
