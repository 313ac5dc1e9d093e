#include "lib/createfile.h"

#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/log.h"
#include "tests/harness.h"

TEST(CreatefileTest, MissingParentsTakeTheDeepestAncestorsOwner)
{
    if (!running_as_root())
        GTEST_SKIP() << "giving directories another owner needs root";
    Sandbox box;
    std::string first = box.path("first");
    ASSERT_EQ(mkdir(first.c_str(), 0755), 0);
    ASSERT_EQ(chown(first.c_str(), 1234, 5678), 0);

    mode_t old = umask(077); // the explicit chmod wins over the umask
    int fd = createfile((first + "/a/b/file").c_str(), 0640);
    umask(old);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const char* dir : {"/a", "/a/b"}) {
        struct stat st = status_of(first + dir);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0750u) << dir;
        EXPECT_EQ(st.st_uid, 1234u) << dir;
        EXPECT_EQ(st.st_gid, 5678u) << dir;
    }
    EXPECT_TRUE(S_ISREG(status_of(first + "/a/b/file").st_mode));
}

TEST(CreatefileTest, DirectoryModeFollowsTheFileMode)
{
    Sandbox box;
    mode_t old = umask(0);
    int fd = createfile(box.path("p/q/f").c_str(), 0604);
    umask(old);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(status_of(box.path("p")).st_mode & 07777, 0705u);
    EXPECT_EQ(status_of(box.path("p/q")).st_mode & 07777, 0705u);

    fd = createfile(box.path("r/f").c_str(), 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(status_of(box.path("r")).st_mode & 07777, 0700u);
}

TEST(CreatefileTest, TruncatesAnExistingFile)
{
    Sandbox box;
    box.write("existing", "old contents");
    int fd = createfile(box.path("existing").c_str(), 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(box.read("existing"), "");
}

TEST(CreatefileTest, RelativePathsWorkFromTheCurrentDirectory)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        int fd = createfile("rel/dir/file", 0644); // run_forked works in the sandbox
        _exit(fd >= 0 ? 0 : 1);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(box.exists("rel/dir/file"));
}

TEST(CreatefileTest, FailuresAreLoggedWithPathAndReason)
{
    Sandbox box;
    box.write("plain", "a file, not a directory");
    std::string target = box.path("plain/sub/file");
    RunResult r = box.run_forked([&] {
        logsetprogram("zeltest");
        logopen(nullptr);
        _exit(createfile(target.c_str(), 0644) < 0 ? 0 : 1);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "zeltest: mkdir " + box.path("plain/sub") + ": Not a directory\n" +
                         "zeltest: " + target + ": Not a directory\n");
}

TEST(CreatefileTest, MakeparentsWithNothingMissing)
{
    Sandbox box;
    EXPECT_EQ(makeparents("no-slash", 0644), 0);
    EXPECT_EQ(makeparents(box.path("tmp/file").c_str(), 0644), 0);
}
