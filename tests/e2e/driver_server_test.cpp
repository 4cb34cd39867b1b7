// Both programs as whole processes against the tests' own driver server,
// which answers with bytes of our choosing: what reaches the driver for each
// command line, and what a user sees for every kind of answer, failure and
// missing driver included.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/e2e_support.h"

using namespace ferv_e2e;
using ferv_test::CompleteWith;
using ferv_test::EchoWithStatus;
using ferv_test::Get32;
using ferv_test::ProgramResult;
using ferv_test::Put32;
using ferv_test::PutBytes;
using ferv_test::ReceivedRequest;
using ferv_test::RefuseWith;
using ferv_test::Reply;

namespace {

const char kKeyText[] = "00112233445566778899aabbccddeeff";
const uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

const uint32_t kGetAllHbas = 0x85002004;
const uint32_t kGetAllDevices = 0x85002008;
const uint32_t kGetDeviceInfo = 0x8500200C;
const uint32_t kIssuePathCmd = 0x85002018;
const uint32_t kIssueDeviceCmd = 0x85002020;
const uint32_t kGetPublic = 0x85002028;
const uint32_t kSetPublic = 0x8500202C;
const uint32_t kSetPrivate = 0x85002034;
const uint32_t kGetPathStats = 0x85002038;
const uint32_t kWaitForChange = 0x85002040;
const uint32_t kKeep = 0xFFFFFFFF;

class DriverServer : public ::testing::TestWithParam<Program> {
protected:
    ferv_test::TestServer server;

    const Program &program() const { return GetParam(); }

    // The endpoint name of the program's i-th way to the driver: interface
    // "fervNNNN" for fervadm, the control device for fervadmctl (which has
    // only the one).
    std::string Door(int i = 0) const
    {
        return program().controlDevice ? std::string(ferv_test::kControlDevice) : "ferv000" + std::to_string(i);
    }

    void AddDoor(int i = 0)
    {
        if (program().controlDevice)
            server.AddControlDevice();
        else
            server.AddInterface(Door(i));
    }

    // The other program's door, which this program must not use.
    void AddOtherDoor()
    {
        if (program().controlDevice)
            server.AddInterface("ferv0000");
        else
            server.AddControlDevice();
    }

    // Every request is answered by echoing it with this status word.
    void AnswerEverything(uint32_t status)
    {
        server.SetHandler("",
                          [status](const ReceivedRequest &r) { return CompleteWith(EchoWithStatus(r, status)); });
    }

