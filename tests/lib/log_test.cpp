#include "lib/log.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace {

// Logging set up as a program does it, with a fixed time stamp so that the
// lines can be compared byte for byte.
void start_logging(const Sandbox& box)
{
    logsetprogram("/opt/vantrel/bin/zeltest");
    logsetpid(4242);
    logsetdateformat("TIME");
    logopen(box.path(Sandbox::kLog).c_str());
}

} // namespace

TEST(LogTest, RepeatsAreCountedAndWrittenBeforeTheNextMessage)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        start_logging(box);
        for (int i = 0; i < 3; ++i)
            logmsg(LOG_TOFILE, LOG_INFO, 0, "Line %d busy", 1);
        logmsg(LOG_TOFILE, LOG_INFO, 0, "Line %d busy", 2);  // other arguments
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Line %d busy", 2); // same text: a repeat
        logmsg(LOG_TOFILE, LOG_INFO, 17, "Fax emailed to %s", "ann@example.com");
        logmsg(LOG_TOFILE, LOG_INFO, 0, "last");
        logmsg(LOG_TOFILE, LOG_INFO, 0, "last"); // pending at exit: lost
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(box.read(Sandbox::kLog), "TIME: zeltest[4242,0]: Line 1 busy\n"
                                       "TIME: zeltest[4242]: Above message repeated 2 times\n"
                                       "TIME: zeltest[4242,0]: Line 2 busy\n"
                                       "TIME: zeltest[4242]: Above message repeated 1 times\n"
                                       "TIME: zeltest[4242,0,17]: Fax emailed to ann@example.com\n"
                                       "TIME: zeltest[4242,0]: last\n");
}

TEST(LogTest, LongMessagesAreNeverCountedAsRepeats)
{
    Sandbox box;
    std::string long_text(600, 'x');
    RunResult r = box.run_forked([&] {
        start_logging(box);
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%s", long_text.c_str());
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%s", long_text.c_str());
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%.511s", long_text.c_str());
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%s", std::string(3000, 'y').c_str());
    });
    EXPECT_EQ(r.status, 0);
    std::string line = "TIME: zeltest[4242,0]: " + long_text + "\n";
    EXPECT_EQ(box.read(Sandbox::kLog),
              line + line + "TIME: zeltest[4242,0]: " + std::string(511, 'x') + "\n" +
                  "TIME: zeltest[4242,0]: " + std::string(2559, 'y') + "\n");
}

TEST(LogTest, PercentMIsTheErrorText)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        start_logging(box);
        errno = 0;
        logmsg(LOG_TOFILE, LOG_FATAL, 0, "Cannot chdir to %s: %m", "/spool");
        errno = ENOENT;
        logmsg(LOG_TOFILE, LOG_FATAL, 0, "open: %m (%d%%m)", 5);
        errno = 9999;
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%m");
        errno = -3;
        logmsg(LOG_TOFILE, LOG_INFO, 0, "%m %s", "x");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(box.read(Sandbox::kLog),
              "TIME: zeltest[4242,4]: Cannot chdir to /spool: unknown error(0)\n"
              "TIME: zeltest[4242,4]: open: No such file or directory (5%m)\n"
              "TIME: zeltest[4242,0]: unknown error(9999)\n"
              "TIME: zeltest[4242,0]: unknown error(-3) x\n");
}

TEST(LogTest, EchoAndConsoleGetEveryMessage)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        start_logging(box);
        for (int i = 0; i < 2; ++i)
            logmsg(LOG_TOFILE | LOG_TOECHO | LOG_TOCONSOLE, LOG_FATAL, 0,
                   "Improper number of arguments.");
        logmsg(LOG_TOECHO, LOG_INFO, 0, "echo only");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zeltest: Improper number of arguments.\n"
                     "zeltest: Improper number of arguments.\n"
                     "zeltest: echo only\n");
    EXPECT_EQ(box.read("dev/console"), "zeltest: Improper number of arguments.\r\n"
                                       "zeltest: Improper number of arguments.\r\n");
    EXPECT_EQ(box.read(Sandbox::kLog), "TIME: zeltest[4242,4]: Improper number of arguments.\n");
}

