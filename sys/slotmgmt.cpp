#include "sys/slotmgmt.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/if_blank.h"
#include "lib/log.h"
#include "lib/plandump.h"
#include "lib/ulstrcmp.h"

// The structures are the files' bytes: both files are little-endian, and
// the fax server's own programs read them with the same layout.
static_assert(std::endian::native == std::endian::little);
static_assert(offsetof(StatusBitmapHeader, maxused) == 8);
static_assert(offsetof(StatusBitmapHeader, offset) == 20);
static_assert(offsetof(StatusSlot, priority) == 6);
static_assert(offsetof(StatusSlot, errorcode) == 8);
static_assert(offsetof(StatusSlot, idmajor) == 12);
static_assert(offsetof(StatusSlot, owneruid) == 24);
static_assert(offsetof(StatusSlot, csid) == 28);
static_assert(offsetof(StatusSlot, faxline) == 48);
static_assert(offsetof(StatusSlot, sender) == 62);
static_assert(offsetof(StatusSlot, handle) == 102);
static_assert(offsetof(StatusSlot, phone) == 122);
static_assert(offsetof(StatusSlot, dialled) == 146);
static_assert(offsetof(StatusSlot, recipient) == 170);
static_assert(offsetof(StatusSlot, company) == 194);
static_assert(offsetof(StatusSlot, subject) == 218);
static_assert(offsetof(StatusSlot, unused) == 242);
static_assert(offsetof(QueueEntry, record) == 4);

