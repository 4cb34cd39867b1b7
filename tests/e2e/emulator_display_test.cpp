// Every display form of both programs against the emulator serving a small
// SAN of our own (tests/golden/e2e/san.json), compared byte for byte with the
// reports written out by hand for it: path states with and without the
// preferred bit, a LUN without paths, a device without LUNs, empty texts,
// names longer than their columns, an all-zero key, an unnamed pathing mode.
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

using namespace ferv_e2e;

namespace {

struct Named {
    const char *name;
    const char *key;
};

const Named kDevices[] = {
    {"east array", "600a0b800011223344556677889900aa"},
    {"west", "00000000000000000000000000000000"},
    {"north array with a device name that is longer than most", "600a0b8000ffeedd00000000000000ff"},
};

const Named kLuns[] = {
    {"db", "600a0b80001122330000000000000001"},
    {"logs", "600a0b80001122330000000000000002"},
    {"empty", "600a0b80001122330000000000000003"},
    {"legacy", "600a0b8000ffeedd0000000000000a01"},
};

const char *const kPaths[] = {
    "p-db-a", "p-db-b", "p-db-down", "p-db-admin", "p-logs-a", "p-logs-b", "p-logs-unknown", "p-logs-transition",
    "n-active", "path-name-twenty-five-chr", "p-legacy-down", "p-legacy-admin",
};

// 85 characters: a path record holds the first 80 of them.
const std::string kLongPath =
    "long-path-name-01234567890123456789012345678901234567890123456789012345678901234-tail";

class EmulatorDisplay : public ::testing::TestWithParam<Program> {
protected:
    static void SetUpTestSuite()
    {
        emulator = new Emulator;
        emulator->Start(GoldenPath("san.json"), {"--no-io"});
    }

    static void TearDownTestSuite()
    {
        delete emulator;
        emulator = nullptr;
    }

    void SetUp() override { ASSERT_TRUE(emulator->Ready()) << emulator->Failure(); }

    ferv_test::ProgramResult Run(const std::vector<std::string> &args) { return emulator->Run(GetParam(), args); }

