// The tabctl stand-in in a sandbox: the admin token it demands, each
// option's effect on the sandbox inittab, the command lines it and telinit
// leave in the stand-in log, and the pretend scheduler behind plandump.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sys/itlib.h"
#include "tests/harness.h"

namespace {

const std::string kGetty = "S0:2345:respawn:/sbin/getty -L ttyS0 115200 vt100\n";
const std::string kFaxOn = "qrt1:2345:respawn:/opt/vantrel/lib/lineward fax-line-1\n";
const std::string kFaxOff = "qrt1:2345:off:/opt/vantrel/lib/lineward fax-line-1\n";

std::string fresh_token()
{
    return std::to_string(tokenvalue(static_cast<long>(std::time(nullptr))));
}

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
        box.link_program(source_path("tools/telinit"), "sbin/telinit");
        box.write("opt/vantrel/etc/dev/fax-line-1", "device = /dev/ttyS0\n");
    }

    RunResult tabctl(std::vector<std::string> args, std::vector<std::string> env = {},
                     bool token = true) const
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
    r = tabctl({"-e", "fax-line-1"},
               {"ZELADMINTOKEN=" + std::to_string(tokenvalue(std::time(nullptr) - 10))}, false);
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
    EXPECT_EQ(log(),
              "tabctl [-e] [fax-line-1]\ntelinit [q]\ntabctl [-d] [fax-line-1]\ntelinit [q]\n"
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
    const std::string entry =
        "qrt1:2345:respawn:" + box.path("opt/vantrel") + "/lib/lineward fax-line-1";
    r = tabctl({"-a", "fax-line-1", "-l", entry});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n" + entry + "\n");
    r = tabctl({"-f", "fax-line-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = tabctl({"-x", "no-such-line"});
    EXPECT_EQ(r.out, "tabctl: -x no-such-line failed (-1)\n");
    EXPECT_EQ(log(), "tabctl [-x] [fax-line-1]\ntelinit [q]\ntabctl [-a] [fax-line-1] [-l] [" +
                         entry +
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

// An identifier taken since the page chose it is replaced by a free one,
// and an entry that is there already (the same line saved twice at once)
// is not added again.
TEST_F(TabctlTest, AppendTakesTheInittabAsItIsNow)
{
    const std::string other = "qrt1:2345:respawn:/opt/vantrel/lib/lineward fax-line-2\n";
    const std::string entry = "qrt2:2345:respawn:/opt/vantrel/lib/lineward fax-line-1";
    box.write("etc/inittab", kGetty + other);
    EXPECT_EQ(tabctl({"-a", "fax-line-1", "-l", entry}).out, "");
    EXPECT_EQ(tabctl({"-a", "fax-line-1", "-l", entry}).out, "");
    EXPECT_EQ(
        tabctl({"-a", "fax-line-3", "-l", "qrt1:2345:respawn:/opt/vantrel/lib/lineward fax-line-3"})
            .out,
        "");
    EXPECT_EQ(inittab(), kGetty + other + entry +
                             "\nqrt3:2345:respawn:/opt/vantrel/lib/lineward fax-line-3\n");
}

// Edits of different lines at once: each edits the file as the one before
// it left it, so every line is switched on.
TEST_F(TabctlTest, ConcurrentEditsAllSurvive)
{
    constexpr int kLines = 10;
    auto entry = [](int i, const char* action) {
        return "qrt" + std::to_string(i) + ":2345:" + action + ":/opt/vantrel/lib/lineward line" +
               std::to_string(i) + "\n";
    };
    std::string off, on;
    for (int i = 0; i < kLines; ++i) {
        off += entry(i, "off");
        on += entry(i, "respawn");
    }
    box.write("etc/inittab", off);
    std::vector<std::thread> runs;
    for (int i = 0; i < kLines; ++i)
        runs.emplace_back([&, i] {
            EXPECT_EQ(tabctl({"-e", "line" + std::to_string(i)}).out, "");
        });
    for (std::thread& run : runs)
        run.join();
    EXPECT_EQ(inittab(), on);
}

// A full disk cuts the append short: the file goes back to what it was
// (init would run the half entry) and the tool says it failed.
TEST_F(TabctlTest, ShortAppendIsUndone)
{
    const std::string before = inittab();
    const std::string entry =
        "qrt2:2345:respawn:" + box.path("opt/vantrel") + "/lib/lineward fax-line-2";
    RunResult r = box.run_forked([&] {
        std::string root = "ZEL_ROOT=" + box.root();
        std::string token = "ZELADMINTOKEN=" + fresh_token();
        char* env[] = {root.data(), token.data(), nullptr};
        rlimit limit{before.size() + 20, before.size() + 20};
        signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &limit) == 0)
            execle(tool_path("tabctl").c_str(), "tabctl", "-a", "fax-line-2", "-l", entry.c_str(),
                   nullptr, env);
        _exit(127);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "tabctl: -a fax-line-2 failed (-1)\n");
    EXPECT_EQ(inittab(), before);
}

// The web server's user may write /etc/inittab but not /etc: the file is
// rewritten in place.
TEST_F(TabctlTest, EditWhereOnlyTheFileIsWritable)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run the tool as another user";
    std::string path = box.path("etc/inittab");
    ASSERT_EQ(chmod(path.c_str(), 0664), 0);
    ASSERT_EQ(chown(path.c_str(), 0, 65534), 0);
    // The rewrite in place keeps its journal there.
    ASSERT_EQ(chown(box.path("var/opt/vantrel").c_str(), 65534, 65534), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    RunOptions options;
    options.args = {"-e", "fax-line-1"};
    options.env = {"ZELADMINTOKEN=" + fresh_token()};
    options.uid = 65534, options.gid = 65534;
    RunResult r = box.run(tool_path("tabctl"), options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(inittab(), kFaxOn + kGetty);
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

} // namespace
