// The operating system below fervmon: POSIX first, then Windows. Every
// difference between the two stays in this file.
#include "mon_os.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

static std::string FormatTimestamp(int year, int month, int day, int hour, int minute, int second, int millisecond)
{
    char text[96];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day, hour, minute, second,
             millisecond);
    return text;
}

// The folder of a path ("." for a bare name) and its last part.
static void SplitPath(const std::string &path, std::string *folder, std::string *name)
{
#ifdef _WIN32
    size_t slash = path.find_last_of("/\\");
#else
    size_t slash = path.rfind('/');
#endif
    if (slash == std::string::npos) {
        *folder = ".";
        *name = path;
    } else {
        *folder = slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
        *name = path.substr(slash + 1);
    }
}

#ifndef _WIN32

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

std::string MonUtcTimestamp(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    gmtime_r(&now.tv_sec, &utc);
    return FormatTimestamp(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                           (int)(now.tv_nsec / 1000000));
}

double MonMonotonicSeconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

void MonSleepSeconds(int seconds)
{
    struct timespec left = {seconds, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static pthread_mutex_t outputLock = PTHREAD_MUTEX_INITIALIZER;

void MonLockOutput(void)
{
    pthread_mutex_lock(&outputLock);
}

void MonUnlockOutput(void)
{
    pthread_mutex_unlock(&outputLock);
}

static void (*stopLastWords)(const char *signalName);
static sigset_t stopSignals;

// The signals are blocked in every thread and taken here one at a time, so
// the process ends in ordinary code, not inside a signal handler, and never
// while the main thread is halfway through a line.
static void *StopThread(void *)
{
    int signal = 0;
    while (sigwait(&stopSignals, &signal) != 0) {
    }
    MonLockOutput();
    if (stopLastWords)
        stopLastWords(signal == SIGINT ? "SIGINT" : "SIGTERM");
    fflush(stdout);
    _exit(0);
}

bool MonEndOnStopSignal(void (*lastWords)(const char *signalName))
{
    stopLastWords = lastWords;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        return false;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, StopThread, nullptr) != 0)
        return false;
    pthread_detach(thread);
    return true;
}

static char watchdogMessage[256];
static size_t watchdogLength;
static int watchdogStatus;

// Only async-signal-safe calls here.
static void WatchdogFired(int)
{
    ssize_t written = write(STDOUT_FILENO, watchdogMessage, watchdogLength);
    (void)written;
    _exit(watchdogStatus);
}

void MonStartWatchdog(int seconds, const char *message, int exitStatus)
{
    snprintf(watchdogMessage, sizeof watchdogMessage, "%s", message);
    watchdogLength = strlen(watchdogMessage);
    watchdogStatus = exitStatus;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = WatchdogFired;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, nullptr);
    alarm((unsigned)seconds);
}

void MonStopWatchdog(void)
{
    alarm(0);
}

