// slotreport: the status database's plain-text reports for the queue
// tool, written to standard output: the bitmap's header, one line per
// request, one request in full.  Character fields never print past their
// width.  A report that cannot be made says so in its place (and through
// perror); nothing is returned.
#pragma once

#include "sys/slotmgmt.h"

// The header of the bitmap "<base>.bm", six lines; one error line instead
// for a null base or a file that cannot be opened or is short.
void printstatushdr(const char* base);
// "major-minor", time queued, sender, state and phone number in one line.
void printslotline(const QueueEntry* entry);
// One request in full, a field a line; text fields that may be blank only
// when they are not.
void printslot(const StatusSlot* record);
