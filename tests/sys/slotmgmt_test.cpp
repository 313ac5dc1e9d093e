// The status database's files and slots: the bytes of both files,
// allocation and release, records read, written and added, and many
// processes allocating at once.
#include "sys/slotmgmt.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/btree.h"
#include "sys/slotquery.h"
#include "sys/slotrequest.h"
#include "tests/harness.h"
#include "tests/sys/slottest.h"

using namespace slottest;

TEST(SlotmgmtTest, BitmapBytesAllocationAndRelease)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        const char* base = statuspath();
        int a = findslot(base);
        int b = findslot(base);
        int freed = freeslot(1);
        int c = findslot(base);
        int fd = open((std::string(base) + ".bm").c_str(), O_RDONLY);
        std::printf("%d %d %d %d test=%d%d%d\n", a, b, freed, c, testslot(fd, 1, 24),
                    testslot(fd, 2, 24), testslot(fd, 3, 24));
    });
    EXPECT_EQ(r.out,
              printed("1 2 %d 1 test=%d%d%d\n", FREE_OK, SLOTBIT_SET, SLOTBIT_SET, SLOTBIT_CLEAR))
        << r.err;
    std::string file = bm(box);
    ASSERT_EQ(file.size(), 8192u);
    EXPECT_EQ(file.substr(0, 4), std::string("\x14\x02\x00\x20", 4));
    EXPECT_EQ(le32(file, 4), 2u);
    EXPECT_EQ(le32(file, 8), 2u); // max used is never lowered
    EXPECT_EQ(le32(file, 12), 1u);
    EXPECT_EQ(le32(file, 16), 256u);
    EXPECT_EQ(le32(file, 20), 24u);
    EXPECT_EQ(file[24], '\x03');
    EXPECT_EQ(file.find_first_not_of('\0', 25), std::string::npos);
}

TEST(SlotmgmtTest, FullFirstBlockGrowsAndBadMagicFails)
{
    Sandbox box;
    std::string header("\x14\x02\x00\x20\x02\0\0\0\x01\0\0\0\x01\0\0\0\0\x01\0\0\x18\0\0\0", 24);
    box.write(std::string(kSpool) + "/status.bm", header + std::string(8168, '\xff'));
    RunResult r = inside(box, [] {
        int a = findslot(statuspath());
        std::printf("%d %d\n", a, findslot(statuspath()));
    });
    EXPECT_EQ(r.out, "65345 65346\n") << r.err;
    std::string file = bm(box);
    ASSERT_EQ(file.size(), 16384u);
    EXPECT_EQ(file[8192], '\x03');
    EXPECT_EQ(le32(file, 8), 65346u);

    box.write(std::string(kSpool) + "/status.bm",
              "\x15" + header.substr(1) + std::string(8168, '\0'));
    r = inside(box, [] { std::printf("%d\n", findslot(statuspath())); });
    EXPECT_EQ(r.out, printed("%d\n", SLOT_NOALLOC));
    EXPECT_NE(box.read(Sandbox::kLog).find("sbmh bad magic"), std::string::npos);
}

