// `fervsim run` and the `fervsim ctl` client.
#include "sim/run.h"

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <nlohmann/json.hpp>

using json = nlohmann::json;

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

int SimCtlClient(const std::string &root, const std::vector<std::string> &args)
{
    std::string path = root + "/" + SIM_ADMIN_NAME;
    struct sockaddr_un a;
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        fprintf(stderr, "fervsim ctl: socket path too long: %s\n", path.c_str());
        return 2;
    }
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&a, sizeof a) != 0) {
        fprintf(stderr, "fervsim ctl: no emulator serves %s\n", root.c_str());
        if (fd >= 0)
            close(fd);
        return 2;
    }
    json req = {{"args", args}};
    std::string line = req.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "fervsim ctl: the emulator closed the connection\n");
            close(fd);
            return 2;
        }
        sent += (size_t)n;
    }
    std::string answer;
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        answer.append(buf, (size_t)n);
    }
    close(fd);
    json reply = json::parse(answer, nullptr, false);
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean() || !reply.contains("text") ||
        !reply["text"].is_string()) {
        fprintf(stderr, "fervsim ctl: no valid answer from the emulator\n");
        return 2;
    }
    bool ok = reply["ok"].get<bool>();
    std::string text = reply["text"].get<std::string>();
    fputs(text.c_str(), ok ? stdout : stderr);
    return ok ? 0 : 1;
}
