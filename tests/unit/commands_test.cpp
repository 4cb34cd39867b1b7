// Path, LUN and device commands and statistics: request layouts, the
// device command's counts, and the two-step judgement shared by every call.
#include <string.h>

#include <functional>
#include <string>

#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class CommandsTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        FakeAddDriver();
    }
};

const FervWwnKey key = {
    {0x60, 0x0a, 0x09, 0x80, 0x00, 0x01, 0xff, 0xfe, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x8f}};

TEST_F(CommandsTest, NullArgumentsPrintOneLineAndSendNothing)
{
    uint8_t code = 1;
    FervDeviceCommand cmd = {1, 0, 0};
    FervStatistics stats;
    EXPECT_EQ(FervIssuePathCommand(nullptr, &code), 1u);
    EXPECT_EQ(FervIssuePathCommand("p", nullptr), 1u);
    EXPECT_EQ(FervIssueLUNCommand(nullptr, &code), 1u);
    EXPECT_EQ(FervIssueLUNCommand(&key, nullptr), 1u);
    EXPECT_EQ(FervIssueDeviceCommand(nullptr, &cmd), 1u);
    EXPECT_EQ(FervIssueDeviceCommand(&key, nullptr), 1u);
    EXPECT_EQ(FervGetPathStatistics(nullptr, &stats), 1u);
    EXPECT_EQ(FervGetPathStatistics("p", nullptr), 1u);
    EXPECT_EQ(FervGetLUNStatistics(nullptr, &stats), 1u);
    EXPECT_EQ(FervGetLUNStatistics(&key, nullptr), 1u);
    std::string expected;
    for (const char *call : {"FervIssuePathCommand", "FervIssueLUNCommand", "FervIssueDeviceCommand",
                             "FervGetPathStatistics", "FervGetLUNStatistics"})
        for (int twice = 0; twice < 2; twice++)
            expected += std::string("FervLib (WIN32) - ") + call + ": A parameter is NULL!\n";
    EXPECT_EQ(TakeConsoleOutput(), expected);
    EXPECT_TRUE(FakeCallLog().empty());
}