    ProgramResult Run(const std::vector<std::string> &args) { return ferv_e2e::Run(program(), server.Root(), args); }
};

INSTANTIATE_TEST_SUITE_P(Programs, DriverServer, ::testing::Values(kFervadm, kFervadmctl), ProgramName);

// ---- no driver --------------------------------------------------------------------

struct NoDriverCase {
    std::vector<std::string> args;
    std::string out;
};

std::vector<NoDriverCase> NoDriverCases()
{
    const std::string eleven = StatusLine(11);
    return {
        {{"-P"}, "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n" + eleven},
        {{}, "FervLib (WIN32) - FervGetAllInfo: HBA SendReqToDriver Error: 0000000B\n" + eleven},
        {{"-l", kKeyText, "-v"}, "FervLib (WIN32) - FervGetLunInfo: SendReqToDriver Error: 0000000B\n" + eleven},
        {{"-d", kKeyText, "-r"},
         std::string(kKeyText) + " FervLib (WIN32) - FervIssueDeviceCommand: SendReqToDriver Error: 0000000B\n" +
             eleven},
        {{"-S"}, "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000B\n" + eleven},
    };
}

TEST_P(DriverServer, WithoutADriverEveryCommandEndsWithNoDevices)
{
    for (const NoDriverCase &c : NoDriverCases()) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_TRUE(Ran(Run(c.args), c.out, 11));
    }
    // The other program's door is no way in for this one.
    AddOtherDoor();
    AnswerEverything(0);
    for (const NoDriverCase &c : NoDriverCases()) {
        SCOPED_TRACE("beside the other door: " + ::testing::PrintToString(c.args));
        EXPECT_TRUE(Ran(Run(c.args), c.out, 11));
    }
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_P(DriverServer, ADoorNobodyServesIsNoDriver)
{
    if (UnderWine())
        GTEST_SKIP() << "Wine opens a handle to a device whatever its driver answers to the open, so a door that "
                        "is there but cannot be opened cannot be shown";
    if (program().controlDevice)
        server.AddDeadDevice(ferv_test::kControlDevice);
    else
        server.AddDeadInterface("ferv0000");
    // Discovery says which interface it could not open; the control device
    // fails to open without a word of its own.
    std::string before =
        program().controlDevice ? "" : "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: CreateFile Failed!\n";
    EXPECT_TRUE(
        Ran(Run({"-P"}),
            before + "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n" + StatusLine(11),
            11));
}

// ---- refusals and pended requests --------------------------------------------------------

// A public-parameter reply: poll rate 10, failback on, every log bit, version 2.6.0.31.
std::vector<uint8_t> PublicReply(uint32_t status)
{
    std::vector<uint8_t> bytes(32, 0);
    Put32(bytes, 0, status);
    const uint32_t words[7] = {10, 1, 0x1f, 2, 6, 0, 31};
    for (int i = 0; i < 7; i++)
        Put32(bytes, 4 + 4 * i, words[i]);
    return bytes;
}

const char kPublicReport[] = "Driver Public Parameters\n"
                             "  Driver Version: 2.6.0.31\n"
                             "  Auto FailBack: 1(on)\n"
                             "  Poll Rate:      10(seconds)\n"
                             "  Log Level:      0x1f(data path changes  internal errors  critical errors  "
                             "informational messages  caution messages  )\n";

TEST_P(DriverServer, ARefusedRequestMovesOnOrEndsWithTen)
{
    const std::string refused = "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 00000001\n";
    AddDoor(0);
    server.QueueReply(Door(0), RefuseWith(1));
    if (program().controlDevice) {
        // One way in: the refusal ends the request.
        EXPECT_TRUE(Ran(Run({"-P"}),
                        refused + "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000A\n" +
                            StatusLine(10),
                        10));
        EXPECT_EQ(server.RequestCount(), 1u);
        return;
    }
    // fervadm: the second interface serves what the first refused.
    AddDoor(1);
    server.SetHandler(Door(1), [](const ReceivedRequest &) { return CompleteWith(PublicReply(0)); });
    EXPECT_TRUE(Ran(Run({"-P"}), refused + kPublicReport, 0));
    ASSERT_EQ(server.RequestCount(), 2u);
    EXPECT_EQ(server.Requests()[0].endpoint, Door(0));
    EXPECT_EQ(server.Requests()[1].endpoint, Door(1));
    EXPECT_EQ(server.Requests()[1].input, server.Requests()[0].input);
}

TEST_P(DriverServer, APendedWaitEndsWhenTheDriverCompletesIt)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) {
        std::vector<uint8_t> bytes = EchoWithStatus(r, 0);
        Put32(bytes, 4, 77);
        return Reply().SendPending().AwaitTrigger("change").SendComplete(bytes);
    });
    auto waiting = ferv_e2e::Start(program(), server.Root(), {"-S"});
    ASSERT_TRUE(server.WaitForRequests(1));
    ReceivedRequest request = server.Requests()[0];
    EXPECT_EQ(request.ioControlCode, kWaitForChange);
    EXPECT_EQ(request.input, std::vector<uint8_t>({0, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(request.outSize, 8u);
    // Still waiting: nothing printed, not ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(waiting->Running());
    EXPECT_EQ(waiting->Output(), "");
    server.Trigger("change");
    EXPECT_TRUE(Ran(waiting->Wait(10000), StatusLine(0), 0));
}

TEST_P(DriverServer, APendedRequestThatFailsEndsWithTen)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &) { return ferv_test::PendThenComplete({}, 10, 31); });
    EXPECT_TRUE(Ran(Run({"-S"}),
                    "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: 0000001F\n"
                    "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000A\n" +
                        StatusLine(10),
                    10));
}

