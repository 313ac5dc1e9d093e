// zelpasswd run in sandbox installations: the digest it prints, the users
// file after an added account or a set password compared with what the
// account pages leave, and its refusals, which leave the file as it was;
// as root, the files it may not reach through the users file's name; and
// at a terminal, the echo it gives back when its prompt is interrupted.
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/cgi.h"
#include "tests/harness.h"

namespace {

const std::string kUsage = "usage: zelpasswd [-e]\n"
                           "       zelpasswd [-e] [-f file] -a name [-p privileges]\n"
                           "       zelpasswd [-e] [-f file] -s name\n";
const std::string kEmpty =
    "zelpasswd: empty password refused: the account would accept any password (-e allows it)\n";
const std::string kColonName = "zelpasswd: ACCOUNT NAME MAY NOT CONTAIN : (THE ACCOUNT COULD NEVER "
                               "LOG IN), PLEASE ENTER DIFFERENT NAME.\n";

std::string linkrefusal(const std::string& path)
{
    return "zelpasswd: " + path +
           ": is a symbolic link; zelpasswd changes the users file itself, never what a link "
           "leads to.\n";
}

// zelpasswd at a pseudo-terminal as a shell runs it: in a process group of
// its own, so that a stop signal stops it, with the terminal as its
// standard input, output and error.  The waits give up after ten seconds.
class AtTerminal {
public:
    AtTerminal(const Sandbox& box, const std::vector<std::string>& args)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
        std::string program = program_path("zelpasswd");
        std::vector<char*> argv{program.data()};
        std::vector<std::string> copies = args;
        for (std::string& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            for (int fd = 0; fd < 3; ++fd)
                dup2(slave_, fd);
            setenv("ZEL_ROOT", box.root().c_str(), 1);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
    }
    ~AtTerminal()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {master_, slave_})
            if (fd >= 0)
                close(fd);
    }
    AtTerminal(const AtTerminal&) = delete;
    AtTerminal& operator=(const AtTerminal&) = delete;

    // Reads what the program writes until `text` has come.
    bool waitfor(const std::string& text)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.find(text) == std::string::npos) {
            pollfd ready{master_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > end)
                return false;
            char bytes[256];
            ssize_t got = poll(&ready, 1, 100) > 0 ? read(master_, bytes, sizeof bytes) : 0;
            if (got > 0)
                seen.append(bytes, static_cast<std::size_t>(got));
        }
        return true;
    }
    bool echo() const
    {
        termios settings{};
        return tcgetattr(slave_, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }
    bool waitecho(bool on) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (echo() != on && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return echo() == on;
    }
    // A line typed at the prompt, once the prompt has turned echo off (it
    // drops what was typed before).
    bool typeline(const std::string& prompt, const std::string& line)
    {
        if (!waitfor(prompt) || !waitecho(false))
            return false;
        seen.clear();
        std::string typed = line + "\r";
        return write(master_, typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
    }
    void signal(int sig) const { kill(pid_, sig); }
    // waitpid's status; the program is gone unless `options` has WUNTRACED.
    int wait(int options = 0)
    {
        int status = -1;
        waitpid(pid_, &status, options);
        if (!WIFSTOPPED(status))
            pid_ = -1;
        return status;
    }

    std::string seen; // what the program wrote

private:
    int master_ = -1;
    int slave_ = -1;
    pid_t pid_ = -1;
};

class ZelpasswdTest : public SandboxTest {
protected:
    // Standard input is no terminal here: the password is its first line.
    RunResult zelpasswd(std::vector<std::string> args, const std::string& input) const
    {
        RunOptions options;
        options.args = std::move(args);
        options.input = input;
        return box.run(program_path("zelpasswd"), options);
    }

    // Good before the test sets the admin password and after.
    static constexpr const char* kAdminLogin = "admin:new one ";

    // The administrator's Add or Update, posted as a browser posts it, in
    // `pages`, a sandbox beside the test's own.
    std::string posted(const cgi::Form& form) const
    {
        RunResult r = cgi::zeladmin(pages, cgi::post("/Action4", cgi::urlencode(form),
                                                     {cgi::kNph, cgi::basic(kAdminLogin)}));
        EXPECT_EQ(r.status, 0) << r.out;
        return pages.read(Sandbox::kUsers);
    }

    std::string users() const { return box.read(Sandbox::kUsers); }

    Sandbox pages;
};

} // namespace

