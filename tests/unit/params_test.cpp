// Parameter calls and the change wait: request bytes, what reaches the
// caller on success, and that failures leave the caller's record alone.
#include <string.h>

#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"

namespace {

class ParamsTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        FakeAddDriver();
    }
};

TEST_F(ParamsTest, NullArgumentPrintsOneLineAndSendsNothing)
{
    EXPECT_EQ(FervGetPublicParameters(nullptr), 1u);
    EXPECT_EQ(FervSetPublicParameters(nullptr), 1u);
    EXPECT_EQ(FervSetPrivateParameters(nullptr), 1u);
    EXPECT_EQ(FervWaitForChange(nullptr), 1u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetPublicParameters: pParams is NULL!\n"
                                   "FervLib (WIN32) - FervSetPublicParameters: pParams is NULL!\n"
                                   "FervLib (WIN32) - FervSetPrivateParameters: pParams is NULL!\n"
                                   "FervLib (WIN32) - FervWaitForChange: pKey is NULL!\n");
    EXPECT_TRUE(FakeCallLog().empty()) << "the driver is not even opened";
}

TEST_F(ParamsTest, GetCopiesAllSevenWordsOnSuccessAndAlreadyActive)
{
    const uint32_t status[] = {0, 14};
    for (uint32_t s : status) {
        FakeExpectStatus(IOCTL_FERV_GET_PUBLIC_PARAMETERS, s)
            .ExpectInput(FakeZeros(32))
            .PutBytes(4, FakeWords({45, 1, 0x1F, 2, 0xFFFFFFFE, 7, 0x80000000}));
        FervPublicParameters p;
        memset(&p, 0xAB, sizeof p);
        EXPECT_EQ(FervGetPublicParameters(&p), s);
        EXPECT_EQ(p.pollRate, 45);
        EXPECT_EQ(p.autoFailBack, 1);
        EXPECT_EQ(p.logLevel, 0x1Fu);
        EXPECT_EQ(p.driverVersion[0], 2);
        EXPECT_EQ(p.driverVersion[1], -2);
        EXPECT_EQ(p.driverVersion[2], 7);
        EXPECT_EQ(p.driverVersion[3], INT32_MIN);
        EXPECT_EQ(TakeConsoleOutput(), "");
    }
}

TEST_F(ParamsTest, FailedGetLeavesTheRecordUntouched)
{
    FakeExpectStatus(IOCTL_FERV_GET_PUBLIC_PARAMETERS, 10).PutBytes(4, FakeWords({1, 2, 3, 4, 5, 6, 7}));
    FervPublicParameters p, before;
    memset(&p, 0xAB, sizeof p);
    before = p;

    EXPECT_EQ(FervGetPublicParameters(&p), 10u);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervGetPublicParameters: IOCTL_FERV_GET_PUBLIC_PARAMETERS Error: 0000000A\n");
    EXPECT_EQ(memcmp(&p, &before, sizeof p), 0);
}

TEST_F(ParamsTest, SetPublicSendsEveryWordOfTheCallersRecord)
{
    // A poll-rate change as the front end builds it.
    FervPublicParameters p = {30, (int32_t)FERV_PARAM_UNCHANGED, FERV_PARAM_UNCHANGED, {1, 2, 3, -1}};
    FakeExpect(IOCTL_FERV_SET_PUBLIC_PARAMETERS)
        .ExpectInput(FakeWords({0, 30, 0xFFFFFFFF, 0xFFFFFFFF, 1, 2, 3, 0xFFFFFFFF}));
    EXPECT_EQ(FervSetPublicParameters(&p), 0u);
}

TEST_F(ParamsTest, SetPrivateSendsTheThreeWordsInOrder)
{
    FervPrivateParameters p = {FERV_PARAM_UNCHANGED, 0x1F, FERV_PARAM_UNCHANGED};
    FakeExpectStatus(IOCTL_FERV_SET_PRIVATE_PARAMETERS, 14)
        .ExpectInput(FakeWords({0, 0xFFFFFFFF, 0x1F, 0xFFFFFFFF}));
    EXPECT_EQ(FervSetPrivateParameters(&p), 14u);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(ParamsTest, WaitCarriesTheKeyBothWaysAndKeepsItOnFailure)
{
    uint32_t key = 1;
    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).ExpectInput(FakeWords({0, 1})).Pend().Put32(4, 0xDEADBEEF);
    EXPECT_EQ(FervWaitForChange(&key), 0u);
    EXPECT_EQ(key, 0xDEADBEEFu);
    EXPECT_EQ(TakeConsoleOutput(), "");

    key = 7;
    FakeExpectStatus(IOCTL_FERV_WAIT_FOR_CHANGE, 5).Put32(4, 99);
    EXPECT_EQ(FervWaitForChange(&key), 5u);
    EXPECT_EQ(key, 7u);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervWaitForChange: IOCTL_FERV_WAIT_FOR_CHANGE Error: 00000005\n");

    FakeExpect(IOCTL_FERV_WAIT_FOR_CHANGE).PendThenFail(995).Put32(4, 99);
    EXPECT_EQ(FervWaitForChange(&key), 10u);
    EXPECT_EQ(key, 7u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - SendReqToDriver: Error in GetOverlappedResult: 000003E3\n"
                                   "FervLib (WIN32) - FervWaitForChange: SendReqToDriver Error: 0000000A\n");
}

} // namespace