// ---- parameter commands ---------------------------------------------------------------------

struct ParameterCase {
    std::vector<std::string> args;
    uint32_t code;
    std::vector<uint32_t> words; // the request, word by word, status word first
};

TEST_P(DriverServer, ParameterCommandsSendOneChangeAndKeepTheRest)
{
    AddDoor();
    AnswerEverything(0);
    const ParameterCase cases[] = {
        {{"-P", "-p", "10"}, kSetPublic, {0, 10, kKeep, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-Pp", "10"}, kSetPublic, {0, 10, kKeep, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-p", "2"}, kSetPublic, {0, 2, kKeep, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-p", "60", "-a", "1"}, kSetPublic, {0, 60, kKeep, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-a", "1"}, kSetPublic, {0, kKeep, 1, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-a", "x"}, kSetPublic, {0, kKeep, 0, kKeep, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-l", "0x1f"}, kSetPublic, {0, kKeep, kKeep, 0x1f, kKeep, kKeep, kKeep, kKeep}},
        {{"-P", "-l", "ffffffff"}, kSetPublic, {0, kKeep, kKeep, 0x7fffffff, kKeep, kKeep, kKeep, kKeep}},
        // -Z: paramT, paramR, paramD stand in this order in the request.
        {{"-Z", "-r", "1f"}, kSetPrivate, {0, kKeep, 0x1f, kKeep}},
        {{"-Z", "-t", "1f"}, kSetPrivate, {0, 0x1f, kKeep, kKeep}},
        {{"-Z", "-d", "0x7"}, kSetPrivate, {0, kKeep, kKeep, 7}},
    };
    size_t seen = 0;
    for (const ParameterCase &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_TRUE(Ran(Run(c.args), StatusLine(0), 0));
        ASSERT_EQ(server.RequestCount(), seen + 1);
        ReceivedRequest request = server.Requests()[seen++];
        EXPECT_EQ(request.ioControlCode, c.code);
        ASSERT_EQ(request.input.size(), 4 * c.words.size());
        EXPECT_EQ(request.outSize, 4 * c.words.size());
        for (size_t w = 0; w < c.words.size(); w++)
            EXPECT_EQ(Get32(request.input, 4 * w), c.words[w]) << "word " << w;
    }
}

