// The queue tool stand-in, run as a program in sandbox installations: what
// it prints, its exit status, the request files it renames and the records
// it leaves.
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "sys/slotmgmt.h"
#include "tests/harness.h"

namespace {

constexpr const char* kSpool = "var/opt/vantrel";
const std::string kDest = std::string(kSpool) + "/destinations/5551234/";

const std::string kRequest = "request-id = 12-3\n"
                             "destination = 5551234\n"
                             "pages = 4\n"
                             "mailaddr = alice@example.com\n"
                             "device = modem:ttyS0:95551234\n"
                             "recipient-name = Ann Archer\n";

RunResult quectl(const Sandbox& box, std::vector<std::string> args)
{
    RunOptions options;
    options.args = std::move(args);
    return box.run(tool_path("quectl"), options);
}

// The record of slot n as it lies in status.db.
std::string record(const Sandbox& box, int n)
{
    return box.read(std::string(kSpool) + "/status.db")
        .substr(static_cast<std::size_t>(n) * 256, 256);
}

// Whether slot n's bit is set in status.bm.
bool inuse(const Sandbox& box, int n)
{
    std::string bm = box.read(std::string(kSpool) + "/status.bm");
    return (static_cast<unsigned char>(bm[24 + static_cast<std::size_t>(n - 1) / 8]) >>
            ((n - 1) % 8)) &
           1;
}

void queue_one(const Sandbox& box)
{
    box.write("req1", kRequest);
    RunResult r = quectl(box, {"-q", box.path("req1")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    ASSERT_EQ(r.out, "");
}

} // namespace

TEST(QuectlTest, QueuedRequestIsListedWithItsControlFile)
{
    Sandbox box;
    queue_one(box);
    EXPECT_EQ(box.read(kDest + "cf12-3"), kRequest);
    time_t queued = le32(record(box, 1), 16);
    char when[32];
    std::strftime(when, sizeof when, "%H:%M %x", std::localtime(&queued));
    char line[128];
    std::snprintf(line, sizeof line,
                  "  12-3     %16s        alice@example.com    New          5551234\n", when);
    RunResult r = quectl(box, {"-l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, line);

    box.write("req2", "request-id = 13-0\ndestination = 5550000\n");
    r = quectl(box, {"-q", "-v", box.path("req2")});
    EXPECT_EQ(r.out, "slot 2\n");
    r = quectl(box, {"-H"});
    EXPECT_EQ(r.out, "  Magic:    20000214 (GOOD VALUE!)\n  Version:         2 (GOOD VALUE!)\n"
                     "  Max Used:        2\n  Next Free:       1\n  Slot Size:     256\n"
                     "  Offset:         24\n");

    box.write("bad", "request-id = 14-0\ndestination = ../../etc\n");
    r = quectl(box, {"-q", box.path("bad")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Request file " + box.path("bad") + " has no usable destination.\n");
}

TEST(QuectlTest, SuspendActivateDeleteRenameTheFilesAndMarkTheRecord)
{
    Sandbox box;
    queue_one(box);
    RunResult r = quectl(box, {"-s", "-n", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(box.exists(kDest + "cf12-3"));
    EXPECT_EQ(box.read(kDest + "sf12-3"), kRequest);
    EXPECT_EQ(record(box, 1)[0], SLOT_SUSPENDED);
    EXPECT_EQ(record(box, 1).substr(48, 2), std::string("-\0", 2));

    r = quectl(box, {"-s", "-n", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Request 12-3 is already suspended.\n");

    r = quectl(box, {"-a", "-n", "1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(box.exists(kDest + "cf12-3"));
    EXPECT_EQ(record(box, 1)[0], SLOT_REACTIVATED);
    r = quectl(box, {"-a", "-n", "1"});
    EXPECT_EQ(r.out, "Request 12-3 is not suspended.\n");
    r = quectl(box, {"-d", "-n", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Request 12-3 is queued; suspend it first.\n");

    // A suspended request loses its files first, then its slot.
    ASSERT_EQ(quectl(box, {"-s", "-n", "1"}).status, 0);
    EXPECT_EQ(quectl(box, {"-d", "-n", "1"}).out, "");
    EXPECT_FALSE(box.exists(kDest + "sf12-3"));
    EXPECT_TRUE(inuse(box, 1));
    EXPECT_EQ(quectl(box, {"-d", "-n", "1"}).status, 0);
    EXPECT_FALSE(inuse(box, 1));
    EXPECT_EQ(record(box, 1), std::string(256, '\0'));

    r = quectl(box, {"-d", "-n", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Slot 1 is empty.\n");
    r = quectl(box, {"-a", "-n", "7"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Cannot read slot 7 (-3).\n"); // SLOT_SHORT: beyond the last record
}

TEST(QuectlTest, GeneratedQueueAndUsage)
{
    Sandbox box;
    RunResult r = quectl(box, {"-g", "30", "-c", "-e", "me@example.com", "-u", "500"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> lines = lines_of(quectl(box, {"-l"}).out);
    ASSERT_EQ(lines.size(), 30u);
    EXPECT_EQ(lines[0].substr(0, 10), "   1-0    ");
    EXPECT_NE(lines[0].find("me@example.com    New"), std::string::npos) << lines[0];
    EXPECT_NE(lines[4].find("Suspnd"), std::string::npos) << lines[4];
    // Queued requests have a control file, suspended ones a suspended file,
    // finished ones neither.
    std::string dir = std::string(kSpool) + "/destinations/";
    EXPECT_TRUE(box.exists(dir + "5550000/cf1-0"));
    EXPECT_TRUE(box.exists(dir + "5550004/sf5-4"));
    EXPECT_FALSE(box.exists(dir + "5550005/cf6-5"));
    EXPECT_EQ(le32(record(box, 1), 24), 500u);

    for (std::vector<std::string> args :
         {std::vector<std::string>{}, {"-s"}, {"-x"}, {"-q"}, {"-l", "-H"}, {"-g", "many"}}) {
        r = quectl(box, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("usage: quectl ", 0), 0u) << r.err;
        EXPECT_EQ(lines_of(r.err).size(), 1u);
    }
}
