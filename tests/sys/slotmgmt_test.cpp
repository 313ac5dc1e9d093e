// The status database: the bytes of both files, allocation and release,
// the query and statistics scans, the request operations, the reports,
// and many processes allocating at once.  Each case runs in a forked child
// that has loaded a sandbox configuration, so the module's kept
// descriptors start fresh; the child prints what it saw.
#include "sys/slotmgmt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "lib/filelock.h"
#include "lib/log.h"
#include "tests/harness.h"

namespace {

constexpr const char* kSpool = "var/opt/vantrel";

RunResult inside(const Sandbox& box, const std::function<void()>& body)
{
    return box.run_forked([&] {
        logsetprogram("slottest");
        config_load_or_exit();
        body();
    });
}

// What a child prints with `format`, so that expectations name the codes.
template <typename... Codes>
std::string printed(const char* format, Codes... codes)
{
    char text[256];
    // The formats are the tests' own literals.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(text, sizeof text, format, codes...);
#pragma GCC diagnostic pop
    return text;
}

std::string bm(const Sandbox& box) { return box.read(std::string(kSpool) + "/status.bm"); }
std::string db(const Sandbox& box) { return box.read(std::string(kSpool) + "/status.db"); }

// A record with its times as given (writeslot would stamp now), in a
// freshly allocated slot.  The slot number.
int put(unsigned major, unsigned minor, int state, const char* sender = "a@x",
        std::uint32_t changed = 0, const char* phone = "5551234")
{
    StatusSlot r{};
    r.state = static_cast<std::uint8_t>(state);
    r.idmajor = major;
    r.idminor = static_cast<std::uint16_t>(minor);
    r.timequeued = changed ? changed : static_cast<std::uint32_t>(std::time(nullptr));
    r.timechanged = r.timequeued;
    r.owneruid = static_cast<std::int32_t>(major % 3);
    slotfieldcopy(r.sender, sizeof r.sender, sender);
    slotfieldcopy(r.handle, sizeof r.handle, ("h" + std::to_string(major)).c_str());
    slotfieldcopy(r.phone, sizeof r.phone, phone);
    int slot = findslot(statuspath());
    if (pwrite(opendb(statuspath()), &r, sizeof r, slot * 256L) != sizeof r)
        std::printf("pwrite failed\n");
    return slot;
}

} // namespace

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

TEST(SlotmgmtTest, QueryKeepsTheNewestOrTheOldestWithCounts)
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

TEST(SlotmgmtTest, StatisticsByStateAndAge)
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