TEST(LogTest, EchoGoesToStandardOutputWhenStandardErrorIsClosed)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        close(2);
        start_logging(box);
        logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0, "to stdout");
        std::fprintf(stderr, "stray diagnostic\n"); // must not reach the log
        std::fflush(stderr);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "zeltest: to stdout\n");
    EXPECT_EQ(box.read(Sandbox::kLog), "TIME: zeltest[4242,3]: to stdout\n");
}

TEST(LogTest, AMissingLogFileIsNotCreated)
{
    Sandbox box;
    box.remove(Sandbox::kLog);
    RunResult r = box.run_forked([&] {
        start_logging(box);
        logmsg(LOG_TOFILE, LOG_INFO, 0, "nowhere");
        logmsg(LOG_TOFILE | LOG_TOCONSOLE, LOG_INFO, 0, "console");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(box.exists(Sandbox::kLog));
    EXPECT_EQ(box.read("dev/console"), "zeltest: console\r\n");
}

TEST(LogTest, NoConsoleIsSkippedSilently)
{
    Sandbox box;
    box.remove("dev/console");
    RunResult r = box.run_forked([&] {
        start_logging(box);
        logmsg(LOG_TOCONSOLE | LOG_TOFILE, LOG_INFO, 0, "still logged");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(box.read(Sandbox::kLog), "TIME: zeltest[4242,0]: still logged\n");
}

TEST(LogTest, LogerrorAddsTheErrorTextAndClearsErrno)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        start_logging(box);
        errno = EACCES;
        logerror("%s", "/etc/opt/vantrel/vantrel.conf");
        int after = errno;
        logerror("mkdir %s", "/x%m"); // the text is not a format again
        errno = ENOSPC;
        logerror("%s", std::string(200, 'p').c_str());
        std::printf("errno %d\n", after);
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "errno 0\n");
    EXPECT_EQ(box.read(Sandbox::kLog),
              "TIME: zeltest[4242,3]: /etc/opt/vantrel/vantrel.conf: Permission denied\n"
              "TIME: zeltest[4242,3]: unknown error(0): mkdir /x%m\n"
              "TIME: zeltest[4242,3]: " +
                  std::string(127, 'p') + "\n");
    EXPECT_EQ(r.err, "zeltest: /etc/opt/vantrel/vantrel.conf: Permission denied\n"
                     "zeltest: unknown error(0): mkdir /x%m\n"
                     "zeltest: " +
                         std::string(127, 'p') + "\n");
}

TEST(LogTest, TheLogIsNotInheritedAndLogcloseStopsFileLogging)
{
    Sandbox box;
    std::string path = box.path(Sandbox::kLog);
    RunResult r = box.run_forked([&] {
        start_logging(box);
        for (int fd = 0; fd < 64; ++fd) {
            char link[PATH_MAX] = {};
            std::string proc = "/proc/self/fd/" + std::to_string(fd);
            if (readlink(proc.c_str(), link, sizeof link - 1) > 0 && path == link)
                std::printf("fd %d cloexec %d\n", fd, (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
        }
        logclose();
        logmsg(LOG_TOFILE, LOG_INFO, 0, "after close");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("cloexec 1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("cloexec 0"), std::string::npos) << r.out;
    EXPECT_EQ(box.read(Sandbox::kLog), "");
}

TEST(LogTest, TheProgramNameIsTheLastPathComponent)
{
    Sandbox box;
    RunResult r = box.run_forked([&] {
        logopen(nullptr);
        logsetprogram("zeladmin");
        logmsg(LOG_TOECHO, LOG_INFO, 0, "a");
        logsetprogram("/usr/lib/cgi-bin/zel/");
        logmsg(LOG_TOECHO, LOG_INFO, 0, "b");
        logsetprogram(nullptr);
        logmsg(LOG_TOECHO, LOG_INFO, 0, "c");
    });
    EXPECT_EQ(r.err, "zeladmin: a\n: b\n: c\n");
}
