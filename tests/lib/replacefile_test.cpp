// replacefile: the whole-file rewrite that no reader sees torn.  Each case
// checks what is left on disk: the content, owner and mode, links, and
// that no fresh file stays behind when the rewrite is given up.
#include "lib/replacefile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

int writes(FILE* file, const char* text)
{
    return std::fputs(text, file) < 0 ? 1 : 0;
}

std::vector<std::string> entries(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct stat status_of(const std::string& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st;
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
    EXPECT_NE(st.st_ino, old);   // a new file, renamed into place
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
        ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
        r = box.run_forked(attempt);
        chmod(dir.c_str(), 0755);
    }
    EXPECT_EQ(r.out, std::to_string(REPLACE_NOTOPEN) + " " + std::to_string(EACCES));
    EXPECT_EQ(box.read("locked/file"), "old\n");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"file"});
}
