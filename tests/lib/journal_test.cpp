// journal: the repair that the next lock_path makes of a file whose
// rewrite in place was killed.  Each case keeps the journal of a rewrite
// from the old content to a new one, leaves the file as a kill at some
// moment would, and checks what the repair leaves: the file, no journal,
// and the system log's line.
#include "lib/journal.h"

#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/filelock.h"
#include "lib/log.h"
#include "tests/harness.h"

namespace {

const std::string kOld = "[admin]\nfull-name = Administrator\n[bob]\nfull-name = Bob Brown\n";
const std::string kLonger =
    "[admin]\nfull-name = Administrator of the fax service\n[bob]\nfull-name = Bob Brown\n";
const std::string kShorter = "[admin]\n[bob]\nfull-name = Bob Brown\n";
// The longer content's first 40 bytes over the old content.
const std::string kTorn = kLonger.substr(0, 40) + kOld.substr(40);

void overwrite(const std::string& path, const std::string& bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
    (void)!write(fd, bytes.data(), bytes.size());
    close(fd);
}

} // namespace

TEST(JournalTest, TheNextLockMakesAKilledRewriteTheOldOrTheNewContent)
{
    struct Case {
        const char* what;
        std::string fresh;                    // the rewrite's new content
        std::string left;                     // the file as the kill left it
        std::string after;                    // as the repair leaves it
        std::string logged;                   // the log's line, FILE and JOURNAL named so
        off_t cut = 0;                        // bytes of the journal that the kill cut off
        uid_t owner = static_cast<uid_t>(-1); // the journal's, when set
    } cases[] = {
        {"killed before its first write", kLonger, kOld, kOld,
         "Rewrite of FILE was interrupted: kept its old content"},
        {"killed before its flush", kLonger, kLonger, kLonger,
         "Rewrite of FILE was interrupted: kept its new content"},
        {"the new head over the old tail", kLonger, kTorn, kOld,
         "Rewrite of FILE was interrupted: put its old content back"},
        {"a longer content cut short", kLonger, kLonger.substr(0, kOld.size() + 5), kOld,
         "Rewrite of FILE was interrupted: put its old content back"},
        {"a shorter content not yet cut", kShorter, kShorter + kOld.substr(kShorter.size()), kOld,
         "Rewrite of FILE was interrupted: put its old content back"},
        // The journal keeps the old content without the zeros that a torn
        // rewrite of an earlier release left, and they go too.
        {"zeros of an earlier tear, killed before its first write", kShorter,
         kOld + std::string(100, '\0'), kOld,
         "Rewrite of FILE was interrupted: put its old content back"},
        // The kill came before the file was touched.
        {"the journal cut short", kLonger, kTorn, kTorn, "", 1},
        // Not what a kill of this rewrite leaves: somebody else wrote it.
        {"a size no kill leaves", kShorter, kOld + "[carol]\n", kOld + "[carol]\n",
         "Rewrite journal of FILE does not fit the file: removed, file left as it is"},
        // Whoever may write the spool must not write a file through it.
        {"a journal of a user who may not write the file", kLonger, kTorn, kTorn,
         "Rewrite journal JOURNAL is not its file's: removed", 0, 1234},
    };
    for (const Case& c : cases) {
        if (c.owner != static_cast<uid_t>(-1) && !running_as_root())
            continue;
        Sandbox box;
        box.write("data/users", kOld, 0644);
        std::string path = box.path("data/users");
        std::string spool = box.path("var/opt/vantrel");
        struct stat st = status_of(path);
        char name[64];
        std::snprintf(name, sizeof name, "/zel-rewrite.%llx.%llx",
                      static_cast<unsigned long long>(st.st_dev),
                      static_cast<unsigned long long>(st.st_ino));
        std::string journal = spool + name;
        RunResult r = box.run_forked([&] {
            logsetprogram("zeltest");
            logsetpid(4242);
            logsetdateformat("TIME");
            logopen(box.path(Sandbox::kLog).c_str());
            journal_setdir(spool.c_str());
            Journal kept;
            if (journal_begin(kept, path.c_str(), st, kOld, c.fresh) != 0 || kept.path != journal)
                return;
            if (c.cut != 0)
                (void)!truncate(journal.c_str(), status_of(journal).st_size - c.cut);
            if (c.owner != static_cast<uid_t>(-1))
                (void)!chown(journal.c_str(), c.owner, c.owner);
            overwrite(path, c.left);
            int fd = lock_path(path.c_str());
            std::printf("%d", fd >= 0);
        });
        EXPECT_EQ(r.out, "1") << c.what << r.err;
        EXPECT_EQ(box.read("data/users"), c.after) << c.what;
        EXPECT_EQ(entries(spool), std::vector<std::string>{"log"}) << c.what;
        std::string line = c.logged;
        if (std::size_t at = line.find("FILE"); at != std::string::npos)
            line.replace(at, 4, path);
        if (std::size_t at = line.find("JOURNAL"); at != std::string::npos)
            line.replace(at, 7, journal);
        EXPECT_EQ(box.read(Sandbox::kLog),
                  line.empty() ? "" : "TIME: zeltest[4242,3]: " + line + "\n")
            << c.what;
    }
}