TEST_F(ZelpasswdTest, PrintsTheStoredDigestOfTheFirstLine)
{
    for (const std::string password : {"secret", "two words ", "caf\xc3\xa9", "x"}) {
        RunResult r = zelpasswd({}, password + "\nsecond line\n");
        EXPECT_EQ(r.status, 0) << r.err;
        std::string openssl =
            shell_output("printf '%s' '" + password + "' | openssl sha1 -binary | base64");
        EXPECT_EQ(r.out, openssl) << password;
        EXPECT_EQ(r.out, cgi::stored_password(password) + "\n");
    }
    // A last line without its newline is the whole password.
    EXPECT_EQ(zelpasswd({}, "secret").out, cgi::stored_password("secret") + "\n");

    RunResult r = zelpasswd({}, "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kEmpty);
    // What the pages store for a blank password: nothing.
    r = zelpasswd({"-e"}, "  \n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
}

TEST_F(ZelpasswdTest, AddAndSetChangeTheFileAsThePagesDo)
{
    const std::string start =
        "# accounts\n[admin]\nfull-name = Administrator\nprivileges = admin\n";
    box.write(Sandbox::kUsers, start, 0640);
    pages.write(Sandbox::kUsers, start);

    // The trailing blank goes, as it does when the pages add an account.
    RunResult r = zelpasswd({"-a", "root", "-p", "postmaster,admin"}, "first \n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(users(), posted({{"uname", "root"},
                               {"pwd", "first "},
                               {"pwd2", "first "},
                               {"priv-ad", "admin"},
                               {"priv-pm", "postmaster"},
                               {"button", "Add"}}));
    EXPECT_EQ(status_of(box.path(Sandbox::kUsers)).st_mode & 07777, 0640u);

    r = zelpasswd({"-a", "clerk"}, "pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(users(),
              posted({{"uname", "clerk"}, {"pwd", "pw"}, {"pwd2", "pw"}, {"button", "Add"}}));

    // A password set is kept as typed, and a blank one (-e) is removed.
    r = zelpasswd({"-s", "admin"}, "new one \n");
    ASSERT_EQ(r.status, 0) << r.err;
    cgi::Form update = {{"ouname", "admin"}, {"uname", "admin"},   {"opwd", ""},
                        {"pwd", "new one "}, {"pwd2", "new one "}, {"button", "Update"}};
    EXPECT_EQ(users(), posted(update));
    r = zelpasswd({"-e", "-s", "root"}, "\n");
    ASSERT_EQ(r.status, 0) << r.err;
    update = {
        {"ouname", "root"}, {"uname", "root"}, {"pwd", " "}, {"pwd2", " "}, {"button", "Update"}};
    EXPECT_EQ(users(), posted(update));

    // -f names another users file; nothing else is read.
    box.write("other", "[x]\n");
    box.remove(Sandbox::kConfig);
    r = zelpasswd({"-f", box.path("other"), "-s", "x"}, "pw\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.read("other"), "[x]\npassword = " + cgi::stored_password("pw") + "\n");
}

TEST_F(ZelpasswdTest, RefusalsLeaveTheFileAsItWas)
{
    const std::string start = users();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"-a", "admin"},
         "pw\n",
         1,
         "zelpasswd: ACCOUNT NAME ALREADY EXISTS, PLEASE ENTER DIFFERENT NAME.\n"},
        {{"-a", "a]b"},
         "pw\n",
         1,
         "zelpasswd: ACCOUNT NAME MAY NOT BE EMPTY OR CONTAIN ], PLEASE ENTER DIFFERENT NAME.\n"},
        {{"-a", " "},
         "pw\n",
         1,
         "zelpasswd: ACCOUNT NAME MAY NOT BE EMPTY OR CONTAIN ], PLEASE ENTER DIFFERENT NAME.\n"},
        {{"-a", "a\nb"},
         "pw\n",
         1,
         "zelpasswd: VALUES MAY NOT CONTAIN LINE BREAKS, PLEASE RE-ENTER THEM.\n"},
        // A login ends its name at the first ':'.
        {{"-a", "ann:x"}, "pw\n", 1, kColonName},
        {{"-a", ":"}, "pw\n", 1, kColonName},
        {{"-a", std::string(1100, 'n')},
         "pw\n",
         1,
         "zelpasswd: VALUES MAY NOT BE LONGER THAN ABOUT 1000 CHARACTERS, PLEASE SHORTEN THEM.\n"},
        {{"-a", "new", "-p", "root"},
         "pw\n",
         1,
         "zelpasswd: unknown privilege \"root\" (admin, postmaster)\n"},
        {{"-a", "new"}, " \n", 1, kEmpty},
        {{"-s", "nobody"}, "pw\n", 1, "zelpasswd: no account \"nobody\"\n"},
        {{"-s", "admin"}, "", 1, kEmpty},
        {{"-a", "x", "-s", "admin"}, "pw\n", 2, kUsage},
        {{"-p", "admin"}, "pw\n", 2, kUsage},
        {{"-f", "users"}, "pw\n", 2, kUsage},
        {{"extra"}, "pw\n", 2, kUsage},
    };
    for (const Case& c : cases) {
        RunResult r = zelpasswd(c.args, c.input);
        SCOPED_TRACE(testing::PrintToString(c.args));
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(users(), start);
    }

    box.write(Sandbox::kConfig, "spool-directory = " + box.path("var/opt/vantrel") + "\n");
    RunResult r = zelpasswd({"-a", "new"}, "pw\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "zelpasswd: No zel-config-directory defined in /etc/opt/vantrel/vantrel.conf\n");

    // A file that cannot be rewritten keeps its content.
    r = zelpasswd({"-f", box.path("missing"), "-a", "new"}, "pw\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zelpasswd: " + box.path("missing") +
                         ": Cannot update user file (No such file or directory).\n");
    EXPECT_FALSE(box.exists("missing"));
}

