// Runs a real program as a child process for end-to-end tests: with extra
// environment variables and arguments, its standard output and standard
// error captured apart, and a time limit after which it (with everything it
// started) is killed, so a hang fails the test instead of hanging the run.
//
//     ferv_test::ProgramOptions options;
//     options.env.push_back(server.EnvVar());        // FERV_DEVICE_ROOT=...
//     ferv_test::ProgramResult r = ferv_test::RunProgram(FERV_BUILD_DIR "/fervadm", {"-v"}, options);
//     EXPECT_EQ(r.exitCode, 0);
//     EXPECT_EQ(r.out, expected);
//     EXPECT_EQ(r.err, "");
//
// A program that must run beside the test (the emulator, or a front end
// blocked in a wait that the test then releases) is a BackgroundProgram.
#ifndef FERV_RUN_PROGRAM_H
#define FERV_RUN_PROGRAM_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ferv_test {

struct ProgramOptions {
    // Set in the child, over what it inherits from this process.
    std::vector<std::pair<std::string, std::string>> env;
    // Removed from what the child inherits.
    std::vector<std::string> unsetEnv;
    // Standard input, followed by end of file. Empty: /dev/null.
    std::string input;
    // Working directory of the child; empty: this process's.
    std::string workDir;
    // RunProgram kills the program when it is still running after this long.
    int timeoutMs = 60000;
    // Runs the child as this user and group (needs root), with no
    // supplementary groups; -1: as this process.
    int uid = -1;
};

struct ProgramResult {
    int exitCode = -1;     // exit status when the program exited; -1 otherwise
    int signal = 0;        // the signal that ended it; 0 when it exited
    bool timedOut = false; // killed at the time limit
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error (and why exec failed)
};

// Runs program (a path; no PATH search) with args and waits for it.
ProgramResult RunProgram(const std::string &program, const std::vector<std::string> &args,
                         const ProgramOptions &options = ProgramOptions());

// A program running beside the test. Its output is collected as it comes,
// so it never blocks on a full pipe. Destroying it kills what is still
// running (SIGKILL to its process group).
class BackgroundProgram {
public:
    BackgroundProgram(const std::string &program, const std::vector<std::string> &args,
                      const ProgramOptions &options = ProgramOptions());
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram &) = delete;
    BackgroundProgram &operator=(const BackgroundProgram &) = delete;

    pid_t Pid() const;
    // True while the program has not been waited for and has not exited.
    bool Running();
    // Standard output and error so far.
    std::string Output() const;
    std::string Errors() const;
    // Waits until standard output holds text. Returns false on time-out or
    // when the program ended without writing it.
    bool WaitForOutput(const std::string &text, int timeoutMs = 10000);
    // Sends sig to the program (only the program, not its children).
    void Signal(int sig);
    // Waits for the program to end; kills it (and its process group) after
    // timeoutMs. Returns its result with all of its output.
    ProgramResult Wait(int timeoutMs = 60000);
    // Signal(sig), then Wait(timeoutMs).
    ProgramResult Stop(int sig, int timeoutMs = 10000);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Waits until path exists (a socket the emulator creates, say). Returns
// false on time-out.
bool WaitForPath(const std::string &path, int timeoutMs = 10000);

} // namespace ferv_test

#endif
