#include "lib/replacefile.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/journal.h"

namespace {

// A fresh file's name is hidden, so that a scan of the directory never
// takes it for one of its own: "." + the file's name + "." + six of
// mkstemp's letters.  Only names of exactly this form are ever removed.
constexpr std::string_view kLetters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kSuffixLength = 6;
constexpr int kNameTries = 100;

// A fresh file that nobody holds a lock on and that has not changed for
// this long was left by a rewrite that was killed.
constexpr time_t kStaleSeconds = 60;

struct Target {
    std::string path; // the file replaced: the end of the path's chain of links
    std::string dir;  // its directory
    std::string base; // its name in the directory
};

Target target_of(const char* path)
{
    Target target{path, ".", path};
    char resolved[PATH_MAX];
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode) && realpath(path, resolved))
        target.path = resolved;
    std::size_t slash = target.path.rfind('/');
    if (slash != std::string::npos) {
        target.dir = slash == 0 ? "/" : target.path.substr(0, slash);
        target.base = target.path.substr(slash + 1);
    } else {
        target.base = target.path;
    }
    return target;
}

bool directory_refuses(int error) { return error == EACCES || error == EPERM || error == EROFS; }

bool fresh_name(std::string_view name, std::string_view base)
{
    if (name.size() != base.size() + 2 + kSuffixLength || name[0] != '.' ||
        name.substr(1, base.size()) != base || name[base.size() + 1] != '.')
        return false;
    return name.substr(base.size() + 2).find_first_not_of(kLetters) == std::string_view::npos;
}

std::string random_name(const Target& target)
{
    unsigned char bytes[kSuffixLength];
    if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // Only before the kernel's pool is ready: any spread will do, as a
        // name that is taken is tried again.
        static unsigned long next = static_cast<unsigned long>(std::time(nullptr)) ^
                                    static_cast<unsigned long>(getpid()) << 20;
        for (unsigned char& b : bytes) {
            next = next * 6364136223846793005UL + 1442695040888963407UL;
            b = static_cast<unsigned char>(next >> 56);
        }
    }
    std::string name = target.dir + "/." + target.base + ".";
    for (unsigned char b : bytes)
        name += kLetters[b % kLetters.size()];
    return name;
}

struct flock whole_file(short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// A fresh file is locked by its writer for as long as it exists, so that
// the clean-up of another rewrite can tell it from a left-over.
void hold(int fd)
{
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &lock) != 0 && errno == EINVAL)
        (void)fcntl(fd, F_SETLK, &lock);
}

bool held(int fd)
{
    struct flock lock = whole_file(F_WRLCK);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) {
        lock = whole_file(F_WRLCK);
        if (fcntl(fd, F_GETLK, &lock) != 0)
            return false;
    }
    return lock.l_type != F_UNLCK;
}

