// The scans of the record file: the bounded query by request id with its
// counts and filters, and the statistics by state and age.
#include "sys/slotquery.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sys/slotmgmt.h"
#include "tests/harness.h"
#include "tests/sys/slottest.h"

using namespace slottest;

TEST(SlotqueryTest, QueryKeepsTheNewestOrTheOldestWithCounts)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        // Ids in a shuffled order, so that the kept extreme has to move.
        for (int i = 0; i < 30; ++i) {
            int major = 1 + (i * 7) % 30;
            put(static_cast<unsigned>(major), static_cast<unsigned>(major % 2), SLOT_WAITING,
                major % 3 ? "A@X" : "b@y");
        }
        auto show = [](int older, unsigned bound, unsigned minor, int kind, const char* value) {
            QueueEntry e[25];
            int newer = -1, olderc = -1;
            int n = queryqueue(e, 25, older, bound, minor, &newer, &olderc, kind, value);
            std::vector<unsigned> ids;
            for (int i = 0; i < n; ++i)
                ids.push_back(e[i].record.idmajor);
            std::sort(ids.begin(), ids.end());
            std::printf("n=%d newer=%d older=%d", n, newer, olderc);
            if (n > 0)
                std::printf(" %u..%u", ids.front(), ids.back());
            std::printf("\n");
        };
        show(1, 0, 0, QUERY_ALL, nullptr);
        show(1, 26, 0, QUERY_ALL, nullptr); // older than 26-0
        show(0, 5, 1, QUERY_ALL, nullptr);  // newer than 5-1
        show(0, 5, 0, QUERY_ALL, nullptr);  // 5-1 is newer than 5-0
        show(1, 0, 0, QUERY_SENDER, "a@x"); // ignoring case
        show(1, 0, 0, QUERY_HANDLE, "h12");
        show(1, 0, 0, QUERY_ID, "13-1");
        show(1, 0, 0, QUERY_UID, "0");
    });
    EXPECT_EQ(r.out, "n=25 newer=0 older=5 6..30\n"
                     "n=25 newer=5 older=0 1..25\n"
                     "n=25 newer=0 older=5 6..30\n"
                     "n=25 newer=1 older=4 5..29\n"
                     "n=20 newer=0 older=0 1..29\n"
                     "n=1 newer=0 older=0 12..12\n"
                     "n=1 newer=0 older=0 13..13\n"
                     "n=10 newer=0 older=0 3..30\n")
        << r.err;
}

TEST(SlotqueryTest, StatisticsByStateAndAge)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        QueueStats all, mine;
        auto show = [&](const QueueStats& s) {
            std::printf("%d %d %d %d %d %d %d %d %d %d %d\n", s.active, s.waiting, s.suspended,
                        s.delayed, s.sent, s.failed, s.since, s.senthour, s.failedhour, s.sentday,
                        s.failedday);
        };
        std::printf("%d\n", queuestats(&all, &mine, nullptr, 0));
        show(all);
        std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
        put(1, 0, SLOT_SENT, "a@x", now - 7200);
        put(2, 0, SLOT_FAILED, "b@y", now - 100);
        put(3, 0, SLOT_FAILED, "A@x", now - 90000);
        int s = put(4, 0, SLOT_REACTIVATED, "b@y", 1000);
        put(5, 0, SLOT_SUSPENDED);
        put(6, 0, 42);
        clearslot(s);
        std::printf("%d\n", queuestats(&all, &mine, "a@X", 0));
        show(all);
        show(mine);
        std::printf("since=%d\n", all.since == static_cast<std::int32_t>(now - 90000));
    });
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 6u) << r.out << r.err;
    EXPECT_EQ(lines[0] + "|" + lines[1] + "|" + lines[2], "0|0 0 0 0 0 0 2147483647 0 0 0 0|5");
    auto counters = [](const std::string& line) { // without since
        std::istringstream in(line);
        std::vector<long> v(11);
        for (long& x : v)
            in >> x;
        v.erase(v.begin() + 6);
        return v;
    };
    EXPECT_EQ(counters(lines[3]), (std::vector<long>{0, 0, 1, 0, 1, 2, 0, 1, 1, 0}));
    EXPECT_EQ(counters(lines[4]), (std::vector<long>{0, 0, 1, 0, 1, 1, 0, 0, 1, 0}));
    EXPECT_EQ(lines[5], "since=1");
}