TEST(SlotmgmtTest, SuspendActivateDeleteWithTheirFiles)
{
    Sandbox box;
    std::string dir = std::string(kSpool) + "/destinations/5551234/";
    box.write(dir + "cf1-0", "request-id = 1-0\n");
    const std::string datadir = std::string(kSpool) + "/data/";
    box.write(datadir + "cover", "c");
    box.write(datadir + "d1", "1");
    box.write(datadir + "d2", "2");
    box.write(datadir + "d4", "4");
    std::string data = box.path(datadir);
    RunResult r = inside(box, [&] {
        QueueEntry e{put(1, 0, SLOT_WAITING), {}};
        readslot(e.slot, &e.record);
        // Each call in its own statement: they depend on each other's effects.
        auto say = [](int v) { std::printf("%d ", v); };
        say(activaterequest(&e));
        say(suspendrequest(&e));
        StatusSlot now;
        readslot(e.slot, &now);
        std::printf("%d %.14s ", now.state, now.faxline);
        say(suspendrequest(&e));
        say(activaterequest(&e));
        readslot(e.slot, &now);
        std::printf("%d %.14s ", now.state, now.faxline);
        std::printf("%d\n", deleterequest(&e));
        // A process working on the request holds a lock on its control file.
        char cf[PATH_MAX], sf[PATH_MAX];
        requestfiles(&e.record, cf, sf);
        int held[2], go[2];
        if (pipe(held) != 0 || pipe(go) != 0)
            return;
        if (fork() == 0) {
            int fd = open(cf, O_RDWR);
            lock_wait_write(fd);
            (void)!write(held[1], "x", 1);
            char c;
            (void)!read(go[0], &c, 1);
            _exit(0);
        }
        char c;
        (void)!read(held[0], &c, 1);
        std::printf("%d ", suspendrequest(&e));
        (void)!write(go[1], "x", 1);
        wait(nullptr);
        std::printf("%d ", suspendrequest(&e));
        FILE* f = std::fopen(sf, "w");
        std::fprintf(f,
                     "retry-coversheet = %scover\ndata-file1 = %sd1\ndata-file2 = %sd2\n"
                     "data-file4 = %sd4\n",
                     data.c_str(), data.c_str(), data.c_str(), data.c_str());
        std::fclose(f);
        say(deleterequest(&e));
        say(requestfiles(&e.record, cf, sf));
        int fd = open((std::string(statuspath()) + ".bm").c_str(), O_RDONLY);
        say(testslot(fd, e.slot, 24));
        say(deleterequest(&e));
        say(testslot(fd, e.slot, 24));
        std::printf("%d\n", readslot(e.slot, &now) == SLOT_OK && now.state == SLOT_EMPTY &&
                                now.idmajor == 0);
    });
    EXPECT_EQ(r.out, printed("%d %d %d - %d %d %d - %d\n%d %d %d %d %d %d %d 1\n", ACTIVATE_QUEUED,
                             SUSPEND_OK, SLOT_SUSPENDED, SUSPEND_ALREADY, ACTIVATE_OK,
                             SLOT_REACTIVATED, DELETE_QUEUED, SUSPEND_LOCKED, SUSPEND_OK, DELETE_OK,
                             FILES_NONE, SLOTBIT_SET, DELETE_OK, SLOTBIT_CLEAR))
        << r.err;
    EXPECT_FALSE(box.exists(dir + "cf1-0"));
    EXPECT_FALSE(box.exists(dir + "sf1-0"));
    EXPECT_FALSE(box.exists(datadir + "cover"));
    EXPECT_FALSE(box.exists(datadir + "d1"));
    EXPECT_FALSE(box.exists(datadir + "d2"));
    EXPECT_TRUE(box.exists(datadir + "d4")); // the numbering stops at the first gap
}

