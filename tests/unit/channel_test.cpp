// The enumerating channel against the scripted platform: discovery and its
// skip rules, the attempt loop over the handle list, and every failure line.
#include <string.h>

#include <string>
#include <vector>

#include "channel/channel_core.h"
#include "channel/ferv_channel.h"
#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class ChannelTest : public FakePlatformTest {
protected:
    // Sends an 8-byte request (status word 0, then 0x11223344) in one
    // buffer, as the library does, and keeps the reply.
    FervChannelResult Send(uint32_t code = IOCTL_FERV_WAIT_FOR_CHANGE)
    {
        buffer = FakeWords({0, 0x11223344});
        return SendReqToDriver(code, buffer.data(), (uint32_t)buffer.size(), buffer.data(), (uint32_t)buffer.size());
    }

    std::vector<uint32_t> MemberIndices()
    {
        std::vector<uint32_t> indices;
        for (DriverHandleNode *n = DriverHandleList; n; n = n->next)
            indices.push_back(n->memberIndex);
        return indices;
    }

    int Count(const std::string &callPrefix)
    {
        int n = 0;
        for (const std::string &line : FakeCallLog())
            n += line.compare(0, callPrefix.size(), callPrefix) == 0;
        return n;
    }

    FakeBytes buffer;
};

const char *const pathA = "\\\\?\\root#ferv#0000#{a8987d25-df6e-4a51-9727-49fb6f1479a2}";
const char *const pathB = "\\\\?\\root#ferv#0001#{a8987d25-df6e-4a51-9727-49fb6f1479a2}";

TEST_F(ChannelTest, NoInterfaceSendsNothingAndRetriesDiscoveryEveryTime)
{
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    EXPECT_EQ(FakeCallLogText(), "GetClassDevs\n"
                                 "Enum 0 -> fail 259\n"
                                 "Destroy S1\n"
                                 "CreateEvent -> E1\n"
                                 "CloseHandle E1\n");
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    EXPECT_EQ(Count("GetClassDevs"), 2);
    EXPECT_TRUE(FakeSentRequests().empty());
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ChannelTest, OpensEachInterfaceForOverlappedIoAndKeepsUsingTheFirst)
{
    FakeAddInterface(pathA);
    FakeAddInterface(pathB);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectInput(FakeWords({0, 0x11223344})).ExpectDevice(pathA).Put32(4, 9);
    FakeExpectStatus(IOCTL_FERV_GET_LUN_STATS, 21).ExpectDevice(pathA);

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(buffer, FakeWords({0, 9}));
    // A status word the driver sets is the caller's business, not a failure.
    EXPECT_EQ(Send(IOCTL_FERV_GET_LUN_STATS), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeGet32(buffer, 0), 21u);

    EXPECT_EQ(Count("GetClassDevs"), 1) << "discovery runs only while the list is empty";
    ASSERT_EQ(FakeOpens().size(), 2u);
    for (const FakeOpen &open : FakeOpens()) {
        EXPECT_EQ(open.access, 0xC0000000u);
        EXPECT_EQ(open.share, 0u);
        EXPECT_EQ(open.disposition, 3u);
        EXPECT_EQ(open.flags, 0x40000080u);
        EXPECT_TRUE(open.securityNull && open.templateNull);
    }
    EXPECT_EQ(MemberIndices(), (std::vector<uint32_t>{0, 1}));
    EXPECT_STREQ(DriverHandleList->pDetail->DevicePath, pathA);
    EXPECT_STREQ(DriverHandleList->next->pDetail->DevicePath, pathB);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ChannelTest, SkipsInterfacesThatCannotBeDetailedOrOpened)
{
    FakeAddInterface(pathA);                            // 0 kept
    FakeAddInterface("\\\\?\\gone").openError = 2;      // 1 cannot be opened
    FakeAddInterface("\\\\?\\broken").detailError = 31; // 2 detail fails
    FakeDevice &tiny = FakeAddInterface("\\\\?\\tiny"); // 3 size below the fixed part
    tiny.overrideSize = true;
    tiny.reportedSize = 2;
    FakeDevice &shortSize = FakeAddInterface("\\\\?\\short"); // 4 size too small for its path
    shortSize.overrideSize = true;
    shortSize.reportedSize = 6;
    FakeDevice &huge = FakeAddInterface("\\\\?\\huge"); // 5 absurd size
    huge.overrideSize = true;
    huge.reportedSize = 0xFFFFFFF0u;
    FakeAddInterface(pathB); // 6 kept
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathA);

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: CreateFile Failed!\n"
              "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: SetupDiGetInterfaceDeviceDetail Failed!\n"
              "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: SetupDiGetInterfaceDeviceDetail Failed!\n");
    EXPECT_EQ(MemberIndices(), (std::vector<uint32_t>{0, 6}));
    EXPECT_EQ(Count("Detail 3"), 0) << "a size below the fixed part is never fetched into";
    EXPECT_EQ(Count("Detail 5"), 0);
}

