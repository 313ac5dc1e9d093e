// slotquery: the scans of the status database's record file, each one
// sequential read of it in large blocks: the queue pages' bounded query by
// request id, the statistics by state and age, and the walk over every
// record in use.  Owns this process's read stream of each scan, kept
// between calls.  A scan fails with SLOT_NOTOPEN when there is no record
// file and none can be made; a record file that ends early just ends it.
#pragma once

#include <cstdint>

#include "sys/slotmgmt.h"

// Query filter kinds.
constexpr int QUERY_ALL = 0;
constexpr int QUERY_HANDLE = 1;
constexpr int QUERY_SENDER = 2;
constexpr int QUERY_ID = 3;
constexpr int QUERY_UID = 4;

// What queuestats counts.
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

// Up to `capacity` records of filter `kind`/`value` (in no order) older
// (`older` 1) or newer (0) than the id bound (major 0: none), those nearest
// it; *newer and *olderout count the rest on each side.  The number
// filled, or SLOT_NOTOPEN.
int queryqueue(QueueEntry* entries, int capacity, int older, unsigned boundmajor,
               unsigned boundminor, int* newer, int* olderout, int kind, const char* value);
// Counts the records by state into `all`, and those of `sender` (any case;
// null: of owner `uid`) into `mine` (may be null).  The number of records
// in use, or SLOT_NOTOPEN.
int queuestats(QueueStats* all, QueueStats* mine, const char* sender, int uid);
// Calls `callback` (may be null) for each record in use, in slot order,
// changed before `before` (0: any).  The number of calls, or SLOT_NOTOPEN.
int forallslots(void (*callback)(const QueueEntry* entry), std::uint32_t before);