TEST_F(CommandsTest, PathNameIsCutToEightyCharactersBeforeTheCommandCode)
{
    std::string longName(100, 'x');
    for (size_t i = 0; i < longName.size(); i++)
        longName[i] = (char)('A' + i % 26);
    FakeBytes expected = FakeZeros(88);
    memcpy(&expected[4], longName.data(), 80);
    expected[85] = FERV_PATH_CMD_ACTIVATE;
    FakeExpectStatus(IOCTL_FERV_ISSUE_PATH_CMD, 14).ExpectInput(expected);
    uint8_t code = FERV_PATH_CMD_ACTIVATE;
    EXPECT_EQ(FervIssuePathCommand(longName.c_str(), &code), 14u);

    expected = FakeZeros(88);
    expected[85] = 0xFE; // any code goes through unjudged
    FakeExpect(IOCTL_FERV_ISSUE_PATH_CMD).ExpectInput(expected);
    code = 0xFE;
    EXPECT_EQ(FervIssuePathCommand("", &code), 0u);

    FakeBytes stats = FakeZeros(104);
    memcpy(&stats[4], longName.data(), 80);
    FakeExpect(IOCTL_FERV_GET_PATH_STATS).ExpectInput(stats);
    FervStatistics s;
    EXPECT_EQ(FervGetPathStatistics(longName.c_str(), &s), 0u);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(CommandsTest, KeysAndCodesGoOutByteForByte)
{
    FakeBytes lun = FakeZeros(24);
    memcpy(&lun[4], key.bytes, 16);
    lun[20] = FERV_LUN_CMD_RESTORE_PREFERRED;
    FakeExpect(IOCTL_FERV_ISSUE_LUN_CMD).ExpectInput(lun);
    uint8_t code = FERV_LUN_CMD_RESTORE_PREFERRED;
    EXPECT_EQ(FervIssueLUNCommand(&key, &code), 0u);

    FakeBytes device = FakeZeros(32);
    memcpy(&device[4], key.bytes, 16);
    device[20] = FERV_DEVICE_CMD_RESTORE_PREFERRED;
    FakeExpect(IOCTL_FERV_ISSUE_DEVICE_CMD).ExpectInput(device);
    FervDeviceCommand cmd = {FERV_DEVICE_CMD_RESTORE_PREFERRED, -5, -5};
    EXPECT_EQ(FervIssueDeviceCommand(&key, &cmd), 0u);

    FakeBytes lunStats = FakeZeros(36);
    memcpy(&lunStats[4], key.bytes, 16);
    FakeExpect(IOCTL_FERV_GET_LUN_STATS).ExpectInput(lunStats);
    FervStatistics s;
    EXPECT_EQ(FervGetLUNStatistics(&key, &s), 0u);
}

TEST_F(CommandsTest, DeviceCommandCountsArriveWhateverTheStatus)
{
    FervDeviceCommand cmd = {1, -1, -1};
    FakeExpect(IOCTL_FERV_ISSUE_DEVICE_CMD).Put32(24, 3).Put32(28, 0);
    EXPECT_EQ(FervIssueDeviceCommand(&key, &cmd), 0u);
    EXPECT_EQ(cmd.numSuccessful, 3);
    EXPECT_EQ(cmd.numFailed, 0);
    EXPECT_EQ(TakeConsoleOutput(), "");

    FakeExpectStatus(IOCTL_FERV_ISSUE_DEVICE_CMD, 22).Put32(24, 2).Put32(28, (uint32_t)-3);
    EXPECT_EQ(FervIssueDeviceCommand(&key, &cmd), 22u);
    EXPECT_EQ(cmd.numSuccessful, 2);
    EXPECT_EQ(cmd.numFailed, -3);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervIssueDeviceCommand: IOCTL_FERV_ISSUE_DEVICE_CMD Error: 00000016\n"
              "   Num Successful Operations: 2\n"
              "   Num Failed Operations: -3\n");

    // A request that never got through changes nothing.
    FakeExpect(IOCTL_FERV_ISSUE_DEVICE_CMD).Refuse(31);
    EXPECT_EQ(FervIssueDeviceCommand(&key, &cmd), 10u);
    EXPECT_EQ(cmd.numSuccessful, 2);
    EXPECT_EQ(cmd.numFailed, -3);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n"
                                   "FervLib (WIN32) - FervIssueDeviceCommand: SendReqToDriver Error: 0000000A\n");
}

TEST_F(CommandsTest, StatisticsAreCopiedOnlyOnSuccess)
{
    FervStatistics s;
    FakeExpectStatus(IOCTL_FERV_GET_PATH_STATS, 14).PutBytes(88, FakeWords({1, 2, 3, 0xFFFFFFFF}));
    EXPECT_EQ(FervGetPathStatistics("c0t1d0", &s), 14u);
    EXPECT_EQ(s.ioErrors, 1u);
    EXPECT_EQ(s.hostRequests, 2u);
    EXPECT_EQ(s.outstandingIo, 3u);
    EXPECT_EQ(s.blocksTransferred, 0xFFFFFFFFu);

    FakeExpect(IOCTL_FERV_GET_LUN_STATS).PutBytes(20, FakeWords({5, 6, 7, 8}));
    EXPECT_EQ(FervGetLUNStatistics(&key, &s), 0u);
    EXPECT_EQ(s.ioErrors, 5u);
    EXPECT_EQ(s.blocksTransferred, 8u);
    EXPECT_EQ(TakeConsoleOutput(), "");

    FervStatistics before = s;
    FakeExpectStatus(IOCTL_FERV_GET_LUN_STATS, 6).PutBytes(20, FakeWords({9, 9, 9, 9}));
    EXPECT_EQ(FervGetLUNStatistics(&key, &s), 6u);
    FakeExpectStatus(IOCTL_FERV_GET_PATH_STATS, 7).PutBytes(88, FakeWords({9, 9, 9, 9}));
    EXPECT_EQ(FervGetPathStatistics("c0t1d0", &s), 7u);
    EXPECT_EQ(memcmp(&s, &before, sizeof s), 0);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervGetLUNStatistics: IOCTL_FERV_GET_LUN_STATS Error: 00000006\n"
              "FervLib (WIN32) - FervGetPathStatistics: IOCTL_FERV_GET_PATH_STATS Error: 00000007\n");
}

