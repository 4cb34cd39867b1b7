// The channel that chooses its door at run time, against the scripted
// platform: the interfaces by default, the control device when chosen, and
// the two doors' handle lists kept apart.
#include "channel/ferv_channel_select.h"
#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class SelectChannelTest : public FakePlatformTest {
protected:
    void TearDown() override
    {
        FakePlatformTest::TearDown();
        FervSelectControlDevice(0);
    }
};

TEST_F(SelectChannelTest, InterfacesByDefaultControlDeviceWhenChosen)
{
    FakeAddDriver();
    FakeExpect(IOCTL_FERV_GET_PUBLIC_PARAMETERS).ExpectDevice(FAKE_INTERFACE_PATH);
    FakeExpect(IOCTL_FERV_GET_PUBLIC_PARAMETERS).ExpectDevice(FAKE_CONTROL_DEVICE_PATH);
    FakeExpect(IOCTL_FERV_GET_PUBLIC_PARAMETERS).ExpectDevice(FAKE_INTERFACE_PATH);
    FervPublicParameters p;
    EXPECT_EQ(FervGetPublicParameters(&p), 0u);
    FervSelectControlDevice(1);
    EXPECT_EQ(FervGetPublicParameters(&p), 0u);
    // Each door keeps its own handle: going back reuses the interface
    // opened first instead of enumerating again.
    FervSelectControlDevice(0);
    EXPECT_EQ(FervGetPublicParameters(&p), 0u);
    ASSERT_EQ(FakeOpens().size(), 2u);
    EXPECT_EQ(FakeOpens()[0].path, FAKE_INTERFACE_PATH);
    EXPECT_EQ(FakeOpens()[1].path, FAKE_CONTROL_DEVICE_PATH);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(SelectChannelTest, AbsentControlDeviceFailsWithoutEnumerating)
{
    FakeAddInterface(FAKE_INTERFACE_PATH);
    FervSelectControlDevice(1);
    FervPublicParameters p;
    EXPECT_EQ(FervGetPublicParameters(&p), 11u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetPublicParameters: SendReqToDriver Error: 0000000B\n");
    EXPECT_EQ(FakeCallLogText(), "CreateFile " FAKE_CONTROL_DEVICE_PATH " -> fail 2\n"
                                 "CreateEvent -> E1\n"
                                 "CloseHandle E1\n");
}

} // namespace