TEST(SlotmgmtTest, RecordBytesOfAnAddedRequest)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        KeyTree keys;
        keytree_set(keys, "priority", "-2");
        keytree_set(keys, "sent-by", "root");
        keytree_set(keys, "mailaddr", "someone@example.com");
        keytree_set(keys, "handle", "twenty-characters-xx"); // fills its field
        keytree_set(keys, "device", "fax:ttyS1:0,555 1234");
        keytree_set(keys, "recipient-name", "Ann");
        keytree_set(keys, "subject", "a subject longer than its field");
        QueueRequest request{"5551234", 0x105, &keys};
        addrequest(70000, 65535, &request);
        std::printf("slotno=%s\n", keytree_lookup(keys, "slotno"));
    });
    EXPECT_EQ(r.out, "slotno=1\n") << r.err;
    std::string file = db(box);
    ASSERT_EQ(file.size(), 512u);
    EXPECT_EQ(file.substr(0, 4), std::string("\x15\x02\x00\x20", 4));
    EXPECT_EQ(file.find_first_not_of('\0', 4), 256u);
    std::string rec = file.substr(256);
    EXPECT_EQ(rec.substr(0, 6), std::string("\x01\0\0\0\x05\0", 6)); // pages total: low byte
    EXPECT_EQ(le16(rec, 6), 0xFFFEu);
    EXPECT_EQ(le16(rec, 8), 0u);
    EXPECT_EQ(le16(rec, 10), 65535u);
    EXPECT_EQ(le32(rec, 12), 70000u);
    std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    EXPECT_LE(now - le32(rec, 16), 5u);
    EXPECT_EQ(le32(rec, 20), le32(rec, 16));
    EXPECT_EQ(le32(rec, 24), 0u);                         // root
    EXPECT_EQ(rec.substr(28, 34), std::string(34, '\0')); // csid, fax line
    EXPECT_EQ(rec.substr(62, 40), "someone@example.com" + std::string(21, '\0'));
    EXPECT_EQ(rec.substr(102, 20), "twenty-characters-xx");
    EXPECT_EQ(rec.substr(122, 24), "5551234" + std::string(17, '\0'));
    EXPECT_EQ(rec.substr(146, 24), "0,555 1234" + std::string(14, '\0'));
    EXPECT_EQ(rec.substr(170, 24), "Ann" + std::string(21, '\0'));
    EXPECT_EQ(rec.substr(194, 24), std::string(24, '\0'));
    EXPECT_EQ(rec.substr(218, 24), "a subject longer than it");
    EXPECT_EQ(rec.substr(242), std::string(14, '\0'));
}

TEST(SlotmgmtTest, ReadEdgesAndNoSpoolDirectory)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        StatusSlot rec;
        put(1, 1, SLOT_NEW);
        int zero = readslot(0, &rec);
        std::printf("%d %02x ", zero, rec.state);
        int beyond = readslot(2, &rec);
        std::printf("%d %d\n", beyond, readslot(-1, &rec));
        int pages = setslotpages(1, 2, 3);
        std::printf("%d %d\n", pages, setsloterror(1, 77));
        setslotcsid(1, "REMOTE CSID");
        setslotstate(1, SLOT_ACTIVE, "ttyS0");
        readslot(1, &rec);
        std::printf("%d %d/%d %d %.20s %.14s\n", rec.state, rec.pagessent, rec.pagestotal,
                    rec.errorcode, rec.csid, rec.faxline);
    });
    EXPECT_EQ(r.out, printed("%d 15 %d %d\n%d %d\n%d 2/3 77 REMOTE CSID ttyS0\n", SLOT_OK,
                             SLOT_SHORT, SLOT_NOSEEK, SLOT_OK, SLOT_OK, SLOT_ACTIVE))
        << r.err;

    Sandbox bare;
    bare.write(Sandbox::kConfig, "zel-directory = /z\n");
    r = inside(bare, [] {
        StatusSlot rec{};
        char cf[PATH_MAX], sf[PATH_MAX];
        std::printf("%s %d %d %d %d\n", statuspath() ? "path" : "null", findslot(statuspath()),
                    readslot(1, &rec), requestfiles(&rec, cf, sf),
                    queryqueue(nullptr, 0, 1, 0, 0, nullptr, nullptr, 0, nullptr));
    });
    EXPECT_EQ(r.out,
              printed("null %d %d %d %d\n", SLOT_NOALLOC, SLOT_NOTOPEN, FILES_NOPATH, SLOT_NOTOPEN))
        << r.err;
}

