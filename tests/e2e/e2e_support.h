// What the end-to-end tests share: the two programs as one test parameter,
// running them against a root directory, the texts they print (status
// lines, usage text), the emulator started in a private root, and the
// expected reports kept under tests/golden/e2e/.
#ifndef FERV_E2E_SUPPORT_H
#define FERV_E2E_SUPPORT_H

#include <stdint.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/run_program.h"
#include "tests/support/test_server.h"

namespace ferv_e2e {

// One of the two programs and the door through which it reaches the driver.
struct Program {
    const char *name;   // file name in the build directory
    bool controlDevice; // true: R/ZEL_HA_CONTROL; false: the interfaces under R/interfaces/{guid}/
};

inline constexpr Program kFervadm = {"fervadm", false};
inline constexpr Program kFervadmctl = {"fervadmctl", true};

void PrintTo(const Program &program, std::ostream *os);
// Test-name suffix for INSTANTIATE_TEST_SUITE_P.
std::string ProgramName(const ::testing::TestParamInfo<Program> &info);

// True when the suite runs the Windows programs under Wine:
// FERV_E2E_TARGET=wine-x86 (the i686 build) or wine-x64 (the x86_64 build).
// Every program then runs through tools/wine-run, which shows it the same
// device root a POSIX program would see, served by the same servers (the
// emulator for this machine, the tests' own driver server).
bool UnderWine();

// The command line that runs the program with args: the program itself, or
// tools/wine-run with the program's name under Wine.
std::vector<std::string> CommandFor(const Program &program, const std::vector<std::string> &args);
// The program of this machine's build, for the cases that start it in a way
// of their own and run on POSIX only.
std::string HostProgramPath(const Program &program);
std::string SimPath();

// Runs the program with FERV_DEVICE_ROOT set to root.
ferv_test::ProgramResult Run(const Program &program, const std::string &root, const std::vector<std::string> &args);
// The same, beside the test (a wait that the test then releases).
std::unique_ptr<ferv_test::BackgroundProgram> Start(const Program &program, const std::string &root,
                                                    const std::vector<std::string> &args);
ferv_test::ProgramOptions OptionsFor(const std::string &root);

// Checks a finished run: whole standard output, exit status, and nothing
// on standard error.
::testing::AssertionResult Ran(const ferv_test::ProgramResult &result, const std::string &out, int exitCode);

// The status line of a code, as the programs end a command with it.
std::string StatusLine(uint32_t code);

// The usage text.
extern const char kUsage[];

// Reads a file under tests/golden/e2e/.
std::string Golden(const std::string &name);
std::string GoldenPath(const std::string &name);

// Pieces of a whole report (default or -v): what one device prints (from its
// two leading empty lines to the next device), what one LUN prints (its block,
// its path lines and its closing empty line), and one path's line (with its
// state line when the report is verbose). Empty when the piece is missing.
std::string DeviceSection(const std::string &report, const std::string &deviceName);
std::string LunSection(const std::string &report, const std::string &lunName);
std::string PathLines(const std::string &report, const std::string &pathName);

// The two head lines of a path table.
extern const char kPathHead[];

// The emulator serving a private root for one test or one suite. Start()
// returns false (with the reason in Failure()) when it does not come up.
class Emulator {
public:
    Emulator() = default;
    ~Emulator();
    Emulator(const Emulator &) = delete;
    Emulator &operator=(const Emulator &) = delete;

    // Starts fervsim with the topology file and the extra options, and waits
    // until it announces that it serves. wrapper, when given, starts the
    // emulator (under a resource limit, say): wrapper..., fervsim, options.
    bool Start(const std::string &topologyFile, const std::vector<std::string> &extra,
               std::vector<std::string> wrapper = {});
    bool Ready() const { return ready_; }
    // Ends the emulator with SIGTERM: afterwards the driver is absent.
    // Returns how it ended (exit status 0 after a clean stop).
    ferv_test::ProgramResult Stop();
    const std::string &Failure() const { return failure_; }
    const std::string &Root() const { return root_; }

    ferv_test::ProgramResult Run(const Program &program, const std::vector<std::string> &args) const;
    // fervsim ctl --root R VERB...
    ferv_test::ProgramResult Ctl(const std::vector<std::string> &verb) const;
    // Requests the emulator holds right now, from `ctl show`; -1 when unknown.
    int Held() const;
    // The emulator's log so far.
    std::string Log() const;

private:
    std::string root_;
    std::string failure_;
    bool ready_ = false;
    std::unique_ptr<ferv_test::BackgroundProgram> process_;
};

// A temporary directory for topology files and the like, removed at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &Path() const { return path_; }
    // Writes a file in the directory and returns its path.
    std::string Write(const std::string &name, const std::string &content) const;

private:
    std::string path_;
};

// Removes a directory tree.
void RemoveTree(const std::string &path);

// Polls condition every few milliseconds until it holds; false when
// timeoutMs passed first.
bool Eventually(const std::function<bool()> &condition, int timeoutMs = 10000);

} // namespace ferv_e2e

#endif
