// slotmgmt: the send queue's status database in the spool directory, shared
// with the fax server's scheduler and queue tool: the slot bitmap
// "<spool>/status.bm" (slots in use, changed only under a whole-file write
// lock) and the record file "<spool>/status.db" (one 256-byte StatusSlot per
// slot number, read and written whole without locks), both little-endian and
// laid out below byte by byte.  Allocates and frees slots, reads and writes
// records; owns this process's kept descriptors of both files.  Failures are
// negative result codes, one per failing step; findslot, opendb and
// addrequest also log.  The scans are slotquery's, a request's files
// slotrequest's, the reports slotreport's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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

// Results of readslot and clearslot, passed on by setslotpages and
// setsloterror; opendb and the scans fail with SLOT_NOTOPEN too.
constexpr int SLOT_OK = 0;
constexpr int SLOT_NOTOPEN = -1; // no record file, none could be made
constexpr int SLOT_NOSEEK = -2;  // the record's offset cannot be reached
constexpr int SLOT_SHORT = -3;   // less than a whole record read or written
constexpr int SLOT_NOWRITE = -1; // writeslot: not written, whatever the step
constexpr int SLOT_NOALLOC = -1; // findslot: no slot allocated (logged)

// Results of freeslot.
constexpr int FREE_OK = 0;
constexpr int FREE_NOTOPEN = -1;  // no bitmap file
constexpr int FREE_NOHEADER = -2; // its header cannot be read
constexpr int FREE_BADMAGIC = -3; // it is no slot bitmap
constexpr int FREE_NOSEEK = -4;   // no bit for the slot (below 1, out of reach)
constexpr int FREE_NOLOCK = -5;   // the bitmap's lock was refused
constexpr int FREE_NOREAD = -6;   // the slot's byte cannot be read,
constexpr int FREE_NOREWIND = -7; // positioned again
constexpr int FREE_NOWRITE = -8;  // or written back

// Results of testslot.
constexpr int SLOTBIT_SET = 1;     // the slot is in use
constexpr int SLOTBIT_CLEAR = 0;   // the slot is free
constexpr int SLOTBIT_NOREAD = -1; // a slot below 1, or its block unreadable

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

// What addrequest needs of a queued request.
struct QueueRequest {
    const char* destination; // the phone number as submitted
    int pages;
    KeyTree* keys; // priority, sent-by, mailaddr, handle, device,
                   // recipient-name, recipient-company, subject
};

// Fills a character field of `width` bytes like strncpy (no terminator
// when the value fills it); a null value leaves the field as it was.
void slotfieldcopy(char* field, std::size_t width, const char* value);
// A character field as text: up to its terminator or its width.
template <std::size_t N>
std::string slotfieldtext(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

// The state's name on the pages ("New", "Waiting", …, "???") and in the
// one-line report ("New", "Wait", …).
const char* slotstatename(int state);
const char* slotshortname(int state);

// `spool-directory` + "/status" (static buffer), or null without the key.
const char* statuspath();

// Allocates the first free slot of the bitmap "<base>.bm" under its lock,
// creating the file when missing.  The slot number (1 up) or SLOT_NOALLOC.
int findslot(const char* base);
// Frees the slot's bit in the bitmap, whose descriptor stays open between
// calls (a failure closes it).  FREE_OK or a FREE_ code; not logged.
int freeslot(int slot);
// Whether the slot's bit is set in the bitmap open as `fd`, its bits from
// `offset`; moves the file offset.  A SLOTBIT_ code.
int testslot(int fd, int slot, int offset);
// The kept descriptor of "<base>.db" (the module's: never close it), made
// with its header record when missing.  SLOT_NOTOPEN when there is none,
// logged unless `base` is null.
int opendb(const char* base);
// Reads record `slot` whole.  SLOT_OK or a SLOT_ code.
int readslot(int slot, StatusSlot* record);
// Stamps the record's change time and writes it whole.  SLOT_OK or
// SLOT_NOWRITE.
int writeslot(int slot, StatusSlot* record);
// Zeroes record `slot`.  SLOT_OK or a SLOT_ code.
int clearslot(int slot);
// Set a field of a record that can be read and rewrite it; a failure is
// ignored.  Nothing changes for a null CSID or a state the record already
// has; a null fax line is kept.
void setslotstate(int slot, int state, const char* faxline);
void setslotcsid(int slot, const char* csid);
// readslot's code, else writeslot's.
int setslotpages(int slot, int sent, int total);
int setsloterror(int slot, int code);
// Allocates a slot and writes the request's New record there, then sets
// "slotno" in its keys; a slot that cannot be had is logged, no "slotno".
void addrequest(unsigned idmajor, unsigned idminor, QueueRequest* request);
