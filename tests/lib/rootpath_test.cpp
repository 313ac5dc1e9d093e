#include "lib/rootpath.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "tests/harness.h"

TEST(RootpathTest, FixedPathsGoBelowZelRoot)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        setenv("ZEL_ROOT", "/x", 1);
        std::printf("%s\n%s\n", rootpath("/etc/opt/vantrel/vantrel.conf").c_str(),
                    rootpath("/tmp/dispatch.dbg").c_str());
        setenv("ZEL_ROOT", "/x//", 1);
        std::printf("%s\n", rootpath("/dev/console").c_str());
        setenv("ZEL_ROOT", "", 1);
        std::printf("%s\n", rootpath("/etc/inittab").c_str());
        unsetenv("ZEL_ROOT");
        std::printf("%s\n", rootpath("/tmp").c_str());
    });
    EXPECT_EQ(r.out, "/x/etc/opt/vantrel/vantrel.conf\n/x/tmp/dispatch.dbg\n/x/dev/console\n"
                     "/etc/inittab\n/tmp\n");
}
