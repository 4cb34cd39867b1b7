// The channel whose door the program chooses, against the scripted
// platform: enumeration unless the control device is chosen, and a change of
// door that lets go of the handles of the other one.
#include <string>

#include "channel/channel_core.h"
#include "channel/ferv_channel.h"
#include "channel/ferv_channel_select.h"
#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class SelectChannelTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        FervSelectControlDevice(0);
    }
    void TearDown() override
    {
        FervSelectControlDevice(0);
        FakePlatformTest::TearDown();
    }
    FervChannelResult Send()
    {
        buffer = FakeWords({0, 1});
        return SendReqToDriver(IOCTL_FERV_WAIT_FOR_CHANGE, buffer.data(), (uint32_t)buffer.size(), buffer.data(),
                               (uint32_t)buffer.size());
    }
    FakeBytes buffer;
};

TEST_F(SelectChannelTest, EnumeratesTheInterfacesUnlessTheControlDeviceIsChosen)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_INTERFACE_PATH);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeCallLog().front(), "GetClassDevs");

    // Choosing the door a second time keeps what it opened.
    FervSelectControlDevice(0);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_INTERFACE_PATH);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeOpens().size(), 1u);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(SelectChannelTest, TheControlDeviceIsOpenedAloneWithoutEnumerating)
{
    FakeAddDriver();
    FervSelectControlDevice(1);
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_CONTROL_DEVICE_PATH);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    for (const std::string &call : FakeCallLog())
        EXPECT_NE(call.compare(0, 12, "GetClassDevs"), 0) << call;
    ASSERT_NE(DriverHandleList, nullptr);
    EXPECT_EQ(DriverHandleList->next, nullptr);

    // An absent control device is no driver at all: nothing falls back to
    // the interfaces.
    FakeDeviceAt(FAKE_CONTROL_DEVICE_PATH).openError = 2;
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).Refuse(31);
    EXPECT_EQ(Send(), FERV_CHANNEL_IO_FAILED);
    EXPECT_EQ(Send(), FERV_CHANNEL_NO_DRIVER);
    TakeConsoleOutput();
}

TEST_F(SelectChannelTest, ChangingTheDoorClosesTheHandlesOfTheOther)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_INTERFACE_PATH);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(FakeOpenFileCount(), 1);

    FervSelectControlDevice(1);
    EXPECT_EQ(DriverHandleList, nullptr);
    EXPECT_EQ(FakeOpenFileCount(), 0) << "the interface's handle is closed";
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectDevice(FAKE_CONTROL_DEVICE_PATH);
    EXPECT_EQ(Send(), FERV_CHANNEL_DONE);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

} // namespace
