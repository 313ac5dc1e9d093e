// configfile: what no page shows of the configuration file's rewrite.  The
// old path (/etc/vantrel.conf) stands in only for a main file that does
// not open at all: a rewrite of the main file that fails once begun is
// the update's failure, or the page would say "updated" while every
// program reads the main file unchanged.
#include "lib/configfile.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "tests/harness.h"

TEST(ConfigfileTest, AFailedRewriteOfTheMainFileWritesNoOtherFile)
{
    Sandbox box;
    box.configure("company-name = Old\n");
    const std::string before = box.read(Sandbox::kConfig);
    // The file may be written, its directory not, so it is rewritten in
    // place; the spool directory keeps no journal for it, so that fails
    // (REPLACE_NOJOURNAL).  The old path's directory may be written.
    const std::string confdir = box.path("etc/opt/vantrel");
    const std::string spool = box.path("var/opt/vantrel");
    ASSERT_EQ(chmod(box.path(Sandbox::kConfig).c_str(), 0666), 0);
    uid_t runner = static_cast<uid_t>(-1);
    if (running_as_root()) {
        runner = kNobody; // the other directories stay root's
        ASSERT_EQ(chown(box.path("etc").c_str(), kNobody, kNobody), 0);
    } else {
        ASSERT_EQ(chmod(confdir.c_str(), 0555), 0);
        ASSERT_EQ(chmod(spool.c_str(), 0555), 0);
    }
    RunResult r = box.run_forked([runner] {
        config_load_or_exit();
        if (runner != static_cast<uid_t>(-1) && (setgid(kNobody) != 0 || setuid(runner) != 0))
            _exit(126);
        std::printf("%s", std::strerror(changeconfig("company-name", "New")));
    });
    chmod(confdir.c_str(), 0755);
    chmod(spool.c_str(), 0755);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Permission denied");
    EXPECT_EQ(box.read(Sandbox::kConfig), before);
    EXPECT_FALSE(box.exists("etc/vantrel.conf"));
}
