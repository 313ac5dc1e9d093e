#include "tests/pagetext.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string_view>
#include <tuple>

#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/config.h"
#include "tests/harness.h"

namespace pagetext {

namespace {

namespace fs = std::filesystem;

// The company name the banner is written with: the writer leaves every
// character of it as it is, so the page's own text can take its place.
constexpr const char* kCompanyMark = "PAGETEXT-COMPANY";

// The installation the writers run in: only a configuration file, made
// once per test process (a Sandbox costs more than the pieces it would
// serve) and removed when that process ends, not when a child of it does.
class Root {
public:
    Root() : owner_(getpid())
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zel-pagetext.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr)
            dir_ = pattern;
        fs::create_directories(dir_ + "/etc/opt/vantrel");
    }
    ~Root()
    {
        std::error_code ignored;
        if (getpid() == owner_)
            fs::remove_all(dir_, ignored);
    }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    const std::string& dir() const { return dir_; }

    void configure(const std::string& extra) const
    {
        std::ofstream(dir_ + "/etc/opt/vantrel/vantrel.conf", std::ios::trunc)
            << "spool-directory = " << dir_ << "/spool\n"
            << extra;
    }

private:
    pid_t owner_;
    std::string dir_;
};

const Root& root()
{
    static const Root made;
    return made;
}

// What `write` sends to standard output in a child with the page state
// reset, SCRIPT_NAME `script` ("" unset) and no PATH_INFO.
std::string written(const std::string& script, const std::function<void()>& write)
{
    RunResult r = run_forked_in(root().dir(), [&] {
        puthtml_reset();
        unsetenv("PATH_INFO");
        if (script.empty())
            unsetenv("SCRIPT_NAME");
        else
            setenv("SCRIPT_NAME", script.c_str(), 1);
        write();
    });
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// Page tests compare many pages in one frame: each piece is written once
// per test process.
using Key = std::tuple<int, std::string, std::string, bool>;

std::string remembered(const Key& key, const std::function<std::string()>& make)
{
    static std::map<Key, std::string> made;
    auto [at, fresh] = made.try_emplace(key);
    if (fresh)
        at->second = make();
    return at->second;
}

} // namespace

std::string pagehead(const std::string& title)
{
    return remembered({0, title, "", false},
                      [&] { return written("", [&] { putpagehead("%s", title.c_str()); }); });
}

std::string banner(const std::string& helpid, const std::string& script, const std::string& company)
{
    std::string text = remembered({1, helpid, script, !company.empty()}, [&] {
        root().configure(company.empty() ? ""
                                         : std::string("company-name = ") + kCompanyMark + "\n");
        return written(script, [&] {
            config_load_or_exit();
            putbanner(helpid.empty() ? nullptr : helpid.c_str());
        });
    });
    if (std::size_t at = text.find(kCompanyMark); at != std::string::npos)
        text.replace(at, std::string_view(kCompanyMark).size(), company);
    return text;
}

std::string footer(const std::string& script)
{
    return remembered({2, script, "", false}, [&] { return written(script, [] { putfooter(); }); });
}

} // namespace pagetext