    static Emulator *emulator;
    const std::string all = Golden("san_all.txt");
    const std::string verbose = Golden("san_all_verbose.txt");
};

Emulator *EmulatorDisplay::emulator = nullptr;

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorDisplay, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

TEST_P(EmulatorDisplay, AllDevicesMatchTheWrittenReports)
{
    ASSERT_FALSE(all.empty());
    ASSERT_FALSE(verbose.empty());
    EXPECT_TRUE(Ran(Run({}), all, 0));
    EXPECT_TRUE(Ran(Run({"-v"}), verbose, 0));
    // A first word that is no option, and "-" or "--", leave the plain report.
    EXPECT_TRUE(Ran(Run({"foo"}), all, 0));
    EXPECT_TRUE(Ran(Run({"-"}), all, 0));
    EXPECT_TRUE(Ran(Run({"--", "-v"}), all, 0));
    // Everything after -v is ignored.
    EXPECT_TRUE(Ran(Run({"-v", "-d", kDevices[0].key}), verbose, 0));
}

TEST_P(EmulatorDisplay, OneDeviceIsItsPartOfTheReportAfterTheKeyEcho)
{
    for (const Named &device : kDevices) {
        SCOPED_TRACE(device.name);
        const std::string echo = std::string(device.key) + " ";
        std::string plain = DeviceSection(all, device.name);
        std::string wordy = DeviceSection(verbose, device.name);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-d", device.key}), echo + plain, 0));
        EXPECT_TRUE(Ran(Run({"-d", device.key, "-v"}), echo + wordy, 0));
        // Three words: the second scan is not made, -v is ignored.
        EXPECT_TRUE(Ran(Run({std::string("-d") + device.key, "-v"}), echo + plain, 0));
        // -vr is the verbose display.
        EXPECT_TRUE(Ran(Run({"-d", device.key, "-vr"}), echo + wordy, 0));
    }
    // Keys are read in either case and echoed in lower case.
    EXPECT_TRUE(Ran(Run({"-d", "600A0B800011223344556677889900AA"}),
                    std::string(kDevices[0].key) + " " + DeviceSection(all, kDevices[0].name), 0));
}

TEST_P(EmulatorDisplay, OneLunIsItsPartOfTheReportWithoutEcho)
{
    for (const Named &lun : kLuns) {
        SCOPED_TRACE(lun.name);
        std::string plain = LunSection(all, lun.name);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-l", lun.key}), plain, 0));
        EXPECT_TRUE(Ran(Run({"-l", lun.key, "-v"}), LunSection(verbose, lun.name), 0));
    }
}

TEST_P(EmulatorDisplay, OnePathIsTheTableHeadAndItsLine)
{
    for (const char *path : kPaths) {
        SCOPED_TRACE(path);
        std::string plain = PathLines(all, path);
        ASSERT_FALSE(plain.empty());
        EXPECT_TRUE(Ran(Run({"-p", path}), kPathHead + plain, 0));
        EXPECT_TRUE(Ran(Run({"-p", path, "-v"}), kPathHead + PathLines(verbose, path), 0));
    }
    // The record carries 80 characters of the name, whichever way it was typed.
    const std::string shown = kLongPath.substr(0, 80);
    EXPECT_TRUE(Ran(Run({"-p", kLongPath}), kPathHead + PathLines(all, shown), 0));
    EXPECT_TRUE(Ran(Run({"-p", shown, "-v"}), kPathHead + PathLines(verbose, shown), 0));
}

TEST_P(EmulatorDisplay, UnknownNamesEndWithTheEmulatorsCode)
{
    const std::string key = "600a0b8000000000000000000000dead";
    EXPECT_TRUE(Ran(Run({"-d", key, "-v"}),
                    key + " FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Error: 00000005\n" +
                        StatusLine(5),
                    5));
    EXPECT_TRUE(Ran(Run({"-l", key}),
                    "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Error: 00000006\n" + StatusLine(6), 6));
    EXPECT_TRUE(Ran(Run({"-p", "no-such-path", "-v"}),
                    "FervLib (WIN32) - FervGetPathInfo: IOCTL_FERV_GET_PATH_INFO Error: 00000007\n" + StatusLine(7),
                    7));
}

TEST_P(EmulatorDisplay, ABufferTooSmallIsAskedAgainWithTheNamedSize)
{
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_ALL_HBAS"}).exitCode, 0);
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_ALL_DEVICES", "2"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-v"}), verbose, 0));
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_DEVICE_INFO", "1", "--size", "70000"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-d", kDevices[0].key}), std::string(kDevices[0].key) + " " + DeviceSection(all, "east array"),
                    0));
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_LUN_INFO", "3"}).exitCode, 0);
    EXPECT_TRUE(Ran(Run({"-l", kLuns[3].key, "-v"}), LunSection(verbose, "legacy"), 0));

    // A driver that never has room enough does not keep the program busy.
    ASSERT_EQ(emulator->Ctl({"too-small", "GET_LUN_INFO", "1000"}).exitCode, 0);
    ferv_test::ProgramResult endless = Run({"-l", kLuns[0].key});
    EXPECT_TRUE(Ran(endless,
                    "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Error: 00000015\n" + StatusLine(21),
                    21));
    EXPECT_EQ(emulator->Ctl({"clear"}).exitCode, 0);
}

// The same SAN with its records laid out in other orders (links that run
// backwards included) and with other record sizes prints the same reports.
class EmulatorLayouts : public ::testing::TestWithParam<Program> {};

INSTANTIATE_TEST_SUITE_P(Programs, EmulatorLayouts, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

TEST_P(EmulatorLayouts, ReportsDoNotDependOnWhereRecordsLie)
{
    const std::string san = Golden("san.json");
    const std::string from = "\"order\": \"depth-first\"";
    ASSERT_NE(san.find(from), std::string::npos);
    const std::string verbose = Golden("san_all_verbose.txt");
    TempDir files;
    for (const char *layout : {"\"order\": \"breadth-first\", \"hbaRecordSize\": 4, \"secondaryRecordSize\": 100",
                               "\"order\": \"reverse\", \"hbaRecordSize\": 200, \"secondaryRecordSize\": 4"}) {
        SCOPED_TRACE(layout);
        std::string text = san;
        text.replace(text.find(from), from.size(), layout);
        Emulator emulator;
        ASSERT_TRUE(emulator.Start(files.Write("san.json", text), {"--no-io"})) << emulator.Failure();
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-v"}), verbose, 0));
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-d", kDevices[2].key, "-v"}),
                        std::string(kDevices[2].key) + " " + DeviceSection(verbose, kDevices[2].name), 0));
        EXPECT_TRUE(Ran(emulator.Run(GetParam(), {"-l", kLuns[1].key, "-v"}), LunSection(verbose, "logs"), 0));
    }
}

} // namespace
