// replacefile: the whole-file rewrite that no reader sees torn.  Each case
// checks what is left on disk: the content, owner and mode, links, the
// rewrite in place where only the file may be written, and that no fresh
// file stays behind when the rewrite is given up or killed.
#include "lib/replacefile.h"

#include "lib/journal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

const std::string kOld = "old content, old content\n";

int writes(FILE* file, const char* text) { return std::fputs(text, file) < 0 ? 1 : 0; }

// Sets a file's times `seconds` into the past.
void age(const std::string& path, int seconds)
{
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace

TEST(ReplacefileTest, ReplacesContentKeepingOwnerAndMode)
{
    Sandbox box;
    box.write("data/file", "old content\n", 0640);
    std::string path = box.path("data/file");
    if (running_as_root()) {
        ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
    }
    ino_t old = status_of(path).st_ino;

    EXPECT_EQ(replacefile(path.c_str(), [](FILE* f) { return writes(f, "new\n"); }), REPLACE_OK);
    EXPECT_EQ(box.read("data/file"), "new\n");
    struct stat st = status_of(path);
    EXPECT_NE(st.st_ino, old); // a new file, renamed into place
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (running_as_root()) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }
    EXPECT_EQ(entries(box.path("data")), std::vector<std::string>{"file"});
}

TEST(ReplacefileTest, MissingFileIsCreatedWithTheUmasksMode)
{
    Sandbox box;
    std::filesystem::create_directories(box.path("data"));
    std::string path = box.path("data/new");
    mode_t mask = umask(027);
    int result = replacefile(path.c_str(), [](FILE* f) { return writes(f, "x"); });
    umask(mask);
    EXPECT_EQ(result, REPLACE_OK);
    EXPECT_EQ(box.read("data/new"), "x");
    EXPECT_EQ(status_of(path).st_mode & 07777, 0640u);
}

// A creation takes only a free name: a file or a link there, even one
// that leads nowhere, stays as it was, and no fresh file is left.
TEST(ReplacefileTest, CreationTakesOnlyAFreeName)
{
    Sandbox box;
    box.write("data/taken", "old\n");
    ASSERT_EQ(symlink("nowhere", box.path("data/dangling").c_str()), 0);
    auto create = [&](const char* name) {
        return createnewfile(box.path(std::string("data/") + name).c_str(),
                             [](FILE* f) { return writes(f, "new\n"); });
    };
    mode_t mask = umask(027);
    EXPECT_EQ(create("free"), REPLACE_OK);
    EXPECT_EQ(create("taken"), REPLACE_EXISTS);
    EXPECT_EQ(create("dangling"), REPLACE_EXISTS);
    EXPECT_EQ(create("free"), REPLACE_EXISTS);
    umask(mask);
    EXPECT_EQ(box.read("data/free"), "new\n");
    EXPECT_EQ(status_of(box.path("data/free")).st_mode & 07777, 0640u);
    EXPECT_EQ(box.read("data/taken"), "old\n");
    EXPECT_EQ(std::filesystem::read_symlink(box.path("data/dangling")).string(), "nowhere");
    EXPECT_EQ(entries(box.path("data")), (std::vector<std::string>{"dangling", "free", "taken"}));
}

TEST(ReplacefileTest, SymlinkKeepsTheLinkAndReplacesItsTarget)
{
    Sandbox box;
    box.write("real/target", "old\n", 0600);
    std::filesystem::create_directories(box.path("links"));
    std::string link = box.path("links/name");
    ASSERT_EQ(symlink("../real/target", link.c_str()), 0);

    EXPECT_EQ(replacefile(link.c_str(), [](FILE* f) { return writes(f, "new\n"); }), REPLACE_OK);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), "../real/target");
    EXPECT_EQ(box.read("real/target"), "new\n");
    EXPECT_EQ(status_of(box.path("real/target")).st_mode & 07777, 0600u);
    EXPECT_EQ(entries(box.path("real")), std::vector<std::string>{"target"});
    EXPECT_EQ(entries(box.path("links")), std::vector<std::string>{"name"});
}

