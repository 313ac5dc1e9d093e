// zeldispatch run as built on fax files in a sandbox installation, with the
// stand-ins of tools/ as the e-mail gateway and the delivery program; the
// log, the stand-ins' records and the files left behind are compared.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"
#include "tests/tiffwriter.h"

namespace {

namespace fs = std::filesystem;
using tiffwriter::faxtags;

const long kTime = 1700000000; // Tue Nov 14 22:13:20 2023 UTC
const std::string kSpool = "var/opt/vantrel";
const std::string kQueue = kSpool + "/inbox/unclaimed";

// A log line without its time and process id: "[level,code]: message".
std::string without_time_and_pid(const std::string& line)
{
    std::size_t open = line.find('[', line.find(": "));
    std::size_t close = line.find("]: ", open);
    if (open == std::string::npos || close == std::string::npos)
        return line;
    std::size_t comma = line.find(',', open);
    std::size_t from = comma < close ? comma + 1 : close;
    return "[" + line.substr(from, close - from) + line.substr(close);
}

class ZeldispatchTest : public SandboxTest {
protected:
    ZeldispatchTest()
    {
        install("tarnixfeg", "opt/vantrel/lib/tarnixfeg");
        install("deliver", "opt/vantrel/bin/deliver"); // found through the children's PATH
    }

