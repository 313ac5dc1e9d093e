#include "sys/slotquery.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include <sys/types.h>

#include "lib/fullio.h"
#include "lib/ulstrcmp.h"

namespace {

bool key_less(const StatusSlot& a, unsigned major, unsigned minor)
{
    return a.idmajor < major || (a.idmajor == major && a.idminor < minor);
}

bool key_greater(const StatusSlot& a, unsigned major, unsigned minor)
{
    return a.idmajor > major || (a.idmajor == major && a.idminor > minor);
}

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

// Process-wide state: each scan's read stream, kept between calls.
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

// The query's bound on request ids (none when major is 0): a record on the
// far side of it is not wanted, only counted on its side.
struct Bound {
    bool older;
    unsigned major;
    unsigned minor;
    int* newer;
    int* olderout;

    // Whether the record lies beyond the bound; it has been counted then.
    bool counts(const StatusSlot& record) const
    {
        if (major == 0)
            return false;
        if (older && !key_less(record, major, minor)) {
            if (newer != nullptr)
                ++*newer;
            return true;
        }
        if (!older && !key_greater(record, major, minor)) {
            if (olderout != nullptr)
                ++*olderout;
            return true;
        }
        return false;
    }
};

// The entries a query keeps: at most `capacity` of the records offered,
// those with the most wanted keys (the greatest with `older` set, else the
// smallest), and the count of the others.
//
// The entry to replace is the first of the kept ones with the least wanted
// key.  A full queue replaces one for nearly every record, so the kept
// entries are held in the order they would be replaced in: the next one is
// the first, and a replacement moves to its place from the end, where a
// newer record than all others goes at once.
class Selection {
public:
    Selection(QueueEntry* entries, int capacity, bool older)
        : entries_(entries), capacity_(capacity), older_(older),
          size_(static_cast<std::size_t>(capacity)), keys_(size_), order_(size_), pending_(size_)
    {
    }

    // Keeps the record, which stays where it lies in the stream's block
    // until copy_pending, or counts it.
    void offer(int slot, const StatusSlot& record)
    {
        if (filled_ < capacity_) {
            keep(filled_++, slot, record);
            extreme_ = -1;
            ordered_ = false;
            return;
        }
        ++overflow_;
        if (filled_ == 0)
            return;
        if (extreme_ < 0) {
            extreme_ = find_extreme();
            extreme_key_ = keys_[at(extreme_)];
        }
        std::uint64_t wanted = key(record);
        if (older_ ? extreme_key_ < wanted : wanted < extreme_key_)
            replace(slot, record);
    }

    // A kept record is copied out of the stream's block only when the block
    // is about to be read over, not each time it is kept.
    void copy_pending()
    {
        for (int i = 0; i < filled_; ++i) {
            if (const StatusSlot* record = pending_[at(i)]) {
                entries_[i].record = *record;
                pending_[at(i)] = nullptr;
            }
        }
    }

    int filled() const { return filled_; }
    int overflow() const { return overflow_; }

private:
    static std::size_t at(int entry) { return static_cast<std::size_t>(entry); }

    static std::uint64_t key(const StatusSlot& r)
    {
        return static_cast<std::uint64_t>(r.idmajor) << 16 | r.idminor;
    }

    // Whether entry a is replaced before entry b.
    bool before(int a, int b) const
    {
        auto ka = keys_[at(a)], kb = keys_[at(b)];
        if (ka != kb)
            return older_ ? ka < kb : kb < ka;
        return a < b;
    }

    // The ring's entry `n` places after its head.
    int& item(std::size_t n)
    {
        std::size_t i = head_ + n;
        return order_[i >= size_ ? i - size_ : i];
    }

    void keep(int entry, int slot, const StatusSlot& record)
    {
        keys_[at(entry)] = key(record);
        entries_[entry].slot = slot;
        pending_[at(entry)] = &record;
    }

    void replace(int slot, const StatusSlot& record)
    {
        keep(extreme_, slot, record);
        // Mostly the record is the most wanted of all kept, which the
        // entry it replaced already is once the ring turns by one.
        if (before(extreme_, order_[head_ == 0 ? size_ - 1 : head_ - 1]))
            extreme_ = find_extreme();
        else
            extreme_ = order_[head_ = head_ + 1 == size_ ? 0 : head_ + 1];
        extreme_key_ = keys_[at(extreme_)];
    }

    int find_extreme()
    {
        if (!ordered_) {
            for (std::size_t i = 0; i < size_; ++i)
                order_[i] = static_cast<int>(i);
            std::sort(order_.begin(), order_.end(), [this](int a, int b) { return before(a, b); });
            head_ = 0;
            ordered_ = true;
            return item(0);
        }
        // The first entry has just been replaced by a more wanted one: it
        // goes behind those replaced before it, the others keep their
        // places.
        int moved = item(0);
        std::size_t n = size_ - 1;
        while (n > 0 && before(moved, item(n)))
            --n;
        head_ = head_ + 1 == size_ ? 0 : head_ + 1;
        for (std::size_t j = size_ - 1; j > n; --j)
            item(j) = item(j - 1);
        item(n) = moved;
        return item(0);
    }

    QueueEntry* entries_;
    int capacity_;
    bool older_;
    std::size_t size_;
    std::vector<std::uint64_t> keys_;
    int filled_ = 0;
    int overflow_ = 0;
    int extreme_ = -1;              // the kept entry a better record would replace
    std::uint64_t extreme_key_ = 0; // keys_[extreme_]
    // A ring of all the kept entries, once they fill `entries_`: the next
    // one to replace is at `head_`.
    std::vector<int> order_;
    bool ordered_ = false;
    std::size_t head_ = 0;
    std::vector<const StatusSlot*> pending_;
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

} // namespace

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
    const Filter filter(kind, value);
    const Bound bound{older != 0, boundmajor, boundminor, newer, olderout};
    Selection kept(entries, capacity, older != 0);
    for (int slot = 1;; ++slot) {
        if (querystream.block_ends())
            kept.copy_pending();
        const StatusSlot* next = querystream.next();
        if (next == nullptr)
            break;
        const StatusSlot& record = *next;
        if (record.state == SLOT_EMPTY || bound.counts(record))
            continue;
        if (filter.kind != QUERY_ALL && !filter.accepts(record))
            continue;
        kept.offer(slot, record);
    }
    kept.copy_pending();
    if (kept.overflow() != 0) {
        int* count = older ? olderout : newer;
        if (count != nullptr)
            *count = kept.overflow();
    }
    return kept.filled();
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
