// The fax line files: the names a line may have, a line added, changed,
// renamed and deleted through the line form, the inittab entries the line
// tool leaves for its mode, and saves, renames and deletes of one line at
// once, which the file's lock keeps in order.
#include "admin/linefile.h"

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/filelock.h"
#include "tests/admin/linesfixture.h"
#include "tests/cgi.h"
#include "tests/harness.h"

using namespace linesfixture;

namespace {

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

class LinefileTest : public LinesTest {};

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

TEST_F(LinefileTest, AddReceiveOnlyWritesFileAndAppendsEntry)
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

TEST_F(LinefileTest, ModeChangesRunTheLineTool)
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

TEST_F(LinefileTest, RenameAndDelete)
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

// The web server's user may write the line file but not the dev directory
// (root's, mode 0755): the file is rewritten in place.
TEST_F(LinefileTest, UpdateWhereTheWebServersUserMayWriteOnlyTheLineFile)
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
TEST_F(LinefileTest, SavesOfOneLineAtOnceKeepEveryChange)
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
TEST_F(LinefileTest, DeleteAndRenameHoldTheLineAndSavesBehindThemFindItGone)
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
