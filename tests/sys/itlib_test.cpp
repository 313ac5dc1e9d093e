// itlib against inittab files in a sandbox (ZEL_ROOT set in this process):
// the analysis, identifier choice and edits byte for byte, the device
// checks, the line file lookup (in a child, as it needs the configuration)
// and the admin token.
#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "lib/config.h"
#include "sys/itlib.h"
#include "tests/harness.h"

namespace {

const std::string kGetty = "S0:2345:respawn:/sbin/getty -L ttyS0 115200 vt100\n";
const std::string kFaxOn = "qrt1:2345:respawn:/opt/vantrel/lib/lineward fax-line-1\n";
const std::string kFaxOff = "qrt1:2345:off:/opt/vantrel/lib/lineward fax-line-1\n";
const std::string kHead = "id:2:initdefault:\n# The fax lines.\n";

class ItlibTest : public testing::Test {
protected:
    ItlibTest() { setenv("ZEL_ROOT", box.root().c_str(), 1); }
    ~ItlibTest() override
    {
        unsetenv("ZEL_ROOT");
        itlib_debug = 0;
    }

    // Writes the inittab and reads it in.
    void load(const std::string& text)
    {
        box.write("etc/inittab", text);
        ASSERT_EQ(readinittab(), 0);
    }

    int analyse(const std::string& text, const char* device, const char* line = "fax-line-1")
    {
        box.write("etc/inittab", text);
        EXPECT_EQ(readinittab(), 0);
        return analyse_inittab(device, line, 0);
    }

    std::string inittab() const { return box.read("etc/inittab"); }

    Sandbox box;
};

TEST_F(ItlibTest, ReadFailures)
{
    EXPECT_EQ(readinittab(), -1);
    EXPECT_EQ(inittabtext(), nullptr);
    EXPECT_EQ(inittablength(), -1);
    load("");
    EXPECT_STREQ(inittabtext(), "");
    EXPECT_EQ(inittablength(), 0);
    box.remove("etc/inittab");
    mkdir(box.path("etc/inittab").c_str(), 0755);
    EXPECT_EQ(readinittab(), -4);
    EXPECT_EQ(inittabtext(), nullptr);
}

TEST_F(ItlibTest, AnalysisResults)
{
    EXPECT_EQ(analyse(kHead + kFaxOn, nullptr), INITTAB_ENABLED);
    EXPECT_EQ(analyse(kHead + kFaxOff, "/dev/ttyS1"), INITTAB_DISABLED);
    EXPECT_EQ(analyse(kHead, "/dev/ttyS1"), INITTAB_NOENTRY);
    EXPECT_EQ(analyse("", "/dev/ttyS0"), INITTAB_NOENTRY);
    // The getty on the line's device stops the analysis before the name pass.
    EXPECT_EQ(analyse(kGetty + kFaxOn, "/dev/ttyS0"), INITTAB_GETTY);
    EXPECT_EQ(analyse(kGetty + kFaxOn, "/dev/ttyS1"), INITTAB_ENABLED);
    EXPECT_EQ(analyse(kFaxOn + "qrt2:2345:off:/opt/vantrel/lib/lineward fax-line-1 -v\n", nullptr),
              INITTAB_MANY);
    // Device and name on one line count twice.
    EXPECT_EQ(analyse("qrt1:2345:respawn:/x/lineward ttyS0 fax-line-1\n", "/dev/ttyS0"),
              INITTAB_MANY);
    // An entry that runs the daemon on the device, found by the device alone.
    EXPECT_EQ(analyse("qrt1:2345:off:/x/LineWard -d ttyS0\n", "/dev/ttyS0", "other"),
              INITTAB_DISABLED);
    // Neither an empty device nor an empty name is searched for.
    EXPECT_EQ(analyse(kFaxOn, "/dev/", ""), INITTAB_NOENTRY);
}

TEST_F(ItlibTest, AnalysisEdges)
{
    // Case is ignored, the first line is searched, a last line needs no newline.
    EXPECT_EQ(analyse("FAX-LINE-1:2345:respawn:/x/lineward\n", "/dev/ttyS1"), INITTAB_ENABLED);
    EXPECT_EQ(analyse("qrt1:2345:respawn:/x/lineward fax-line-1", nullptr), INITTAB_ENABLED);
    // The action field at the very end of the text, and lines short of fields.
    EXPECT_EQ(analyse("qrt1:fax-line-1:", nullptr), INITTAB_DISABLED);
    EXPECT_EQ(analyse("fax-line-1", nullptr), INITTAB_DISABLED);
    EXPECT_EQ(analyse("x:fax-line-1\n2:3:respawn:4\n", nullptr), INITTAB_DISABLED);
    // Commented-out entries are not entries to init.
    EXPECT_EQ(analyse("#" + kGetty + "# fax-line-1 was here\n" + kFaxOn, "/dev/ttyS0"),
              INITTAB_ENABLED);
}

TEST_F(ItlibTest, AnalysisDebugTrace)
{
    load(kFaxOn);
    itlib_debug = 2;
    testing::internal::CaptureStderr();
    EXPECT_EQ(analyse_inittab(nullptr, "fax-line-1", 0), INITTAB_ENABLED);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "analyse_inittab((null), fax-line-1)\n"
              "compare(fax-line-1) (qrt1:2345:respawn:/opt/vantrel)\n"
              "found(fax-line-1) (fax-line-1\n)\n"
              "compare(fax-line-1) (ax-line-1\n)\n"
              "NOT found(fax-line-1)\n");
}