// Every fixed-size call: its code and size, one buffer for input and output,
// 14 as success, and its own lines for a failed send and a driver status.
struct CallCase {
    const char *name;
    const char *codeName;
    uint32_t code;
    uint32_t size;
    std::function<FERV_STATUS()> call;
};

TEST_F(CommandsTest, EveryCallJudgesSendResultAndStatusWordAlike)
{
    static FervPublicParameters pub;
    static FervPrivateParameters priv;
    static FervStatistics stats;
    static FervDeviceCommand cmd = {1, 0, 0};
    static uint32_t waitKey = 1;
    static uint8_t code = 2;
    const CallCase cases[] = {
        {"FervGetPublicParameters", "IOCTL_FERV_GET_PUBLIC_PARAMETERS", IOCTL_FERV_GET_PUBLIC_PARAMETERS, 32,
         [] { return FervGetPublicParameters(&pub); }},
        {"FervSetPublicParameters", "IOCTL_FERV_SET_PUBLIC_PARAMETERS", IOCTL_FERV_SET_PUBLIC_PARAMETERS, 32,
         [] { return FervSetPublicParameters(&pub); }},
        {"FervSetPrivateParameters", "IOCTL_FERV_SET_PRIVATE_PARAMETERS", IOCTL_FERV_SET_PRIVATE_PARAMETERS, 16,
         [] { return FervSetPrivateParameters(&priv); }},
        {"FervWaitForChange", "IOCTL_FERV_WAIT_FOR_CHANGE", IOCTL_FERV_WAIT_FOR_CHANGE, 8,
         [] { return FervWaitForChange(&waitKey); }},
        {"FervIssuePathCommand", "IOCTL_FERV_ISSUE_PATH_CMD", IOCTL_FERV_ISSUE_PATH_CMD, 88,
         [] { return FervIssuePathCommand("p", &code); }},
        {"FervIssueLUNCommand", "IOCTL_FERV_ISSUE_LUN_CMD", IOCTL_FERV_ISSUE_LUN_CMD, 24,
         [] { return FervIssueLUNCommand(&key, &code); }},
        {"FervIssueDeviceCommand", "IOCTL_FERV_ISSUE_DEVICE_CMD", IOCTL_FERV_ISSUE_DEVICE_CMD, 32,
         [] { return FervIssueDeviceCommand(&key, &cmd); }},
        {"FervGetPathStatistics", "IOCTL_FERV_GET_PATH_STATS", IOCTL_FERV_GET_PATH_STATS, 104,
         [] { return FervGetPathStatistics("p", &stats); }},
        {"FervGetLUNStatistics", "IOCTL_FERV_GET_LUN_STATS", IOCTL_FERV_GET_LUN_STATS, 36,
         [] { return FervGetLUNStatistics(&key, &stats); }},
    };
    const std::string prefix = "FervLib (WIN32) - ";
    for (const CallCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeExpectStatus(c.code, 14);
        EXPECT_EQ(c.call(), 14u);
        EXPECT_EQ(FakeLastSent().inSize, c.size);
        EXPECT_TRUE(FakeLastSent().sameBuffer);
        EXPECT_EQ(TakeConsoleOutput(), "");

        FakeExpectStatus(c.code, 21);
        EXPECT_EQ(c.call(), 21u);
        std::string out = TakeConsoleOutput();
        EXPECT_EQ(out.substr(0, out.find('\n') + 1), prefix + c.name + ": " + c.codeName + " Error: 00000015\n");

        FakeExpect(c.code).Refuse(5);
        EXPECT_EQ(c.call(), 10u);
        EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 00000005\n" +
                                           prefix + c.name + ": SendReqToDriver Error: 0000000A\n");
        // The refusal dropped the only handle: nothing left to open.
        FakeDeviceAt(FAKE_INTERFACE_PATH).openError = 2;
        EXPECT_EQ(c.call(), 11u);
        EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: CreateFile Failed!\n" +
                                           prefix + c.name + ": SendReqToDriver Error: 0000000B\n");
        FakeDeviceAt(FAKE_INTERFACE_PATH).openError = 0;
    }
}

} // namespace
