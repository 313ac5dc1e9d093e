#include "lib/config.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "lib/log.h"
#include "tests/harness.h"

namespace {

const char* env_or(const char* name)
{
    const char* v = std::getenv(name);
    return v ? v : "<unset>";
}

// Loads the sandbox's configuration in a child and prints what it derived.
RunResult load_and_show(const Sandbox& box)
{
    return box.run_forked([] {
        unsetenv("CLIENT_DIRECTORY");
        logsetprogram("zeltest");
        config_load_or_exit();
        std::printf("spool=%s\nfax=%s\nconfig=%s\nlog=%s\n", getspooldir(), getfaxdir(),
                    getconfigdir(), getlogfilename());
        for (const char* name : {"SERVER_DIRECTORY", "SPOOL_DIRECTORY", "ETC_FAX_DIRECTORY",
                                 "CONFIG_DIRECTORY", "CLIENT_DIRECTORY"})
            std::printf("%s=%s\n", name, env_or(name));
        logmsg(LOG_TOFILE, LOG_INFO, 0, "loaded");
    });
}

} // namespace

TEST(ConfigTest, OnlyASpoolDirectory)
{
    Sandbox box;
    std::string spool = box.path("data/spool");
    box.write(Sandbox::kConfig, "spool-directory = " + spool + "\n");
    box.write("data/spool/log", "");
    RunResult r = load_and_show(box);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "spool=" + spool + "\nfax=/opt/vantrel\nconfig=/opt/vantrel\nlog=" + spool +
                         "/log\nSERVER_DIRECTORY=/opt/vantrel\nSPOOL_DIRECTORY=" + spool +
                         "\nETC_FAX_DIRECTORY=/opt/vantrel\nCONFIG_DIRECTORY=/opt/vantrel\n"
                         "CLIENT_DIRECTORY=<unset>\n");
    // The log opened is the spool directory's, with the default date format.
    std::string line = box.read("data/spool/log");
    EXPECT_NE(line.find(": zeltest["), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 12), ",0]: loaded\n");
    EXPECT_EQ(line[2], '/'); // "%x %X" in the C locale: mm/dd/yy hh:mm:ss
    EXPECT_EQ(line.find(": "), 17u);
}

TEST(ConfigTest, DirectoriesInOrderOfPreference)
{
    Sandbox box;
    box.write(Sandbox::kConfig, "zel-directory = /z\nfax-directory = /f\n"
                                "zel-config-directory = /zc\nconfig-directory = /c\n"
                                "client-directory = /client\ndate-format = %Y!\n"
                                "spool-directory = " +
                                    box.path("var/opt/vantrel") + "\n");
    RunResult r = load_and_show(box);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("fax=/f\nconfig=/c\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("CLIENT_DIRECTORY=/client\n"), std::string::npos);
    std::string log = box.read(Sandbox::kLog);
    EXPECT_EQ(log.substr(0, 5), std::to_string(1900 +
                                               [] {
                                                   time_t now = time(nullptr);
                                                   return localtime(&now)->tm_year;
                                               }()) +
                                    "!");

    box.write(Sandbox::kConfig,
              "server-directory = /s\nfax-directory = /f\netc-fax-directory = /e\n"
              "config-directory = /c\n");
    r = load_and_show(box);
    EXPECT_NE(r.out.find("fax=/s\nconfig=/e\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ETC_FAX_DIRECTORY=/e\nCONFIG_DIRECTORY=/e\n"), std::string::npos);
}

TEST(ConfigTest, SeparatorsAndDuplicates)
{
    Sandbox box;
    box.write(Sandbox::kConfig, "company-name: Acme Fax\n"
                                "company-fax = 555-0199\n"
                                "company-fax\t==  555-0100\n"
                                " zel-hostname = ignored\n");
    RunResult r = box.run_forked([] {
        config_load_or_exit();
        std::printf("[%s] [%s] [%s]\n", get_config("company-name"), get_config("company-fax"),
                    get_config("zel-hostname") ? "set" : "null");
    });
    EXPECT_EQ(r.out, "[Acme Fax] [555-0100] [null]\n");
}

TEST(ConfigTest, ACommentOnlyFileLoadsWithDefaults)
{
    Sandbox box;
    box.write(Sandbox::kConfig, "# nothing configured yet\n");
    RunResult r = box.run_forked([] {
        config_load_or_exit();
        std::printf("%s %s\n", get_config("spool-directory") ? "set" : "null", getfaxdir());
    });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "null /opt/vantrel\n");
}

// Every tool path is built from the value as written: a blank one is not
// taken for an absent key (which would fall back to the server directory).
TEST(ConfigTest, FaxDirectoryBlankIsItsValue)
{
    Sandbox box;
    auto show = [&box] {
        return box
            .run_forked([] {
                config_load_or_exit();
                std::printf("[%s] [%s]\n", fax_directory("/absent"), getfaxdir());
            })
            .out;
    };
    box.write(Sandbox::kConfig, "server-directory = /s\nfax-directory =\n");
    EXPECT_EQ(show(), "[] [/s]\n");
    box.write(Sandbox::kConfig, "server-directory = /s\nfax-directory = \"  \"\n");
    EXPECT_EQ(show(), "[  ] [/s]\n");
    box.write(Sandbox::kConfig, "server-directory = /s\n");
    EXPECT_EQ(show(), "[/absent] [/s]\n");
}

TEST(ConfigDeathTest, GettersAssertThatTheConfigurationIsLoaded)
{
    EXPECT_DEATH(get_config("spool-directory"), "config.cpp:.*configroot != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(getlogfilename(), "configroot != \\(\\(void \\*\\)0\\)");
    EXPECT_DEATH(getfaxdir(), "faxdir != \\(\\(void \\*\\)0\\)");
}

TEST(ConfigTest, SafedfcatJoinsWithinItsBuffer)
{
    EXPECT_STREQ(safedfcat("/var/opt/vantrel", "log"), "/var/opt/vantrel/log");
    std::string dir(200, 'd');
    std::string name(54, 'n'); // 255 characters in all
    EXPECT_EQ(std::string(safedfcat(dir.c_str(), name.c_str())), dir + "/" + name);
    EXPECT_STREQ(safedfcat("a", "b"), "a/b"); // the next call overwrites
}

TEST(ConfigDeathTest, SafedfcatAbortsOnAnOverlongResult)
{
    std::string dir(200, 'd');
    std::string name(55, 'n'); // 256 characters
    EXPECT_DEATH(safedfcat(dir.c_str(), name.c_str()), "filename\\[255\\] == '\\\\0'");
    std::string huge(100000, 'h');
    EXPECT_DEATH(safedfcat(huge.c_str(), "x"), "filename\\[255\\]");
}