TEST_F(ItlibTest, FreeIdentifier)
{
    load("qrt1:2345:off:a\nqrt2:2345:off:b\nxqrt3:2:off:c\n");
    EXPECT_EQ(freeinittabid(), '3');
    std::string all;
    for (char c = '1'; c <= '9'; ++c)
        all += std::string("qrt") + c + ":2345:off:x\n";
    load(all + "qrt");
    EXPECT_EQ(freeinittabid(), 'a');
    for (char c = 'a'; c <= 'z'; ++c)
        all += std::string("qrt") + c + ":2345:off:x\n";
    for (char c = 'A'; c <= 'Y'; ++c)
        all += std::string("qrt") + c + ":2345:off:x\n";
    load(all);
    EXPECT_EQ(freeinittabid(), 'Z');
    load(all + "qrtZ");
    EXPECT_EQ(freeinittabid(), 0);
}

TEST_F(ItlibTest, EnableAndDisable)
{
    load(kHead + kFaxOff + kGetty);
    EXPECT_EQ(enableinittab("lineward fax-line-1"), 0);
    EXPECT_EQ(inittab(), kHead + kFaxOn + kGetty);
    EXPECT_STREQ(inittabtext(), (kHead + kFaxOn + kGetty).c_str());
    EXPECT_EQ(enableinittab("lineward fax-line-1"), -3);
    EXPECT_EQ(disableinittab("lineward fax-line-1"), 0);
    EXPECT_EQ(inittab(), kHead + kFaxOff + kGetty);
    EXPECT_EQ(disableinittab("lineward fax-line-1"), -3);
    EXPECT_EQ(enableinittab("initdefault"), -4);
    EXPECT_EQ(enableinittab("lineward fax-line-2"), -1);
    EXPECT_EQ(enableinittab("2345"), -2);
    EXPECT_EQ(inittab(), kHead + kFaxOff + kGetty);
}

