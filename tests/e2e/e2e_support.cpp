#include "tests/e2e/e2e_support.h"

#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace ferv_e2e {

using ferv_test::ProgramOptions;
using ferv_test::ProgramResult;

void PrintTo(const Program &program, std::ostream *os)
{
    *os << program.name;
}

std::string ProgramName(const ::testing::TestParamInfo<Program> &info)
{
    return info.param.name;
}

// "wine-x86", "wine-x64", or empty for this machine's own programs.
static std::string WineArch()
{
    const char *target = getenv("FERV_E2E_TARGET");
    std::string text = target ? target : "";
    return text.compare(0, 5, "wine-") == 0 ? text.substr(5) : "";
}

bool UnderWine()
{
    return !WineArch().empty();
}

std::string HostProgramPath(const Program &program)
{
    return std::string(FERV_BUILD_DIR) + "/" + program.name;
}

std::vector<std::string> CommandFor(const Program &program, const std::vector<std::string> &args)
{
    std::vector<std::string> command;
    if (UnderWine())
        command = {std::string(FERV_SOURCE_DIR) + "/tools/wine-run", "--arch", WineArch(), program.name};
    else
        command = {HostProgramPath(program)};
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

std::string SimPath()
{
    return std::string(FERV_BUILD_DIR) + "/fervsim";
}

ProgramOptions OptionsFor(const std::string &root)
{
    ProgramOptions options;
    options.env.push_back({"FERV_DEVICE_ROOT", root});
    options.timeoutMs = 20000;
    return options;
}

ProgramResult Run(const Program &program, const std::string &root, const std::vector<std::string> &args)
{
    std::vector<std::string> command = CommandFor(program, args);
    std::vector<std::string> rest(command.begin() + 1, command.end());
    ProgramResult result = ferv_test::RunProgram(command[0], rest, OptionsFor(root));
    // Now and then Wine ends a program before it has run at all: status 1
    // and not a byte on either stream, which none of ours ever gives (every
    // exit prints its line). Such a run is made once more, and said so.
    if (UnderWine() && result.exitCode == 1 && result.out.empty() && result.err.empty() && !result.timedOut &&
        result.signal == 0) {
        fprintf(stderr, "e2e: %s ended under Wine before it ran (status 1, no output); running it again\n",
                program.name);
        result = ferv_test::RunProgram(command[0], rest, OptionsFor(root));
    }
    return result;
}

std::unique_ptr<ferv_test::BackgroundProgram> Start(const Program &program, const std::string &root,
                                                    const std::vector<std::string> &args)
{
    std::vector<std::string> command = CommandFor(program, args);
    return std::make_unique<ferv_test::BackgroundProgram>(
        command[0], std::vector<std::string>(command.begin() + 1, command.end()), OptionsFor(root));
}

// Shows where two texts part, line by line, with line ends made visible.
static std::string Difference(const std::string &got, const std::string &want)
{
    size_t at = 0;
    while (at < got.size() && at < want.size() && got[at] == want[at])
        at++;
    size_t lineStart = got.rfind('\n', at == 0 ? 0 : at - 1);
    lineStart = (lineStart == std::string::npos || at == 0) ? 0 : lineStart + 1;
    auto lineOf = [&](const std::string &s) {
        size_t end = s.find('\n', lineStart);
        std::string line = s.substr(lineStart, end == std::string::npos ? std::string::npos : end - lineStart + 1);
        std::string shown;
        for (char c : line)
            shown += c == '\n' ? std::string("\\n") : std::string(1, c);
        return shown.empty() ? std::string("(end of output)") : shown;
    };
    std::ostringstream os;
    os << "first difference at byte " << at << "\n  got:  [" << lineOf(got) << "]\n  want: [" << lineOf(want) << "]";
    return os.str();
}

::testing::AssertionResult Ran(const ProgramResult &result, const std::string &out, int exitCode)
{
    if (result.timedOut)
        return ::testing::AssertionFailure() << "the program hung; output so far:\n" << result.out;
    if (result.signal != 0)
        return ::testing::AssertionFailure() << "the program died of signal " << result.signal << "; stderr:\n"
                                             << result.err;
    if (result.out != out)
        return ::testing::AssertionFailure()
               << Difference(result.out, out) << "\nexit status " << result.exitCode << "; whole output:\n"
               << result.out << (result.err.empty() ? "" : "standard error:\n") << result.err;
    if (result.exitCode != exitCode)
        return ::testing::AssertionFailure() << "exit status " << result.exitCode << ", want " << exitCode;
    if (!result.err.empty())
        return ::testing::AssertionFailure() << "standard error is not empty:\n" << result.err;
    return ::testing::AssertionSuccess();
}

// The status messages as the manual page lists them, between its
// status-begin and status-end marks: ".B <code>" and then the message line.
// The page is written apart from the code, and docs.status_codes holds it to
// the library's table, so it serves as the oracle of the status lines.
static std::vector<std::string> ManualStatusMessages()
{
    std::ifstream page(std::string(FERV_SOURCE_DIR) + "/man/fervadm.8");
    std::vector<std::string> messages;
    std::string line;
    bool inTable = false;
    long code = -1;
    while (std::getline(page, line)) {
        if (line.rfind(".\\\" status-begin", 0) == 0) {
            inTable = true;
        } else if (line.rfind(".\\\" status-end", 0) == 0) {
            break;
        } else if (inTable && line.rfind(".B ", 0) == 0) {
            code = strtol(line.c_str() + 3, nullptr, 10);
        } else if (inTable && code >= 0 && !line.empty() && line[0] != '.') {
            if ((size_t)code == messages.size())
                messages.push_back(line);
            code = -1;
        }
    }
    return messages;
}

std::string StatusLine(uint32_t code)
{
    static const std::vector<std::string> messages = ManualStatusMessages();
    EXPECT_EQ(messages.size(), 23u) << "the manual page's status table";
    if (code < messages.size())
        return messages[code] + " (" + std::to_string(code) + ")\n";
    return "Unknown FERV_STATUS code (" + std::to_string((int32_t)code) + ")!\n";
}

const char kUsage[] = "default                display all devices information\n"
                      "-v                     display all devices information (verbose)\n"
                      "\n"
                      "-d <device_wwn>        display device information\n"
                      "-d <device_wwn> -v     display device information (verbose)\n"
                      "-d <device_wwn> -r     restore all lun's preferred paths\n"
                      "                         for this device\n"
                      "\n"
                      "-l <lun_wwn>           display lun information\n"
                      "-l <lun_wwn> -v        display lun information (verbose)\n"
                      "-l <lun_wwn> -r        restore preferred path for this lun\n"
                      "-l <lun_wwn> -m        display lun statistics\n"
                      "\n"
                      "-p <name>              query information for this path\n"
                      "-p <name> -v           query information for this path (verbose)\n"
                      "-p <name> -a           activate this path\n"
                      "-p <name> -e           enable this path\n"
                      "-p <name> -d           disable this path\n"
                      "-p <name> -m           display path statistics\n"
                      "\n"
                      "-P                     display public parameters\n"
                      "-P -p <seconds>        set poll rate\n"
                      "                         2 - 60 (seconds)\n"
                      "-P -l <hex value>      set log level\n"
                      "                         0x00 = no logging\n"
                      "                         0x01 = data path changes\n"
                      "                         0x02 = internal errors\n"
                      "                         0x04 = critical errors\n"
                      "                         0x08 = informational messages\n"
                      "                         0x10 = caution messages\n"
                      "-P -a <integer>        enable/disable auto failback\n"
                      "                         1 = enable\n"
                      "                         0 = disable\n"
                      "\n"
                      "-S                     suspend command return until a state\n"
                      "                         change occurs (path up/down/etc)\n"
                      "\n";

const char kPathHead[] = "    * Path                  HBA                   Enabled Active\n"
                         "    - --------------------- --------------------- ------- ------\n";

std::string GoldenPath(const std::string &name)
{
    return std::string(FERV_SOURCE_DIR) + "/tests/golden/e2e/" + name;
}

std::string Golden(const std::string &name)
{
    std::ifstream in(GoldenPath(name), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

static const char kDeviceStart[] = "\n\nDevice: storage device\n";

std::string DeviceSection(const std::string &report, const std::string &deviceName)
{
    size_t start = report.find(std::string(kDeviceStart) + "  Device Name:       " + deviceName + "\n");
    if (start == std::string::npos)
        return "";
    size_t end = report.find(kDeviceStart, start + 2);
    return report.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string LunSection(const std::string &report, const std::string &lunName)
{
    size_t start = report.find("  LUN: " + lunName + "\n");
    if (start == std::string::npos)
        return "";
    size_t end = std::min(report.find("  LUN: ", start + 1), report.find(kDeviceStart, start));
    return report.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string PathLines(const std::string &report, const std::string &pathName)
{
    std::istringstream in(report);
    std::string line;
    std::string found;
    while (std::getline(in, line)) {
        if (!found.empty())
            return line.compare(0, 14, "        state:") == 0 ? found + line + "\n" : found;
        if (line.size() > 6 + pathName.size() && line.compare(0, 4, "    ") == 0 && line[5] == ' ' &&
            line.compare(6, pathName.size() + 1, pathName + " ") == 0)
            found = line + "\n";
    }
    return found;
}

// ---- the emulator ------------------------------------------------------------

static std::string MakeTempDir(const char *pattern)
{
    std::string text = pattern;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        return "";
    return buffer.data();
}

static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *)
{
    remove(path);
    return 0;
}

void RemoveTree(const std::string &path)
{
    if (!path.empty())
        nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool Eventually(const std::function<bool()> &condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Emulator::~Emulator()
{
    Stop();
    RemoveTree(root_);
}

ProgramResult Emulator::Stop()
{
    ProgramResult result;
    if (process_)
        result = process_->Stop(SIGTERM, 5000);
    process_.reset();
    ready_ = false;
    return result;
}

bool Emulator::Start(const std::string &topologyFile, const std::vector<std::string> &extra,
                     std::vector<std::string> wrapper)
{
    root_ = MakeTempDir("/tmp/ferv-e2e-XXXXXX");
    if (root_.empty()) {
        failure_ = "cannot create a root directory";
        return false;
    }
    std::vector<std::string> args = {"--root", root_, "--log", root_ + "/fervsim.log"};
    if (!topologyFile.empty()) {
        args.push_back("--topology");
        args.push_back(topologyFile);
    }
    args.insert(args.end(), extra.begin(), extra.end());
    ProgramOptions options;
    options.unsetEnv.push_back("FERV_DEVICE_ROOT");
    if (wrapper.empty()) {
        process_.reset(new ferv_test::BackgroundProgram(SimPath(), args, options));
    } else {
        std::string program = wrapper[0];
        wrapper.erase(wrapper.begin());
        wrapper.push_back(SimPath());
        wrapper.insert(wrapper.end(), args.begin(), args.end());
        process_.reset(new ferv_test::BackgroundProgram(program, wrapper, options));
    }
    // The start line comes once every socket listens.
    bool up = Eventually(
        [&] { return process_->Errors().find("fervsim: serving") != std::string::npos || !process_->Running(); });
    if (!up || process_->Errors().find("fervsim: serving") == std::string::npos) {
        // An emulator that ended may not have had its last words read yet:
        // wait for them, so the reason is in the failure.
        ProgramResult ended = process_->Stop(SIGTERM, 5000);
        failure_ = "fervsim did not start (exit status " + std::to_string(ended.exitCode) + ", signal " +
                   std::to_string(ended.signal) + "): " + ended.err;
        process_.reset();
        return false;
    }
    ready_ = true;
    return true;
}

ProgramResult Emulator::Run(const Program &program, const std::vector<std::string> &args) const
{
    return ferv_e2e::Run(program, root_, args);
}

ProgramResult Emulator::Ctl(const std::vector<std::string> &verb) const
{
    std::vector<std::string> args = {"ctl", "--root", root_};
    args.insert(args.end(), verb.begin(), verb.end());
    ProgramOptions options;
    options.timeoutMs = 20000;
    return ferv_test::RunProgram(SimPath(), args, options);
}

std::string Emulator::Log() const
{
    std::ifstream in(root_ + "/fervsim.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int Emulator::Held() const
{
    ProgramResult shown = Ctl({"show"});
    size_t at = shown.out.find("held requests: ");
    if (shown.exitCode != 0 || at == std::string::npos)
        return -1;
    return atoi(shown.out.c_str() + at + 15);
}

TempDir::TempDir() : path_(MakeTempDir("/tmp/ferv-e2e-files-XXXXXX")) {}

TempDir::~TempDir()
{
    RemoveTree(path_);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const
{
    std::string file = path_ + "/" + name;
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file;
}

} // namespace ferv_e2e
