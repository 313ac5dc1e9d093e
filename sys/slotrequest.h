// slotrequest: a queued request's files in the spool directory, the
// control file "destinations/<phone>/cf<major>-<minor>" and the suspended
// file "sf<major>-<minor>", and the operations on them: suspend, activate
// and delete, the last with the removal of the files a suspended file
// names.  Each operation is a named result code; the deletion logs the
// files it declines to read or remove, nothing else is logged.
#pragma once

#include <string_view>

#include "sys/slotmgmt.h"

// Results of requestfiles: which of a request's files exists.
constexpr int FILES_NONE = 0;      // neither (or the number is no directory)
constexpr int FILES_QUEUED = 1;    // the control file "cf<major>-<minor>"
constexpr int FILES_SUSPENDED = 2; // the suspended file "sf<major>-<minor>"
constexpr int FILES_NOPATH = -1;   // no spool directory, or a path too long

// Results of suspendrequest.
constexpr int SUSPEND_OK = 0;
constexpr int SUSPEND_NOFILE = -1;   // no request file, or no path to one
constexpr int SUSPEND_ALREADY = -2;  // already suspended
constexpr int SUSPEND_NOTOPEN = -3;  // the control file cannot be opened
constexpr int SUSPEND_LOCKED = -4;   // locked elsewhere: being sent
constexpr int SUSPEND_NORENAME = -5; // the rename failed

// Results of activaterequest.
constexpr int ACTIVATE_OK = 0;
constexpr int ACTIVATE_NOFILE = -1;   // no request file, or no path to one
constexpr int ACTIVATE_QUEUED = -2;   // not suspended
constexpr int ACTIVATE_NORENAME = -3; // the rename failed

// Results of deleterequest; -3 is not used.
constexpr int DELETE_OK = 0;
constexpr int DELETE_NOPATH = -1;     // no path to the request's files
constexpr int DELETE_QUEUED = -2;     // still queued: suspend it first
constexpr int DELETE_NOREAD = -4;     // the suspended file cannot be read (or only through a link)
constexpr int DELETE_NOUNLINK = -5;   // the suspended file cannot be removed
constexpr int DELETE_FREESLOT = -10;  // + freeslot's code: slot not freed
constexpr int DELETE_CLEARSLOT = -20; // + clearslot's code: record not cleared

// `cf` and `sf` receive the paths (PATH_MAX bytes each).  A phone number
// that is no destination directory (destinationdir) has no files
// (FILES_NONE, both paths empty).  FILES_NOPATH also when a path would not
// fit.
int requestfiles(const StatusSlot* record, char* cf, char* sf);
// Whether `phone` names a directory below destinations/: not empty, no
// leading "/", no "." or ".." component ("089/1234" is one below "089").
bool destinationdir(std::string_view phone);
// Sends SIGALRM to the scheduler named in "<spool>/plandump", if any.
void wakescheduler();
// Renames the control file to the suspended name while holding a lock on
// it, and marks the record Suspended.  SUSPEND_OK or a SUSPEND_ code.
int suspendrequest(const QueueEntry* entry);
// Renames the suspended file back, marks the record Reactivated and wakes
// the scheduler.  ACTIVATE_OK or an ACTIVATE_ code.
int activaterequest(const QueueEntry* entry);
// A suspended request loses its files: the suspended file and the files it
// names, each reached from the spool directory without following a
// symbolic link, of which only regular files below the spool directory are
// removed (the others are skipped and logged; the result stays
// DELETE_OK).  A request without files loses its slot.  DELETE_OK or a
// DELETE_ code.
int deleterequest(const QueueEntry* entry);
