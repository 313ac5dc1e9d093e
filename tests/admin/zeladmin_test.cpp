// The pages any handler may end a request with, and the clean-up of an
// action's uploaded files, called directly in a forked child.
#include "admin/zeladmin.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "tests/harness.h"
#include "tests/pagetext.h"
#include "www/wwwinput.h"

using namespace pagetext;

TEST(ZeladminTest, CatastropheIsAnAssertion)
{
    Sandbox box;
    RunResult r = box.run_forked([] {
        config_load_or_exit();
        FXcatastrophe(1, "admin/users.cpp", 10);
        FXcatastrophe(0, nullptr, 42);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, framed("Catatrophic Internal Failure", "FXcatastrophe",
                            "<h1>Catastrophic Internal Failure</h1><p>Please contact Vantrel Technical "
                            "Support. File Null, line 42"));
}

TEST(ZeladminTest, ActionsRemoveUploadedFilesUnlessDebugging)
{
    for (int debug : {0, 1}) {
        Sandbox box;
        box.write("tmp/upload", "bytes");
        box.write("tmp/kept", "text");
        std::string upload = box.path("tmp/upload"), kept = box.path("tmp/kept");
        RunResult r = box.run_forked([&] {
            setenv("PATH_INFO", "/Action99", 1);
            newformlist();
            formhead.file = 1;
            formhead.value = upload.data();
            // Not a file field: its value only names a file.
            addformfield()->value = kept.data();
            debug_mode = debug;
            runaction();
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(box.exists("tmp/upload"), debug == 1);
        EXPECT_TRUE(box.exists("tmp/kept"));
    }
}
