// `fervsim run`: a private emulator for the length of one command.
#include "sim/run.h"

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

static volatile sig_atomic_t g_child = 0;

// While the command runs, a signal for us goes on to it; we stay to clean up.
static void ForwardSignal(int sig)
{
    if (g_child > 0)
        kill((pid_t)g_child, sig);
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

int SimRunCommand(SimModel *m, SimServerOptions opt, const std::vector<std::string> &argv)
{
    if (argv.empty()) {
        fprintf(stderr, "fervsim run: no command given (fervsim run [options] -- COMMAND [ARGS...])\n");
        return 1;
    }
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/fervsim-run-XXXXXX";
    std::vector<char> dir(pattern.begin(), pattern.end());
    dir.push_back('\0');
    if (!mkdtemp(dir.data())) {
        fprintf(stderr, "fervsim run: cannot create a temporary directory: %s\n", strerror(errno));
        return 1;
    }
    std::string root = dir.data();
    int ready[2];
    if (pipe(ready) != 0) {
        fprintf(stderr, "fervsim run: cannot create a pipe: %s\n", strerror(errno));
        RemoveTree(root);
        return 1;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t server = fork();
    if (server < 0) {
        fprintf(stderr, "fervsim run: cannot fork: %s\n", strerror(errno));
        RemoveTree(root);
        return 1;
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
        RemoveTree(root);
        fprintf(stderr, "fervsim run: the emulator did not start\n");
        return 1;
    }

    struct sigaction sa, oldInt, oldTerm, oldHup, oldQuit;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ForwardSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &oldInt);
    sigaction(SIGTERM, &sa, &oldTerm);
    sigaction(SIGHUP, &sa, &oldHup);
    sigaction(SIGQUIT, &sa, &oldQuit);

    pid_t child = fork();
    if (child == 0) {
        sigaction(SIGINT, &oldInt, nullptr);
        sigaction(SIGTERM, &oldTerm, nullptr);
        sigaction(SIGHUP, &oldHup, nullptr);
        sigaction(SIGQUIT, &oldQuit, nullptr);
        setenv("FERV_DEVICE_ROOT", root.c_str(), 1);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        fprintf(stderr, "fervsim run: cannot run %s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    int result;
    if (child < 0) {
        fprintf(stderr, "fervsim run: cannot fork: %s\n", strerror(errno));
        result = 1;
    } else {
        g_child = child;
        int status = WaitFor(child);
        g_child = 0;
        if (status < 0)
            result = 1;
        else if (WIFEXITED(status))
            result = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result = 128 + WTERMSIG(status);
        else
            result = 1;
    }
    kill(server, SIGTERM);
    WaitFor(server);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    sigaction(SIGQUIT, &oldQuit, nullptr);
    RemoveTree(root);
    return result;
}
