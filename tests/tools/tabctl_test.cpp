// The tabctl stand-in in a sandbox: the admin token it demands, each
// option's effect on the sandbox inittab, the command lines it and telinit
// leave in the stand-in log, and the pretend scheduler behind plandump.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "admin/itlib.h"
#include "tests/harness.h"

namespace {

const std::string kGetty = "S0:2345:respawn:/sbin/getty -L ttyS0 115200 vt100\n";
const std::string kFaxOn = "qrt1:2345:respawn:/opt/vantrel/lib/lineward fax-line-1\n";
const std::string kFaxOff = "qrt1:2345:off:/opt/vantrel/lib/lineward fax-line-1\n";

std::string fresh_token() { return std::to_string(tokenvalue(static_cast<long>(std::time(nullptr)))); }

// A process that is gone or a zombie no longer runs.
bool process_runs(long pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return false;
    std::size_t paren = line.rfind(')');
    return paren != std::string::npos && line.size() > paren + 2 && line[paren + 2] != 'Z';
}

class TabctlTest : public testing::Test {
protected:
    TabctlTest()
    {
        box.write("etc/inittab", kFaxOff + kGetty);
        mkdir(box.path("sbin").c_str(), 0755);
        symlink(source_path("tools/telinit").c_str(), box.path("sbin/telinit").c_str());
        box.write("opt/vantrel/etc/dev/fax-line-1", "device = /dev/ttyS0\n");
    }

    RunResult tabctl(std::vector<std::string> args, std::vector<std::string> env = {}, bool token = true) const
    {
        RunOptions options;
        options.args = std::move(args);
        options.env = std::move(env);
        options.env.push_back("STANDIN_LOG=" + box.path("standin.log"));
        if (token)
            options.env.push_back("ZELADMINTOKEN=" + fresh_token());
        return box.run(tool_path("tabctl"), options);
    }

    std::string log() const { return box.read("standin.log"); }
    std::string inittab() const { return box.read("etc/inittab"); }

    Sandbox box;
};

TEST_F(TabctlTest, RefusedWithoutFreshToken)
{
    RunResult r = tabctl({"-e", "fax-line-1"}, {}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tabctl: permission denied (no valid admin token)\n");
    r = tabctl({"-e", "fax-line-1"}, {"ZELADMINTOKEN=" + std::to_string(tokenvalue(std::time(nullptr) - 10))}, false);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tabctl: permission denied (no valid admin token)\n");
    EXPECT_EQ(log(), "tabctl [-e] [fax-line-1]\ntabctl [-e] [fax-line-1]\n");
    EXPECT_EQ(inittab(), kFaxOff + kGetty);
}

TEST_F(TabctlTest, EnableDisableAndTelinit)
{
    RunResult r = tabctl({"-e", "fax-line-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), kFaxOn + kGetty);
    r = tabctl({"-d", "fax-line-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), kFaxOff + kGetty);
    r = tabctl({"-d", "fax-line-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tabctl: -d fax-line-1 failed (-3)\n");
    r = tabctl({"-e", "fax-line-2"});
    EXPECT_EQ(r.out, "tabctl: -e fax-line-2 failed (-1)\n");
    // A failed edit does not ask init to re-read.
    EXPECT_EQ(log(), "tabctl [-e] [fax-line-1]\ntelinit [q]\ntabctl [-d] [fax-line-1]\ntelinit [q]\n"
                     "tabctl [-d] [fax-line-1]\ntabctl [-e] [fax-line-2]\n");
}

// The first of ten lines is switched without touching the tenth.
TEST_F(TabctlTest, FirstOfTenLines)
{
    const std::string ten = "qrta:2345:respawn:/opt/vantrel/lib/lineward fax-line-10\n";
    box.write("etc/inittab", kFaxOn + ten);
    EXPECT_EQ(tabctl({"-d", "fax-line-1"}).out, "");
    EXPECT_EQ(inittab(), kFaxOff + ten);
}

TEST_F(TabctlTest, DeviceOffAppendAndFree)
{
    box.write("etc/inittab", kGetty);
    RunResult r = tabctl({"-x", "fax-line-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n");
    const std::string entry = "qrt1:2345:respawn:" + box.path("opt/vantrel") + "/lib/lineward fax-line-1";
    r = tabctl({"-a", "fax-line-1", "-l", entry});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n" + entry + "\n");
    r = tabctl({"-f", "fax-line-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = tabctl({"-x", "no-such-line"});
    EXPECT_EQ(r.out, "tabctl: -x no-such-line failed (-1)\n");
    EXPECT_EQ(log(), "tabctl [-x] [fax-line-1]\ntelinit [q]\ntabctl [-a] [fax-line-1] [-l] [" + entry +
                         "]\ntelinit [q]\ntabctl [-f] [fax-line-1]\ntabctl [-x] [no-such-line]\n");
}

TEST_F(TabctlTest, PrintedFailureAndMailScripts)
{
    RunResult r = tabctl({"-e", "fax-line-1"}, {"STANDIN_PRINT=line is busy"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "line is busy\n");
    EXPECT_EQ(inittab(), kFaxOff + kGetty);
    r = tabctl({"-L", "zelin.sh"}, {"STANDIN_PRINT=mail server not found", "STANDIN_EXIT=3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "mail server not found\n");
    EXPECT_EQ(tabctl({"-L", "zelin.sh"}).out, "");
    EXPECT_EQ(tabctl({"-L", "zelout.sh"}).out, "");
    r = tabctl({"-L", "zeltest.sh"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find('<'), std::string::npos);
    EXPECT_GE(lines_of(r.out).size(), 2u);
    EXPECT_EQ(tabctl({"-X", "start-font"}).out, "");
    r = tabctl({"-X", "restart-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.out).size(), 1u);
}

TEST_F(TabctlTest, SchedulerStartAndStop)
{
    // The run returns only once every holder of the output pipes is gone,
    // so a scheduler that kept them would hold this test up.
    RunResult r = tabctl({"-X", "start-dialq"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    ASSERT_TRUE(box.exists("var/opt/vantrel/plandump"));
    long pid = std::atol(box.read("var/opt/vantrel/plandump").c_str());
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(process_runs(pid));
    r = tabctl({"-X", "stop-dialq"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(box.exists("var/opt/vantrel/plandump"));
    for (int i = 0; i < 100 && process_runs(pid); ++i)
        usleep(20000);
    EXPECT_FALSE(process_runs(pid));
    if (process_runs(pid))
        kill(static_cast<pid_t>(pid), SIGKILL);
    r = tabctl({"-X", "stop-dialq"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tabctl: -X stop-dialq failed (-1)\n");
}

} // namespace
