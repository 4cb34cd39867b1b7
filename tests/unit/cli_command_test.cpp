// Whole runs of the program against the scripted platform: the words go in,
// the requests, the printed text and the exit status come out.
#include <string>
#include <vector>

#include "cli/frontend.h"
#include "tests/support/fake_platform.h"
#include "tests/unit/cli_words.h"

namespace {

const uint32_t U = 0xFFFFFFFFu; // the "keep this value" word
const char *const key = "000102030405060708090a0b0c0d0e0f";
const std::string ok = "The operation completed successfully. (0)\n";
const std::string refused = "The operation contained an invalid parameter. (1)\n";

class CliRunTest : public FakePlatformTest {
protected:
    int Run(const std::vector<std::string> &words)
    {
        CliWords w(words);
        return FervAdmMain(w.argc(), w.argv());
    }
};

TEST_F(CliRunTest, SetsOneParameterAndRefusesOutOfRangeValuesWithoutARequest)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_SET_PUBLIC_PARAMETERS).ExpectInput(FakeWords({0, 10, U, U, U, U, U, U}));
    EXPECT_EQ(Run({"-Pp", "10"}), 0);
    EXPECT_EQ(TakeConsoleOutput(), ok);

    FakeExpect(IOCTL_FERV_SET_PUBLIC_PARAMETERS).ExpectInput(FakeWords({0, U, U, 0x7fffffff, U, U, U, U}));
    EXPECT_EQ(Run({"-P", "-l", "ffffffff"}), 0);
    FakeExpect(IOCTL_FERV_SET_PUBLIC_PARAMETERS).ExpectInput(FakeWords({0, U, 0, U, U, U, U, U}));
    EXPECT_EQ(Run({"-P", "-a", "x"}), 0);
    FakeExpect(IOCTL_FERV_SET_PRIVATE_PARAMETERS).ExpectInput(FakeWords({0, U, 0x1f, U}));
    EXPECT_EQ(Run({"-Z", "-r", "1f"}), 0);
    FakeExpect(IOCTL_FERV_SET_PRIVATE_PARAMETERS).ExpectInput(FakeWords({0, 0x1f, U, U}));
    EXPECT_EQ(Run({"-Z", "-t", "0x1f"}), 0);
    EXPECT_EQ(TakeConsoleOutput(), ok + ok + ok + ok);

    for (const char *value : {"1", "61", "-5"}) {
        EXPECT_EQ(Run({"-P", "-p", value}), 1);
        EXPECT_EQ(TakeConsoleOutput(), refused);
    }
    EXPECT_EQ(Run({"-P", "-a", "2"}), 1);
    EXPECT_EQ(TakeConsoleOutput(), refused);
    EXPECT_EQ(FakeSentRequests().size(), 5u);
}

TEST_F(CliRunTest, UsageEndingsSendNothingAndExitWithZero)
{
    EXPECT_EQ(Run({"-d", key, "-x"}), 0);
    std::string text = TakeConsoleOutput();
    EXPECT_EQ(text.rfind(std::string(key) + " getopt: illegal option -- x\ndefault ", 0), 0u);
    EXPECT_EQ(Run({"-Z"}), 0);
    EXPECT_EQ(TakeConsoleOutput().rfind("default ", 0), 0u);
    EXPECT_TRUE(FakeSentRequests().empty());
}

TEST_F(CliRunTest, WaitPrintsTheStatusLineEvenOnSuccess)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectInput(FakeWords({0, 1})).Pend().Put32(4, 77);
    EXPECT_EQ(Run({"-S"}), 0);
    EXPECT_EQ(TakeConsoleOutput(), ok);
}

TEST_F(CliRunTest, FailedDeviceRestoreFollowsTheKeyEchoOnItsLine)
{
    FakeAddDriver();
    FakeBytes sent = FakeZeros(32);
    for (int i = 0; i < 16; i++)
        sent[4 + i] = (uint8_t)i;
    sent[20] = FERV_DEVICE_CMD_RESTORE_PREFERRED;
    FakeExpectStatus(IOCTL_FERV_ISSUE_DEVICE_CMD, 22).ExpectInput(sent).Put32(24, 3).Put32(28, 2);
    EXPECT_EQ(Run({"-d", key, "-r"}), 22);
    EXPECT_EQ(TakeConsoleOutput(),
              std::string(key) +
                  " FervLib (WIN32) - FervIssueDeviceCommand: IOCTL_FERV_ISSUE_DEVICE_CMD Error: 00000016\n"
                  "   Num Successful Operations: 3\n"
                  "   Num Failed Operations: 2\n"
                  "The restore operation failed. (22)\n");
}

TEST_F(CliRunTest, PathActionsAndStatistics)
{
    FakeAddDriver();
    FakeExpectStatus(IOCTL_FERV_ISSUE_PATH_CMD, 14).Edit([](FakeBytes &reply) {
        EXPECT_EQ(reply[85], FERV_PATH_CMD_ACTIVATE);
    });
    EXPECT_EQ(Run({"-p", "p1", "-ad"}), 14);
    EXPECT_EQ(TakeConsoleOutput(), "The specified path is already the active path. (14)\n");

    std::string longName(85, 'n');
    FakeExpect(IOCTL_FERV_GET_PATH_STATS).PutBytes(88, FakeWords({1, 2, 3, 4})).Edit([](FakeBytes &r) {
        EXPECT_EQ(std::string(r.begin() + 4, r.begin() + 85), std::string(80, 'n') + '\0');
    });
    EXPECT_EQ(Run({"-p", longName, "-m"}), 0);
    EXPECT_EQ(TakeConsoleOutput(), "Path Statistics\n"
                                   "  Path:               " +
                                       longName +
                                       "\n"
                                       "  Host Requests:      2\n"
                                       "  Outstanding IO:     3\n"
                                       "  Blocks Transferred: 4\n"
                                       "  IO Errors:          1\n");
}

TEST_F(CliRunTest, NoDriverEndsWithTheLibraryLineAndTheStatusLine)
{
    EXPECT_EQ(Run({"-l", key, "-m"}), 11);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetLUNStatistics: SendReqToDriver Error: 0000000B\n"
                                   "No supported devices were detected. (11)\n");
    EXPECT_EQ(Run({}), 11);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B\n"
                                   "No supported devices were detected. (11)\n");
}

} // namespace
