// The control-device channel of fervadmctl against the scripted platform:
// opened once on demand, reused, dropped and reopened after a refusal.
#include <string>
#include <vector>

#include "channel/channel_core.h"
#include "channel/ferv_channel.h"
#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class ControlChannelTest : public FakePlatformTest {
protected:
    FervChannelResult Send()
    {
        buffer = FakeWords({0, 1});
        return SendReqToDriver(IOCTL_FERV_WAIT_FOR_CHANGE, buffer.data(), (uint32_t)buffer.size(), buffer.data(),
                               (uint32_t)buffer.size());
    }
    FakeBytes buffer;
};

TEST_F(ControlChannelTest, AbsentDeviceGivesElevenWithOnlyTheLibrarysLine)
{
    FervPublicParameters p;
    EXPECT_EQ(FervGetPublicParameters(&p), 11u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n");
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    EXPECT_EQ(TakeConsoleOutput(), "");
    // Every request tries the device again; no interface is ever enumerated.
    EXPECT_EQ(FakeCallLogText(), "CreateFile " FAKE_CONTROL_DEVICE_PATH " -> fail 2\n"
                                 "CreateEvent -> E1\n"
                                 "CloseHandle E1\n"
                                 "CreateFile " FAKE_CONTROL_DEVICE_PATH " -> fail 2\n"
                                 "CreateEvent -> E2\n"
                                 "CloseHandle E2\n");
}

TEST_F(ControlChannelTest, OpensTheDeviceOnceAndReusesIt)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_CONTROL_DEVICE_PATH).Put32(4, 3);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_CONTROL_DEVICE_PATH).Status(21);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(buffer, FakeWords({0, 3}));
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeGet32(buffer, 0), 21u);

    ASSERT_EQ(FakeOpens().size(), 1u);
    const FakeOpen &open = FakeOpens()[0];
    EXPECT_EQ(open.path, "\\\\.\\ZEL_HA_CONTROL");
    EXPECT_EQ(open.access, 0xC0000000u);
    EXPECT_EQ(open.share, 0u);
    EXPECT_EQ(open.disposition, 3u);
    EXPECT_EQ(open.flags, 0x40000080u);
    EXPECT_TRUE(open.securityNull && open.templateNull);
    ASSERT_NE(DriverHandleList, nullptr);
    EXPECT_EQ(DriverHandleList->next, nullptr);
    EXPECT_EQ(DriverHandleList->memberIndex, 0u);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ControlChannelTest, RefusalEmptiesTheListAndTheNextRequestReopens)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Refuse(31);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE);
    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in DeviceIoControl!: 0000001F\n");
    EXPECT_EQ(DriverHandleList, nullptr);
    EXPECT_EQ(FakeOpenFileCount(), 0) << "the refused handle is closed";

    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeLastSent().device, "F2");
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ControlChannelTest, PendedWaitCompletesAndFailuresKeepTheHandle)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Pend().Put32(4, 0x77);
    uint32_t key = 1;
    EXPECT_EQ(FervWaitForChange(&key), 0u);
    EXPECT_EQ(key, 0x77u);

    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).PendThenFail(995);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).WaitReturns(WAIT_FAILED);
    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: 000003E3\n"
                                   "FervLib (WIN32) - SendReqToDriver: Unexpected result from Wait!: FFFFFFFF\n");
    EXPECT_EQ(FakeOpens().size(), 1u);
    EXPECT_NE(DriverHandleList, nullptr);
}

// A failed event is a shortage of resources, not a missing driver: the
// library reports 9, never 11's "No supported devices were detected".
TEST_F(ControlChannelTest, EventFailureIsNoMemoryAndKeepsTheOpenDevice)
{
    FakeAddDriver();
    FakeFailCreateEvent(8);
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_EVENT);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in CreateEvent: 00000008\n");
    FakeFailCreateEvent(8);
    FervPublicParameters params;
    EXPECT_EQ(FervGetPublicParameters(&params), (FERV_STATUS)FERV_STATUS_NO_MEMORY);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in CreateEvent: 00000008\n"
                                   "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 00000009\n");
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeOpens().size(), 1u);
}

} // namespace