namespace {

constexpr int kHeaderSize = sizeof(StatusBitmapHeader);

int lock_wait(int fd)
{
    int r;
    while ((r = lock_wait_write(fd)) != 0 && errno == EINTR) {
    }
    return r;
}

// A seek on a descriptor whose header and block were just read at these
// offsets cannot fail unless something is badly wrong.
void seek_or_die(int fd, off_t offset, const char* assertion)
{
    if (lseek(fd, offset, SEEK_SET) < 0)
        __assert_fail(assertion, __FILE__, __LINE__, "findslot");
}

template <std::size_t N>
void setfield(char (&field)[N], const char* value)
{
    slotfieldcopy(field, N, value);
}

// The field as a string that ends where the field does.
template <std::size_t N>
std::string fieldtext(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

bool key_less(const StatusSlot& a, unsigned major, unsigned minor)
{
    return a.idmajor < major || (a.idmajor == major && a.idminor < minor);
}

bool key_greater(const StatusSlot& a, unsigned major, unsigned minor)
{
    return a.idmajor > major || (a.idmajor == major && a.idminor > minor);
}

// New files take the spool directory's owner; user 1, group 2 when it
// cannot be examined.
void chown_like_spool(int fd, const std::string& path)
{
    struct stat st;
    uid_t uid = 1;
    gid_t gid = 2;
    if (stat(getspooldir(), &st) == 0) {
        uid = st.st_uid;
        gid = st.st_gid;
    }
    if (fchown(fd, uid, gid) != 0)
        logerror("Could not chown(%s, %d, %d)", path.c_str(), static_cast<int>(uid),
                 static_cast<int>(gid));
}

// Creates `path` with `bytes` so that no process ever sees it part-written
// and two creators cannot both win: the content goes into a file beside it,
// which is then linked into place.  1 made, 0 another process made it
// first, -1 failed (logged).
int create_whole(const std::string& path, const void* bytes, std::size_t size)
{
    std::string temp = path + ".XXXXXX";
    int raw = mkostemp(temp.data(), O_CLOEXEC);
    if (raw < 0) {
        logerror("%s", path.c_str());
        return -1;
    }
    Fd fd(raw);
    fchmod(fd.get(), 0644);
    chown_like_spool(fd.get(), path);
    int result = 1;
    if (write_full(fd.get(), bytes, size) != FULLIO_OK) {
        logerror("%s", path.c_str());
        result = -1;
    } else if (link(temp.c_str(), path.c_str()) != 0) {
        if (errno == EEXIST) {
            result = 0;
        } else {
            logerror("%s", path.c_str());
            result = -1;
        }
    }
    unlink(temp.c_str());
    return result;
}

// base + suffix, or "" when the base is null or the result would not fit
// a path buffer.
std::string filepath(const char* base, const char* suffix)
{
    if (base == nullptr)
        return "";
    std::string path = std::string(base) + suffix;
    return path.size() < PATH_MAX ? path : "";
}

// The allocation proper, on the open bitmap file: under the lock from the
// header read until the block and the header are written.
int allocate(int fd, const std::string& path)
{
    if (lock_wait(fd) != 0) {
        logerror("lockfile");
        return SLOT_NOALLOC;
    }
    auto fail = [fd] {
        lock_release(fd);
        return SLOT_NOALLOC;
    };
    StatusBitmapHeader header;
    if (read_full(fd, &header, kHeaderSize) != FULLIO_OK) {
        logerror("sbmh header read");
        return fail();
    }
    if (header.magic != STATUS_BM_MAGIC) {
        logerror("sbmh bad magic");
        return fail();
    }
    // An offset outside the first block would make the bitmap overlap the
    // header or leave the block arithmetic meaningless.
    if (header.offset < kHeaderSize || header.offset >= STATUS_BM_BLOCK) {
        errno = EINVAL;
        logerror("sbmh lseek");
        return fail();
    }
    if (lseek(fd, header.offset, SEEK_SET) < 0) {
        logerror("sbmh lseek");
        return fail();
    }
    std::array<unsigned char, STATUS_BM_BLOCK> block;
    // The bytes read into the block, -1 on an error.
    auto readblock = [fd, &block](std::size_t size) -> ssize_t {
        std::size_t got = 0;
        return read_full(fd, block.data(), size, &got) == FULLIO_ERROR ? -1
                                                                       : static_cast<ssize_t>(got);
    };
    off_t pos = header.offset;
    ssize_t len = readblock(static_cast<std::size_t>(STATUS_BM_BLOCK - header.offset));
    for (;;) {
        if (len < 0) {
            logerror("%s", path.c_str());
            return fail();
        }
        if (len == 0) {
            block.fill(0);
            len = STATUS_BM_BLOCK;
        }
        ssize_t i = 0;
        while (i < len && block[static_cast<std::size_t>(i)] == 0xFF)
            ++i;
        if (i == len) {
            pos += len;
            len = readblock(STATUS_BM_BLOCK);
            continue;
        }
        unsigned char& byte = block[static_cast<std::size_t>(i)];
        int bit = std::countr_one(byte);
        long long slot = bit + 8LL * (pos - header.offset + i) + 1;
        if (slot > INT_MAX) {
            errno = EFBIG;
            logerror("%s", path.c_str());
            return fail();
        }
        byte = static_cast<unsigned char>(byte | (1u << bit));
        seek_or_die(fd, pos, "lseek(fd, offset, 0) >= 0");
        if (write_full(fd, block.data(), static_cast<std::size_t>(len)) != FULLIO_OK) {
            logerror("%s", path.c_str());
            return fail();
        }
        if (static_cast<std::uint32_t>(slot) > header.maxused) {
            header.maxused = static_cast<std::uint32_t>(slot);
            seek_or_die(fd, 0, "lseek(fd, 0L, 0) >= 0");
            // The slot is already ours; a stale max used only misleads reports.
            if (write_full(fd, &header, kHeaderSize) != FULLIO_OK)
                logerror("sbmh update");
        }
        lock_release(fd);
        return static_cast<int>(slot);
    }
}

// The first 8192 bytes of a new bitmap, slot 1 taken by its creator.
std::vector<unsigned char> new_bitmap()
{
    std::vector<unsigned char> bytes(STATUS_BM_BLOCK, 0);
    StatusBitmapHeader header{STATUS_BM_MAGIC,  STATUS_BM_VERSION, 1, 1,
                              STATUS_SLOT_SIZE, STATUS_BM_OFFSET};
    std::memcpy(bytes.data(), &header, kHeaderSize);
    bytes[STATUS_BM_OFFSET] = 1;
    return bytes;
}

// Process-wide state: the kept record file descriptor, freeslot's bitmap
// descriptor with its header, and the scans' read streams.
int dbfd = -1;
int bmfd = -1;
StatusBitmapHeader bmheader;

// A buffered sequential reader of whole records that reads with pread on
// the kept descriptor, so it never disturbs (or is disturbed by) the file
// offset that readslot and writeslot move.
class RecordStream {
public:
    // Opens on first use, then starts again at record 1.  SLOT_OK or
    // SLOT_NOTOPEN.
    int rewind()
    {
        if (fd_ < 0)
            fd_ = opendb(statuspath());
        if (fd_ < 0)
            return SLOT_NOTOPEN;
        next_ = STATUS_SLOT_SIZE;
        have_ = used_ = 0;
        return SLOT_OK;
    }

    // Whether the next call reads the next block, over the records that
    // the calls so far pointed to.
    bool block_ends() const { return used_ == have_; }

    // The next whole record where it lies in the stream's block, valid
    // until the block is read over; null at the end of the file (a
    // trailing part-record counts as the end).
    const StatusSlot* next()
    {
        if (used_ == have_) {
            // A full queue is 16 MB: a few large reads into one block cost
            // about what reading the file costs, whatever its size.
            if (!buffer_)
                buffer_.reset(new StatusSlot[kRecords]);
            std::size_t n = 0;
            pread_full(fd_, buffer_.get(), kRecords * STATUS_SLOT_SIZE, next_, &n);
            if (n < STATUS_SLOT_SIZE)
                return nullptr;
            have_ = n / STATUS_SLOT_SIZE;
            used_ = 0;
            next_ += static_cast<off_t>(have_ * STATUS_SLOT_SIZE);
        }
        return &buffer_[used_++];
    }

private:
    static constexpr std::size_t kRecords = 1024; // 256 KiB
    int fd_ = -1;
    off_t next_ = 0;
    std::size_t have_ = 0; // records in the block
    std::size_t used_ = 0;
    std::unique_ptr<StatusSlot[]> buffer_;
};

RecordStream querystream;
RecordStream statsstream;
RecordStream iterstream;

// Whether a record's sender field is `sender`, ignoring case as ulstrncmp
// does.  A full queue asks it of every record: a sender spelled byte for
// byte the same, the usual case, is told by one memcmp.
struct SenderMatch {
    const char* sender;
    std::size_t length; // with the NUL, when that fits the field

    explicit SenderMatch(const char* s)
        : sender(s), length(strnlen(s, sizeof StatusSlot::sender) + 1)
    {
        length = std::min(length, sizeof StatusSlot::sender);
    }

    bool matches(const char (&field)[sizeof StatusSlot::sender]) const
    {
        // Most other senders differ in their first letter, case aside.
        if (field[0] != sender[0])
            return fold(field[0]) == fold(sender[0]) && ulstrncmp(field, sender, sizeof field) == 0;
        return std::memcmp(field, sender, length) == 0 ||
               ulstrncmp(field, sender, sizeof field) == 0;
    }

    static char fold(char c)
    {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
    }
};

// Whether a record passes queryqueue's filter.
struct Filter {
    int kind;
    const char* value;
    unsigned major = 0;
    unsigned minor = 0;
    long uid = 0;
    SenderMatch sender;

    Filter(int k, const char* v) : kind(k), value(v ? v : ""), sender(value)
    {
        char* end = nullptr;
        if (kind == QUERY_ID) {
            major = static_cast<unsigned>(std::strtoul(value, &end, 10));
            if (*end != '\0')
                minor = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
        } else if (kind == QUERY_UID) {
            uid = std::strtol(value, nullptr, 10);
        }
    }

    bool accepts(const StatusSlot& r) const
    {
        switch (kind) {
        case QUERY_HANDLE:
            return std::strncmp(r.handle, value, sizeof r.handle) == 0;
        case QUERY_SENDER:
            return sender.matches(r.sender);
        case QUERY_ID:
            return r.idmajor == major && r.idminor == minor;
        case QUERY_UID:
            return r.owneruid == uid;
        default:
            return true;
        }
    }
};

void addstats(QueueStats* stats, const StatusSlot& r, std::uint32_t hour, std::uint32_t day)
{
    if (r.timequeued < static_cast<std::uint32_t>(stats->since))
        stats->since = static_cast<std::int32_t>(r.timequeued);
    switch (r.state) {
    case SLOT_ACTIVE:
        ++stats->active;
        break;
    case SLOT_NEW:
    case SLOT_WAITING:
    case SLOT_RETRYWAIT:
    case SLOT_REACTIVATED:
        ++stats->waiting;
        break;
    case SLOT_SUSPENDED:
        ++stats->suspended;
        break;
    case SLOT_DELAYED:
        ++stats->delayed;
        break;
    case SLOT_SENT:
        ++stats->sent;
        if (r.timechanged > hour)
            ++stats->senthour;
        else if (r.timechanged > day)
            ++stats->sentday;
        break;
    case SLOT_FAILED:
        ++stats->failed;
        if (r.timechanged > hour)
            ++stats->failedhour;
        else if (r.timechanged > day)
            ++stats->failedday;
        break;
    default:
        break;
    }
}

void zerostats(QueueStats* stats)
{
    *stats = QueueStats{};
    stats->since = 0x7FFFFFFF;
}

bool exists(const char* path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// The spool directory of a deletion: every file of the request is reached
// from its descriptor, and names are compared with the paths that lead
// to it, as configured and as resolved.
struct Spool {
    Fd dir;
    std::string configured;
    std::string resolved;
};

std::string withoutslashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// `dir` is -1 when the spool directory cannot be opened.
void openspool(Spool& spool, const char* path)
{
    char resolved[PATH_MAX];
    if (path == nullptr)
        return;
    spool.dir.reset(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    spool.configured = withoutslashes(path);
    spool.resolved = realpath(path, resolved) != nullptr ? resolved : spool.configured;
}

// What follows `prefix` in `name` when name lies below it, else nullopt.
std::optional<std::string_view> below(std::string_view name, const std::string& prefix)
{
    if (!name.starts_with(prefix))
        return std::nullopt;
    std::string_view rest = name.substr(prefix.size());
    if (prefix != "/" && !rest.empty() && rest.front() != '/')
        return std::nullopt;
    return rest;
}

// The components of `name` below the spool directory: a relative name is
// taken from it, an absolute one must begin with one of its paths.  Empty
// and "." components go; a ".." component, which could lead out, makes
// it nullopt, as does a name elsewhere.
std::optional<std::vector<std::string>> spoolparts(const Spool& spool, std::string_view name)
{
    std::optional<std::string_view> rest = name;
    if (name.starts_with('/')) {
        rest = below(name, spool.configured);
        if (!rest)
            rest = below(name, spool.resolved);
    }
    if (!rest)
        return std::nullopt;
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= rest->size();) {
        std::size_t end = std::min(rest->find('/', at), rest->size());
        std::string_view part = rest->substr(at, end - at);
        if (part == "..")
            return std::nullopt;
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        at = end + 1;
    }
    return parts;
}

// The directory that holds the last of `parts`, opened one component at a
// time from the spool directory without following a symbolic link, so
// that none, not even one swapped in a moment ago, leads elsewhere.  The
// descriptor (O_PATH), or -1 with errno set.
int openparent(const Spool& spool, const std::vector<std::string>& parts)
{
    if (spool.dir.get() < 0 || parts.empty()) {
        errno = spool.dir.get() < 0 ? EBADF : EISDIR;
        return -1;
    }
    int dir = fcntl(spool.dir.get(), F_DUPFD_CLOEXEC, 0);
    for (std::size_t i = 0; dir >= 0 && i + 1 < parts.size(); ++i) {
        int next = openat(dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        errno = saved;
        dir = next;
    }
    return dir;
}

void notremoving(const char* name, const StatusSlot& record, const char* why)
{
    logmsg(LOG_TOFILE, LOG_ERROR, 0, "Request %d-%d: not removing %.200s: %.200s",
           static_cast<int>(record.idmajor), record.idminor, name, why);
}

// Removes a file named in a suspended request file.  Whoever can write such
// a file (or damage it) chooses the name, so only a regular file below
// the spool directory goes, reached and unlinked through descriptors
// without following a link.  A name already gone is nothing to remove;
// every other skip is logged.
void removefile(const Spool& spool, const char* name, const StatusSlot& record)
{
    std::optional<std::vector<std::string>> parts = spoolparts(spool, name);
    if (!parts) {
        std::string why = "outside the spool directory " + spool.resolved;
        notremoving(name, record, why.c_str());
        return;
    }
    Fd dir(openparent(spool, *parts));
    struct stat st;
    if (dir.get() < 0 || fstatat(dir.get(), parts->back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return;
        // O_NOFOLLOW | O_DIRECTORY says ENOTDIR of a link on the way.
        notremoving(name, record,
                    errno == ENOTDIR ? "a symbolic link or no directory on the way"
                                     : std::strerror(errno));
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        notremoving(name, record, "not a regular file");
        return;
    }
    if (unlinkat(dir.get(), parts->back().c_str(), 0) != 0 && errno != ENOENT)
        notremoving(name, record, std::strerror(errno));
}

// Reads the suspended file into `keys` and removes it, reached like the
// files it names.  DELETE_OK, DELETE_NOREAD or DELETE_NOUNLINK.
int removesuspended(const Spool& spool, const StatusSlot& record, KeyTree& keys)
{
    char name[PATH_MAX];
    int n =
        std::snprintf(name, sizeof name, "destinations/%s/sf%d-%d", fieldtext(record.phone).c_str(),
                      static_cast<int>(record.idmajor), record.idminor);
    std::optional<std::vector<std::string>> parts = spoolparts(spool, name);
    if (n < 0 || n >= PATH_MAX || !parts)
        return DELETE_NOREAD;
    Fd dir(openparent(spool, *parts));
    int fd = dir.get() < 0
                 ? -1
                 : openat(dir.get(), parts->back().c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "r");
    if (file == nullptr) {
        if (errno != ENOENT)
            logmsg(LOG_TOFILE, LOG_ERROR, 0, "Request %d-%d: not reading %.200s: %m",
                   static_cast<int>(record.idmajor), record.idminor, name);
        if (fd >= 0)
            close(fd);
        return DELETE_NOREAD;
    }
    keytree_read(keys, file);
    std::fclose(file);
    return unlinkat(dir.get(), parts->back().c_str(), 0) == 0 ? DELETE_OK : DELETE_NOUNLINK;
}

} // namespace

void slotfieldcopy(char* field, std::size_t width, const char* value)
{
    if (value == nullptr)
        return;
    std::size_t n = strnlen(value, width);
    std::memcpy(field, value, n);
    std::memset(field + n, 0, width - n);
}

const char* slotstatename(int state)
{
    static const char* const names[] = {"???",        "New",        "Waiting", "Active",
                                        "Delayed",    "Suspended",  "SENT",    "FAILED",
                                        "Retry Wait", "Reactivated"};
    return state >= SLOT_NEW && state <= SLOT_REACTIVATED ? names[state] : "???";
}

const char* slotshortname(int state)
{
    static const char* const names[] = {"???",    "New",  "Wait",   "Active",     "Delay",
                                        "Suspnd", "SENT", "FAILED", "Retry Wait", "Reactivated"};
    return state >= SLOT_NEW && state <= SLOT_REACTIVATED ? names[state] : "???";
}

const char* statuspath()
{
    static char path[PATH_MAX];
    const char* spool = get_config("spool-directory");
    // Room for the longest suffix, ".bm"/".db", so the file paths fit too.
    if (spool == nullptr || std::strlen(spool) + sizeof "/status.bm" > sizeof path)
        return nullptr;
    std::snprintf(path, sizeof path, "%s/status", spool);
    return path;
}

int findslot(const char* base)
{
    std::string path = filepath(base, ".bm");
    if (path.empty()) {
        errno = base == nullptr ? ENOENT : ENAMETOOLONG;
        logerror("%s.bm", base == nullptr ? "status" : base);
        return SLOT_NOALLOC;
    }
    // A process that loses the creation race allocates from the winner's
    // file; a file removed meanwhile sends us round once more.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int raw = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (raw >= 0) {
            Fd fd(raw);
            return allocate(fd.get(), path);
        }
        if (errno != ENOENT) {
            logerror("%s", path.c_str());
            return SLOT_NOALLOC;
        }
        std::vector<unsigned char> bytes = new_bitmap();
        int made = create_whole(path, bytes.data(), bytes.size());
        // The new bitmap gives its creator slot 1.
        if (made > 0)
            return 1;
        if (made < 0)
            return SLOT_NOALLOC;
    }
    logerror("%s", path.c_str());
    return SLOT_NOALLOC;
}

int freeslot(int slot)
{
    auto forget = [](int code) {
        close(bmfd);
        bmfd = -1;
        return code;
    };
    if (bmfd < 0) {
        std::string path = filepath(statuspath(), ".bm");
        if (path.empty() || (bmfd = open(path.c_str(), O_RDWR | O_CLOEXEC)) < 0)
            return FREE_NOTOPEN;
        if (pread_full(bmfd, &bmheader, kHeaderSize, 0) != FULLIO_OK)
            return forget(FREE_NOHEADER);
        if (bmheader.magic != STATUS_BM_MAGIC)
            return forget(FREE_BADMAGIC);
    }
    // There is no slot 0 (and no bit for it); treat it as an unreachable place.
    if (slot < 1)
        return forget(FREE_NOSEEK);
    off_t at = static_cast<off_t>(bmheader.offset) + (slot - 1) / 8;
    if (lseek(bmfd, at, SEEK_SET) < 0)
        return forget(FREE_NOSEEK);
    if (lock_wait(bmfd) != 0)
        return forget(FREE_NOLOCK);
    auto unlock = [&forget](int code) {
        lock_release(bmfd);
        return forget(code);
    };
    unsigned char byte;
    if (read_full(bmfd, &byte, 1) != FULLIO_OK)
        return unlock(FREE_NOREAD);
    byte = static_cast<unsigned char>(byte & ~(1u << ((slot - 1) % 8)));
    if (lseek(bmfd, at, SEEK_SET) < 0)
        return unlock(FREE_NOREWIND);
    if (write_full(bmfd, &byte, 1) != FULLIO_OK)
        return unlock(FREE_NOWRITE);
    lock_release(bmfd);
    return FREE_OK;
}

int testslot(int fd, int slot, int offset)
{
    if (slot < 1)
        return SLOTBIT_NOREAD;
    off_t at = static_cast<off_t>(offset) + (slot - 1) / 8;
    off_t start = at / STATUS_BM_BLOCK * STATUS_BM_BLOCK;
    std::array<unsigned char, STATUS_BM_BLOCK> block;
    if (lseek(fd, start, SEEK_SET) < 0 || read_full(fd, block.data(), block.size()) != FULLIO_OK)
        return SLOTBIT_NOREAD;
    bool set = (block[static_cast<std::size_t>(at - start)] >> ((slot - 1) % 8)) & 1;
    return set ? SLOTBIT_SET : SLOTBIT_CLEAR;
}

int opendb(const char* base)
{
    if (base == nullptr)
        return SLOT_NOTOPEN;
    if (dbfd >= 0)
        return dbfd;
    std::string path = filepath(base, ".db");
    if (path.empty()) {
        errno = ENAMETOOLONG;
        logerror("%s.db", base);
        return SLOT_NOTOPEN;
    }
    // Two processes may find it missing at once; only one creation counts,
    // so neither can truncate a record the other has written.
    for (int attempt = 0; attempt < 3; ++attempt) {
        dbfd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (dbfd >= 0)
            return dbfd;
        if (errno != ENOENT)
            break;
        std::array<unsigned char, 2 * STATUS_SLOT_SIZE> bytes{};
        std::uint32_t magic = STATUS_DB_MAGIC;
        std::memcpy(bytes.data(), &magic, sizeof magic);
        if (create_whole(path, bytes.data(), bytes.size()) < 0)
            return SLOT_NOTOPEN;
    }
    logerror("%s", path.c_str());
    return SLOT_NOTOPEN;
}

int readslot(int slot, StatusSlot* record)
{
    int fd = opendb(statuspath());
    if (fd < 0)
        return SLOT_NOTOPEN;
    if (lseek(fd, static_cast<off_t>(slot) * STATUS_SLOT_SIZE, SEEK_SET) < 0)
        return SLOT_NOSEEK;
    if (read_full(fd, record, STATUS_SLOT_SIZE) != FULLIO_OK)
        return SLOT_SHORT;
    return SLOT_OK;
}

int writeslot(int slot, StatusSlot* record)
{
    int fd = opendb(statuspath());
    if (fd < 0)
        return SLOT_NOWRITE;
    record->timechanged = static_cast<std::uint32_t>(std::time(nullptr));
    if (lseek(fd, static_cast<off_t>(slot) * STATUS_SLOT_SIZE, SEEK_SET) < 0)
        return SLOT_NOWRITE;
    return write_full(fd, record, STATUS_SLOT_SIZE) == FULLIO_OK ? SLOT_OK : SLOT_NOWRITE;
}

int clearslot(int slot)
{
    int fd = opendb(statuspath());
    if (fd < 0)
        return SLOT_NOTOPEN;
    if (lseek(fd, static_cast<off_t>(slot) * STATUS_SLOT_SIZE, SEEK_SET) < 0)
        return SLOT_NOSEEK;
    std::array<unsigned char, STATUS_SLOT_SIZE> zeros{};
    return write_full(fd, zeros.data(), zeros.size()) == FULLIO_OK ? SLOT_OK : SLOT_SHORT;
}

void setslotstate(int slot, int state, const char* faxline)
{
    StatusSlot record;
    if (readslot(slot, &record) != SLOT_OK || record.state == state)
        return;
    record.state = static_cast<std::uint8_t>(state);
    setfield(record.faxline, faxline);
    writeslot(slot, &record);
}

void setslotcsid(int slot, const char* csid)
{
    StatusSlot record;
    if (csid == nullptr || readslot(slot, &record) != SLOT_OK)
        return;
    setfield(record.csid, csid);
    writeslot(slot, &record);
}

int setslotpages(int slot, int sent, int total)
{
    StatusSlot record;
    if (int r = readslot(slot, &record); r != SLOT_OK)
        return r;
    record.pagessent = static_cast<std::uint8_t>(sent);
    record.pagestotal = static_cast<std::uint8_t>(total);
    return writeslot(slot, &record);
}

int setsloterror(int slot, int code)
{
    StatusSlot record;
    if (int r = readslot(slot, &record); r != SLOT_OK)
        return r;
    record.errorcode = static_cast<std::uint16_t>(code);
    return writeslot(slot, &record);
}

void addrequest(unsigned idmajor, unsigned idminor, QueueRequest* request)
{
    const char* base = statuspath();
    int slot = findslot(base);
    if (slot < 0) {
        logmsg(LOG_TOFILE | LOG_TOECHO, LOG_ERROR, 0, "Cannot add to status file (%d)", slot);
        return;
    }
    opendb(base);
    StatusSlot record{};
    std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    record.state = SLOT_NEW;
    record.pagestotal = static_cast<std::uint8_t>(request->pages);
    record.idminor = static_cast<std::uint16_t>(idminor);
    record.idmajor = idmajor;
    record.timequeued = record.timechanged = now;
    setfield(record.phone, request->destination);
    if (KeyTree* keys = request->keys) {
        auto key = [keys](const char* name) { return keytree_lookup(*keys, name); };
        if (const char* priority = key("priority"))
            record.priority = static_cast<std::int16_t>(std::atoi(priority));
        if (const char* user = key("sent-by"))
            if (const passwd* pw = getpwnam(user))
                record.owneruid = static_cast<std::int32_t>(pw->pw_uid);
        setfield(record.sender, key("mailaddr"));
        setfield(record.handle, key("handle"));
        if (const char* device = key("device"))
            if (const char* colon = std::strrchr(device, ':'))
                setfield(record.dialled, colon + 1);
        setfield(record.recipient, key("recipient-name"));
        setfield(record.company, key("recipient-company"));
        setfield(record.subject, key("subject"));
    }
    writeslot(slot, &record);
    if (request->keys != nullptr) {
        char number[24];
        std::snprintf(number, sizeof number, "%ld", static_cast<long>(slot));
        keytree_set(*request->keys, "slotno", number);
    }
}

int queryqueue(QueueEntry* entries, int capacity, int older, unsigned boundmajor,
               unsigned boundminor, int* newer, int* olderout, int kind, const char* value)
{
    if (newer != nullptr)
        *newer = 0;
    if (olderout != nullptr)
        *olderout = 0;
    if (entries == nullptr || capacity < 0)
        capacity = 0;
    if (querystream.rewind() != SLOT_OK)
        return SLOT_NOTOPEN;
    Filter filter(kind, value);
    int filled = 0;
    int overflow = 0;
    int extreme = -1; // the kept entry a better record would replace
    // The entry to replace is the first of the kept ones with the least
    // wanted key.  A full queue replaces one for nearly every record, so
    // the kept entries are held in the order they would be replaced in:
    // the next one is the first, and a replacement moves to its place
    // from the end, where a newer record than all others goes at once.
    const auto size = static_cast<std::size_t>(capacity);
    std::vector<std::uint64_t> keys(size);
    auto key = [](const StatusSlot& r) {
        return static_cast<std::uint64_t>(r.idmajor) << 16 | r.idminor;
    };
    // Whether entry a is replaced before entry b.
    auto before = [&](int a, int b) {
        auto ka = keys[static_cast<std::size_t>(a)], kb = keys[static_cast<std::size_t>(b)];
        if (ka != kb)
            return older ? ka < kb : kb < ka;
        return a < b;
    };
    // A ring of all the kept entries, once they fill `entries`: the next
    // one to replace is at `head`.
    std::vector<int> order(size);
    bool ordered = false;
    std::size_t head = 0;
    auto item = [&](std::size_t at) -> int& {
        std::size_t i = head + at;
        return order[i >= size ? i - size : i];
    };
    auto find_extreme = [&] {
        if (!ordered) {
            for (std::size_t i = 0; i < size; ++i)
                order[i] = static_cast<int>(i);
            std::sort(order.begin(), order.end(), before);
            head = 0;
            ordered = true;
            return item(0);
        }
        // The first entry has just been replaced by a more wanted one: it
        // goes behind those replaced before it, the others keep their
        // places.
        int moved = item(0);
        std::size_t at = size - 1;
        while (at > 0 && before(moved, item(at)))
            --at;
        head = head + 1 == size ? 0 : head + 1;
        for (std::size_t j = size - 1; j > at; --j)
            item(j) = item(j - 1);
        item(at) = moved;
        return item(0);
    };
    // A kept record is copied out of the stream's block only when the block
    // is about to be read over, not each time it is kept.
    std::vector<const StatusSlot*> pending(size);
    auto keep = [&](int at, int slot, const StatusSlot& record) {
        keys[static_cast<std::size_t>(at)] = key(record);
        entries[at].slot = slot;
        pending[static_cast<std::size_t>(at)] = &record;
    };
    auto copy_pending = [&] {
        for (int i = 0; i < filled; ++i) {
            if (const StatusSlot* record = pending[static_cast<std::size_t>(i)]) {
                entries[i].record = *record;
                pending[static_cast<std::size_t>(i)] = nullptr;
            }
        }
    };
    std::uint64_t extreme_key = 0; // keys[extreme]
    for (int slot = 1;; ++slot) {
        if (querystream.block_ends())
            copy_pending();
        const StatusSlot* next = querystream.next();
        if (next == nullptr)
            break;
        const StatusSlot& record = *next;
        if (record.state == SLOT_EMPTY)
            continue;
        if (boundmajor != 0) {
            if (older && !key_less(record, boundmajor, boundminor)) {
                if (newer != nullptr)
                    ++*newer;
                continue;
            }
            if (!older && !key_greater(record, boundmajor, boundminor)) {
                if (olderout != nullptr)
                    ++*olderout;
                continue;
            }
        }
        if (filter.kind != QUERY_ALL && !filter.accepts(record))
            continue;
        if (filled < capacity) {
            keep(filled++, slot, record);
            extreme = -1;
            ordered = false;
            continue;
        }
        ++overflow;
        if (filled == 0)
            continue;
        if (extreme < 0) {
            extreme = find_extreme();
            extreme_key = keys[static_cast<std::size_t>(extreme)];
        }
        std::uint64_t wanted = key(record);
        if (older ? extreme_key < wanted : wanted < extreme_key) {
            keep(extreme, slot, record);
            // Mostly the record is the most wanted of all kept, which the
            // entry it replaced already is once the ring turns by one.
            if (before(extreme, order[head == 0 ? size - 1 : head - 1]))
                extreme = find_extreme();
            else
                extreme = order[head = head + 1 == size ? 0 : head + 1];
            extreme_key = keys[static_cast<std::size_t>(extreme)];
        }
    }
    copy_pending();
    if (overflow != 0) {
        int* count = older ? olderout : newer;
        if (count != nullptr)
            *count = overflow;
    }
    return filled;
}

int queuestats(QueueStats* all, QueueStats* mine, const char* sender, int uid)
{
    if (all == nullptr)
        return 0;
    zerostats(all);
    if (mine != nullptr)
        zerostats(mine);
    if (statsstream.rewind() != SLOT_OK)
        return SLOT_NOTOPEN;
    std::uint32_t now = static_cast<std::uint32_t>(std::time(nullptr));
    std::uint32_t hour = now - 3600;
    std::uint32_t day = now - 86400;
    int count = 0;
    SenderMatch ours_by(sender != nullptr ? sender : "");
    while (const StatusSlot* next = statsstream.next()) {
        const StatusSlot& record = *next;
        if (record.state == SLOT_EMPTY)
            continue;
        ++count;
        addstats(all, record, hour, day);
        if (mine == nullptr)
            continue;
        bool ours = sender != nullptr ? ours_by.matches(record.sender) : record.owneruid == uid;
        if (ours)
            addstats(mine, record, hour, day);
    }
    return count;
}

bool destinationdir(std::string_view phone)
{
    if (phone.empty() || phone.front() == '/')
        return false;
    // Only a "." or ".." component could lead out of destinations/.
    for (std::size_t at = 0; at <= phone.size();) {
        std::size_t end = std::min(phone.find('/', at), phone.size());
        std::string_view part = phone.substr(at, end - at);
        if (part == "." || part == "..")
            return false;
        at = end + 1;
    }
    return true;
}

int requestfiles(const StatusSlot* record, char* cf, char* sf)
{
    char cfbuf[PATH_MAX];
    char sfbuf[PATH_MAX];
    if (cf == nullptr)
        cf = cfbuf;
    if (sf == nullptr)
        sf = sfbuf;
    cf[0] = sf[0] = '\0';
    const char* spool = get_config("spool-directory");
    if (spool == nullptr)
        return FILES_NOPATH;
    std::string phone = fieldtext(record->phone);
    if (!destinationdir(phone))
        return FILES_NONE;
    int major = static_cast<int>(record->idmajor);
    int minor = record->idminor;
    int n = std::snprintf(cf, PATH_MAX, "%s/destinations/%s/cf%d-%d", spool, phone.c_str(), major,
                          minor);
    int m = std::snprintf(sf, PATH_MAX, "%s/destinations/%s/sf%d-%d", spool, phone.c_str(), major,
                          minor);
    if (n < 0 || n >= PATH_MAX || m < 0 || m >= PATH_MAX) {
        cf[0] = sf[0] = '\0';
        return FILES_NOPATH;
    }
    if (exists(cf))
        return FILES_QUEUED;
    if (exists(sf))
        return FILES_SUSPENDED;
    return FILES_NONE;
}

void wakescheduler()
{
    constexpr std::size_t kLineMax = 511; // of the state file's first line
    pid_t pid = plandump_pid(getspooldir(), kLineMax);
    if (pid > 0)
        kill(pid, SIGALRM);
}

int activaterequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH || files == FILES_NONE)
        return ACTIVATE_NOFILE;
    if (files == FILES_QUEUED)
        return ACTIVATE_QUEUED;
    if (rename(sf, cf) != 0)
        return ACTIVATE_NORENAME;
    setslotstate(entry->slot, SLOT_REACTIVATED, "-");
    wakescheduler();
    return ACTIVATE_OK;
}

int suspendrequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH || files == FILES_NONE)
        return SUSPEND_NOFILE;
    if (files == FILES_SUSPENDED)
        return SUSPEND_ALREADY;
    {
        Fd fd(open(cf, O_WRONLY | O_CLOEXEC));
        if (fd.get() < 0)
            return SUSPEND_NOTOPEN;
        // A lock held elsewhere means the scheduler is sending it right now.
        if (lock_try_write(fd.get()) != 0)
            return SUSPEND_LOCKED;
        // Renamed under the lock, which goes with the descriptor: the
        // scheduler cannot take the request between the test and the rename.
        if (rename(cf, sf) != 0)
            return SUSPEND_NORENAME;
    }
    setslotstate(entry->slot, SLOT_SUSPENDED, "-");
    return SUSPEND_OK;
}

int deleterequest(const QueueEntry* entry)
{
    char cf[PATH_MAX];
    char sf[PATH_MAX];
    int files = requestfiles(&entry->record, cf, sf);
    if (files == FILES_NOPATH)
        return DELETE_NOPATH;
    if (files == FILES_QUEUED)
        return DELETE_QUEUED;
    if (files == FILES_SUSPENDED) {
        Spool spool;
        openspool(spool, get_config("spool-directory"));
        KeyTree keys;
        if (int r = removesuspended(spool, entry->record, keys); r != DELETE_OK)
            return r;
        if (const char* cover = keytree_lookup(keys, "retry-coversheet"))
            removefile(spool, cover, entry->record);
        for (int i = 1;; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "data-file%d", i);
            const char* data = keytree_lookup(keys, name);
            if (data == nullptr)
                break;
            removefile(spool, data, entry->record);
        }
        return DELETE_OK;
    }
    if (int r = freeslot(entry->slot); r < 0)
        return DELETE_FREESLOT + r;
    if (int r = clearslot(entry->slot); r < 0)
        return DELETE_CLEARSLOT + r;
    return DELETE_OK;
}

