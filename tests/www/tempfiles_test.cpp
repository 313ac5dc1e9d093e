// tempfiles: the upload files of zeladmin's requests, gone when the
// request ends, however it ends (an error page, a cut body, a signal of the
// web server), kept in debug mode, and the sweep of those a killed process
// left: only old ones, of the running user, named as uploads.
#include "www/tempfiles.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"

namespace {

const std::string kUpload =
    "--zz\r\nContent-Disposition: form-data; name=\"user\"\r\n\r\nclerk\r\n"
    "--zz\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"doc.bin\"\r\n\r\nDATA\r\n--zz--\r\n";

RunResult post(const Sandbox& box, const std::string& path, const std::string& body,
               const std::string& type = "multipart/form-data; boundary=zz")
{
    return cgi::zeladmin(box, cgi::post(path, body, {}, type));
}

bool tmpempty(const Sandbox& box) { return entries(box.path("tmp")).empty(); }

} // namespace

TEST(TempfilesTest, UploadsGoWithTheRequest)
{
    Sandbox box;
    // An action that does not exist, and one refused (exit status 1).
    for (const char* path : {"/Action99", "/Action4"}) {
        RunResult r = post(box, path, kUpload);
        EXPECT_EQ(r.status, std::string(path) == "/Action4" ? 1 : 0) << path;
        EXPECT_TRUE(tmpempty(box)) << path;
    }
    // A body cut inside the upload: the file is still removed.
    RunResult r = post(box, "/Action99", kUpload.substr(0, kUpload.size() - 12));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(tmpempty(box));

    // In debug mode every path keeps them.
    box.configure("zel-debug = yes\n");
    r = post(box, "/Action4", kUpload);
    EXPECT_EQ(r.status, 1);
    std::vector<std::string> files = entries(box.path("tmp"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].starts_with("mm."));
    EXPECT_EQ(box.read("tmp/" + files[0]), "DATA");
}

// ---- Requests that end otherwise ----------------------------------------------

namespace {

// zeladmin reading a multipart body that never ends (its pipe stays open),
// with the signals web servers end requests with at their defaults, but
// `ignored` ignored (0: none), once the files of both its uploads exist.
struct Stalled {
    pid_t pid;
    int input; // the body's pipe
};

Stalled stalledupload(const Sandbox& box, int ignored)
{
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                    "ZEL_ROOT=" + box.root(),
                                    "PATH_INFO=/test",
                                    "REQUEST_METHOD=POST",
                                    "CONTENT_TYPE=multipart/form-data; boundary=zz",
                                    "CONTENT_LENGTH=1000000"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* value = std::getenv(name))
            env.push_back(std::string(name) + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string program = program_path("zeladmin");
    char* argv[] = {program.data(), nullptr};
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (dup2(fds[0], 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
            _exit(126);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGPIPE})
            signal(sig, sig == ignored ? SIG_IGN : SIG_DFL);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(fds[0]);
    const std::string head =
        "--zz\r\nContent-Disposition: form-data; name=\"a\"; filename=\"a\"\r\n\r\nfirst\r\n"
        "--zz\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b\"\r\n\r\nsecond, cut";
    EXPECT_EQ(write(fds[1], head.data(), head.size()), static_cast<ssize_t>(head.size()));
    for (int tries = 0; tries < 2000 && entries(box.path("tmp")).size() < 2; ++tries)
        usleep(10000);
    EXPECT_EQ(entries(box.path("tmp")).size(), 2u);
    return {pid, fds[1]};
}

// Sets the modification time of `path` (a link itself) `seconds` back.
void age(const std::string& path, long seconds)
{
    timespec times[2];
    clock_gettime(CLOCK_REALTIME, &times[0]);
    times[0].tv_sec -= seconds;
    times[1] = times[0];
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

} // namespace

// Web servers end a request that takes too long, or whose client went,
// with a signal: its uploads go with it, and it still dies of the signal.
// A signal the server ignores stays ignored.  Nothing runs on SIGKILL: a
// later upload removes those files once they are an hour old.
TEST(TempfilesTest, UploadsGoWithTheSignalThatEndsTheRequest)
{
    const struct {
        std::vector<int> sent;
        int ignored;
        int died;
    } cases[] = {
        {{SIGTERM}, 0, SIGTERM},
        {{SIGHUP}, 0, SIGHUP},
        {{SIGINT}, 0, SIGINT},
        {{SIGPIPE}, 0, SIGPIPE},
        {{SIGHUP, SIGTERM}, SIGHUP, SIGTERM},
        {{SIGKILL}, 0, SIGKILL},
    };
    for (const auto& c : cases) {
        Sandbox box;
        Stalled child = stalledupload(box, c.ignored);
        for (int sig : c.sent)
            kill(child.pid, sig);
        int status = 0;
        EXPECT_EQ(waitpid(child.pid, &status, 0), child.pid);
        close(child.input);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.died) << c.died << " " << status;
        if (c.died != SIGKILL) {
            EXPECT_TRUE(tmpempty(box)) << c.died;
            continue;
        }
        std::vector<std::string> left = entries(box.path("tmp"));
        ASSERT_EQ(left.size(), 2u);
        age(box.path("tmp/" + left[0]), 3601);
        EXPECT_EQ(post(box, "/Action99", kUpload).status, 0);
        EXPECT_EQ(entries(box.path("tmp")), std::vector<std::string>{left[1]});
        age(box.path("tmp/" + left[1]), 3601);
        EXPECT_EQ(post(box, "/Action99", kUpload).status, 0);
        EXPECT_TRUE(tmpempty(box));
    }
}