TEST_P(DriverServer, RefusedParameterValuesSendNothing)
{
    AddDoor();
    AnswerEverything(0);
    for (auto args : std::vector<std::vector<std::string>>{
             {"-P", "-p", "61"}, {"-P", "-p", "1"}, {"-P", "-p", "-5"}, {"-P", "-a", "2"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_TRUE(Ran(Run(args), StatusLine(1), 1));
    }
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_P(DriverServer, ThePublicParameterReportNeedsStatusZero)
{
    AddDoor();
    server.QueueReply(Door(), CompleteWith(PublicReply(0)));
    EXPECT_TRUE(Ran(Run({"-P"}), kPublicReport, 0));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].ioControlCode, kGetPublic);
    EXPECT_EQ(server.Requests()[0].input, std::vector<uint8_t>(32, 0));

    // 14 is a success inside the library, but not to the front end.
    server.QueueReply(Door(), CompleteWith(PublicReply(14)));
    EXPECT_TRUE(Ran(Run({"-P"}), StatusLine(14), 14));

    server.QueueReply(Door(), CompleteWith(PublicReply(10)));
    EXPECT_TRUE(Ran(Run({"-P"}),
                    "FervLib (WIN32) - FervGetPublicParameters: IOCTL_FERV_GET_PUBLIC_PARAMETERS Error: 0000000A\n" +
                        StatusLine(10),
                    10));

    server.QueueReply(Door(), CompleteWith(PublicReply(1)));
    EXPECT_TRUE(Ran(Run({"-P", "-p", "10"}),
                    "FervLib (WIN32) - FervSetPublicParameters: IOCTL_FERV_SET_PUBLIC_PARAMETERS Error: 00000001\n" +
                        StatusLine(1),
                    1));

    // A code without a message still gets a status line.
    std::vector<uint8_t> privateReply(16, 0);
    Put32(privateReply, 0, 23);
    server.QueueReply(Door(), CompleteWith(privateReply));
    EXPECT_TRUE(Ran(Run({"-Z", "-t", "1"}),
                    "FervLib (WIN32) - FervSetPrivateParameters: IOCTL_FERV_SET_PRIVATE_PARAMETERS Error: 00000017\n"
                    "Unknown FERV_STATUS code (23)!\n",
                    23));
}

// ---- topology replies --------------------------------------------------------------------

// A device record without LUNs, at `at` in bytes, linked to the next one
// `next` bytes further on (0: none).
void PutDevice(std::vector<uint8_t> &bytes, size_t at, int32_t next, const std::string &name, uint8_t wwnLast)
{
    if (bytes.size() < at + 428)
        bytes.resize(at + 428, 0);
    Put32(bytes, at, (uint32_t)next);
    PutBytes(bytes, at + 90, name.c_str(), name.size());
    PutBytes(bytes, at + 252, "fw-", 3);
    PutBytes(bytes, at + 255, name.c_str(), 1);
    PutBytes(bytes, at + 273, "192.0.2.", 8);
    PutBytes(bytes, at + 281, name.c_str(), 1);
    PutBytes(bytes, at + 314, "SN-", 3);
    PutBytes(bytes, at + 317, name.c_str(), name.size());
    PutBytes(bytes, at + 395, kKey, 16);
    bytes[at + 395 + 15] = wwnLast;
}

std::string DeviceBlock(const std::string &name, const std::string &wwnLast)
{
    return "\n\nDevice: storage device\n"
           "  Device Name:       " +
           name +
           "\n"
           "  Serial Number:     SN-" +
           name +
           "\n"
           "  WWN:               00112233445566778899aabbccddee" +
           wwnLast +
           " \n"
           "  IP Address:        192.0.2." +
           name.substr(0, 1) +
           "\n"
           "  Firmware Revision: fw-" +
           name.substr(0, 1) +
           "\n"
           "\n";
}

// An HBA reply with one HBA record of four bytes.
std::vector<uint8_t> OneHbaReply(const ReceivedRequest &r)
{
    std::vector<uint8_t> bytes = EchoWithStatus(r, 0);
    Put32(bytes, 8, 4);
    Put32(bytes, 12, 1);
    Put32(bytes, 16, 0);
    return bytes;
}

TEST_P(DriverServer, ADeviceReplyShowsTwoLinkedDevicesAndNoThird)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) {
        std::vector<uint8_t> bytes = EchoWithStatus(r, 0);
        // List order first, second, third; the second lies last and links
        // back to the third, which lies between them.
        PutDevice(bytes, 32, 2 * 428, "first", 0x01);
        PutDevice(bytes, 32 + 2 * 428, -428, "second", 0x02);
        PutDevice(bytes, 32 + 428, 0, "third", 0x03);
        Put32(bytes, 24, 3 * 428);
        return CompleteWith(bytes);
    });
    EXPECT_TRUE(Ran(Run({"-d", kKeyText}),
                    std::string(kKeyText) + " " + DeviceBlock("first", "01") + DeviceBlock("second", "02"), 0));
    ASSERT_EQ(server.RequestCount(), 1u);
    ReceivedRequest request = server.Requests()[0];
    EXPECT_EQ(request.ioControlCode, kGetDeviceInfo);
    EXPECT_EQ(request.outSize, 4096u);
    EXPECT_EQ(0, memcmp(request.input.data() + 4, kKey, 16));
    EXPECT_EQ(Get32(request.input, 20), 4096u);
}