void printstatushdr(const char* base)
{
    if (base == nullptr) {
        std::printf("ERROR - Status Database Report - NULL File Name\n");
        return;
    }
    std::string path = std::string(base) + ".bm";
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        int e = errno;
        std::printf("ERROR - Cannot open status database file (%s)\n", path.c_str());
        std::fflush(stdout);
        errno = e;
        std::perror("Status Database File Error");
        return;
    }
    StatusBitmapHeader h;
    if (read_full(fd.get(), &h, kHeaderSize) != FULLIO_OK) {
        int e = errno;
        std::printf("ERROR - Cannot read status database file (%s)\n", path.c_str());
        std::fflush(stdout);
        errno = e;
        std::perror("Status Database Read Error");
        return;
    }
    auto verdict = [](bool good) { return good ? " (GOOD VALUE!)\n" : " (BAD VALUE!)\n"; };
    std::printf("  Magic:    %8x%s", h.magic, verdict(h.magic == STATUS_BM_MAGIC));
    std::printf("  Version:  %8x%s", static_cast<unsigned>(h.version),
                verdict(h.version == STATUS_BM_VERSION));
    std::printf("  Max Used: %8d\n", static_cast<int>(h.maxused));
    std::printf("  Next Free:%8d\n", h.nextfree);
    std::printf("  Slot Size:%8d\n", h.slotsize);
    std::printf("  Offset:   %8d\n", h.offset);
}

