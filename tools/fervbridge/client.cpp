// The clients of a running bridge: `run` (hold a root while a program runs,
// with its Windows line ends turned into LF), `ping` and `stop`.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "tools/fervbridge/bridge.h"

namespace {

// Exit statuses of our own failures, apart from the program's.
const int kNoBridge = 125;
const int kCannotRun = 127;

// How long `stop` waits for the bridge to end.
const int kStopWaitMs = 15000;

pid_t child = -1;

long long NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void PassOn(int sig)
{
    if (child > 0)
        kill(child, sig);
}

// Connects to the bridge's control socket; -1 when no bridge listens.
int Connect(const std::string &stateDir)
{
    std::string path = BridgeSocketPath(stateDir);
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one command and reads the answer line; empty when the bridge went
// away first.
std::string Ask(int fd, const std::string &command)
{
    std::string text = command + "\n";
    if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) != (ssize_t)text.size())
        return "";
    std::string answer;
    char c;
    for (;;) {
        ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return "";
        if (c == '\n')
            return answer;
        answer += c;
    }
}

bool WriteAll(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

// Copies a stream with every CR LF turned into LF. A CR at the end of one
// chunk waits for the next to know what follows it.
struct LineEnds {
    int to;
    bool heldCr = false;
    bool failed = false;

    void Put(const char *p, size_t n)
    {
        std::string out;
        out.reserve(n + 1);
        for (size_t i = 0; i < n; i++) {
            if (heldCr && p[i] != '\n')
                out += '\r';
            heldCr = p[i] == '\r';
            if (!heldCr)
                out += p[i];
        }
        if (!failed && !WriteAll(to, out.data(), out.size()))
            failed = true; // the reader went away: keep draining the program
    }

    void End()
    {
        if (heldCr && !failed)
            WriteAll(to, "\r", 1);
        heldCr = false;
    }
};

} // namespace

int BridgeRun(const std::string &stateDir, const std::string &root, const std::vector<std::string> &command)
{
    int lease = Connect(stateDir);
    if (lease < 0) {
        fprintf(stderr, "fervbridge: no bridge serves %s\n", stateDir.c_str());
        return kNoBridge;
    }
    std::string answer = Ask(lease, "bind " + root);
    if (answer.compare(0, 2, "ok") != 0) {
        if (answer.compare(0, 6, "error ") == 0)
            answer.erase(0, 6);
        fprintf(stderr, "fervbridge: the bridge did not show %s%s%s\n", root.c_str(), answer.empty() ? "" : ": ",
                answer.c_str());
        return kNoBridge;
    }
    if (answer.size() > 3)
        fprintf(stderr, "fervbridge: warning:%s\n", answer.c_str() + 2);

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        perror("fervbridge: pipe");
        return kCannotRun;
    }
    std::vector<std::string> args = command;
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = PassOn;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaction(sig, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    child = fork();
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(argv[0], argv.data());
        fprintf(stderr, "fervbridge: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(kCannotRun);
    }
    close(out[1]);
    close(err[1]);
    if (child < 0) {
        perror("fervbridge: fork");
        return kCannotRun;
    }
    LineEnds ends[2] = {{1}, {2}};
    int fds[2] = {out[0], err[0]};
    while (fds[0] >= 0 || fds[1] >= 0) {
        struct pollfd watch[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (poll(watch, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i] < 0 || watch[i].revents == 0)
                continue;
            char chunk[16384];
            ssize_t n = read(fds[i], chunk, sizeof chunk);
            if (n > 0) {
                ends[i].Put(chunk, (size_t)n);
            } else if (n == 0 || errno != EINTR) {
                ends[i].End();
                close(fds[i]);
                fds[i] = -1;
            }
        }
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    close(lease);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int BridgePing(const std::string &stateDir)
{
    int fd = Connect(stateDir);
    if (fd < 0)
        return 1;
    std::string answer = Ask(fd, "ping");
    close(fd);
    if (answer.empty())
        return 1;
    return answer.compare(0, 2, "ok") == 0 ? 0 : 2;
}

int BridgeStop(const std::string &stateDir)
{
    int fd = Connect(stateDir);
    if (fd < 0)
        return 0;
    Ask(fd, "stop");
    // The bridge closes its control socket as it ends, which takes it a few
    // seconds at most (its forwarder is given that long to end).
    long long deadline = NowMs() + kStopWaitMs;
    for (;;) {
        long long left = deadline - NowMs();
        struct pollfd watch = {fd, POLLIN, 0};
        int rc = left > 0 ? poll(&watch, 1, (int)left) : 0;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0) {
            fprintf(stderr, "fervbridge: the bridge of %s did not stop within %d s\n", stateDir.c_str(),
                    kStopWaitMs / 1000);
            close(fd);
            return 1;
        }
        char c;
        ssize_t n = rc > 0 ? recv(fd, &c, 1, MSG_DONTWAIT) : -1;
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
    }
    close(fd);
    return 0;
}