TEST_F(ChannelTest, DiscoveryFailuresEndWithoutAHandle)
{
    FakeAddInterface(pathA);
    FakeFailClassDevs(0x1a2b);
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - UtilEnumerateDeviceInterfaces: SetupDiGetClassDevs Failed: 1a2b\n");
    EXPECT_EQ(FakeCallLogText(), "GetClassDevs -> fail 6699\nCreateEvent -> E1\nCloseHandle E1\n");

    // An enumeration error other than the end of the list ends discovery
    // rather than retrying or skipping ahead.
    FakeFailClassDevs(0);
    FakeAddInterface(pathB);
    FakeFailEnumAt(0, 31);
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    EXPECT_EQ(Count("Enum"), 1);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ChannelTest, EventFailureAfterDiscoveryKeepsTheList)
{
    FakeAddInterface(pathA);
    FakeFailCreateEvent(8);
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_EVENT);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in CreateEvent: 00000008\n");
    EXPECT_EQ(FakeCallLog().front(), "GetClassDevs") << "discovery comes before the event";
    EXPECT_EQ(MemberIndices(), (std::vector<uint32_t>{0}));

    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathA);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(Count("GetClassDevs"), 1);
}

TEST_F(ChannelTest, RefusingHandleIsDroppedClosedAndTheNextOneTried)
{
    FakeAddInterface(pathA);
    FakeAddInterface(pathB);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathA).Refuse(31);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathB).Put32(4, 5);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathB);

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(buffer, FakeWords({0, 5}));
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n");
    EXPECT_EQ(MemberIndices(), (std::vector<uint32_t>{1}));
    EXPECT_EQ(FakeClosed(), (std::vector<std::string>{"F1", "E1"}));
    // Both attempts carried the same bytes on the one event.
    ASSERT_EQ(FakeSentRequests().size(), 2u);
    EXPECT_EQ(FakeSentRequests()[0].input, FakeSentRequests()[1].input);
    EXPECT_EQ(Count("CreateEvent"), 1);

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ChannelTest, AllRefusingEmptiesTheListAndTheNextRequestRediscovers)
{
    FakeAddInterface(pathA);
    FakeAddInterface(pathB);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Refuse(31);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Refuse(5);

    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n"
                                   "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 00000005\n");
    EXPECT_EQ(DriverHandleList, nullptr);
    EXPECT_EQ(FakeOpenFileCount(), 0) << "dropped handles are closed";

    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathA);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(Count("GetClassDevs"), 2);
    EXPECT_EQ(FakeLastSent().device, "F3");
}

TEST_F(ChannelTest, PendedRequestWaitsForItsCompletion)
{
    FakeAddInterface(pathA);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Pend().Status(14).Put32(4, 0xCAFE);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(buffer, FakeWords({14, 0xCAFE}));
    EXPECT_EQ(TakeConsoleOutput(), "");
    std::string log = FakeCallLogText();
    EXPECT_NE(
        log.find("DeviceIoControl F1 0x85002040 -> pending\nWait E1 -> 0\nGetOverlappedResult F1\nCloseHandle E1\n"),
        std::string::npos)
        << log;
}

TEST_F(ChannelTest, FailedCompletionKeepsTheHandleForTheNextRequest)
{
    FakeAddInterface(pathA);
    FakeAddInterface(pathB);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).PendThenFail(995);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).WaitReturns(0x102);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(pathA);

    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: 000003E3\n");
    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Unexpected result from Wait!: 00000102\n");
    EXPECT_EQ(FakeSentRequests().size(), 2u) << "a completion failure never moves to the next handle";
    EXPECT_EQ(MemberIndices(), (std::vector<uint32_t>{0, 1}));

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeClosed(), (std::vector<std::string>{"E1", "E2", "E3"}));
}

} // namespace