// A users file that is a symbolic link is refused, wherever its name comes
// from: root told to change it would otherwise rewrite whatever it leads
// to (/etc/shadow), with that file's owner and mode.
TEST_F(ZelpasswdTest, RefusesAUsersFileThatIsASymbolicLink)
{
    const std::string target = "[admin]\nfull-name = Administrator\n";
    struct Case {
        std::vector<std::string> args;
        std::string link;
    } cases[] = {
        {{"-a", "new"}, Sandbox::kUsers},
        {{"-s", "admin"}, Sandbox::kUsers},
        {{"-f", box.path("other"), "-s", "admin"}, "other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        box.write("target", target, 0600);
        box.remove(c.link);
        ASSERT_EQ(symlink(box.path("target").c_str(), box.path(c.link).c_str()), 0);
        RunResult r = zelpasswd(c.args, "pw\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, linkrefusal(box.path(c.link)));
        EXPECT_EQ(box.read("target"), target);
        struct stat st {};
        EXPECT_TRUE(lstat(box.path(c.link).c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    }
}

// Run as root where another user (nobody) owns the users file's directory,
// zelpasswd has that user's rights: the README's set-up works and the file
// stays nobody's, but a file that only root may read or write, reached
// through a name in that directory, is neither read nor written, nor is a
// name replaced where nobody may not write.  Where root owns the directory
// but its group may write it, there is no one user's rights to take.
TEST_F(ZelpasswdTest, AsRootInAnotherUsersDirectoryItHasThatUsersRights)
{
    if (!running_as_root())
        GTEST_SKIP() << "needs root";
    const std::string start = "[admin]\n";
    const std::string users = box.path("zel/users");
    const std::string denied = "zelpasswd: " + users +
                               ": Cannot update user file (Permission denied). Run as root, "
                               "zelpasswd works with the rights of nobody, the owner of its "
                               "directory.\n";
    const std::string shared = "zelpasswd: " + users +
                               ": others than root may replace it in its directory; run as root, "
                               "zelpasswd changes no users file there (give the directory to the "
                               "web server's user, or run zelpasswd as that user).\n";
    struct Case {
        const char* what;
        uid_t dirowner; // its group is nobody's
        mode_t dirmode;
        bool hardlink; // else a file of its own
        uid_t owner;
        mode_t mode;
        int status;
        std::string err;
    } cases[] = {
        {"nobody's file", kNobody, 0750, false, kNobody, 0640, 0, ""},
        {"a file only root may read", kNobody, 0750, false, 0, 0600, 1, denied},
        {"a link to a file only root may write", kNobody, 0555, true, 0, 0644, 1, denied},
        {"root's directory that its group may write", 0, 0770, false, kNobody, 0640, 1, shared},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        box.remove("zel");
        ASSERT_EQ(mkdir(box.path("zel").c_str(), 0700), 0);
        const std::string file = c.hardlink ? box.path("root") : users;
        box.write(file.substr(box.root().size() + 1), start, c.mode);
        ASSERT_EQ(chown(file.c_str(), c.owner, c.owner), 0);
        if (c.hardlink) {
            ASSERT_EQ(link(file.c_str(), users.c_str()), 0);
        }
        ASSERT_EQ(chown(box.path("zel").c_str(), c.dirowner, kNobody), 0);
        ASSERT_EQ(chmod(box.path("zel").c_str(), c.dirmode), 0);
        ino_t before = status_of(users).st_ino;
        RunResult r = zelpasswd({"-f", users, "-s", "admin"}, "pw\n");
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
        struct stat after = status_of(users);
        EXPECT_EQ(box.read("zel/users") == start, c.status != 0);
        EXPECT_EQ(after.st_ino == before, c.status != 0);
        EXPECT_EQ(after.st_uid, c.owner);
        EXPECT_EQ(after.st_mode & 07777, c.mode);
        if (c.hardlink) {
            EXPECT_EQ(box.read("root"), start);
        }
    }
}

// A link put in the users file's place while the password is asked for is
// refused as well, and the file it leads to keeps its content.
TEST_F(ZelpasswdTest, ALinkPutInPlaceAtThePromptIsRefused)
{
    const std::string start = users();
    box.write("target", start, 0600);
    AtTerminal tty(box, {"-s", "admin"});
    ASSERT_TRUE(tty.waitfor("Password: "));
    const std::string path = box.path(Sandbox::kUsers);
    ASSERT_EQ(rename(path.c_str(), (path + ".old").c_str()), 0);
    ASSERT_EQ(symlink(box.path("target").c_str(), path.c_str()), 0);
    ASSERT_TRUE(tty.typeline("", "pw"));
    ASSERT_TRUE(tty.typeline("Re-type password: ", "pw"));
    int status = tty.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ASSERT_TRUE(tty.waitfor("symbolic link"));
    EXPECT_EQ(box.read("target"), start);
}

// Echo comes back when a signal ends or stops the run at the prompt; a
// stopped run, once continued, asks again without echo and goes on.
TEST_F(ZelpasswdTest, EchoComesBackWhenThePromptIsInterrupted)
{
    for (int sig : {SIGINT, SIGTERM, SIGTSTP}) {
        SCOPED_TRACE(sigabbrev_np(sig));
        AtTerminal tty(box, {});
        ASSERT_TRUE(tty.waitfor("Password: "));
        ASSERT_TRUE(tty.waitecho(false));
        tty.signal(sig);
        int status = tty.wait(WUNTRACED);
        EXPECT_TRUE(tty.echo());
        if (sig != SIGTSTP) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
            continue;
        }
        ASSERT_TRUE(WIFSTOPPED(status)) << status;
        tty.seen.clear();
        tty.signal(SIGCONT);
        ASSERT_TRUE(tty.typeline("Password: ", "pw"));
        ASSERT_TRUE(tty.typeline("Re-type password: ", "pw"));
        status = tty.wait();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(tty.waitfor(cgi::stored_password("pw")));
        EXPECT_TRUE(tty.echo());
    }
}