TEST(SlotmgmtTest, DeletionRemovesOnlyFilesInsideTheSpool)
{
    Sandbox box;
    // The configuration reaches the spool through a symbolic link.
    ASSERT_EQ(symlink(box.path(kSpool).c_str(), box.path("spool").c_str()), 0);
    std::string config = box.default_config();
    config.replace(config.find(box.path(kSpool)), box.path(kSpool).size(), box.path("spool"));
    box.write(Sandbox::kConfig, config);
    const std::string in = std::string(kSpool) + "/data/";
    const std::string sfpath = std::string(kSpool) + "/destinations/5551234/sf1-0";
    const char* const inside_names[] = {"cover", "d1", "d2"};
    // Links in the spool lead out of it, or elsewhere in it; none is followed.
    const char* const outside_files[] = {"outside/abs",       "outside/up",
                                         "outside/target",    "var/opt/vantrel2/sib",
                                         "outside/dir/f",     "var/opt/vantrel/other/g",
                                         "outside/dest/sf2-0"};
    for (const char* name : inside_names)
        box.write(in + name, "in");
    for (const char* file : outside_files)
        box.write(file, "out");
    const struct {
        const char* link;
        std::string target;
    } links[] = {
        {"data/link", box.path("outside/target")},
        {"data/outdir", box.path("outside/dir")},
        {"data/indir", box.path("var/opt/vantrel/other")},
        {"destinations/5550000", box.path("outside/dest")},
    };
    box.write(sfpath, "");
    for (const auto& l : links)
        ASSERT_EQ(symlink(l.target.c_str(), box.path(std::string(kSpool) + "/" + l.link).c_str()),
                  0);
    const struct {
        std::string name; // as the suspended file gives it
        bool logged;      // skipped with a log line
    } names[] = {
        {box.path("spool/data/d1"), false},
        {"data/./d2", false},
        {"data/gone", false},
        {box.path("outside/abs"), true},
        {"../../../outside/up", true},
        {box.path("var/opt/vantrel2/sib"), true},
        {box.path(in + "link"), true},
        {"data/outdir/f", true},
        {box.path("spool/data/indir/g"), true},
    };
    std::string sf = "retry-coversheet = " + box.path(in + "cover") + "\n";
    for (std::size_t i = 0; i < std::size(names); ++i)
        sf += "data-file" + std::to_string(i + 1) + " = " + names[i].name + "\n";
    box.write(sfpath, sf);
    RunResult r = inside(box, [] {
        QueueEntry e{put(1, 0, SLOT_SUSPENDED), {}};
        readslot(e.slot, &e.record);
        std::printf("%d ", deleterequest(&e));
        std::printf("%d ", deleterequest(&e));
        int fd = open((std::string(statuspath()) + ".bm").c_str(), O_RDONLY);
        std::printf("%d ", testslot(fd, e.slot, 24));
        QueueEntry linked{put(2, 0, SLOT_SUSPENDED, "a@x", 0, "5550000"), {}};
        readslot(linked.slot, &linked.record);
        std::printf("%d\n", deleterequest(&linked));
    });
    EXPECT_EQ(r.out, printed("%d %d %d %d\n", DELETE_OK, DELETE_OK, SLOTBIT_CLEAR, DELETE_NOREAD))
        << r.err;
    EXPECT_FALSE(box.exists(sfpath));
    for (const char* name : inside_names)
        EXPECT_FALSE(box.exists(in + name)) << name;
    for (const char* file : outside_files)
        EXPECT_EQ(box.read(file), "out") << file;
    std::string log = box.read(Sandbox::kLog);
    for (const auto& n : names)
        EXPECT_EQ(log.find("]: Request 1-0: not removing " + n.name + ": ") != std::string::npos,
                  n.logged)
            << n.name << "\n"
            << log;
    EXPECT_NE(log.find("]: Request 2-0: not reading destinations/5550000/sf2-0: "),
              std::string::npos)
        << log;
    EXPECT_EQ(lines_of(log).size(), 7u) << log;
}

// A number that could lead out of destinations/ has no files; one with a
// "/" inside names a directory below another.
TEST(SlotmgmtTest, PhoneNumbersThatAreNotADirectoryNameHaveNoFiles)
{
    Sandbox box;
    box.write(std::string(kSpool) + "/cf1-0", "");
    box.write(std::string(kSpool) + "/destinations/cf1-0", "");
    box.write(std::string(kSpool) + "/destinations/089/1234/sf1-0", "");
    RunResult r = inside(box, [] {
        for (const char* phone :
             {"..", ".", "", "../destinations", "a/../..", "/tmp", "089/1234"}) {
            StatusSlot rec{};
            rec.idmajor = 1;
            slotfieldcopy(rec.phone, sizeof rec.phone, phone);
            char cf[PATH_MAX] = "x", sf[PATH_MAX] = "x";
            int files = requestfiles(&rec, cf, sf);
            const char* below = std::strstr(sf, "/destinations/");
            std::printf("%d[%s] ", files, below ? below : "");
        }
        std::printf("\n");
    });
    EXPECT_EQ(r.out, printed("%d[] %d[] %d[] %d[] %d[] %d[] %d[/destinations/089/1234/sf1-0] \n",
                             FILES_NONE, FILES_NONE, FILES_NONE, FILES_NONE, FILES_NONE, FILES_NONE,
                             FILES_SUSPENDED))
        << r.err;
}

TEST(SlotmgmtTest, ReportsKeepToTheFieldWidths)
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