TEST(ReplacefileTest, FailingWriterLeavesTheOldFileAndNoFreshOne)
{
    Sandbox box;
    box.write("data/file", "old content\n");
    std::string path = box.path("data/file");
    int result = replacefile(path.c_str(), [](FILE* f) {
        writes(f, "half of it");
        errno = ENOSPC;
        return 1;
    });
    EXPECT_EQ(result, REPLACE_NOWRITE);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(box.read("data/file"), "old content\n");
    EXPECT_EQ(entries(box.path("data")), std::vector<std::string>{"file"});
}

TEST(ReplacefileTest, NoFreshFileMeansNotOpen)
{
    Sandbox box;
    std::string missing = box.path("nowhere/file");
    EXPECT_EQ(replacefile(missing.c_str(), [](FILE*) { return 0; }), REPLACE_NOTOPEN);
    EXPECT_EQ(errno, ENOENT);

    box.write("locked/file", "old\n");
    std::string dir = box.path("locked");
    std::string path = dir + "/file";
    auto attempt = [&] {
        int result = replacefile(path.c_str(), [](FILE* f) { return writes(f, "new\n"); });
        std::printf("%d %d", result, errno);
    };
    RunResult r;
    if (running_as_root()) {
        // Root writes any directory; the locked one belongs to root.
        r = box.run_forked([&] {
            if (setgid(65534) == 0 && setuid(65534) == 0)
                attempt();
        });
    } else {
        // The file must refuse too, or it is rewritten in place.
        ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
        ASSERT_EQ(chmod(path.c_str(), 0444), 0);
        r = box.run_forked(attempt);
        chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(r.out, std::to_string(REPLACE_NOTOPEN) + " " + std::to_string(EACCES));
    EXPECT_EQ(box.read("locked/file"), "old\n");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"file"});
}

// A common set-up: the web server's user may write the file but not the
// directory.  Run as that user ("nobody"), which needs root to arrange.
TEST(ReplacefileTest, WhereOnlyTheFileIsWritableItIsRewrittenInPlace)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run the rewrite as another user";
    const std::string longer = "the new content, longer than the old one\n";
    struct Case {
        const char* what;
        uid_t dirowner;
        mode_t dirmode;
        gid_t filegroup;
        mode_t filemode;
        rlim_t sizelimit;  // 0: none
        const char* spool; // where the journal goes, owned by nobody
        int result;
        int error;
        bool sameinode;
        std::string content;
    } cases[] = {
        {"writable directory", kNobody, 0755, kNobody, 0664, 0, "spool", REPLACE_OK, 0, false,
         longer},
        {"group-writable file", 0, 0755, kNobody, 0664, 0, "spool", REPLACE_OK, 0, true, longer},
        {"other-writable file", 0, 0755, 0, 0666, 0, "spool", REPLACE_OK, 0, true, longer},
        // The fresh file is made and written, but only root may rename
        // over root's file: what was written goes over it in place.
        {"sticky directory", 0, 01777, 0, 0666, 0, "spool", REPLACE_OK, 0, true, longer},
        {"read-only file", 0, 0755, kNobody, 0644, 0, "spool", REPLACE_NOTOPEN, EACCES, true, kOld},
        // No room for the journal, let alone the longer content: refused
        // before a byte is written.
        {"file size limit", 0, 0755, kNobody, 0664, 30, "spool", REPLACE_NOJOURNAL, EFBIG, true,
         kOld},
        // Without a journal a kill could leave the file torn.
        {"no spool directory", 0, 0755, kNobody, 0664, 0, "", REPLACE_NOJOURNAL, EACCES, true,
         kOld},
        {"spool directory not writable", 0, 0755, kNobody, 0664, 0, "data", REPLACE_NOJOURNAL,
         EACCES, true, kOld},
    };
    for (const Case& c : cases) {
        Sandbox box;
        box.write("data/file", kOld, c.filemode);
        std::string dir = box.path("data");
        std::string path = dir + "/file";
        std::string spool = box.path("spool");
        std::filesystem::create_directory(spool);
        ASSERT_EQ(chown(spool.c_str(), kNobody, kNobody), 0);
        ASSERT_EQ(chown(dir.c_str(), c.dirowner, c.dirowner), 0);
        ASSERT_EQ(chmod(dir.c_str(), c.dirmode), 0);
        ASSERT_EQ(chown(path.c_str(), 0, c.filegroup), 0);
        ino_t before = status_of(path).st_ino;
        RunResult r = box.run_forked([&] {
            journal_setdir(*c.spool ? box.path(c.spool).c_str() : nullptr);
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit{c.sizelimit, c.sizelimit};
            if (c.sizelimit != 0 && setrlimit(RLIMIT_FSIZE, &limit) != 0)
                return;
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
                return;
            int result =
                replacefile(path.c_str(), [&](FILE* f) { return writes(f, longer.c_str()); });
            std::printf("%d %d", result, result == REPLACE_OK ? 0 : errno);
        });
        EXPECT_EQ(r.out, std::to_string(c.result) + " " + std::to_string(c.error)) << c.what;
        EXPECT_EQ(box.read("data/file"), c.content) << c.what;
        struct stat st = status_of(path);
        EXPECT_EQ(st.st_ino == before, c.sameinode) << c.what;
        EXPECT_EQ(st.st_mode & 07777, c.filemode) << c.what;
        EXPECT_EQ(st.st_gid, c.filegroup) << c.what;
        EXPECT_EQ(entries(dir), std::vector<std::string>{"file"}) << c.what;
        EXPECT_EQ(entries(spool), std::vector<std::string>{}) << c.what;
    }
}

