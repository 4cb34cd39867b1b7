// fervmon as its users run it, against the emulator: a monitoring system
// running check, a textfile collector reading metrics, a log shipper
// reading watch.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/e2e_support.h"

using namespace ferv_e2e;
using ferv_test::BackgroundProgram;
using ferv_test::ProgramOptions;
using ferv_test::ProgramResult;

namespace {

const Program kFervmon = {"fervmon", false};

const std::vector<std::string> kSqlLogPaths = {"hba0-t2-lun1", "hba1-t2-lun1", "hba0-t3-lun1", "hba1-t3-lun1"};

class Monitor : public ::testing::Test {
protected:
    Emulator emulator;

    void Start(const std::vector<std::string> &extra = {"--no-io"})
    {
        ASSERT_TRUE(emulator.Start("", extra)) << emulator.Failure();
    }
    ProgramResult Mon(const std::vector<std::string> &args)
    {
        return ferv_e2e::Run(kFervmon, emulator.Root(), args);
    }
    void Ctl(const std::vector<std::string> &verb) { ASSERT_EQ(emulator.Ctl(verb).exitCode, 0); }
};

// The status line without its performance data.
std::string Status(const ProgramResult &r)
{
    return r.out.substr(0, r.out.find(" | "));
}

// ---- check -----------------------------------------------------------------------

TEST_F(Monitor, CheckIsOkThenWarningThenCriticalAsLinksFail)
{
    Start();
    ProgramResult r = Mon({"check"});
    EXPECT_EQ(r.out.substr(0, 67), "FERV OK - 6 LUNs, 24 of 24 paths healthy | luns=6;;;0 paths=24;;;0 ");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");

    Ctl({"link-down", "hba0-t0-lun0"});
    r = Mon({"check"});
    EXPECT_EQ(Status(r), "FERV WARNING - 1 of 6 LUNs not on a preferred path (exchange_db); 1 of 24 paths down "
                         "(hba0-t0-lun0)");
    EXPECT_EQ(r.exitCode, 1);

    std::vector<std::string> verb = {"link-down"};
    verb.insert(verb.end(), kSqlLogPaths.begin(), kSqlLogPaths.end());
    Ctl(verb);
    r = Mon({"check", "--verbose"});
    EXPECT_EQ(Status(r), "FERV CRITICAL - 1 of 6 LUNs without a usable path (sql_log); 1 of 6 LUNs not on a "
                         "preferred path (exchange_db); 5 of 24 paths down (hba0-t0-lun0, hba0-t2-lun1, "
                         "hba1-t2-lun1, hba0-t3-lun1, hba1-t3-lun1)");
    EXPECT_NE(r.out.find("\nCRITICAL: LUN sql_log (600a0b80003a7d9100005e1f60110001) of device ZEL HA-2100 "
                         "array-west: no usable path\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.exitCode, 2);

    // One LUN of its own is what a per-LUN service checks.
    r = Mon({"check", "--lun", "600a0b80002f1e2c00004d3c60100001"});
    EXPECT_EQ(Status(r), "FERV OK - 1 LUN, 4 of 4 paths healthy");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Monitor, CheckFindsTheControlDeviceOnlyWhenToldTo)
{
    if (UnderWine())
        GTEST_SKIP() << "under Wine the relay's installed instances decide the interfaces";
    Start({"--no-io", "--interfaces", "0"});
    ProgramResult r = Mon({"check"});
    EXPECT_EQ(r.out, "FERV UNKNOWN - cannot read the driver: No supported devices were detected. (11)\n"
                     "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n");
    EXPECT_EQ(r.exitCode, 3);
    r = Mon({"--control", "check"});
    EXPECT_EQ(Status(r), "FERV OK - 6 LUNs, 24 of 24 paths healthy");
    EXPECT_EQ(r.exitCode, 0);
}

TEST_F(Monitor, CheckIsUnknownWithTheLibrarysLineForAMalformedReplyAStoppedDriverOrNoAnswer)
{
    Start();
    Ctl({"answer", "GET_ALL_DEVICES", "--garble"});
    ProgramResult r = Mon({"check"});
    EXPECT_EQ(r.out, "FERV UNKNOWN - cannot read the driver: An internal error was encountered during the "
                     "operation. (10)\n"
                     "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_DEVICES Invalid Reply!\n");
    EXPECT_EQ(r.exitCode, 3);

    // A driver that holds the request is given up on at the time limit.
    Ctl({"answer", "GET_ALL_HBAS", "--pend", "0"});
    r = Mon({"check", "--timeout", "1"});
    EXPECT_EQ(r.out, "FERV UNKNOWN - no answer from the driver within 1 second\n");
    EXPECT_EQ(r.exitCode, 3);

    emulator.Stop();
    r = Mon({"check"});
    EXPECT_EQ(r.out, "FERV UNKNOWN - cannot read the driver: No supported devices were detected. (11)\n"
                     "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n");
    EXPECT_EQ(r.exitCode, 3);
}

TEST_F(Monitor, UsageErrorsAreUnknownForCheckAndTwoForTheOthers)
{
    ProgramResult r = ferv_e2e::Run(kFervmon, "/nonexistent", {"check", "--min-paths", "0"});
    EXPECT_EQ(r.out, "fervmon check: --min-paths needs a whole number of at least 1, not '0'\n"
                     "Usage: fervmon check [OPTION...]\nRun 'fervmon check --help' for more.\n");
    EXPECT_EQ(r.exitCode, 3);
    r = ferv_e2e::Run(kFervmon, "/nonexistent", {"metrics", "--bogus"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, 42), "fervmon metrics: unknown option '--bogus'\n");
    EXPECT_EQ(r.exitCode, 2);
    r = ferv_e2e::Run(kFervmon, "/nonexistent", {"watch", "--interval"});
    EXPECT_EQ(r.err.substr(0, 55), "fervmon watch: option --interval needs a value SECONDS\n");
    EXPECT_EQ(r.exitCode, 2);
    r = ferv_e2e::Run(kFervmon, "/nonexistent", {});
    EXPECT_EQ(r.err.substr(0, 26), "fervmon: no command given\n");
    EXPECT_EQ(r.exitCode, 2);
}

// ---- metrics ---------------------------------------------------------------------

// The value of the first sample whose line starts with `series`.
long long Sample(const std::string &text, const std::string &series)
{
    size_t at = text.find("\n" + series);
    if (at == std::string::npos)
        return -1;
    size_t blank = text.find(' ', text.find('}', at));
    return std::stoll(text.substr(blank + 1));
}

std::string Promtool(const std::string &exposition)
{
    ProgramOptions options;
    options.input = exposition;
    ProgramResult r = ferv_test::RunProgram("/usr/bin/promtool", {"check", "metrics"}, options);
    return r.exitCode == 0 ? "" : "promtool exit " + std::to_string(r.exitCode) + ": " + r.out + r.err;
}

TEST_F(Monitor, MetricsPassPromtoolAndTheirCountersGrow)
{
    Start({"--seed", "3"});
    ProgramResult first = Mon({"metrics"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err, "");
    // promtool comes with a Prometheus server, which CI installs and a
    // developer's machine may not have.
    if (access("/usr/bin/promtool", X_OK) == 0)
        EXPECT_EQ(Promtool(first.out), "");
    else
        std::cout << "promtool is missing (Debian package prometheus): the format is not checked\n";

    const std::string path = "ferv_path_host_requests_total{device=\"ZEL HA-4200 array-east\",lun=\"exchange_db\","
                             "path=\"hba0-t0-lun0\"";
    const std::string lun =
        "ferv_lun_blocks_transferred_total{device=\"ZEL HA-4200 array-east\",lun=\"exchange_db\"";
    EXPECT_NE(first.out.find("\nferv_path_state{device=\"ZEL HA-4200 array-east\",lun=\"exchange_db\",path=\"hba0-"
                             "t0-lun0\",hba=\"HBA0-KF82002\"} 2\n"),
              std::string::npos);
    // The emulator's host I/O moves once a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ProgramResult second = Mon({"metrics"});
    ASSERT_EQ(second.exitCode, 0);
    EXPECT_GT(Sample(second.out, path), Sample(first.out, path)) << first.out;
    EXPECT_GT(Sample(second.out, lun), Sample(first.out, lun));
    EXPECT_GT(Sample(first.out, path), 0);
}

// Names over 80 characters, every path state, a LUN without paths, a
// device without LUNs, counters at their limit.
TEST_F(Monitor, MetricsOfUnusualRecordsPassPromtoolToo)
{
    if (access("/usr/bin/promtool", X_OK) != 0)
        GTEST_SKIP() << "needs promtool (Debian package prometheus)";
    ASSERT_TRUE(emulator.Start(std::string(FERV_SOURCE_DIR) + "/examples/topologies/unusual.json", {"--no-io"}))
        << emulator.Failure();
    ProgramResult r = Mon({"metrics"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Promtool(r.out), "");
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST_F(Monitor, MetricsOutputIsReplacedWholeOrLeftAsItWas)
{
    if (UnderWine())
        GTEST_SKIP() << "the output file is checked on the POSIX build";
    Start();
    TempDir dir;
    const std::string file = dir.Path() + "/ferv.prom";
    ProgramResult r = Mon({"metrics", "--output", file});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    std::string whole = ReadFile(file);
    EXPECT_NE(whole.find("\nferv_scrape_success 1\n"), std::string::npos) << whole;

    // The temporary file cannot grow beyond 1 KiB: the write fails, and the
    // collector still reads the last whole file.
    ProgramOptions options = OptionsFor(emulator.Root());
    r = ferv_test::RunProgram(
        "/bin/sh",
        {"-c", "ulimit -f 1; trap '' XFSZ; exec \"$0\" metrics --output \"$1\"", HostProgramPath(kFervmon), file},
        options);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is left as it was"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFile(file), whole);
    ProgramResult listing = ferv_test::RunProgram("/bin/ls", {"-A", dir.Path()});
    EXPECT_EQ(listing.out, "ferv.prom\n") << "no temporary file is left behind";

    // A driver that is gone still gives a file: it says the scrape failed.
    emulator.Stop();
    r = Mon({"metrics", "-o", file});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n"
                     "fervmon metrics: cannot read the driver: No supported devices were detected. (11)\n");
    std::string failed = ReadFile(file);
    EXPECT_NE(failed.find("\nferv_scrape_success 0\n"), std::string::npos) << failed;
    EXPECT_EQ(failed.find("ferv_path_"), std::string::npos);
}

// ---- watch -------------------------------------------------------------------------

ProgramOptions WatchOptions(const std::string &root)
{
    ProgramOptions options = OptionsFor(root);
    options.timeoutMs = 60000;
    return options;
}

// Under Wine, SIGINT reaches the program as Ctrl-C; except that qemu-user,
// which runs 32-bit Wine here, dies of it itself.
const char *InterruptName()
{
    return UnderWine() ? "Ctrl-C" : "SIGINT";
}

bool InterruptReachesTheProgram()
{
    const char *target = getenv("FERV_E2E_TARGET");
    return target == nullptr || strcmp(target, "wine-x86") != 0;
}

// Stops a watch with `sig`, or where no interrupt can reach it, kills it
// with everything it started (the Windows program with its runner).
ProgramResult StopWatch(BackgroundProgram &watch, int sig)
{
    if (InterruptReachesTheProgram())
        return watch.Stop(sig);
    kill(-watch.Pid(), SIGKILL);
    return watch.Wait(5000);
}

// The events with each run of one event kept once.
std::vector<std::string> Collapsed(std::vector<std::string> events)
{
    events.erase(std::unique(events.begin(), events.end()), events.end());
    return events;
}

TEST_F(Monitor, WatchLogsTheFailoverAndTheFailbackWithinASecond)
{
    Start();
    std::unique_ptr<BackgroundProgram> started = ferv_e2e::Start(kFervmon, emulator.Root(), {"watch"});
    BackgroundProgram &watch = *started;
    ASSERT_TRUE(watch.WaitForOutput(" started 2 devices, 6 LUNs, 24 paths\n")) << watch.Output() << watch.Errors();

    Ctl({"link-down", "hba0-t0-lun0"});
    EXPECT_TRUE(watch.WaitForOutput(" failover LUN exchange_db (600a0b80002f1e2c00004d3c60100000) of device "
                                    "ZEL HA-4200 array-east: hba0-t0-lun0 -> hba1-t0-lun0\n",
                                    1000))
        << watch.Output();
    Ctl({"link-up", "hba0-t0-lun0"});
    Ctl({"poll"});
    EXPECT_TRUE(watch.WaitForOutput(" failback LUN exchange_db (600a0b80002f1e2c00004d3c60100000) of device "
                                    "ZEL HA-4200 array-east: hba1-t0-lun0 -> hba0-t0-lun0\n",
                                    1000))
        << watch.Output();

    const bool interrupt = InterruptReachesTheProgram();
    ProgramResult r = StopWatch(watch, SIGINT);
    if (interrupt) {
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
    }
    std::istringstream lines(r.out);
    std::string line, last;
    std::vector<std::string> events;
    while (std::getline(lines, line)) {
        last = line;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m,
                                     std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\\.[0-9]{3}Z "
                                                "([a-z-]+) .*")))
            << line;
        events.push_back(m[1]);
    }
    if (UnderWine()) {
        // Slower there: the link coming back and the failback after it may
        // be read in one wake-up.
        std::vector<std::string> want = {"started", "path-changed", "failover", "path-changed", "failback"};
        if (interrupt)
            want.push_back("stopped");
        EXPECT_EQ(Collapsed(events), want) << r.out;
    } else {
        EXPECT_EQ(events,
                  (std::vector<std::string>{"started", "path-changed", "path-changed", "failover", "path-changed",
                                            "path-changed", "path-changed", "failback", "stopped"}))
            << r.out;
    }
    if (interrupt) {
        EXPECT_EQ(last.substr(std::min<size_t>(25, last.size())), std::string("stopped by ") + InterruptName());
    }
}

TEST_F(Monitor, WatchReadsAtItsIntervalWhileTheDriverRefusesTheWait)
{
    Start();
    std::unique_ptr<BackgroundProgram> started =
        ferv_e2e::Start(kFervmon, emulator.Root(), {"watch", "--interval", "1"});
    BackgroundProgram &watch = *started;
    ASSERT_TRUE(watch.WaitForOutput(" started ")) << watch.Output() << watch.Errors();
    Ctl({"answer", "WAIT_FOR_CHANGE", "8", "1000"});
    Ctl({"link-down", "hba0-t0-lun0"}); // completes the wait already held
    EXPECT_TRUE(watch.WaitForOutput(" failover LUN exchange_db ")) << watch.Output();
    EXPECT_TRUE(watch.WaitForOutput(" wait-failed FervLib (WIN32) - FervWaitForChange: IOCTL_FERV_WAIT_FOR_CHANGE "
                                    "Error: 00000008; reading every 1 s\n"))
        << watch.Output();
    Ctl({"link-up", "hba0-t0-lun0"});
    EXPECT_TRUE(watch.WaitForOutput("state down -> up_standby", 3000)) << watch.Output();
    // Wine has no Ctrl-Break for SIGTERM: it ends the program there.
    ProgramResult r = StopWatch(watch, UnderWine() ? SIGINT : SIGTERM);
    if (InterruptReachesTheProgram()) {
        EXPECT_EQ(r.exitCode, 0);
    }
    EXPECT_EQ(r.out.find(" wait-failed "), r.out.rfind(" wait-failed ")) << "said once:\n" << r.out;
}

TEST_F(Monitor, WatchTellsWhenTheDriverGoesAndComesBackAndEndsOnSigterm)
{
    if (UnderWine())
        GTEST_SKIP() << "Wine ends a program on SIGTERM instead of giving it Ctrl-Break";
    TempDir root;
    ProgramOptions simOptions;
    simOptions.unsetEnv.push_back("FERV_DEVICE_ROOT");
    const std::vector<std::string> simArgs = {"--root", root.Path(), "--no-io"};
    std::unique_ptr<BackgroundProgram> sim(new BackgroundProgram(SimPath(), simArgs, simOptions));
    ASSERT_TRUE(Eventually([&] { return sim->Errors().find("fervsim: serving") != std::string::npos; }));

    BackgroundProgram watch(HostProgramPath(kFervmon), {"watch", "--json", "--interval", "1"},
                            WatchOptions(root.Path()));
    ASSERT_TRUE(watch.WaitForOutput("\"event\":\"started\"")) << watch.Output() << watch.Errors();
    sim->Stop(SIGTERM);
    EXPECT_TRUE(watch.WaitForOutput("\"event\":\"driver-lost\"", 3000)) << watch.Output();
    sim.reset(new BackgroundProgram(SimPath(), simArgs, simOptions));
    EXPECT_TRUE(watch.WaitForOutput("\"event\":\"driver-back\"", 5000)) << watch.Output() << sim->Errors();
    ASSERT_EQ(ferv_test::RunProgram(SimPath(), {"ctl", "--root", root.Path(), "link-down", "hba0-t0-lun0"}).exitCode,
              0);
    EXPECT_TRUE(watch.WaitForOutput("\"event\":\"failover\"", 1000)) << watch.Output();

    ProgramResult r = watch.Stop(SIGTERM);
    sim->Stop(SIGTERM);
    EXPECT_EQ(r.exitCode, 0);
    std::istringstream lines(r.out);
    std::string line;
    std::vector<std::string> events;
    while (std::getline(lines, line)) {
        nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(json.is_object()) << line;
        events.push_back(json["event"]);
        if (events.back() == "driver-lost") {
            EXPECT_NE(json["reason"].get<std::string>().find("FervLib (WIN32) - FervGetAllInfo: "),
                      std::string::npos)
                << line;
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"started", "driver-lost", "driver-back", "path-changed",
                                                "path-changed", "failover", "stopped"}))
        << r.out;
}

} // namespace