// Twenty processes allocate, hold and release slots at once.  Each writes
// its pid into the records it holds and checks they stay its own; the
// holding intervals (monotonic clock, shared by all processes) of one slot
// must never overlap, and the final bitmap must be the slots still held.
TEST(SlotmgmtTest, ConcurrentAllocationHandsOutEachSlotOnce)
{
    Sandbox box;
    RunResult r = inside(box, [] {
        // The parent opens nothing: a kept descriptor inherited by the
        // children would share its file offset between them.
        std::vector<pid_t> children;
        for (int c = 0; c < 20; ++c) {
            pid_t pid = fork();
            if (pid != 0) {
                children.push_back(pid);
                continue;
            }
            std::string out;
            std::vector<std::pair<int, long>> held;
            auto clock = [] {
                timespec t;
                clock_gettime(CLOCK_MONOTONIC, &t);
                return t.tv_sec * 1000000000L + t.tv_nsec;
            };
            for (int k = 0; k < 60; ++k) {
                int slot = findslot(statuspath());
                long start = clock();
                StatusSlot rec{};
                rec.state = SLOT_NEW;
                rec.owneruid = getpid();
                writeslot(slot, &rec);
                held.push_back({slot, start});
                if (k % 3 != 2)
                    continue;
                auto [s, since] = held.front();
                held.erase(held.begin());
                StatusSlot now;
                if (readslot(s, &now) != SLOT_OK || now.owneruid != getpid())
                    out += "E lost " + std::to_string(s) + "\n";
                clearslot(s);
                long end = clock();
                if (freeslot(s) != FREE_OK)
                    out += "E free\n";
                out += "H " + std::to_string(s) + " " + std::to_string(since) + " " +
                       std::to_string(end) + "\n";
            }
            for (auto [s, since] : held) {
                StatusSlot now;
                if (readslot(s, &now) != SLOT_OK || now.owneruid != getpid())
                    out += "E lost " + std::to_string(s) + "\n";
                out += "K " + std::to_string(s) + " " + std::to_string(since) + "\n";
            }
            (void)!write(1, out.data(), out.size());
            _exit(0);
        }
        for (pid_t pid : children)
            waitpid(pid, nullptr, 0);
    });
    EXPECT_EQ(r.err, "");
    std::map<int, std::vector<std::pair<long, long>>> intervals;
    std::set<int> kept;
    for (const std::string& line : lines_of(r.out)) {
        std::istringstream in(line);
        char kind;
        int slot;
        long start, end = 0x7FFFFFFFFFFFFFFF;
        in >> kind >> slot >> start;
        ASSERT_NE(kind, 'E') << line;
        if (kind == 'H')
            in >> end;
        else
            EXPECT_TRUE(kept.insert(slot).second) << "slot " << slot << " kept twice";
        intervals[slot].push_back({start, end});
    }
    EXPECT_EQ(kept.size(), 20u * 40);
    for (auto& [slot, list] : intervals) {
        std::sort(list.begin(), list.end());
        for (std::size_t i = 1; i < list.size(); ++i)
            EXPECT_LT(list[i - 1].second, list[i].first) << "slot " << slot << " held twice";
    }
    std::string file = bm(box);
    std::set<int> inuse;
    for (std::size_t i = 24; i < file.size(); ++i)
        for (int b = 0; b < 8; ++b)
            if (static_cast<unsigned char>(file[i]) >> b & 1)
                inuse.insert(static_cast<int>((i - 24) * 8 + b + 1));
    EXPECT_EQ(inuse, kept);
}

TEST(SlotmgmtTest, CreationRaceHasOneCreator)
{
    Sandbox box;
    // Several rounds: the window in which processes find no file is short.
    for (int round = 0; round < 8; ++round) {
        box.remove(std::string(kSpool) + "/status.bm");
        RunResult r = inside(box, [] {
            int gate[2];
            if (pipe(gate) != 0)
                return;
            std::vector<pid_t> children;
            for (int c = 0; c < 20; ++c) {
                pid_t pid = fork();
                if (pid == 0) {
                    close(gate[1]);
                    char x;
                    (void)!read(gate[0], &x, 1); // all start when the gate closes
                    std::string line = std::to_string(findslot(statuspath())) + "\n";
                    (void)!write(1, line.data(), line.size());
                    _exit(0);
                }
                children.push_back(pid);
            }
            close(gate[1]);
            for (pid_t pid : children)
                waitpid(pid, nullptr, 0);
        });
        std::set<int> slots;
        for (const std::string& line : lines_of(r.out))
            slots.insert(std::stoi(line));
        std::set<int> expected;
        for (int i = 1; i <= 20; ++i)
            expected.insert(i);
        ASSERT_EQ(slots, expected) << r.out << r.err;
        std::string file = bm(box);
        ASSERT_EQ(file.size(), 8192u);
        EXPECT_EQ(file.substr(24, 4), std::string("\xff\xff\x0f\x00", 4));
        EXPECT_EQ(le32(file, 8), 20u);
        // No temporary file is left beside it.
        EXPECT_EQ(shell_output("ls " + box.path(kSpool)), "log\nstatus.bm\n");
    }
}
