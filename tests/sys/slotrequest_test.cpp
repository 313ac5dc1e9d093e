// A request's files: suspend, activate and delete with the files they
// rename and remove, a deletion that stays inside the spool directory, and
// phone numbers that name no destination directory.
#include "sys/slotrequest.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/filelock.h"
#include "sys/slotmgmt.h"
#include "tests/harness.h"
#include "tests/sys/slottest.h"

using namespace slottest;

TEST(SlotrequestTest, SuspendActivateDeleteWithTheirFiles)
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

TEST(SlotrequestTest, DeletionRemovesOnlyFilesInsideTheSpool)
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
TEST(SlotrequestTest, PhoneNumbersThatAreNotADirectoryNameHaveNoFiles)
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
