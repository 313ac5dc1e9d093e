// The queue tool's reports: the bitmap's header, the one-line and the full
// report of a request, each field kept to its width.
#include "sys/slotreport.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sys/slotmgmt.h"
#include "tests/harness.h"
#include "tests/sys/slottest.h"

using namespace slottest;

TEST(SlotreportTest, ReportsKeepToTheFieldWidths)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        StatusSlot rec{};
        rec.state = SLOT_SUSPENDED;
        rec.idmajor = 12;
        rec.idminor = 3;
        rec.pagessent = 1;
        rec.pagestotal = 4;
        rec.priority = -1;
        rec.errorcode = 65535;
        rec.owneruid = 1000;
        std::memset(rec.csid, 'C', sizeof rec.csid);
        std::memset(rec.faxline, 'F', sizeof rec.faxline);
        std::memset(rec.sender, 'S', sizeof rec.sender);
        std::memset(rec.handle, 'H', sizeof rec.handle);
        std::memset(rec.phone, 'P', sizeof rec.phone);
        std::memset(rec.subject, 'J', sizeof rec.subject);
        std::memset(rec.recipient, ' ', sizeof rec.recipient);
        QueueEntry e{1, rec};
        printslotline(&e);
        printslot(&rec);
        printstatushdr(nullptr);
        printstatushdr(statuspath());
    });
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 20u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 10), "  12-3    ");
    EXPECT_EQ(lines[0].substr(28), std::string(24, 'S') + " Suspnd " + std::string(16, 'P'));
    EXPECT_EQ(lines[1], "===================================12-3");
    EXPECT_EQ(lines[4], "  Sender         " + std::string(40, 'S'));
    EXPECT_EQ(lines[5], "  Status:        Suspended");
    EXPECT_EQ(lines[6], "  Subject:       " + std::string(24, 'J'));
    EXPECT_EQ(lines[7], "  Reqst handle:  " + std::string(20, 'H'));
    EXPECT_EQ(lines[8], "  Sender email:  " + std::string(24, 'S'));
    EXPECT_EQ(lines[9], "  Faxline:       " + std::string(14, 'F'));
    EXPECT_EQ(lines[10], "  CSID:          " + std::string(20, 'C'));
    EXPECT_EQ(lines[11], "  Phone Number:  " + std::string(24, 'P'));
    EXPECT_EQ(lines[12], "  Dial Number:   ");
    EXPECT_EQ(lines[14], "  Page count:    1/4");
    EXPECT_EQ(lines[15], "  Priority:      -1");
    EXPECT_EQ(lines[16], "  Error code:    65535");
    EXPECT_EQ(lines[17], "  UID:           1000");
    EXPECT_EQ(lines[18], "ERROR - Status Database Report - NULL File Name");
    EXPECT_EQ(lines[19],
              "ERROR - Cannot open status database file (" + box.path(kSpool) + "/status.bm)");
    EXPECT_EQ(r.err, "Status Database File Error: No such file or directory\n");
}
