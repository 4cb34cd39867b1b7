// What fervmon needs from the operating system beyond standard C++, in one
// place: clocks, sleeping, ending the process from another thread on a
// signal or a time limit, and replacing a file in one step. mon_os.cpp holds
// the POSIX and the Windows version side by side.
#ifndef FERV_MON_OS_H
#define FERV_MON_OS_H

#include <stddef.h>
#include <stdio.h>

#include <string>

// The time now in UTC, ISO 8601 to the millisecond: 2026-01-31T12:00:00.123Z.
std::string MonUtcTimestamp(void);

// Seconds on a clock that only moves forward, for measuring durations.
double MonMonotonicSeconds(void);

void MonSleepSeconds(int seconds);

// fervmon's own output is written under this lock, one whole line at a
// time, so that a stop from another thread never cuts a line in two.
void MonLockOutput(void);
void MonUnlockOutput(void);

// On SIGINT or SIGTERM (on Windows: Ctrl-C, Ctrl-Break, closing the
// console), calls lastWords with the signal's name while holding the output
// lock, flushes standard output and ends the process with status 0.
// Must be called before any other thread exists. Returns false when the
// handler cannot be installed.
bool MonEndOnStopSignal(void (*lastWords)(const char *signalName));

// After `seconds`, writes `message` to standard output and ends the process
// with exitStatus, unless MonStopWatchdog came first. One watchdog at a
// time.
void MonStartWatchdog(int seconds, const char *message, int exitStatus);
void MonStopWatchdog(void);

// Writes a file so that a reader sees either the old content or the whole
// new one: `fill` writes into a temporary file in the same folder (a name that
// does not end in the target's extension), which then replaces `path` in
// one rename. The new file keeps the old one's permissions, or gets the
// usual ones for a new file. Returns false with *error set when anything
// fails; `path` is then left as it was and the temporary file removed.
bool MonReplaceFile(const std::string &path, bool (*fill)(FILE *file, void *context), void *context,
                    std::string *error);

#endif