TEST_P(DriverServer, AReplyThatDoesNotHoldTogetherIsAnInternalError)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) {
        if (r.ioControlCode == kGetAllHbas)
            return CompleteWith(OneHbaReply(r));
        // One device whose LUN list points far outside the reply.
        std::vector<uint8_t> bytes = EchoWithStatus(r, 0);
        size_t at = r.ioControlCode == kGetAllDevices ? 16 : 32;
        PutDevice(bytes, at, 0, "broken", 0x09);
        Put32(bytes, at + 412, 1);
        Put32(bytes, at + 416, 0x100000);
        Put32(bytes, r.ioControlCode == kGetAllDevices ? 8 : 24, 428);
        Put32(bytes, 12, 1);
        return CompleteWith(bytes);
    });
    EXPECT_TRUE(Ran(Run({"-v"}),
                    "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_DEVICES Invalid Reply!\n" + StatusLine(10),
                    10));
    EXPECT_TRUE(Ran(Run({"-d", kKeyText}),
                    std::string(kKeyText) +
                        " FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO "
                        "Invalid Reply!\n" +
                        StatusLine(10),
                    10));
}

TEST_P(DriverServer, NoHbaMeansNoDevicesWhateverTheStatus)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) { return CompleteWith(EchoWithStatus(r, 21)); });
    EXPECT_TRUE(Ran(Run({}), "FervLib (WIN32) - FervGetAllInfo: No Devices Found\n" + StatusLine(11), 11));
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(server.Requests()[0].ioControlCode, kGetAllHbas);
}

// The largest reply a driver may name, asked for by a program that may not
// have that much: the request buffer cannot be had, which is said on the
// call's line and ends with 9.
TEST_P(DriverServer, AReplyTooBigForTheHostEndsWithNoMemory)
{
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FERV_TEST_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(FERV_TEST_UNDER_ASAN)
    GTEST_SKIP() << "the address sanitizer reserves more address space than the limit allows";
#endif
    const char *preload = getenv("LD_PRELOAD");
    if (UnderWine() || sizeof(void *) == 4 || (preload != nullptr && strstr(preload, "vgpreload") != nullptr))
        GTEST_SKIP() << "an address-space limit is set for a native 64-bit program only (not under Wine, "
                        "qemu or valgrind, which reserve their own)";
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) {
        std::vector<uint8_t> bytes = EchoWithStatus(r, 21);
        Put32(bytes, 20, 1u << 28);
        return CompleteWith(bytes);
    });
    ferv_test::ProgramOptions options = OptionsFor(server.Root());
    std::vector<std::string> command = CommandFor(program(), {"-d", kKeyText});
    command.insert(command.begin(), {"-c", "ulimit -v 131072 && exec \"$@\"", "sh"});
    ProgramResult r = ferv_test::RunProgram("/bin/sh", command, options);
    EXPECT_TRUE(Ran(r,
                    std::string(kKeyText) + " FervLib (WIN32) - FervGetDeviceInfo: No Memory for request buffer!\n" +
                        StatusLine(9),
                    9));
    ASSERT_EQ(server.RequestCount(), 1u);
}

// ---- commands and statistics --------------------------------------------------------------

TEST_P(DriverServer, ActivatingTheActivePathPrintsOnlyStatusFourteen)
{
    AddDoor();
    AnswerEverything(14);
    EXPECT_TRUE(Ran(Run({"-p", "hba0-t1-lun3", "-a"}), StatusLine(14), 14));
    // -p NAME followed by -ad activates: the rest of the word is not read.
    EXPECT_TRUE(Ran(Run({"-p", "hba0-t1-lun3", "-ad"}), StatusLine(14), 14));
    ASSERT_EQ(server.RequestCount(), 2u);
    for (const ReceivedRequest &request : server.Requests()) {
        EXPECT_EQ(request.ioControlCode, kIssuePathCmd);
        std::vector<uint8_t> want(88, 0);
        PutBytes(want, 4, "hba0-t1-lun3", 12);
        want[85] = 2;
        EXPECT_EQ(request.input, want);
    }
}

