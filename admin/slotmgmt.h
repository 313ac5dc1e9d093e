// slotmgmt: the send queue's status database in the spool directory, shared
// with the fax server's scheduler and queue tool: the slot bitmap
// "<spool>/status.bm" (slots in use, changed only under a whole-file write
// lock) and the record file "<spool>/status.db" (one 256-byte StatusSlot per
// slot number, read and written whole without locks).  Owns the kept
// descriptors and read streams of this process.  Failures are negative
// result codes, one per failing step; findslot, opendb and addrequest also
// log, and deleterequest logs the named files it declines to remove.  Both
// files are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "lib/btree.h"

// The bitmap file's header.
constexpr std::uint32_t STATUS_BM_MAGIC = 0x20000214;
constexpr std::int32_t STATUS_BM_VERSION = 2;
constexpr std::uint32_t STATUS_DB_MAGIC = 0x20000215;
constexpr int STATUS_SLOT_SIZE = 256;
constexpr int STATUS_BM_OFFSET = 24;
constexpr int STATUS_BM_BLOCK = 8192;

// Request states.
constexpr int SLOT_EMPTY = 0;
constexpr int SLOT_NEW = 1;
constexpr int SLOT_WAITING = 2;
constexpr int SLOT_ACTIVE = 3;
constexpr int SLOT_DELAYED = 4;
constexpr int SLOT_SUSPENDED = 5;
constexpr int SLOT_SENT = 6;
constexpr int SLOT_FAILED = 7;
constexpr int SLOT_RETRYWAIT = 8;
constexpr int SLOT_REACTIVATED = 9;

// Query filter kinds.
constexpr int QUERY_ALL = 0;
constexpr int QUERY_HANDLE = 1;
constexpr int QUERY_SENDER = 2;
constexpr int QUERY_ID = 3;
constexpr int QUERY_UID = 4;

// Result codes of readslot (clearslot uses the same, -3 for a short write).
constexpr int SLOT_NOTOPEN = -1;
constexpr int SLOT_NOSEEK = -2;
constexpr int SLOT_SHORT = -3;

// The header of status.bm as it lies in the file (24 bytes), followed at
// `offset` by the bitmap: slot n is bit (n-1)%8 of byte (n-1)/8.  The file
// starts 8192 bytes long and grows by whole 8192-byte blocks.
struct StatusBitmapHeader {
    std::uint32_t magic;
    std::int32_t version;
    std::uint32_t maxused;
    std::int32_t nextfree;
    std::int32_t slotsize;
    std::int32_t offset;
};
static_assert(sizeof(StatusBitmapHeader) == 24);

// One record of status.db, record n at byte n*256 (record 0 is the file's
// header: the magic, then zeros).  Character fields are filled like strncpy: a
// value that fills its field has no terminator, so readers keep to the
// width (print with "%.*s", sizeof field).
struct StatusSlot {
    std::uint8_t state;
    std::uint8_t reserved;
    std::uint8_t attempts;
    std::uint8_t pagessent;
    std::uint8_t pagestotal;
    std::uint8_t errorclass;
    std::int16_t priority;
    std::uint16_t errorcode;
    std::uint16_t idminor;
    std::uint32_t idmajor;
    std::uint32_t timequeued;
    std::uint32_t timechanged;
    std::int32_t owneruid;
    char csid[20];
    char faxline[14];
    char sender[40];
    char handle[20];
    char phone[24];
    char dialled[24];
    char recipient[24];
    char company[24];
    char subject[24];
    char unused[14];
};
static_assert(sizeof(StatusSlot) == 256);

struct QueueEntry {
    std::int32_t slot;
    StatusSlot record;
};
static_assert(sizeof(QueueEntry) == 260);

struct QueueStats {
    std::int32_t active;
    std::int32_t waiting;
    std::int32_t suspended;
    std::int32_t delayed;
    std::int32_t sent;
    std::int32_t failed;
    std::int32_t since;
    std::int32_t senthour;
    std::int32_t failedhour;
    std::int32_t sentday;
    std::int32_t failedday;
};
static_assert(sizeof(QueueStats) == 44);

// What addrequest needs of a queued request.
struct QueueRequest {
    const char* destination;  // the phone number as submitted
    int pages;
    KeyTree* keys;            // priority, sent-by, mailaddr, handle, device,
                              // recipient-name, recipient-company, subject
};

// Fills a character field of `width` bytes like strncpy (no terminator
// when the value fills it); a null value leaves the field as it was.
void slotfieldcopy(char* field, std::size_t width, const char* value);

// The state's name on the pages ("New", "Waiting", …, "???") and in the
// one-line report ("New", "Wait", …).
const char* slotstatename(int state);
const char* slotshortname(int state);

// `spool-directory` + "/status" (static buffer), or null without the key.
const char* statuspath();

int findslot(const char* base);
int freeslot(int slot);
int testslot(int fd, int slot, int offset);
int opendb(const char* base);
int readslot(int slot, StatusSlot* record);
int writeslot(int slot, StatusSlot* record);
int clearslot(int slot);
void setslotstate(int slot, int state, const char* faxline);
void setslotcsid(int slot, const char* csid);
int setslotpages(int slot, int sent, int total);
int setsloterror(int slot, int code);
void addrequest(unsigned idmajor, unsigned idminor, QueueRequest* request);
int queryqueue(QueueEntry* entries, int capacity, int older, unsigned boundmajor,
               unsigned boundminor, int* newer, int* olderout, int kind, const char* value);
int queuestats(QueueStats* all, QueueStats* mine, const char* sender, int uid);
// `cf` and `sf` receive the paths (PATH_MAX bytes each).  A phone number
// that is no destination directory (destinationdir) has no files (0, both
// paths empty).  -1 also when a path would not fit.
int requestfiles(const StatusSlot* record, char* cf, char* sf);
// Whether `phone` names a directory below destinations/: not empty, no
// leading "/", no "." or ".." component ("089/1234" is one below "089").
bool destinationdir(std::string_view phone);
void wakescheduler();
// Renames the control file to the suspended name while holding a lock on
// it: -1 no request file, -2 already suspended, -3 cannot open, -4 locked
// elsewhere (being sent), -5 rename failed.
int suspendrequest(const QueueEntry* entry);
int activaterequest(const QueueEntry* entry);
// A suspended request loses its files: the suspended file and the files it
// names, of which only those inside the spool directory are removed (the
// others are skipped and logged; the result stays 0).  A request without
// files loses its slot.
int deleterequest(const QueueEntry* entry);
void printstatushdr(const char* base);
void printslotline(const QueueEntry* entry);
void printslot(const StatusSlot* record);
int forallslots(void (*callback)(const QueueEntry* entry), std::uint32_t before);