TEST(ReplacefileTest, KilledRewriteLeavesNoFreshFile)
{
    Sandbox box;
    box.write("data/file", "old content\n");
    std::string path = box.path("data/file");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        replacefile(path.c_str(), [&](FILE* f) {
            writes(f, "half of the new");
            (void)!write(ready[1], "x", 1);
            pause();
            return 0;
        });
        _exit(0);
    }
    char c = 0;
    EXPECT_EQ(read(ready[0], &c, 1), 1);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(box.read("data/file"), "old content\n");
    EXPECT_EQ(entries(box.path("data")), std::vector<std::string>{"file"});
}

// What a killed rewrite may have left goes at the next rewrite of the same
// file: a hidden fresh name of that file, a minute old and unlocked, and
// nothing else.
TEST(ReplacefileTest, StaleFreshFilesOfTheSameFileAreRemoved)
{
    Sandbox box;
    box.write("data/file", "old\n");
    std::string dir = box.path("data");
    std::vector<std::string> kept = {
        ".file.AbC12",  ".file.AbC1234", ".file.AbC12-", ".other.AbC123", "file.AbC123",
        ".file.Young1", ".file.Lockd1",  ".file.Dir123", ".file.Lnk123",  "file"};
    for (const std::string& name : kept) {
        if (name == ".file.Dir123")
            std::filesystem::create_directory(dir + "/" + name);
        else if (name == ".file.Lnk123")
            ASSERT_EQ(symlink("file", (dir + "/" + name).c_str()), 0);
        else if (name != "file")
            box.write("data/" + name, "partial");
        if (name != ".file.Young1")
            age(dir + "/" + name, 300);
    }
    box.write("data/.file.AbC123", "partial", 0600);
    age(dir + "/.file.AbC123", 300);
    // A rewrite that is still writing holds its fresh file's lock.
    int live = open((dir + "/.file.Lockd1").c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(live, F_OFD_SETLK, &lock), 0);

    EXPECT_EQ(replacefile((dir + "/file").c_str(), [](FILE* f) { return writes(f, "new\n"); }),
              REPLACE_OK);
    close(live);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(entries(dir), kept);
    EXPECT_EQ(box.read("data/file"), "new\n");
}

