#include "sys/slotmgmt.h"

#include <array>
#include <bit>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lib/config.h"
#include "lib/fd.h"
#include "lib/filelock.h"
#include "lib/fullio.h"
#include "lib/log.h"

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

// Reads and checks the bitmap's header and moves to the bitmap.  false
// when the file is no usable bitmap (logged).
bool readheader(int fd, StatusBitmapHeader& header)
{
    if (read_full(fd, &header, kHeaderSize) != FULLIO_OK) {
        logerror("sbmh header read");
        return false;
    }
    if (header.magic != STATUS_BM_MAGIC) {
        logerror("sbmh bad magic");
        return false;
    }
    // An offset outside the first block would make the bitmap overlap the
    // header or leave the block arithmetic meaningless.
    if (header.offset < kHeaderSize || header.offset >= STATUS_BM_BLOCK) {
        errno = EINVAL;
        logerror("sbmh lseek");
        return false;
    }
    if (lseek(fd, header.offset, SEEK_SET) < 0) {
        logerror("sbmh lseek");
        return false;
    }
    return true;
}

using BitmapBlock = std::array<unsigned char, STATUS_BM_BLOCK>;

// The bytes read into the block, -1 on an error.
ssize_t readblock(int fd, BitmapBlock& block, std::size_t size)
{
    std::size_t got = 0;
    return read_full(fd, block.data(), size, &got) == FULLIO_ERROR ? -1 : static_cast<ssize_t>(got);
}

// Takes the free bit of block[i], the block of `len` bytes read at `pos`:
// writes the block back and raises max used.  The slot number, or
// SLOT_NOALLOC (logged).
int takebit(int fd, const std::string& path, StatusBitmapHeader& header, BitmapBlock& block,
            off_t pos, ssize_t len, ssize_t i)
{
    unsigned char& byte = block[static_cast<std::size_t>(i)];
    int bit = std::countr_one(byte);
    long long slot = bit + 8LL * (pos - header.offset + i) + 1;
    if (slot > INT_MAX) {
        errno = EFBIG;
        logerror("%s", path.c_str());
        return SLOT_NOALLOC;
    }
    byte = static_cast<unsigned char>(byte | (1u << bit));
    seek_or_die(fd, pos, "lseek(fd, offset, 0) >= 0");
    if (write_full(fd, block.data(), static_cast<std::size_t>(len)) != FULLIO_OK) {
        logerror("%s", path.c_str());
        return SLOT_NOALLOC;
    }
    if (static_cast<std::uint32_t>(slot) > header.maxused) {
        header.maxused = static_cast<std::uint32_t>(slot);
        seek_or_die(fd, 0, "lseek(fd, 0L, 0) >= 0");
        // The slot is already ours; a stale max used only misleads reports.
        if (write_full(fd, &header, kHeaderSize) != FULLIO_OK)
            logerror("sbmh update");
    }
    return static_cast<int>(slot);
}

// Finds the first free bit from the bitmap's start, where the file is,
// and takes it; past the end of the file a block of zeros is added.  The
// slot number, or SLOT_NOALLOC (logged).
int takefirstfree(int fd, const std::string& path, StatusBitmapHeader& header)
{
    BitmapBlock block;
    off_t pos = header.offset;
    ssize_t len = readblock(fd, block, static_cast<std::size_t>(STATUS_BM_BLOCK - header.offset));
    for (;;) {
        if (len < 0) {
            logerror("%s", path.c_str());
            return SLOT_NOALLOC;
        }
        if (len == 0) {
            block.fill(0);
            len = STATUS_BM_BLOCK;
        }
        ssize_t i = 0;
        while (i < len && block[static_cast<std::size_t>(i)] == 0xFF)
            ++i;
        if (i < len)
            return takebit(fd, path, header, block, pos, len, i);
        pos += len;
        len = readblock(fd, block, STATUS_BM_BLOCK);
    }
}

// The allocation proper, on the open bitmap file: under the lock from the
// header read until the block and the header are written.
int allocate(int fd, const std::string& path)
{
    if (lock_wait(fd) != 0) {
        logerror("lockfile");
        return SLOT_NOALLOC;
    }
    StatusBitmapHeader header;
    int slot = readheader(fd, header) ? takefirstfree(fd, path, header) : SLOT_NOALLOC;
    lock_release(fd);
    return slot;
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

// Process-wide state: the kept record file descriptor, and freeslot's
// bitmap descriptor with its header.
int dbfd = -1;
int bmfd = -1;
StatusBitmapHeader bmheader;

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