TEST_F(ItlibTest, EditsKeepModeAndLastLineWithoutNewline)
{
    box.write("etc/inittab", kGetty + "qrt1:2345:off:/x/lineward fax-line-1", 0600);
    ASSERT_EQ(readinittab(), 0);
    EXPECT_EQ(enableinittab("lineward fax-line-1"), 0);
    EXPECT_EQ(inittab(), kGetty + "qrt1:2345:respawn:/x/lineward fax-line-1");
    struct stat st;
    ASSERT_EQ(stat(box.path("etc/inittab").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ItlibTest, UnwritableFileIsLeftAsItWas)
{
    load(kFaxOff + kGetty);
    box.remove("etc/inittab");
    mkdir(box.path("etc/inittab").c_str(), 0755);
    EXPECT_EQ(enableinittab("lineward fax-line-1"), -5);
    EXPECT_EQ(deleteinittab("lineward fax-line-1"), -5);
    EXPECT_EQ(disabledevice("/dev/ttyS0", 0), -5);
    EXPECT_STREQ(inittabtext(), (kFaxOff + kGetty).c_str());
}

TEST_F(ItlibTest, Delete)
{
    load(kHead + kFaxOn + kGetty);
    EXPECT_EQ(deleteinittab("fax-line-1"), 0);
    EXPECT_EQ(inittab(), kHead + kGetty);
    EXPECT_EQ(deleteinittab("fax-line-1"), -1);
    EXPECT_EQ(deleteinittab("2"), -2);
    load(kHead + "qrt1:2345:off:/x/lineward fax-line-1");
    EXPECT_EQ(deleteinittab("fax-line-1"), 0);
    EXPECT_EQ(inittab(), kHead);
}

TEST_F(ItlibTest, DisableDevice)
{
    load(kHead + kGetty + "T0:23:respawn:/sbin/agetty ttyS0\n" + "T1:23:off:/sbin/agetty ttyS0\n");
    EXPECT_EQ(disabledevice("/dev/ttyS0", 1), 0);
    const std::string off = kHead + "S0:2345:off:/sbin/getty -L ttyS0 115200 vt100\n" +
                            "T0:23:off:/sbin/agetty ttyS0\n" + "T1:23:off:/sbin/agetty ttyS0\n";
    EXPECT_EQ(inittab(), off);
    // All already off: the file is not rewritten.
    struct stat before, after;
    ASSERT_EQ(stat(box.path("etc/inittab").c_str(), &before), 0);
    EXPECT_EQ(disabledevice("/dev/ttyS0", 1), 1);
    ASSERT_EQ(stat(box.path("etc/inittab").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(disabledevice("/dev/ttyS7", 0), -1);
    EXPECT_EQ(disabledevice("/dev/ttys0", 1), -1);
    EXPECT_EQ(disabledevice("/dev/", 0), -1);
    EXPECT_EQ(disabledevice(nullptr, 0), -1);
    // Case-insensitive, a last line without newline or a fourth field.
    load("# ttyS0\nx:1:TTYS0");
    EXPECT_EQ(disabledevice("ttyS0", 0), 0);
    EXPECT_EQ(inittab(), "# ttyS0\nx:1:off");
}

TEST_F(ItlibTest, Append)
{
    const std::string entry = "qrt2:2345:respawn:/opt/vantrel/lib/lineward fax-line-2";
    box.write("etc/inittab", kHead + "qrt1:2345:off:x", 0600);
    ASSERT_EQ(readinittab(), 0);
    EXPECT_EQ(appendinittab(entry.c_str()), 0);
    EXPECT_EQ(inittab(), kHead + "qrt1:2345:off:x\n" + entry + "\n");
    EXPECT_STREQ(inittabtext(), inittab().c_str());
    EXPECT_EQ(appendinittab("qrt3:2345:off:x\nroot::respawn:/bin/sh"), -1);
    EXPECT_EQ(inittab(), kHead + "qrt1:2345:off:x\n" + entry + "\n");
    struct stat st;
    ASSERT_EQ(stat(box.path("etc/inittab").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ItlibTest, Devices)
{
    const std::string file = box.path("dev/ttyS9");
    box.write("dev/ttyS9", "", 0644);
    if (running_as_root()) {
        ASSERT_EQ(chown(file.c_str(), DEVICE_UID, DEVICE_GID), 0);
        EXPECT_EQ(checkdevice(file.c_str()), DEVICE_NOTCHAR | DEVICE_BADMODE);
    }
    EXPECT_EQ(fixdevice(file.c_str()), -2);
    EXPECT_EQ(fixdevice(nullptr), -1);
    EXPECT_EQ(fixdevice(box.path("dev/none").c_str()), -1);
    EXPECT_EQ(checkdevice(box.path("dev/none").c_str()), -1);
    const std::string node = box.path("dev/ttyS8");
    if (!running_as_root() || mknod(node.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "no character device can be made here";
    EXPECT_EQ(checkdevice(node.c_str()) & DEVICE_NOTCHAR, 0);
    EXPECT_EQ(checkdevice(node.c_str()) & DEVICE_BADMODE, DEVICE_BADMODE);
    EXPECT_EQ(fixdevice(node.c_str()), 0);
    EXPECT_EQ(checkdevice(node.c_str()), 0);
}

TEST_F(ItlibTest, LineDevice)
{
    box.write("opt/vantrel/etc/dev/fax-line-1", "# a line\ndevice = /dev/ttyS0\nspeed = 19200\n");
    box.write("opt/vantrel/etc/dev/nodevice", "speed = 19200\n");
    box.write("opt/vantrel/etc/dev/.hidden", "device = /dev/hidden\n");
    box.write("opt/vantrel/etc/secret", "device = /dev/secret\n");
    RunResult result = box.run_forked([] {
        config_load_or_exit();
        for (const char* line :
             {"fax-line-1", "nodevice", "missing", "../secret", "", ".", "..", ".hidden"}) {
            char* device = linedevice(line);
            std::printf("%s=%s\n", line, device ? device : "(null)");
            std::free(device);
        }
        std::printf("null=%s\n", linedevice(nullptr) ? "set" : "(null)");
    });
    EXPECT_EQ(result.out,
              "fax-line-1=/dev/ttyS0\nnodevice=(null)\nmissing=(null)\n../secret=(null)\n"
              "=(null)\n.=(null)\n..=(null)\n.hidden=/dev/hidden\nnull=(null)\n");
}

TEST_F(ItlibTest, Token)
{
    unsetenv("ZELADMINTOKEN");
    EXPECT_EQ(checktoken(), 0);
    settoken();
    EXPECT_EQ(checktoken(), 1);
    long now = static_cast<long>(std::time(nullptr));
    EXPECT_STRNE(std::getenv("ZELADMINTOKEN"), std::to_string(now).c_str());
    auto token = [](const std::string& value) {
        setenv("ZELADMINTOKEN", value.c_str(), 1);
        return checktoken();
    };
    EXPECT_EQ(token(std::to_string(tokenvalue(now - 3))), 1);
    // A clock a little behind is tolerated, a token from further ahead is not.
    EXPECT_EQ(token(std::to_string(tokenvalue(now + 60))), 1);
    EXPECT_EQ(token(std::to_string(tokenvalue(now + 62))), 0);
    EXPECT_EQ(token(std::to_string(tokenvalue(now + 86400))), 0);
    EXPECT_EQ(token(std::to_string(tokenvalue(now - 5))), 0);
    EXPECT_EQ(token(std::to_string(tokenvalue(now - 600))), 0);
    EXPECT_EQ(token(std::to_string(now)), 0);
    EXPECT_EQ(token(std::to_string(tokenvalue(now)) + "x"), 0);
    EXPECT_EQ(token(""), 0);
    EXPECT_EQ(token("18446744073709551615"), 0);
    EXPECT_EQ(token("99999999999999999999999"), 0);
    unsetenv("ZELADMINTOKEN");
}

} // namespace

// Names are whole words: the first of ten lines, or ttyS1 beside ttyS10,
// is still told apart from its longer neighbour.
TEST_F(ItlibTest, NamesAreNotFoundInsideLongerNames)
{
    const std::string ten = "qrta:2345:respawn:/opt/vantrel/lib/lineward fax-line-10\n";
    EXPECT_EQ(analyse(kFaxOn + ten, "/dev/ttyS1"), INITTAB_ENABLED);
    EXPECT_EQ(analyse(ten, "/dev/ttyS1"), INITTAB_NOENTRY);
    EXPECT_EQ(analyse("S10:2345:respawn:/sbin/getty ttyS10 9600\n" + kFaxOn, "/dev/ttyS1"),
              INITTAB_ENABLED);
    const std::string getty10 = "S10:2345:respawn:/sbin/getty ttyS10 9600\n";
    load(getty10 + "S1:2345:respawn:/sbin/getty ttyS1 9600\n");
    EXPECT_EQ(disabledevice("/dev/ttyS1", 0), 0);
    EXPECT_EQ(inittab(), getty10 + "S1:2345:off:/sbin/getty ttyS1 9600\n");
}