// A file torn by a rewrite of an earlier release holds a tail of zeros;
// when a rewrite in place fails, what it puts back (and what its journal
// keeps) is the file as its readers read it, without them.
TEST(ReplacefileTest, ANulTailOfAnEarlierTearIsNeverWrittenBack)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root to run the rewrite as another user";
    Sandbox box;
    box.write("data/file", std::string("a = 1\nb = 2") + std::string(200, '\0'), 0664);
    std::string path = box.path("data/file");
    std::string spool = box.path("spool");
    std::filesystem::create_directory(spool);
    ASSERT_EQ(chown(spool.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chown(path.c_str(), 0, kNobody), 0);
    RunResult r = box.run_forked([&] {
        journal_setdir(spool.c_str());
        signal(SIGXFSZ, SIG_IGN);
        // Room for the journal, not for the new content.
        rlimit limit{400, 400};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            return;
        std::string fresh(1000, 'x');
        int result = replacefile(path.c_str(), [&](FILE* f) { return writes(f, fresh.c_str()); });
        std::printf("%d %d", result, errno);
    });
    EXPECT_EQ(r.out, std::to_string(REPLACE_NOWRITE) + " " + std::to_string(EFBIG));
    EXPECT_EQ(box.read("data/file"), "a = 1\nb = 2");
    EXPECT_EQ(entries(spool), std::vector<std::string>{});
}

// A reader takes the shared lock where some writer of the file may not
// write its directory, so would rewrite it in place, and only there.
TEST(ReplacefileTest, AReaderLocksWhereTheFileMayBeRewrittenInPlace)
{
    struct Case {
        const char* what;
        uid_t dirowner; // -1: the test's own
        mode_t dirmode;
        uid_t fileowner;
        gid_t filegroup;
        mode_t filemode;
        bool link; // read through a symbolic link to the file
        bool locked;
    } cases[] = {
        {"the owner's file in the owner's directory", -1u, 0755, -1u, -1u, 0644, false, false},
        {"a read-only file", -1u, 0755, -1u, -1u, 0444, false, false},
        {"a file anybody may write", -1u, 0755, -1u, -1u, 0666, false, true},
        {"a sticky directory", -1u, 01777, -1u, -1u, 0644, false, true},
        {"a directory anybody may write", -1u, 0777, -1u, -1u, 0666, false, false},
        {"through a symbolic link", -1u, 0755, -1u, -1u, 0644, true, true},
        {"root's file, root's directory", 0, 0755, 0, 0, 0644, false, false},
        {"a group's file in root's directory", 0, 0755, 0, kNobody, 0664, false, true},
        {"the owner's file in another's directory", 0, 0755, kNobody, kNobody, 0644, false, true},
    };
    for (const Case& c : cases) {
        if ((c.dirowner != -1u || c.fileowner != -1u) && !running_as_root())
            continue;
        Sandbox box;
        box.write("data/file", "content\n", c.filemode);
        std::string dir = box.path("data");
        std::string path = dir + "/file";
        if (c.fileowner != -1u) {
            ASSERT_EQ(chown(path.c_str(), c.fileowner, c.filegroup), 0);
        }
        if (c.dirowner != -1u) {
            ASSERT_EQ(chown(dir.c_str(), c.dirowner, c.dirowner), 0);
        }
        ASSERT_EQ(chmod(dir.c_str(), c.dirmode), 0);
        std::string named = path;
        if (c.link) {
            named = box.path("link");
            ASSERT_EQ(symlink(path.c_str(), named.c_str()), 0);
        }
        int fd = replacefile_open_read(named.c_str());
        ASSERT_GE(fd, 0) << c.what;
        int other = open(path.c_str(), O_RDONLY);
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        ASSERT_EQ(fcntl(other, F_OFD_GETLK, &probe), 0);
        EXPECT_EQ(probe.l_type == F_RDLCK, c.locked) << c.what;
        close(other);
        close(fd);
    }
}
