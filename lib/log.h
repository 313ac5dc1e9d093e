// log: the programs' diagnostic and event messages, to up to three places at
// once: the system log file (timestamped, with runs of one message collapsed
// into a repeat count), the echo stream (standard error, or standard output
// when standard error is closed) and the console.  Owns the process-wide
// logging state (program name, pid, date format, open log file, last
// message).  Write errors on any destination are ignored; nothing here fails.
//
// Log file lines:  "<time>: <program>[<pid>,<level>]: <message>\n"
//                  "<time>: <program>[<pid>,<level>,<code>]: <message>\n"
//                  "<time>: <program>[<pid>]: Above message repeated <n> times\n"
#pragma once

#include <sys/types.h>

// Destinations, combinable.
constexpr int LOG_TOFILE = 1;
constexpr int LOG_TOECHO = 2;
constexpr int LOG_TOCONSOLE = 4;

// Levels in use.
constexpr int LOG_INFO = 0;
constexpr int LOG_ERROR = 3;
constexpr int LOG_FATAL = 4;

// Records the program name: the part of argv0 after its last "/" (a null
// argv0 leaves the name as it was).
void logsetprogram(const char* argv0);
const char* logprogram();

// The process id that log lines carry, and the strftime format of their time.
void logsetpid(pid_t pid);
void logsetdateformat(const char* format);

// Closes the log file, chooses the echo stream, then opens `path` (null:
// none) for appending.  A file that does not exist is not created: file
// logging is then off for the run.  Children never inherit the descriptor.
void logopen(const char* path);
void logclose();

// Formats the message (printf conversions; %m is the text of errno) into
// at most 2559 characters and writes it to the destinations in `flags`.
// `code` 0 means none.  Only the log file collapses repeats.
void logmsg(int flags, int level, int code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// "<text>: <errno text>" (at most 127 characters) to the log file and the
// echo stream at level 3; errno is 0 afterwards.
void logerror(const char* format, ...) __attribute__((format(printf, 1, 2)));