// What the clean-up of old files leaves: anything not named as an upload,
// anything but a regular file (a link is not followed), another user's.
TEST(TempfilesTest, OnlyOldUploadsOfTheUserAreSwept)
{
    Sandbox box;
    box.write("target", "kept");
    age(box.path("target"), 7200);
    const struct {
        const char* name;
        bool gone;
    } files[] = {
        {"mm.Ab3dE9", true},  {"mm.zzzzzz", true},  {"mm.Ab3dE", false},   {"mm.Ab3dE90", false},
        {"mm.Ab-dE9", false}, {"xx.Ab3dE9", false}, {"mm.Ab3dE9.", false},
    };
    std::vector<std::string> kept;
    for (const auto& f : files) {
        box.write(std::string("tmp/") + f.name, "old");
        age(box.path(std::string("tmp/") + f.name), 7200);
        if (!f.gone)
            kept.push_back(f.name);
    }
    ASSERT_EQ(symlink(box.path("target").c_str(), box.path("tmp/mm.Link01").c_str()), 0);
    age(box.path("tmp/mm.Link01"), 7200);
    ASSERT_EQ(mkdir(box.path("tmp/mm.Dir001").c_str(), 0700), 0);
    age(box.path("tmp/mm.Dir001"), 7200);
    kept.insert(kept.end(), {"mm.Link01", "mm.Dir001"});
    if (running_as_root()) {
        box.write("tmp/mm.Other1", "old");
        ASSERT_EQ(chown(box.path("tmp/mm.Other1").c_str(), kNobody, kNobody), 0);
        age(box.path("tmp/mm.Other1"), 7200);
        kept.push_back("mm.Other1");
    }
    std::sort(kept.begin(), kept.end());

    // A urlencoded form makes no upload, and leaves the directory alone.
    EXPECT_EQ(post(box, "/Action99", "a=1", "application/x-www-form-urlencoded").status, 0);
    EXPECT_EQ(entries(box.path("tmp")).size(), kept.size() + 2);
    EXPECT_EQ(post(box, "/Action99", kUpload).status, 0);
    EXPECT_EQ(entries(box.path("tmp")), kept);
    EXPECT_EQ(box.read("target"), "kept");
}