// New files get what open(2) would give them: 0666 less the umask.
static mode_t NewFileMode(void)
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool MonReplaceFile(const std::string &path, bool (*fill)(FILE *file, void *context), void *context,
                    std::string *error)
{
    std::string folder, name;
    SplitPath(path, &folder, &name);
    struct stat old;
    mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : NewFileMode();

    // A hidden name without the target's ending: a textfile collector that
    // reads *.prom never sees the half-written file.
    std::string temporary = folder + "/." + name + ".XXXXXX";
    int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        *error = "cannot create a temporary file in " + folder + ": " + strerror(errno);
        return false;
    }
    FILE *file = fdopen(fd, "w");
    if (file == nullptr) {
        *error = std::string("cannot write ") + temporary + ": " + strerror(errno);
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    errno = 0;
    bool ok = fill(file, context) && fflush(file) == 0 && !ferror(file);
    int writeErrno = errno;
    ok = ok && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (!ok && writeErrno == 0)
        writeErrno = errno;
    if (fclose(file) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) {
        *error = "cannot write " + temporary + ": " + strerror(writeErrno ? writeErrno : EIO);
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path + ": " + strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

#else // _WIN32

#include <windows.h>
#include <io.h>

std::string MonUtcTimestamp(void)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return FormatTimestamp(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

double MonMonotonicSeconds(void)
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (double)count.QuadPart / (double)frequency.QuadPart;
}

void MonSleepSeconds(int seconds)
{
    Sleep((DWORD)seconds * 1000);
}

static SRWLOCK outputLock = SRWLOCK_INIT;

void MonLockOutput(void)
{
    AcquireSRWLockExclusive(&outputLock);
}

void MonUnlockOutput(void)
{
    ReleaseSRWLockExclusive(&outputLock);
}

static void (*stopLastWords)(const char *signalName);

// Windows runs a console control handler on a thread of its own.
static BOOL WINAPI StopHandler(DWORD event)
{
    const char *name;
    switch (event) {
    case CTRL_C_EVENT:
        name = "Ctrl-C";
        break;
    case CTRL_BREAK_EVENT:
        name = "Ctrl-Break";
        break;
    case CTRL_CLOSE_EVENT:
        name = "console closed";
        break;
    default:
        return FALSE;
    }
    MonLockOutput();
    if (stopLastWords)
        stopLastWords(name);
    fflush(stdout);
    ExitProcess(0);
    return TRUE;
}

bool MonEndOnStopSignal(void (*lastWords)(const char *signalName))
{
    stopLastWords = lastWords;
    return SetConsoleCtrlHandler(StopHandler, TRUE) != 0;
}

static HANDLE watchdogThread;
static HANDLE watchdogCancel;
static DWORD watchdogMilliseconds;
static char watchdogMessage[256];
static int watchdogStatus;

static DWORD WINAPI WatchdogThread(LPVOID)
{
    if (WaitForSingleObject(watchdogCancel, watchdogMilliseconds) != WAIT_TIMEOUT)
        return 0;
    MonLockOutput();
    fputs(watchdogMessage, stdout);
    fflush(stdout);
    ExitProcess((UINT)watchdogStatus);
    return 0;
}

void MonStartWatchdog(int seconds, const char *message, int exitStatus)
{
    snprintf(watchdogMessage, sizeof watchdogMessage, "%s", message);
    watchdogStatus = exitStatus;
    watchdogMilliseconds = (DWORD)seconds * 1000;
    watchdogCancel = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watchdogCancel)
        watchdogThread = CreateThread(nullptr, 0, WatchdogThread, nullptr, 0, nullptr);
}

void MonStopWatchdog(void)
{
    if (!watchdogThread)
        return;
    SetEvent(watchdogCancel);
    WaitForSingleObject(watchdogThread, INFINITE);
    CloseHandle(watchdogThread);
    CloseHandle(watchdogCancel);
    watchdogThread = watchdogCancel = nullptr;
}

bool MonReplaceFile(const std::string &path, bool (*fill)(FILE *file, void *context), void *context,
                    std::string *error)
{
    std::string folder, name;
    SplitPath(path, &folder, &name);
    // GetTempFileName makes a unique *.tmp file: no collector reads it.
    char temporary[MAX_PATH];
    if (GetTempFileNameA(folder.c_str(), "fvm", 0, temporary) == 0) {
        *error = "cannot create a temporary file in " + folder + ": error " + std::to_string(GetLastError());
        return false;
    }
    FILE *file = fopen(temporary, "wb");
    if (file == nullptr) {
        *error = std::string("cannot write ") + temporary + ": " + strerror(errno);
        DeleteFileA(temporary);
        return false;
    }
    errno = 0;
    bool ok = fill(file, context) && fflush(file) == 0 && !ferror(file) && _commit(_fileno(file)) == 0;
    int writeErrno = errno;
    if (fclose(file) != 0 && ok) {
        ok = false;
        writeErrno = errno;
    }
    if (!ok) {
        *error = std::string("cannot write ") + temporary + ": " + strerror(writeErrno ? writeErrno : EIO);
        DeleteFileA(temporary);
        return false;
    }
    if (!MoveFileExA(temporary, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error =
            std::string("cannot rename ") + temporary + " to " + path + ": error " + std::to_string(GetLastError());
        DeleteFileA(temporary);
        return false;
    }
    return true;
}

#endif
