// "cmake --install" of the build these tests belong to: the programs,
// their manual pages, the README and the example web server
// configurations land in their directories, and nothing else does.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/harness.h"

namespace fs = std::filesystem;

namespace {

// The files below the prefix after an install with the default cache
// variables.
const std::set<std::string> kInstalled = {
    "bin/zeldispatch",
    "bin/zelpasswd",
    "lib/cgi-bin/zeladmin",
    "share/man/man8/zeladmin.8",
    "share/man/man8/zeldispatch.8",
    "share/man/man8/zelpasswd.8",
    "share/doc/zel/README.md",
    "share/doc/zel/examples/apache.conf",
    "share/doc/zel/examples/lighttpd.conf",
    "share/doc/zel/examples/nginx.conf",
};

// The cache entries that place the files, as a build with the defaults
// has them.  A build configured otherwise may install outside the prefix
// (an absolute ZEL_CGI_DIR, say), which a test must not do.
const std::map<std::string, std::string> kDefaultLayout = {
    {"ZEL_CGI_DIR:STRING", "lib/cgi-bin"},       {"CMAKE_INSTALL_BINDIR:PATH", "bin"},
    {"CMAKE_INSTALL_DATAROOTDIR:PATH", "share"}, {"CMAKE_INSTALL_MANDIR:PATH", ""},
    {"CMAKE_INSTALL_DOCDIR:PATH", ""},
};

class InstallTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (!have_program("cmake"))
            GTEST_SKIP() << "cmake is not installed";
        if (!default_layout())
            GTEST_SKIP() << "the build is configured with a layout of its own";
        cmake = shell_output("command -v cmake");
        if (!cmake.empty() && cmake.back() == '\n')
            cmake.pop_back();
    }

    // The build directory is where the programs' bin/ directory sits.
    static std::string build_dir() { return fs::path(ZEL_BIN_DIR).parent_path().string(); }

    RunResult install(const std::string& prefix, const std::string& destdir = "")
    {
        RunOptions options;
        options.args = {"--install", build_dir(), "--prefix", prefix};
        options.sandbox_root = false;
        if (!destdir.empty())
            options.env = {"DESTDIR=" + destdir};
        return box.run(cmake, options);
    }

    static bool default_layout()
    {
        std::ifstream cache(build_dir() + "/CMakeCache.txt");
        std::size_t seen = 0;
        for (std::string line; std::getline(cache, line);) {
            std::size_t eq = line.find('=');
            auto entry = kDefaultLayout.find(line.substr(0, eq));
            if (eq == std::string::npos || entry == kDefaultLayout.end())
                continue;
            if (line.substr(eq + 1) != entry->second)
                return false;
            ++seen;
        }
        return seen == kDefaultLayout.size();
    }

    // Every file below `dir`, relative to it.
    static std::set<std::string> files_below(const std::string& dir)
    {
        std::set<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (!entry.is_directory())
                files.insert(fs::relative(entry.path(), dir).string());
        return files;
    }

    static bool executable(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) == 0111;
    }

    Sandbox box;
    std::string cmake;
};

} // namespace

TEST_F(InstallTest, PrefixHoldsOnlyTheProgramsAndTheirDocuments)
{
    std::string prefix = box.path("prefix");
    RunResult r = install(prefix);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(files_below(prefix), kInstalled);
    EXPECT_TRUE(executable(prefix + "/lib/cgi-bin/zeladmin"));
    EXPECT_TRUE(executable(prefix + "/bin/zeldispatch"));
    EXPECT_TRUE(executable(prefix + "/bin/zelpasswd"));

    // The installed program is the one built: it starts and refuses a
    // run without a fax the way the built one does.
    RunResult run = box.run(prefix + "/bin/zeldispatch");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "zeldispatch: Improper number of arguments.\n");
}

TEST_F(InstallTest, DestdirStagesBelowItself)
{
    std::string stage = box.path("stage");
    std::string prefix = box.path("usr");
    RunResult r = install(prefix, stage);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(prefix));
    EXPECT_EQ(files_below(stage + prefix), kInstalled);
    EXPECT_TRUE(executable(stage + prefix + "/lib/cgi-bin/zeladmin"));
}
