// The pages any handler may end a request with, and the clean-up of an
// action's uploaded files, called directly in a forked child.
#include "admin/zeladmin.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "admin/request.h"
#include "lib/config.h"
#include "tests/harness.h"
#include "tests/pagetext.h"
#include "www/frommime.h"
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
    EXPECT_EQ(r.out,
              framed("Catatrophic Internal Failure", "FXcatastrophe",
                     "<h1>Catastrophic Internal Failure</h1><p>Please contact Vantrel Technical "
                     "Support. File Null, line 42"));
}

TEST(ZeladminTest, ActionsRemoveUploadedFilesUnlessDebugging)
{
    const std::string body =
        "--b\r\nContent-Disposition: form-data; name=\"up\"; filename=\"a.txt\"\r\n\r\n"
        "bytes\r\n--b--\r\n";
    for (int debug : {0, 1}) {
        Sandbox box;
        box.write("tmp/kept", "text");
        std::string kept = box.path("tmp/kept");
        box.write("body", body);
        std::string bodypath = box.path("body");
        RunResult r = box.run_forked([&] {
            setenv("PATH_INFO", "/Action99", 1);
            if (!std::freopen(bodypath.c_str(), "r", stdin))
                std::_Exit(99);
            extractform(stdin, &formhead, "b", static_cast<long>(body.size()));
            // Not a file field: its value only names a file.
            addformfield()->value = kept.data();
            request_setdebug(debug != 0);
            std::string upload = formhead.value;
            runaction();
            std::printf("%d", access(upload.c_str(), F_OK) == 0);
        });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, debug ? "1" : "0");
        EXPECT_TRUE(box.exists("tmp/kept"));
    }
}
