// spawn: runs another program as a child and hands its output back as
// text.  The shell form (run_shell_merged_output) captures standard output
// and error together and keeps the first 1023 bytes, waiting at most five
// seconds for them once the child has ended; the program form
// (run_program_split_output) runs a path without a shell and captures the
// two streams apart.  Output is
// collected while the child runs, so no child stalls on a full pipe.  The
// child inherits the environment and working directory and no descriptor
// beyond 0-2.  Failures to make a pipe or a child are status codes; memory
// exhaustion ends the process (safecalloc).
#pragma once

#include <cstddef>

// run_shell_merged_output: no pipe or no child process could be made.
constexpr int RUN_NOPROCESS = -1;
// run_shell_merged_output: the command succeeded but no output became readable within
// five seconds (a daemon it started keeps the output open).
constexpr int RUN_NODATA = -2;
// run_program_split_output: no pipe, no child process.
constexpr int RUN_NOPIPE = -65536;  // 0xFFFF0000
constexpr int RUN_NOFORK = -131072; // 0xFFFE0000

// Runs `command` through /bin/sh.  *output gets a text from safecalloc
// (the caller frees it) or null when the command succeeded silently.  The
// status: 0, RUN_NOPROCESS, RUN_NODATA, or the command's non-zero exit
// code (128 + the signal number when a signal ended it), so that a tool's
// "exit 1" reads as 1.
int run_shell_merged_output(const char* command, char** output);

// Runs the program at `path` with `argv` (null-terminated, argv[0] its
// name), no shell, no path search.  Its standard output goes to `out`, its
// standard error to `err`, each NUL-terminated with at most size - 1
// bytes (the rest is read and dropped).  An exec failure leaves
// "Cannot run command (Execv failed - <reason>)\n" in `err` and exit code
// 255.  The wait() status (a status that was lost reads as exit code 255),
// RUN_NOPIPE or RUN_NOFORK.
int run_program_split_output(const char* path, char* const argv[], char* out, char* err,
                             std::size_t size);

// Allocation that never answers null: on failure it writes the
// catastrophic message ten times to standard error and aborts.
void* safecalloc(std::size_t count, std::size_t size);
void* safemalloc(std::size_t size);
