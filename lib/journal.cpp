#include "lib/journal.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include "lib/fd.h"
#include "lib/fullio.h"
#include "lib/log.h"

namespace {

constexpr std::string_view kMagic{"ZELRWJ1\n", 8};
constexpr std::size_t kHeaderSize = 48; // up to the path
constexpr std::size_t kTrailerSize = 4; // the journal's own CRC-32

std::string& directory()
{
    static std::string* dir = new std::string;
    return *dir;
}

std::string name_of(const struct stat& st)
{
    char name[64];
    std::snprintf(name, sizeof name, "/zel-rewrite.%llx.%llx",
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return directory() + name;
}

constexpr std::array<std::uint32_t, 256> make_crc_table()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

template <typename T>
void put(std::string& out, T value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
T take(std::string_view bytes, std::size_t at)
{
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// A journal as read back.
struct Record {
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t new_size = 0;
    std::uint32_t new_crc = 0;
    std::string_view path;
    std::string_view old;
};

// False for a journal cut short or otherwise not whole.
bool parse(std::string_view bytes, Record& r)
{
    if (bytes.size() < kHeaderSize + kTrailerSize || bytes.substr(0, kMagic.size()) != kMagic)
        return false;
    std::size_t room = bytes.size() - kHeaderSize - kTrailerSize;
    auto old_size = take<std::uint64_t>(bytes, 24);
    auto path_size = take<std::uint32_t>(bytes, 44);
    if (path_size > room || old_size != room - path_size)
        return false;
    std::string_view body = bytes.substr(0, bytes.size() - kTrailerSize);
    if (journal_crc32(body) != take<std::uint32_t>(bytes, body.size()))
        return false;
    r.dev = take<std::uint64_t>(bytes, 8);
    r.ino = take<std::uint64_t>(bytes, 16);
    r.new_size = take<std::uint64_t>(bytes, 32);
    r.new_crc = take<std::uint32_t>(bytes, 40);
    r.path = bytes.substr(kHeaderSize, path_size);
    r.old = bytes.substr(kHeaderSize + path_size, static_cast<std::size_t>(old_size));
    return true;
}

// The journal's bytes before the old content, and its CRC-32 so far.
std::string header(const char* path, const struct stat& st, std::string_view old,
                   std::string_view fresh)
{
    std::string out(kMagic);
    put<std::uint64_t>(out, st.st_dev);
    put<std::uint64_t>(out, st.st_ino);
    put<std::uint64_t>(out, old.size());
    put<std::uint64_t>(out, fresh.size());
    put<std::uint32_t>(out, journal_crc32(fresh));
    std::string_view named(path);
    put<std::uint32_t>(out, static_cast<std::uint32_t>(named.size()));
    out += named;
    return out;
}

bool sync_directory()
{
    Fd dir(open(directory().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && fsync(dir.get()) == 0;
}

// 0 or the errno of the failure; the journal is on disk when 0.
int write_journal(int fd, const std::string& head, std::string_view old)
{
    std::uint32_t crc = journal_crc32(old, journal_crc32(head));
    if (write_full(fd, head.data(), head.size()) != FULLIO_OK ||
        write_full(fd, old.data(), old.size()) != FULLIO_OK ||
        write_full(fd, &crc, sizeof crc) != FULLIO_OK || fsync(fd) != 0 || !sync_directory())
        return errno ? errno : EIO;
    return 0;
}

bool member_of(uid_t uid, gid_t gid)
{
    std::vector<char> room(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, room.data(), room.size(), &found) != 0 || found == nullptr)
        return false;
    if (found->pw_gid == gid)
        return true;
    int count = 64;
    std::vector<gid_t> groups;
    do {
        groups.resize(static_cast<std::size_t>(count));
    } while (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0 &&
             static_cast<std::size_t>(count) > groups.size());
    groups.resize(std::min(groups.size(), static_cast<std::size_t>(count)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Only a journal that a writer of the file made may put content into it:
// anybody else who may write the spool directory could use one to write
// a file that is not theirs.
bool could_write(uid_t uid, const struct stat& file)
{
    if (uid == 0)
        return true;
    if (uid == file.st_uid)
        return (file.st_mode & S_IWUSR) != 0;
    if ((file.st_mode & S_IWOTH) != 0)
        return true;
    return (file.st_mode & S_IWGRP) != 0 && member_of(uid, file.st_gid);
}

bool read_whole(int fd, std::size_t size, std::string& bytes)
{
    bytes.resize(size);
    return pread_full(fd, bytes.data(), size, 0) == FULLIO_OK;
}

// Whether a kill of the rewrite could have left a file of this size: it
// is written from its start, grows as far as the longer content and is
// cut to the new length last.
bool fits(const Record& r, std::uint64_t size)
{
    std::uint64_t old_size = r.old.size();
    return size >= std::min(old_size, r.new_size) && size <= std::max(old_size, r.new_size);
}

// The old content as a torn rewrite of an earlier release left it, with a
// tail of zeros that the journal does not keep: a kill came before the
// rewrite wrote a byte.
bool old_with_zeros(std::string content, std::string_view old)
{
    journal_cut_at_nul(content);
    return content == old;
}

bool put_back(int fd, std::string_view old)
{
    return pwrite_full(fd, old.data(), old.size(), 0) == FULLIO_OK &&
           ftruncate(fd, static_cast<off_t>(old.size())) == 0 && fsync(fd) == 0;
}

// Makes the file whole from a journal that belongs to it; false, errno
// set, when it could not be written.
bool restore(int fd, const struct stat& st, const Record& r, const std::string& name)
{
    std::string file(r.path);
    std::string content;
    if (!read_whole(fd, static_cast<std::size_t>(st.st_size), content))
        return false;
    if (content.size() == r.new_size && journal_crc32(content) == r.new_crc) {
        if (fsync(fd) != 0)
            return false;
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Rewrite of %s was interrupted: kept its new content",
               file.c_str());
    } else if (content == r.old) {
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Rewrite of %s was interrupted: kept its old content",
               file.c_str());
    } else if (!fits(r, static_cast<std::uint64_t>(st.st_size)) &&
               !old_with_zeros(content, r.old)) {
        logmsg(LOG_TOFILE, LOG_ERROR, 0,
               "Rewrite journal of %s does not fit the file: removed, file left as it is",
               file.c_str());
    } else {
        if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY) {
            errno = EACCES;
            return false;
        }
        if (!put_back(fd, r.old))
            return false;
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Rewrite of %s was interrupted: put its old content back",
               file.c_str());
    }
    if (unlink(name.c_str()) != 0 && errno != ENOENT)
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Cannot remove rewrite journal %s: %m", name.c_str());
    return true;
}

} // namespace

void journal_setdir(const char* dir) { directory() = dir ? dir : ""; }

int journal_begin(Journal& journal, const char* path, const struct stat& st, std::string_view old,
                  std::string_view fresh)
{
    journal.path.clear();
    if (directory().empty()) {
        logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0,
               "Cannot rewrite %s in place: no spool directory for its journal", path);
        return EACCES;
    }
    std::string name = name_of(st);
    Fd fd(open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    int error = fd.get() < 0 ? errno : write_journal(fd.get(), header(path, st, old, fresh), old);
    if (error == 0) {
        journal.path = name;
        return 0;
    }
    if (fd.get() >= 0)
        unlink(name.c_str());
    errno = error;
    logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0,
           "Cannot rewrite %s in place: cannot keep its journal in %s: %m", path,
           directory().c_str());
    return error;
}

void journal_end(Journal& journal)
{
    if (!journal.path.empty())
        unlink(journal.path.c_str());
    journal.path.clear();
}

bool journal_pending(const struct stat& st)
{
    struct stat journal;
    return !directory().empty() && lstat(name_of(st).c_str(), &journal) == 0;
}

void journal_repair(int fd, const struct stat& st)
{
    if (directory().empty())
        return;
    std::string name = name_of(st);
    Fd journal(open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat held;
    std::string bytes;
    if (journal.get() < 0 || fstat(journal.get(), &held) != 0)
        return;
    Record r;
    bool whole = S_ISREG(held.st_mode) &&
                 read_whole(journal.get(), static_cast<std::size_t>(held.st_size), bytes) &&
                 parse(bytes, r);
    if (!whole || r.dev != st.st_dev || r.ino != st.st_ino || !could_write(held.st_uid, st)) {
        // Cut short: the rewrite never began.  Anything else is not the
        // file's.
        if (whole)
            logmsg(LOG_TOFILE, LOG_ERROR, 0, "Rewrite journal %s is not its file's: removed",
                   name.c_str());
        unlink(name.c_str());
        return;
    }
    if (!restore(fd, st, r, name)) {
        std::string file(r.path);
        logmsg(LOG_TOFILE, LOG_ERROR, 0, "Rewrite of %s was interrupted: cannot repair it: %m",
               file.c_str());
    }
}

std::uint32_t journal_crc32(std::string_view bytes, std::uint32_t crc)
{
    crc = ~crc;
    for (char c : bytes)
        crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

void journal_cut_at_nul(std::string& content)
{
    if (std::memchr(content.data(), '\0', content.size()) == nullptr)
        return;
    std::string kept;
    kept.reserve(content.size());
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        std::size_t stop = end == std::string::npos ? content.size() : end;
        const void* nul = std::memchr(content.data() + start, '\0', stop - start);
        std::size_t cut =
            nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - content.data()) : stop;
        kept.append(content, start, cut - start);
        if (end == std::string::npos)
            break;
        kept += '\n';
        start = end + 1;
    }
    content.swap(kept);
}
