// `fervsim run`: a private emulator for the length of one command. Each step
// is a routine of its own: a temporary root, the emulator started in a child
// and awaited through a pipe, the signals passed on, the command run, and
// the teardown.
#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "sim/transport.h"

static volatile sig_atomic_t g_child = 0;

// While the command runs, a signal for us goes on to it; we stay to clean up.
static void ForwardSignal(int sig)
{
    if (g_child > 0)
        kill((pid_t)g_child, sig);
}

static const int kForwarded[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
enum { FORWARDED_COUNT = sizeof kForwarded / sizeof kForwarded[0] };

// Passes the forwarded signals on to g_child; *saved keeps what was there.
static void ForwardSignals(struct sigaction saved[FORWARDED_COUNT])
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ForwardSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < FORWARDED_COUNT; i++)
        sigaction(kForwarded[i], &sa, &saved[i]);
}

static void RestoreSignals(const struct sigaction saved[FORWARDED_COUNT])
{
    for (int i = 0; i < FORWARDED_COUNT; i++)
        sigaction(kForwarded[i], &saved[i], nullptr);
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

static void RemoveTree(const std::string &root)
{
    nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

static int WaitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

// A fresh directory under TMPDIR (or /tmp). Returns false with the reason
// printed.
static bool MakeTemporaryRoot(std::string *root)
{
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fervsim-run-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (!mkdtemp(dir.data())) {
        fprintf(stderr, "fervsim run: cannot create a temporary directory: %s\n", strerror(errno));
        return false;
    }
    *root = dir.data();
    return true;
}

// Starts the emulator in a child serving root and waits until it serves.
// Returns its pid, or -1 with the reason printed (the child, if any, reaped).
static pid_t StartEmulator(SimModel *m, SimServerOptions opt, const std::string &root)
{
    int ready[2];
    if (pipe(ready) != 0) {
        fprintf(stderr, "fervsim run: cannot create a pipe: %s\n", strerror(errno));
        return -1;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t server = fork();
    if (server < 0) {
        fprintf(stderr, "fervsim run: cannot fork: %s\n", strerror(errno));
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    if (server == 0) {
        close(ready[0]);
        // Terminal signals are the command's business; we stop on SIGTERM
        // from our parent, or when the parent dies.
        setpgid(0, 0);
#ifdef __linux__
        prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        opt.root = root;
        opt.readyFd = ready[1];
        opt.announce = false;
        fflush(stderr);
        _exit(SimServe(m, opt));
    }
    close(ready[1]);
    char c = 0;
    ssize_t got;
    do {
        got = read(ready[0], &c, 1);
    } while (got < 0 && errno == EINTR);
    close(ready[0]);
    if (got != 1) {
        WaitFor(server);
        fprintf(stderr, "fervsim run: the emulator did not start\n");
        return -1;
    }
    return server;
}

// The exit status of `fervsim run` for the command's wait status.
static int ExitStatusOf(int status)
{
    if (status < 0)
        return 1;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// Runs argv with FERV_DEVICE_ROOT set to root while the forwarded signals go
// on to it (saved: the dispositions the command gets back). Returns the exit
// status of `fervsim run`.
static int RunCommand(const std::vector<std::string> &argv, const std::string &root,
                      const struct sigaction saved[FORWARDED_COUNT])
{
    pid_t child = fork();
    if (child == 0) {
        RestoreSignals(saved);
        setenv("FERV_DEVICE_ROOT", root.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "fervsim run: cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    int result = 1;
    if (child < 0) {
        fprintf(stderr, "fervsim run: cannot fork: %s\n", strerror(errno));
    } else {
        g_child = child;
        result = ExitStatusOf(WaitFor(child));
        g_child = 0;
    }
    return result;
}

int SimRunCommand(SimModel *m, const SimServerOptions &opt, const std::vector<std::string> &argv)
{
    if (argv.empty()) {
        fprintf(stderr, "fervsim run: no command given (fervsim run [options] -- COMMAND [ARGS...])\n");
        return 1;
    }
    std::string root;
    if (!MakeTemporaryRoot(&root))
        return 1;
    pid_t server = StartEmulator(m, opt, root);
    if (server < 0) {
        RemoveTree(root);
        return 1;
    }
    // Until the emulator is stopped and the root removed, a signal for us
    // goes on to the command (or nowhere, once it ended).
    struct sigaction saved[FORWARDED_COUNT];
    ForwardSignals(saved);
    int result = RunCommand(argv, root, saved);
    kill(server, SIGTERM);
    WaitFor(server);
    RestoreSignals(saved);
    RemoveTree(root);
    return result;
}
