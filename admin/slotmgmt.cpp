#include "admin/slotmgmt.h"

// Not built yet: every operation fails.

const char* slotstatename([[maybe_unused]] int state) { return nullptr; }
const char* slotshortname([[maybe_unused]] int state) { return nullptr; }
const char* statuspath() { return nullptr; }
int findslot([[maybe_unused]] const char* base) { return -1; }
int freeslot([[maybe_unused]] int slot) { return -1; }
int testslot([[maybe_unused]] int fd, [[maybe_unused]] int slot, [[maybe_unused]] int offset) { return -1; }
int opendb([[maybe_unused]] const char* base) { return -1; }
int readslot([[maybe_unused]] int slot, [[maybe_unused]] StatusSlot* record) { return -1; }
int writeslot([[maybe_unused]] int slot, [[maybe_unused]] StatusSlot* record) { return -1; }
int clearslot([[maybe_unused]] int slot) { return -1; }
void setslotstate([[maybe_unused]] int slot, [[maybe_unused]] int state, [[maybe_unused]] const char* faxline) { }
void setslotcsid([[maybe_unused]] int slot, [[maybe_unused]] const char* csid) { }
int setslotpages([[maybe_unused]] int slot, [[maybe_unused]] int sent, [[maybe_unused]] int total) { return -1; }
int setsloterror([[maybe_unused]] int slot, [[maybe_unused]] int code) { return -1; }
void addrequest([[maybe_unused]] unsigned idmajor, [[maybe_unused]] unsigned idminor, [[maybe_unused]] QueueRequest* request) { }
int queryqueue([[maybe_unused]] QueueEntry* entries, [[maybe_unused]] int capacity, [[maybe_unused]] int older, [[maybe_unused]] unsigned boundmajor, [[maybe_unused]] unsigned boundminor, [[maybe_unused]] int* newer, [[maybe_unused]] int* olderout, [[maybe_unused]] int kind, [[maybe_unused]] const char* value) { return -1; }
int queuestats([[maybe_unused]] QueueStats* all, [[maybe_unused]] QueueStats* mine, [[maybe_unused]] const char* sender, [[maybe_unused]] int uid) { return -1; }
int requestfiles([[maybe_unused]] const StatusSlot* record, [[maybe_unused]] char* cf, [[maybe_unused]] char* sf) { return -1; }
void wakescheduler() { }
int suspendrequest([[maybe_unused]] const QueueEntry* entry) { return -1; }
int activaterequest([[maybe_unused]] const QueueEntry* entry) { return -1; }
int deleterequest([[maybe_unused]] const QueueEntry* entry) { return -1; }
void printstatushdr([[maybe_unused]] const char* base) { }
void printslotline([[maybe_unused]] const QueueEntry* entry) { }
void printslot([[maybe_unused]] const StatusSlot* record) { }
int forallslots([[maybe_unused]] void (*callback)(const QueueEntry* entry), [[maybe_unused]] std::uint32_t before) { return -1; }
