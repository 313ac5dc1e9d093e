// Start-up of both programs, run as built in a sandbox installation.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/journal.h"
#include "tests/harness.h"

namespace {

class StartupTest : public testing::TestWithParam<const char*> {
protected:
    std::string name() const { return GetParam(); }
    std::string program() const { return program_path(GetParam()); }
    std::string config() const { return box.path(Sandbox::kConfig); }
    Sandbox box;
};

} // namespace

// A run that stops right after start-up: zeladmin on a path without a
// page answers with nothing at all; zeldispatch without a fax refuses the
// arguments.
RunOptions quiet()
{
    RunOptions options;
    options.env = {"PATH_INFO=/Page0"};
    return options;
}

const char* const kNoArguments = "Improper number of arguments.";

TEST_P(StartupTest, StartsQuietlyAndExitsZero)
{
    RunResult r = box.run(program(), quiet());
    if (name() == "zeldispatch") {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, name() + ": " + kNoArguments + "\n");
        EXPECT_TRUE(box.read(Sandbox::kLog).ends_with(std::string(",4]: ") + kNoArguments + "\n"));
        return;
    }
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.read(Sandbox::kLog), "");
}

TEST_P(StartupTest, MissingConfiguration)
{
    box.remove(Sandbox::kConfig);
    RunResult r = box.run(program());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "***** CATASTROPHIC ERROR 1 *****\n"
                     ">>>>> Cannot stat configuration file.\n" +
                         name() + ": " + config() + ": No such file or directory\n");
}

TEST_P(StartupTest, EmptyConfiguration)
{
    box.write(Sandbox::kConfig, "");
    RunResult r = box.run(program());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "***** CATASTROPHIC ERROR 2 *****\n"
                     ">>>>> Empty configuration file.\n" +
                         name() + ": unknown error(0): " + config() + "\n");
}

TEST_P(StartupTest, UnreadableConfiguration)
{
    box.write(Sandbox::kConfig, box.default_config(), 0000);
    RunOptions options;
    if (running_as_root())
        options.uid = 65534, options.gid = 65534; // root reads anything
    RunResult r = box.run(program(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "***** CATASTROPHIC ERROR 3 *****\n"
                     ">>>>> Cannot read configuration file.\n" +
                         name() + ": " + config() + ": Permission denied\n");
}

TEST_P(StartupTest, ADirectoryIsNoConfiguration)
{
    box.remove(Sandbox::kConfig);
    std::filesystem::create_directories(config());
    RunResult r = box.run(program());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "***** CATASTROPHIC ERROR 3 *****\n"
                     ">>>>> Cannot read configuration file.\n" +
                         name() + ": " + config() + ": Is a directory\n");
}

TEST_P(StartupTest, ProgramNameIsTheLastComponentOfArgv0)
{
    box.remove(Sandbox::kConfig);
    RunOptions options;
    options.argv0 = "/usr/lib/cgi-bin/renamed.cgi";
    RunResult r = box.run(program(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("\nrenamed.cgi: " + config() + ": No such file"), std::string::npos)
        << r.err;
}

TEST_P(StartupTest, WithStandardErrorClosedTheEchoGoesToStandardOutput)
{
    box.remove(Sandbox::kConfig);
    RunOptions options;
    options.close_stderr = true;
    RunResult r = box.run(program(), options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, name() + ": " + config() + ": No such file or directory\n");
}

TEST_P(StartupTest, OddConfigurationFilesNeverCrash)
{
    std::string odd = std::string("# dos\r\nspool-directory = ") + box.path("var/opt/vantrel") +
                      "\r\nzel-config-directory = " + box.path("opt/vantrel/etc") + "\r\n" +
                      std::string(20000, 'k') + " = " + std::string(30000, 'v') + "\n" +
                      std::string("nul\0 = x\0y\n", 11) + "#" + std::string(10000, '\xff') +
                      "\nlast = no newline";
    box.write(Sandbox::kConfig, odd);
    RunResult r = box.run(program(), quiet());
    if (name() == "zeldispatch") {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out + r.err, name() + ": " + kNoArguments + "\n");
        return;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

TEST_P(StartupTest, AnAbsentLogFileStaysAbsent)
{
    box.remove(Sandbox::kLog);
    RunResult r = box.run(program(), quiet());
    EXPECT_EQ(r.status, name() == "zeldispatch" ? 1 : 0);
    EXPECT_FALSE(box.exists(Sandbox::kLog));
}

TEST_P(StartupTest, ASetuidRunIgnoresZelRoot)
{
    if (!running_as_root())
        GTEST_SKIP() << "making a setuid program needs root";
    if (access("/etc/opt/vantrel/vantrel.conf", F_OK) == 0)
        GTEST_SKIP() << "this machine has a real configuration file";
    std::string copy = box.path("setuid-" + name());
    std::filesystem::copy_file(program(), copy);
    ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
    RunOptions options;
    options.uid = 65534;
    options.gid = 65534;
    RunResult r = box.run(copy, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": /etc/opt/vantrel/vantrel.conf: No such file or directory\n"),
              std::string::npos)
        << r.err;
}

// A rewrite in place that a kill cut short left its journal: the start-up
// puts the old content back before it reads the file, and logs it.  Read
// torn, the configuration names a users directory that is not there (so
// the configuration must be read again once repaired), and the users file
// ends in a header without its ']'.  zeldispatch reads the users file only
// for a fax.
TEST_P(StartupTest, AKilledRewriteInPlaceIsRepairedBeforeTheFileIsRead)
{
    for (const char* file : {Sandbox::kConfig, Sandbox::kUsers}) {
        if (name() == "zeldispatch" && file == Sandbox::kUsers)
            continue;
        Sandbox fresh;
        std::string path = fresh.path(file);
        std::string old = fresh.read(file);
        std::string content = file == Sandbox::kConfig ? old.substr(0, old.size() - 1) + "-new\n"
                                                       : old + "[bob]\nfull-name = Bob\n";
        std::string torn = content.substr(0, old.size() + (file == Sandbox::kConfig ? 0 : 4));
        RunResult r = fresh.run_forked([&] {
            journal_setdir(fresh.path("var/opt/vantrel").c_str());
            Journal kept;
            if (journal_begin(kept, path.c_str(), status_of(path), old, content) == 0)
                std::printf("kept");
        });
        ASSERT_EQ(r.out, "kept");
        fresh.write(file, torn);
        r = fresh.run(program(), quiet());
        EXPECT_EQ(r.status, name() == "zeldispatch" ? 1 : 0) << file << r.err;
        EXPECT_EQ(fresh.read(file), old) << file;
        EXPECT_EQ(entries(fresh.path("var/opt/vantrel")), std::vector<std::string>{"log"}) << file;
        EXPECT_NE(
            fresh.read(Sandbox::kLog)
                .find("]: Rewrite of " + path + " was interrupted: put its old content back\n"),
            std::string::npos)
            << fresh.read(Sandbox::kLog);
    }
}

INSTANTIATE_TEST_SUITE_P(BothPrograms, StartupTest, testing::Values("zeladmin", "zeldispatch"));