void printslotline(const QueueEntry* entry)
{
    const StatusSlot& r = entry->record;
    char when[32] = "";
    time_t queued = r.timequeued;
    if (const tm* t = std::localtime(&queued))
        std::strftime(when, sizeof when, "%H:%M %x", t);
    std::printf("%4d-%-5d %16.16s %24.24s %6.6s %16.16s\n", static_cast<int>(r.idmajor), r.idminor,
                when, fieldtext(r.sender).c_str(), slotshortname(r.state),
                fieldtext(r.phone).c_str());
}

void printslot(const StatusSlot* record)
{
    const StatusSlot& r = *record;
    auto format = [](std::uint32_t seconds) {
        char text[64] = "";
        time_t t = seconds;
        if (const tm* local = std::localtime(&t))
            std::strftime(text, sizeof text, "%X %x", local);
        return std::string(text);
    };
    std::printf("===================================%d-%d\n", static_cast<int>(r.idmajor),
                r.idminor);
    std::printf("  T queued:      %s\n", format(r.timequeued).c_str());
    std::printf("  T updated:     %s\n", format(r.timechanged).c_str());
    std::printf("  Sender         %s\n", fieldtext(r.sender).c_str());
    std::printf("  Status:        %s\n", slotstatename(r.state));
    // Each field printed at most 24 wide and never past its own width.
    auto optional = [](const char* label, const std::string& value) {
        if (!if_blank(value.c_str()))
            std::printf("%s%.24s\n", label, value.c_str());
    };
    optional("  To:            ", fieldtext(r.recipient));
    optional("  Company:       ", fieldtext(r.company));
    optional("  Subject:       ", fieldtext(r.subject));
    optional("  Reqst handle:  ", fieldtext(r.handle));
    optional("  Sender email:  ", fieldtext(r.sender));
    optional("  Faxline:       ", fieldtext(r.faxline));
    optional("  CSID:          ", fieldtext(r.csid));
    std::printf("  Phone Number:  %.24s\n", fieldtext(r.phone).c_str());
    std::printf("  Dial Number:   %.24s\n", fieldtext(r.dialled).c_str());
    std::printf("  Send attempts: %d\n", r.attempts);
    std::printf("  Page count:    %d/%d\n", r.pagessent, r.pagestotal);
    std::printf("  Priority:      %d\n", r.priority);
    std::printf("  Error code:    %d\n", r.errorcode);
    std::printf("  UID:           %d\n", r.owneruid);
}

int forallslots(void (*callback)(const QueueEntry* entry), std::uint32_t before)
{
    if (iterstream.rewind() != SLOT_OK)
        return SLOT_NOTOPEN;
    int calls = 0;
    QueueEntry entry;
    for (int slot = 1;; ++slot) {
        const StatusSlot* next = iterstream.next();
        if (next == nullptr)
            break;
        entry.record = *next;
        if (entry.record.state == SLOT_EMPTY)
            continue;
        if (before != 0 && entry.record.timechanged >= before)
            continue;
        entry.slot = slot;
        ++calls;
        if (callback != nullptr)
            callback(&entry);
    }
    return calls;
}