TEST_P(DriverServer, PathStatisticsShowTheWholeNameButSendEightyCharacters)
{
    AddDoor();
    const std::string name = std::string(80, 'n') + "-tail";
    server.SetHandler("", [](const ReceivedRequest &r) {
        std::vector<uint8_t> bytes = EchoWithStatus(r, 0);
        Put32(bytes, 88, 3);          // ioErrors
        Put32(bytes, 92, 0xFFFFFFFF); // hostRequests
        Put32(bytes, 96, 0);          // outstandingIo
        Put32(bytes, 100, 2147483648u);
        return CompleteWith(bytes);
    });
    EXPECT_TRUE(Ran(Run({"-p", name, "-m"}),
                    "Path Statistics\n"
                    "  Path:               " +
                        name +
                        "\n"
                        "  Host Requests:      4294967295\n"
                        "  Outstanding IO:     0\n"
                        "  Blocks Transferred: 2147483648\n"
                        "  IO Errors:          3\n",
                    0));
    ASSERT_EQ(server.RequestCount(), 1u);
    ReceivedRequest request = server.Requests()[0];
    EXPECT_EQ(request.ioControlCode, kGetPathStats);
    std::vector<uint8_t> want(104, 0);
    PutBytes(want, 4, name.data(), 80);
    EXPECT_EQ(request.input, want);
}

TEST_P(DriverServer, AFailedDeviceRestorePrintsItsCountsOnTheEchoLine)
{
    AddDoor();
    server.SetHandler("", [](const ReceivedRequest &r) {
        std::vector<uint8_t> bytes = EchoWithStatus(r, 22);
        Put32(bytes, 24, 2);
        Put32(bytes, 28, 1);
        return CompleteWith(bytes);
    });
    EXPECT_TRUE(Ran(Run({"-d", kKeyText, "-r"}),
                    std::string(kKeyText) +
                        " FervLib (WIN32) - FervIssueDeviceCommand: IOCTL_FERV_ISSUE_DEVICE_CMD Error: 00000016\n"
                        "   Num Successful Operations: 2\n"
                        "   Num Failed Operations: 1\n" +
                        StatusLine(22),
                    22));
    ASSERT_EQ(server.RequestCount(), 1u);
    ReceivedRequest request = server.Requests()[0];
    EXPECT_EQ(request.ioControlCode, kIssueDeviceCmd);
    std::vector<uint8_t> want(32, 0);
    PutBytes(want, 4, kKey, 16);
    want[20] = 1;
    EXPECT_EQ(request.input, want);
}

// ---- usage ---------------------------------------------------------------------------------

TEST_P(DriverServer, UsageEndingsSendNothingAndExitWithZero)
{
    AddDoor();
    AnswerEverything(0);
    const std::string echo = std::string(kKeyText) + " ";
    const struct {
        std::vector<std::string> args;
        std::string before;
    } cases[] = {
        {{"-?"}, ""},
        {{"-x"}, "getopt: illegal option -- x\n"},
        {{"-d"}, "getopt: option requires an argument -- d\n"},
        {{"-d", kKeyText, "X"}, echo},
        {{"-d", kKeyText, "-x"}, echo + "getopt: illegal option -- x\n"},
        {{"-l", kKeyText, "-a"}, "getopt: illegal option -- a\n"},
        {{"-p", "name", "-r"}, "getopt: illegal option -- r\n"},
        {{"-P", "10"}, ""},
        {{"-P", "-p"}, "getopt: option requires an argument -- p\n"},
        {{"-Z"}, ""},
        {{"-Z", "-x", "1"}, "getopt: illegal option -- x\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        EXPECT_TRUE(Ran(Run(c.args), c.before + kUsage, 0));
    }
    EXPECT_EQ(server.RequestCount(), 0u);
}

} // namespace