    void install(const std::string& tool, const std::string& to) const
    {
        std::ifstream in(source_path("tools/" + tool), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_FALSE(bytes.empty()) << tool;
        box.write(to, bytes, 0755);
    }

    std::string fax(const std::vector<tiffwriter::Entry>& tags,
                    const std::string& name = "fa00042") const
    {
        box.write(kSpool + "/" + name, tiffwriter::tiff(tags));
        return box.path(kSpool + "/" + name);
    }

    // A fax to 5551234 from "ACME FAX" on line ttyS0.
    std::string plain_fax(const std::string& did = "5551234") const
    {
        return fax(faxtags(3, 0, kTime, 61, "ACME FAX", did, "", "ttyS0"));
    }

    RunResult dispatch(std::vector<std::string> args, std::vector<std::string> env = {}) const
    {
        RunOptions options;
        options.args = std::move(args);
        options.env = {"TZ=UTC", "STANDIN_LOG=" + box.path("standin.log")};
        options.env.insert(options.env.end(), env.begin(), env.end());
        return box.run(program_path("zeldispatch"), options);
    }

    std::vector<std::string> log() const
    {
        std::vector<std::string> lines = lines_of(box.read(Sandbox::kLog));
        for (std::string& line : lines)
            line = without_time_and_pid(line);
        return lines;
    }

    std::string standins() const { return box.read("standin.log"); }
    std::string spool(const std::string& name) const { return box.path(kSpool + "/" + name); }

    // The line code that a fax on `line` carries.
    int line_file(const std::string& line) const
    {
        box.write("opt/vantrel/etc/dev/" + line, "device = /dev/" + line + "\n");
        struct stat st;
        stat(box.path("opt/vantrel/etc/dev/" + line).c_str(), &st);
        return static_cast<int>(st.st_ino);
    }
};

using Lines = std::vector<std::string>;

TEST_F(ZeldispatchTest, FactsAreSubstitutedAsQuotedWords)
{
    box.write(Sandbox::kUsers, "[alice]\ndid = 5551234\n"
                               "delivery-program = deliver $file $pages $tsi $other $ $bogus\n"
                               "[bob]\ndid = 5551234\n"
                               "delivery-program = deliver $duration $flags $time $tval $did "
                               "$barcode $faxline$pages\n");
    std::string path = fax(faxtags(3, 0, kTime, 61, "ACME FAX  ", "5551234", "", "ttyS0"));
    RunResult r = dispatch({path}, {"other=OTHER"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(standins(),
              "deliver [" + path + "] [3] [ACME FAX] [OTHER] [$]\n" +
                  "deliver [61] [0] [Tue Nov 14 22:13:20 2023] [1700000000] [5551234] [] "
                  "[ttyS03]\n");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(log(),
              (Lines{"[0]: Command executed (action: deliver $file $pages $tsi $other $ $bogus)",
                     "[0]: Command executed (action: deliver $duration $flags $time $tval $did "
                     "$barcode $faxline$pages)"}));
}

TEST_F(ZeldispatchTest, HostileFactsStayOneWordAndRunNothing)
{
    std::string pwned = box.path("pwned");
    box.write(Sandbox::kUsers,
              "[any]\ndid = *\ndelivery-program = deliver $tsi '$barcode' \"$faxline\" \"$did\"\n");
    std::string tsi = "'; touch " + pwned + "; '";
    std::string barcode = "$(touch " + pwned + ")`touch " + pwned + "`";
    std::string line = "x\ntouch " + pwned + "\n";
    std::string did = "\\'\"'";
    std::string path = fax(faxtags(1, 0, kTime, 5, tsi, did, barcode, line));
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(standins(),
              "deliver [" + tsi + "] [" + barcode + "] [x\ntouch " + pwned + "] [" + did + "]\n");
    EXPECT_FALSE(fs::exists(pwned));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZeldispatchTest, AnActionThatCannotBeExpandedSafelyIsNotRun)
{
    struct Case {
        std::string program, refusal;
    } cases[] = {
        {"deliver $barcode", "longer than 1023 characters"},
        {"deliver `echo $barcode`", "cannot quote a fact there: use $(...), '...' or \"...\""},
    };
    for (const Case& c : cases) {
        box.write(Sandbox::kUsers, "[any]\ndid = *\ndelivery-program = " + c.program + "\n");
        box.write(Sandbox::kLog, "");
        std::string path = fax(faxtags(1, 0, kTime, 5, "", "", std::string(1010, 'b') + "'", ""));
        RunResult r = dispatch({path});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(standins(), "");
        EXPECT_EQ(log(),
                  (Lines{"[3]: Cannot execute action '" + c.program + "' (" + c.refusal + ")",
                         "[0]: Moved fax 'df42' to '" + box.path(kQueue) + "/df42+0'"}));
        EXPECT_TRUE(fs::exists(box.path(kQueue + "/df42+0")));
        EXPECT_FALSE(fs::exists(path));
        box.remove(kQueue + "/df42+0");
    }
}

TEST_F(ZeldispatchTest, UnclaimedAlwaysQueuesAFaxWithoutDid)
{
    configure("zel-unclaimed-always = yes\n");
    box.write(Sandbox::kUsers, "[any]\ndid = *\ndelivery-program = deliver\n");
    int code = line_file("ttyS1");
    std::string path = fax(faxtags(2, 0, kTime, 5, "ACME", "", "", "ttyS1  "));
    std::string bytes = box.read(kSpool + "/fa00042");
    RunResult r = dispatch({"ignored", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(standins(), "");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(box.read(kQueue + "/df42+0"), bytes);
    EXPECT_EQ(log(), Lines{"[0," + std::to_string(code) + "]: Moved fax 'df42' to '" +
                           box.path(kQueue) + "/df42+0'"});
}

TEST_F(ZeldispatchTest, EveryMatchingAccountIsServedInFileOrder)
{
    box.write(Sandbox::kUsers, "[carol]\ndid = 999\ndelivery-program = deliver carol\n"
                               "[alice]\ndid = 5551234\ndelivery-program = deliver alice $did\n"
                               "[bob]\ndid = *\ndelivery-program = deliver bob\n");
    std::string path = plain_fax();
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(standins(), "deliver [alice] [5551234]\ndeliver [bob]\n");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZeldispatchTest, WithoutDidOnlyStarAccountsAreServed)
{
    box.write(Sandbox::kUsers, "[alice]\ndid = 5551234\ndelivery-program = deliver alice\n"
                               "[bob]\ndid = *all\ndelivery-program = deliver bob\n");
    std::string path = plain_fax("");
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_EQ(standins(), "deliver [bob]\n");
    EXPECT_FALSE(fs::exists(path));

    box.write(Sandbox::kUsers, "[alice]\ndid = 5551234\ndelivery-program = deliver alice\n");
    path = plain_fax("");
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "zeldispatch: No action taken on fax " + path + "\n");
    EXPECT_EQ(standins(), "deliver [bob]\n");
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(box.path(kQueue + "/df42+0")));
    EXPECT_EQ(log(), (Lines{"[0]: Command executed (action: deliver bob)",
                            "[0]: No action taken on fax " + path,
                            "[0]: Moved fax 'df42' to '" + box.path(kQueue) + "/df42+0'"}));
}

TEST_F(ZeldispatchTest, GatewayArgumentsFollowTheAccountsOptions)
{
    box.write(Sandbox::kUsers,
              "[alice]\ndid = *\ndelivery-email = alice@example.com\n"
              "url-delivery = File+URL\nimage-format = PDF\n"
              "[bob]\ndid = *\ndelivery-email = bob@example.com\n"
              "url-delivery = url\nmail-format = HTML\nimage-format = tiff\n"
              "[carol]\ndid = *\ndelivery-email = carol@example.com\nurl-delivery = file\n");
    int code = line_file("ttyS0");
    std::string path = plain_fax();
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string p = "[" + path + "]\n";
    EXPECT_EQ(standins(), "tarnixfeg [-p] [-u] [-a] [alice@example.com] " + p +
                              "tarnixfeg [-f] [-U] [-a] [bob@example.com] " + p +
                              "tarnixfeg [-a] [carol@example.com] " + p);
    std::string c = std::to_string(code);
    EXPECT_EQ(log(), (Lines{"[0," + c + "]: Fax emailed to alice@example.com",
                            "[0," + c + "]: Fax emailed to bob@example.com",
                            "[0," + c + "]: Fax emailed to carol@example.com"}));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZeldispatchTest, FailedDeliveriesLeaveTheFaxUnclaimed)
{
    box.write(Sandbox::kUsers, "[alice]\ndid = 5551234\ndelivery-email = alice@example.com\n"
                               "delivery-program = deliver\n");
    std::string path = plain_fax();
    RunResult r = dispatch({path}, {"STANDIN_EXIT=3"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "zeldispatch: Unable to email fax to alice@example.com (768, /)\n");
    EXPECT_EQ(box.read("dev/console"),
              "zeldispatch: Unable to email fax to alice@example.com (768, /)\r\n");
    EXPECT_EQ(log(), (Lines{"[3]: Error executing action 'deliver' (0)",
                            "[3]: Unable to email fax to alice@example.com (768, /)",
                            "[0]: Moved fax 'df42' to '" + box.path(kQueue) + "/df42+0'"}));
    EXPECT_FALSE(fs::exists(path));

    // Exit 0 with a warning is no success either.  The gateway's lines
    // stay on the one log line.
    box.write(Sandbox::kUsers, "[alice]\ndid = 5551234\ndelivery-email = alice@example.com\n");
    path = plain_fax();
    r = dispatch({path}, {"STANDIN_WARN=warning:\nrelay slow", "STANDIN_PRINT=queued\r\nas 7\r"});
    const std::string failed =
        "Unable to email fax to alice@example.com (0, queued||as 7/warning:|relay slow)";
    EXPECT_EQ(r.err, "zeldispatch: " + failed + "\n");
    EXPECT_EQ(log().at(3), "[3]: " + failed);
    EXPECT_TRUE(fs::exists(box.path(kQueue + "/df42+1")));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZeldispatchTest, DebugModeTracesAndKeepsTheDeliveredFax)
{
    box.write("tmp/dispatch.dbg", "");
    box.write(Sandbox::kUsers,
              "[alice]\ndid = 5551234\ndelivery-program = deliver $file $pages $tsi $other\n");
    std::string path = plain_fax();
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(path));
    Lines trace = lines_of(box.read("tmp/dispatch.dbg"));
    ASSERT_GE(trace.size(), 12u);
    EXPECT_EQ(trace[0].rfind("---------- ", 0), 0u);
    EXPECT_EQ(trace[1], "SccsID = zeldispatch 2.0.35");
    EXPECT_EQ(trace[2], "Build = 2.0.35");
    std::string uid = std::to_string(getuid()), gid = std::to_string(getgid());
    EXPECT_EQ(Lines(trace.begin() + 3, trace.begin() + 12),
              (Lines{"UID = " + uid + " " + uid, "GID = " + gid + " " + gid,
                     "setuid = " + uid + " 0", "errno = 0", "setgid = " + gid + " 0", "errno = 0",
                     "UID = " + uid + " " + uid, "GID = " + gid + " " + gid,
                     "umask = " + shell_output("umask | sed 's/^0*//' | tr -d '\\n'")}));
    EXPECT_EQ(Lines(trace.begin() + 12, trace.end()),
              (Lines{"Processing tiff file '" + path + "'", "...Pages 3",
                     "...Time Tue Nov 14 22:13:20 2023", "...Duration 61", "...DID 5551234",
                     "...TSI ACME FAX", "...Fax Line ttyS0", "Tiff file (/fa00042) seq=42",
                     "Scanning 1 users for DID 'ttyS0:5551234'", "DID Match on 'alice'",
                     " ... email '-NULL-'", " ... action 'deliver $file $pages $tsi $other'",
                     "DoCommand 'deliver $file $pages $tsi $other'",
                     "DoCommand processed: 'deliver '" + path + "' '3' 'ACME FAX' $other'",
                     "Delete tiff file (disabled)."}));
}

// The run works in the spool directory; a name without "/" has no number.
TEST_F(ZeldispatchTest, ARelativePathIsTakenInTheSpoolDirectory)
{
    box.write("tmp/dispatch.dbg", "");
    box.write(Sandbox::kUsers, "");
    std::string path = plain_fax();
    EXPECT_EQ(dispatch({"fa00042"}).status, 0);
    Lines trace = lines_of(box.read("tmp/dispatch.dbg"));
    EXPECT_NE(std::find(trace.begin(), trace.end(), "Tiff file (fa00042) seq=0"), trace.end());
    EXPECT_TRUE(fs::exists(box.path(kQueue + "/df0+0")));
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ZeldispatchTest, OnlyAnOwnRegularDebugFileTurnsDebugOn)
{
    box.write(Sandbox::kUsers, "[alice]\ndid = *\ndelivery-program = deliver\n");
    box.write("planted", "");
    fs::create_symlink(box.path("planted"), box.path("tmp/dispatch.dbg"));
    std::string path = plain_fax();
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_EQ(box.read("planted"), "");
    EXPECT_FALSE(fs::exists(path));

    if (running_as_root()) {
        box.remove("tmp/dispatch.dbg");
        box.write("tmp/dispatch.dbg", "");
        ASSERT_EQ(chown(box.path("tmp/dispatch.dbg").c_str(), 65534, 65534), 0);
        path = plain_fax();
        EXPECT_EQ(dispatch({path}).status, 0);
        EXPECT_EQ(box.read("tmp/dispatch.dbg"), "");
        EXPECT_FALSE(fs::exists(path));
    }
}

TEST_F(ZeldispatchTest, RunsThatCannotStart)
{
    std::string path = plain_fax();
    std::string bytes = box.read(kSpool + "/fa00042");
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{"a", "b", path}}) {
        RunResult r = dispatch(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "zeldispatch: Improper number of arguments.\n");
    }
    EXPECT_EQ(box.read("dev/console"),
              std::string("zeldispatch: Improper number of arguments.\r\n") +
                  "zeldispatch: Improper number of arguments.\r\n");

    RunResult r = dispatch({spool("fa00043")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeldispatch: Cannot open '" + spool("fa00043") + "' (2/0).\n");
    box.write(kSpool + "/fa00044", "not a fax\n");
    r = dispatch({spool("fa00044")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zeldispatch: Cannot open '" + spool("fa00044") + "' (0/5).\n");
    EXPECT_EQ(box.read(kSpool + "/fa00044"), "not a fax\n");

    EXPECT_EQ(log(),
              (Lines{"[4]: Improper number of arguments.", "[4]: Improper number of arguments.",
                     "[3]: Cannot open '" + spool("fa00043") + "' (2/0).",
                     "[3]: Cannot open '" + spool("fa00044") + "' (0/5)."}));
    EXPECT_EQ(box.read(kSpool + "/fa00042"), bytes);
    EXPECT_FALSE(fs::exists(box.path(kSpool + "/inbox")));
}

TEST_F(ZeldispatchTest, OnlyAPlainLineNameGivesALineCode)
{
    box.write(Sandbox::kUsers, "[alice]\ndid = *\ndelivery-email = alice@example.com\n");
    int code = line_file("ttyS0");
    for (std::string line : {std::string("ttyS0 \t"), std::string("../dev/ttyS0"),
                             std::string("ttyS0/"), std::string(300, 'l'), std::string("..")}) {
        std::string path = fax(faxtags(1, 0, kTime, 5, "", "", "", line));
        RunResult r = dispatch({path});
        EXPECT_EQ(r.status, 0) << line << r.err;
        EXPECT_FALSE(fs::exists(path));
    }
    Lines expected{"[0," + std::to_string(code) + "]: Fax emailed to alice@example.com"};
    expected.resize(5, "[0]: Fax emailed to alice@example.com");
    EXPECT_EQ(log(), expected);
}

TEST_F(ZeldispatchTest, QueueingSharesDirectoriesAndNeverOverwrites)
{
    fs::create_directories(box.path(kQueue));
    box.write(kQueue + "/df42+0", "someone else's fax");
    std::string path = plain_fax();
    std::string bytes = box.read(kSpool + "/fa00042");
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_EQ(box.read(kQueue + "/df42+0"), "someone else's fax");
    EXPECT_EQ(box.read(kQueue + "/df42+1"), bytes);
    EXPECT_FALSE(fs::exists(path));

    // With every name taken the fax stays where it is.
    for (int i = 0; i < 100; ++i)
        box.write(kQueue + "/df42+" + std::to_string(i), "taken");
    path = plain_fax();
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(log().back(), "[3]: Cannot move fax to '" + box.path(kQueue) + "/df42+99'");
}

TEST_F(ZeldispatchTest, AFaxThatCannotBeQueuedStaysInPlace)
{
    box.write(kSpool + "/inbox", "a file, not a directory");
    std::string path = plain_fax();
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(log().back(),
              "[3]: Cannot create inbox directory '" + box.path(kSpool) + "/inbox' (20)");

    box.remove(kSpool + "/inbox");
    box.write(kSpool + "/inbox/unclaimed", "");
    EXPECT_EQ(dispatch({path}).status, 0);
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(log().back(), "[3]: Cannot create new queue '" + box.path(kQueue) + "' (20)");
}

TEST_F(ZeldispatchTest, AMissingUsersFileServesNobody)
{
    box.remove(Sandbox::kUsers);
    std::string path = plain_fax();
    RunResult r = dispatch({path});
    EXPECT_EQ(r.status, 0);
    std::string users = box.path(Sandbox::kUsers);
    EXPECT_EQ(r.err, "zeldispatch: Cannot open users file (" + users +
                         ") No such file or directory\nzeldispatch: No action taken on fax " +
                         path + "\n");
    EXPECT_TRUE(fs::exists(box.path(kQueue + "/df42+0")));
    EXPECT_FALSE(fs::exists(path));
}

} // namespace