// Removes the fresh files of earlier rewrites of the same file that were
// killed before they were put in place.  One that cannot be opened to ask
// for its lock goes by its age alone.
void remove_stale(const Target& target)
{
    DIR* dir = opendir(target.dir.c_str());
    if (dir == nullptr)
        return;
    int dirfd = ::dirfd(dir);
    time_t now = std::time(nullptr);
    while (dirent* entry = readdir(dir)) {
        if (!fresh_name(entry->d_name, target.base))
            continue;
        struct stat st;
        if (fstatat(dirfd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            now - st.st_mtime < kStaleSeconds)
            continue;
        int fd = openat(dirfd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        bool live = fd >= 0 && held(fd);
        if (fd >= 0)
            close(fd);
        if (!live)
            unlinkat(dirfd, entry->d_name, 0);
    }
    closedir(dir);
}

mode_t default_mode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Gives the fresh file the old one's owner and mode.  A chown that the
// process may not make (it does not own the old file) is left undone:
// the file then belongs to the writer, as a rewrite in place would not
// change, but it stays readable as before through the mode.
void copy_owner_and_mode(int fd, const std::string& target)
{
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        fchmod(fd, default_mode());
        return;
    }
    if (fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    fchmod(fd, st.st_mode & 07777);
}

// The fresh file and its hidden name once it has one: both released with
// it, unless the name was put in place.
struct Fresh {
    int fd = -1;
    std::string name;

    Fresh() = default;
    Fresh(const Fresh&) = delete;
    Fresh& operator=(const Fresh&) = delete;
    ~Fresh()
    {
        int saved = errno;
        if (fd >= 0)
            close(fd);
        if (!name.empty())
            unlink(name.c_str());
        errno = saved;
    }
};

// 0 or the errno of the failure, for each step below.
int open_unnamed(const Target& target, Fresh& fresh)
{
    // Read back should the rename be refused.
    fresh.fd = open(target.dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    return fresh.fd >= 0 ? 0 : errno;
}

int open_named(const Target& target, Fresh& fresh)
{
    std::string pattern = target.dir + "/." + target.base + ".XXXXXX";
    fresh.fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fresh.fd < 0)
        return errno;
    fresh.name = pattern;
    return 0;
}

// The unnamed file gets its hidden name only now that it is complete.
int link_unnamed(const Target& target, Fresh& fresh)
{
    std::string self = "/proc/self/fd/" + std::to_string(fresh.fd);
    for (int i = 0; i < kNameTries; ++i) {
        std::string name = random_name(target);
        int linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        // Without /proc, only a privileged process may link a descriptor.
        if (linked != 0 && errno == ENOENT)
            linked = linkat(fresh.fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        if (linked == 0) {
            fresh.name = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// Owner and mode are given last, so that a protected-hardlinks kernel
// lets the writer link what it still owns, and a named fresh file holds
// its partial content under mode 0600 only.
int put_in_place(const Target& target, Fresh& fresh)
{
    copy_owner_and_mode(fresh.fd, target.path);
    if (rename(fresh.name.c_str(), target.path.c_str()) != 0)
        return errno;
    fresh.name.clear();
    return 0;
}

// The streams that the writer gets: one whose bytes go straight onto a
// string, which was given room for about the old file's size, instead of
// a memory stream's doubling buffer that is then copied; and one whose
// bytes go straight into the fresh file, which nobody sees before it is
// complete.
ssize_t append_to(void* cookie, const char* bytes, std::size_t size)
{
    try {
        static_cast<std::string*>(cookie)->append(bytes, size);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return -1;
    }
    return static_cast<ssize_t>(size);
}

ssize_t write_to(void* cookie, const char* bytes, std::size_t size)
{
    if (write_full(*static_cast<int*>(cookie), bytes, size) != FULLIO_OK)
        return -1;
    return static_cast<ssize_t>(size);
}

// 0 or the errno of the failure.
int run_writer(const std::function<int(FILE*)>& writer, void* cookie,
               cookie_write_function_t* write)
{
    cookie_io_functions_t io{};
    io.write = write;
    FILE* stream = fopencookie(cookie, "w", io);
    if (stream == nullptr)
        return errno;
    errno = 0;
    bool written = writer(stream) == 0 && std::fflush(stream) == 0 && !std::ferror(stream);
    int error = errno ? errno : EIO;
    std::fclose(stream);
    return written ? 0 : error;
}

int render(const std::function<int(FILE*)>& writer, std::string& content, std::size_t expect)
{
    content.clear();
    try {
        content.reserve(expect);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return run_writer(writer, &content, append_to);
}

// The file's content at its current size, all of it.
bool read_content(int fd, std::string& content)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    content.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    int result = pread_full(fd, content.data(), content.size(), 0, &got);
    content.resize(got);
    return result == FULLIO_OK;
}

bool write_at_start(int fd, const std::string& bytes)
{
    return pwrite_full(fd, bytes.data(), bytes.size(), 0) == FULLIO_OK;
}

bool put_back(int fd, const std::string& old)
{
    return write_at_start(fd, old) && ftruncate(fd, static_cast<off_t>(old.size())) == 0 &&
           fsync(fd) == 0;
}

// Room for a longer content is taken beyond the file's end, its size
// unchanged, so that no reader and no repair ever meets a tail of zeros.
// A file system that cannot is written without: a write that then meets a
// full disk puts the old content back, and the journal covers a kill.
int reserve(int fd, off_t old, std::size_t size)
{
    if (static_cast<off_t>(size) <= old ||
        fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) == 0)
        return 0;
    return errno == EOPNOTSUPP || errno == ENOSYS ? 0 : errno;
}

int failed(int code, int error)
{
    errno = error;
    return code;
}

// The file is its own fresh file.  Its old content goes into a journal
// first (lib/journal), so that whatever a kill leaves, the next run that
// locks the file makes it the old or the new content again; a full disk
// refuses the rewrite untouched, and any later failure writes the old
// content back.  `refused`: why the directory took no fresh file.
int write_in_place(const Target& target, const std::string& content, int refused)
{
    Fd fd(open(target.path.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            errno = refused;
        return REPLACE_NOTOPEN;
    }
    struct stat st;
    std::string old;
    if (fstat(fd.get(), &st) != 0 || !read_content(fd.get(), old))
        return REPLACE_NOWRITE;
    journal_cut_at_nul(old);
    if (int e = reserve(fd.get(), st.st_size, content.size()))
        return failed(REPLACE_NOWRITE, e);
    Journal journal;
    if (int e = journal_begin(journal, target.path.c_str(), st, old, content))
        return failed(REPLACE_NOJOURNAL, e);
    if (write_at_start(fd.get(), content) &&
        ftruncate(fd.get(), static_cast<off_t>(content.size())) == 0 && fsync(fd.get()) == 0) {
        journal_end(journal);
        return REPLACE_OK;
    }
    int error = errno;
    // Should the old content not go back either, the journal stays for
    // the next run's repair.
    if (put_back(fd.get(), old))
        journal_end(journal);
    return failed(REPLACE_NOWRITE, error);
}

// The complete fresh file takes the name, unless the name is taken.  0
// or the errno of the failure.
int link_new(const Target& target, const Fresh& fresh)
{
    if (!fresh.name.empty())
        return link(fresh.name.c_str(), target.path.c_str()) == 0 ? 0 : errno;
    std::string self = "/proc/self/fd/" + std::to_string(fresh.fd);
    int linked = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.path.c_str(), AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT)
        linked = linkat(fresh.fd, "", AT_FDCWD, target.path.c_str(), AT_EMPTY_PATH);
    return linked == 0 ? 0 : errno;
}

} // namespace

int replacefile(const char* path, const std::function<int(FILE*)>& writer)
{
    Target target = target_of(path);
    remove_stale(target);
    Fresh fresh;
    int refused = open_unnamed(target, fresh);
    bool unnamed = refused == 0;
    // ENOENT and ENOTDIR: no such directory.  Anything else but a refusal
    // is a kernel or file system without unnamed files.
    if (!unnamed && !directory_refuses(refused) && refused != ENOENT && refused != ENOTDIR)
        refused = open_named(target, fresh);
    if (refused != 0 && !directory_refuses(refused))
        return failed(REPLACE_NOTOPEN, refused);
    std::string content;
    if (refused != 0) {
        // Made in memory first, so that a failure leaves the file as it was.
        struct stat old {};
        std::size_t expect = ::stat(target.path.c_str(), &old) == 0 && S_ISREG(old.st_mode)
                                 ? static_cast<std::size_t>(old.st_size) + 4096
                                 : 4096;
        if (int e = render(writer, content, expect))
            return failed(REPLACE_NOWRITE, e);
        return write_in_place(target, content, refused);
    }
    hold(fresh.fd);
    if (int e = run_writer(writer, &fresh.fd, write_to))
        return failed(REPLACE_NOWRITE, e);
    if (fsync(fresh.fd) != 0)
        return failed(REPLACE_NOWRITE, errno);
    int e = unnamed ? link_unnamed(target, fresh) : 0;
    if (e == 0)
        e = put_in_place(target, fresh);
    if (e == 0)
        return REPLACE_OK;
    // A sticky directory lets nobody but the file's owner replace it: the
    // complete fresh file goes over the old one instead.
    if (directory_refuses(e)) {
        if (!read_content(fresh.fd, content))
            return failed(REPLACE_NOWRITE, errno);
        return write_in_place(target, content, e);
    }
    return failed(REPLACE_NORENAME, e);
}

int createnewfile(const char* path, const std::function<int(FILE*)>& writer)
{
    Target target = target_of(path);
    remove_stale(target);
    Fresh fresh;
    int e = open_unnamed(target, fresh);
    if (e != 0 && !directory_refuses(e) && e != ENOENT && e != ENOTDIR)
        e = open_named(target, fresh);
    if (e != 0)
        return failed(REPLACE_NOTOPEN, e);
    hold(fresh.fd);
    if (int error = run_writer(writer, &fresh.fd, write_to))
        return failed(REPLACE_NOWRITE, error);
    if (fsync(fresh.fd) != 0 || fchmod(fresh.fd, default_mode()) != 0)
        return failed(REPLACE_NOWRITE, errno);
    e = link_new(target, fresh);
    if (e == EEXIST)
        return failed(REPLACE_EXISTS, e);
    return e == 0 ? REPLACE_OK : failed(REPLACE_NORENAME, e);
}

namespace {

// How often a reader goes round again because a rewrite in place was
// killed while it waited for the lock; past that it reads what is there.
constexpr int kRepairRounds = 10;

bool writes(mode_t mode, mode_t bit) { return (mode & bit) != 0; }

// Whether everybody who may write the file may also write `dir`, so that
// the file is only ever replaced by a rename.  A class of writers whose
// membership the modes alone do not tell (the file's owner in the
// directory's group) counts as one that may not.
bool renamed_by_all(const struct stat& file, const struct stat& dir)
{
    if (writes(dir.st_mode, S_ISVTX))
        return false; // only the file's owner renames over it
    if (writes(dir.st_mode, S_IWOTH))
        return true;
    if (writes(file.st_mode, S_IWOTH))
        return false;
    if (writes(file.st_mode, S_IWGRP) &&
        !(dir.st_gid == file.st_gid && writes(dir.st_mode, S_IWGRP)))
        return false;
    return !writes(file.st_mode, S_IWUSR) || file.st_uid == 0 ||
           (dir.st_uid == file.st_uid && writes(dir.st_mode, S_IWUSR));
}

// The directory of the path's last component.
std::string directory_of(const char* path)
{
    std::string_view named(path);
    std::size_t slash = named.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    return slash == 0 ? "/" : std::string(named.substr(0, slash));
}

// Takes and lets go of the file's exclusive lock, which repairs it.
void repair(const char* path)
{
    int fd = lock_path(path);
    if (fd >= 0)
        close(fd);
}

// Whether the file `st` at `path` (after lstat, or stat through a link)
// may be rewritten in place by one of its writers.
bool in_place(const char* path, const struct stat& st, bool link)
{
    struct stat dir;
    return link || stat(directory_of(path).c_str(), &dir) != 0 || !renamed_by_all(st, dir);
}

int closed(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

} // namespace

int replacefile_open_read(const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return -1;
    bool link = S_ISLNK(st.st_mode);
    if (link && stat(path, &st) != 0)
        return -1;
    if (journal_pending(st))
        repair(path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || !in_place(path, st, link))
        return fd;
    for (int round = 1;; ++round) {
        struct stat held;
        if (lock_wait_read(fd) != 0 || fstat(fd, &held) != 0)
            return closed(fd);
        if (round == kRepairRounds || !journal_pending(held))
            return fd;
        // The rewrite this one waited for was killed: it is repaired under
        // the exclusive lock, which this one's would keep out.
        lock_release_read(fd);
        repair(path);
    }
}
