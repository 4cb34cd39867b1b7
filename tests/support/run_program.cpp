#include "run_program.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

extern char **environ;

namespace ferv_test {

namespace {

long long NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CloseIfOpen(int &fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// The child's environment: this process's, less what is unset or set anew,
// plus what is set anew.
std::vector<std::string> ChildEnvironment(const ProgramOptions &options)
{
    std::set<std::string> replaced(options.unsetEnv.begin(), options.unsetEnv.end());
    for (auto &variable : options.env)
        replaced.insert(variable.first);
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; entry++) {
        std::string text = *entry;
        if (replaced.count(text.substr(0, text.find('='))) == 0)
            entries.push_back(text);
    }
    for (auto &variable : options.env)
        entries.push_back(variable.first + "=" + variable.second);
    return entries;
}

std::vector<char *> Pointers(std::vector<std::string> &texts)
{
    std::vector<char *> pointers;
    for (auto &text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    return pointers;
}

} // namespace

struct BackgroundProgram::State {
    pid_t pid = -1;
    bool reaped = false;
    int status = 0;
    bool timedOut = false;
    int outFd = -1;
    int errFd = -1;
    int inFd = -1;
    std::string input;
    std::thread reader;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::string out;
    std::string err;
    bool outputDone = false;

    void Read();
    bool Reap(bool block);
};

// Collects standard output and error, and feeds standard input, until the
// program's side of both output pipes has closed.
void BackgroundProgram::State::Read()
{
    size_t inputSent = 0;
    while (outFd >= 0 || errFd >= 0) {
        struct pollfd watch[3];
        int count = 0;
        int outAt = -1, errAt = -1, inAt = -1;
        if (outFd >= 0) {
            outAt = count;
            watch[count++] = {outFd, POLLIN, 0};
        }
        if (errFd >= 0) {
            errAt = count;
            watch[count++] = {errFd, POLLIN, 0};
        }
        if (inFd >= 0) {
            inAt = count;
            watch[count++] = {inFd, POLLOUT, 0};
        }
        if (poll(watch, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        int *fds[2] = {&outFd, &errFd};
        int at[2] = {outAt, errAt};
        std::string *sinks[2] = {&out, &err};
        for (int i = 0; i < 2; i++) {
            if (at[i] < 0 || watch[at[i]].revents == 0)
                continue;
            char chunk[16384];
            ssize_t n = read(*fds[i], chunk, sizeof chunk);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex);
                sinks[i]->append(chunk, (size_t)n);
                changed.notify_all();
            } else if (n == 0 || errno != EINTR) {
                CloseIfOpen(*fds[i]);
            }
        }
        if (inAt >= 0 && watch[inAt].revents != 0) {
            ssize_t n = send(inFd, input.data() + inputSent, input.size() - inputSent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                inputSent += (size_t)n;
            if ((n < 0 && errno != EINTR && errno != EAGAIN) || inputSent == input.size())
                CloseIfOpen(inFd); // end of file for the program, or it stopped reading
        }
    }
    CloseIfOpen(outFd);
    CloseIfOpen(errFd);
    CloseIfOpen(inFd);
    std::lock_guard<std::mutex> lock(mutex);
    outputDone = true;
    changed.notify_all();
}

bool BackgroundProgram::State::Reap(bool block)
{
    if (reaped || pid <= 0)
        return true;
    for (;;) {
        pid_t done = waitpid(pid, &status, block ? 0 : WNOHANG);
        if (done == pid) {
            reaped = true;
            return true;
        }
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0) { // not our child any more: nothing to wait for
            reaped = true;
            status = 0;
            return true;
        }
        return false;
    }
}

BackgroundProgram::BackgroundProgram(const std::string &program, const std::vector<std::string> &args,
                                     const ProgramOptions &options)
    : state_(new State)
{
    std::vector<std::string> argvTexts;
    argvTexts.push_back(program);
    argvTexts.insert(argvTexts.end(), args.begin(), args.end());
    std::vector<std::string> envTexts = ChildEnvironment(options);
    std::vector<char *> argv = Pointers(argvTexts);
    std::vector<char *> envp = Pointers(envTexts);

    int outPipe[2], errPipe[2], execPipe[2], inPair[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(execPipe, O_CLOEXEC) != 0 ||
        (!options.input.empty() && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, inPair) != 0)) {
        state_->err = std::string("cannot make pipes: ") + strerror(errno);
        state_->reaped = true;
        state_->status = 127 << 8;
        state_->outputDone = true;
        return;
    }
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const char *workDir = options.workDir.empty() ? nullptr : options.workDir.c_str();
    int uid = options.uid;

    pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the test process
        // has other threads (the test server's) whose locks may be held.
        setpgid(0, 0);
        int in = inPair[1] >= 0 ? inPair[1] : devNull;
        if (dup2(in, 0) < 0 || dup2(outPipe[1], 1) < 0 || dup2(errPipe[1], 2) < 0 ||
            (workDir != nullptr && chdir(workDir) != 0) ||
            (uid >= 0 && (setgroups(0, nullptr) != 0 || setgid((gid_t)uid) != 0 || setuid((uid_t)uid) != 0))) {
            int error = errno;
            if (write(execPipe[1], &error, sizeof error) < 0) {
            }
            _exit(127);
        }
        execve(argv[0], argv.data(), envp.data());
        int error = errno;
        if (write(execPipe[1], &error, sizeof error) < 0) {
        }
        _exit(127);
    }
    if (pid > 0)
        setpgid(pid, pid); // as the child does; whichever runs first wins
    close(outPipe[1]);
    close(errPipe[1]);
    close(execPipe[1]);
    CloseIfOpen(inPair[1]);
    CloseIfOpen(devNull);
    if (pid < 0) {
        state_->err = std::string("fork: ") + strerror(errno);
        close(outPipe[0]);
        close(errPipe[0]);
        close(execPipe[0]);
        CloseIfOpen(inPair[0]);
        state_->reaped = true;
        state_->status = 127 << 8;
        state_->outputDone = true;
        return;
    }
    state_->pid = pid;

    // The exec pipe closes on a successful exec and carries errno otherwise.
    int error = 0;
    ssize_t n;
    do {
        n = read(execPipe[0], &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    close(execPipe[0]);
    if (n == (ssize_t)sizeof error)
        state_->err = "cannot run " + program + ": " + strerror(error) + "\n";

    state_->outFd = outPipe[0];
    state_->errFd = errPipe[0];
    state_->inFd = inPair[0];
    state_->input = options.input;
    State *state = state_.get();
    state_->reader = std::thread([state] { state->Read(); });
}

BackgroundProgram::~BackgroundProgram()
{
    if (!state_->reaped && state_->pid > 0) {
        kill(-state_->pid, SIGKILL);
        state_->Reap(true);
    }
    if (state_->reader.joinable())
        state_->reader.join();
}

pid_t BackgroundProgram::Pid() const
{
    return state_->pid;
}

bool BackgroundProgram::Running()
{
    return !state_->Reap(false);
}

std::string BackgroundProgram::Output() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->out;
}

std::string BackgroundProgram::Errors() const
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->err;
}

bool BackgroundProgram::WaitForOutput(const std::string &text, int timeoutMs)
{
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return state_->out.find(text) != std::string::npos || state_->outputDone; });
    return state_->out.find(text) != std::string::npos;
}

void BackgroundProgram::Signal(int sig)
{
    if (!state_->Reap(false))
        kill(state_->pid, sig);
}

ProgramResult BackgroundProgram::Wait(int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    while (!state_->Reap(false)) {
        if (NowMs() >= deadline) {
            kill(-state_->pid, SIGKILL);
            state_->Reap(true);
            state_->timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Whatever the program started may still hold its output open; give it
    // a moment, then end it too.
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (!state_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return state_->outputDone; })) {
            lock.unlock();
            kill(-state_->pid, SIGKILL);
        }
    }
    if (state_->reader.joinable())
        state_->reader.join();

    ProgramResult result;
    result.timedOut = state_->timedOut;
    if (WIFEXITED(state_->status))
        result.exitCode = WEXITSTATUS(state_->status);
    else if (WIFSIGNALED(state_->status))
        result.signal = WTERMSIG(state_->status);
    std::lock_guard<std::mutex> lock(state_->mutex);
    result.out = state_->out;
    result.err = state_->err;
    return result;
}

ProgramResult BackgroundProgram::Stop(int sig, int timeoutMs)
{
    Signal(sig);
    return Wait(timeoutMs);
}

ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                         const ProgramOptions &options)
{
    BackgroundProgram running(program, args, options);
    return running.Wait(options.timeoutMs);
}

bool WaitForPath(const std::string &path, int timeoutMs)
{
    long long deadline = NowMs() + timeoutMs;
    struct stat status;
    while (stat(path.c_str(), &status) != 0) {
        if (NowMs() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace ferv_test
