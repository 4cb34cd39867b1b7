// The topology queries against the scripted platform: the bytes of every
// request, the growing buffer, the status rules, the lines printed, and the
// blocks handed over and given back.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "tests/support/fake_platform.h"
#include "tests/support/topology_replies.h"

namespace {

class TopologyQueryTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        FakeAddDriver();
    }
};

// What a growing request must carry: zeros, the key at 4 when it has one,
// and its own size in its size word.
FakeBytes Request(uint32_t size, size_t sizeOffset, const FervWwnKey *key = nullptr)
{
    FakeBytes bytes = FakeZeros(size);
    if (key != nullptr)
        memcpy(&bytes[4], key->bytes, 16);
    FakePut32(bytes, sizeOffset, size);
    return bytes;
}

FervWwnKey Key(uint8_t seed)
{
    FervWwnKey key;
    for (int i = 0; i < 16; i++)
        key.bytes[i] = (uint8_t)(seed + i);
    return key;
}

WireDevice Device(const std::string &name, int luns, int pathsPerLun)
{
    WireDevice dev;
    dev.name = name;
    dev.serial = "SN-" + name;
    for (int l = 0; l < luns; l++)
        dev.luns.push_back(WireLunWithPaths(pathsPerLun, (uint8_t)(0x40 + l)));
    return dev;
}

std::string Name(const char *field, size_t span)
{
    return std::string(field, FervTextLength(field, span));
}

const char *const invalidDevices = "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_DEVICES Invalid Reply!\n";

TEST_F(TopologyQueryTest, AllInfoSendsBothRequestsAndHandsOverTwoBlocks)
{
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(2), 2))
        .ExpectInput(Request(4096, WIRE_ALL_SIZE));
    FakeExpectReply(IOCTL_FERV_GET_ALL_DEVICES,
                    WireAllReply(WireDeviceData({Device("d0", 2, 2), Device("d1", 0, 0)}), 2))
        .ExpectInput(Request(4096, WIRE_ALL_SIZE));

    FervInfoList info;
    ASSERT_EQ(FervGetAllInfo(&info), 0u);
    EXPECT_EQ(TakeConsoleOutput(), "");
    EXPECT_EQ(info.hbaCount, 2);
    ASSERT_NE(info.hbaList, nullptr);
    EXPECT_NE(info.hbaList->next, nullptr);
    EXPECT_EQ(info.deviceCount, 2);
    // Walked as the front end walks: by the counts, along the links.
    FervDevice *d = info.deviceList;
    int paths = 0;
    for (int i = 0; i < info.deviceCount; i++, d = d->next) {
        ASSERT_NE(d, nullptr);
        FervLun *l = d->lunList;
        for (int j = 0; j < d->lunCount; j++, l = l->next) {
            FervPath *p = l->pathList;
            for (int k = 0; k < l->pathCount; k++, p = p->next)
                paths += Name(p->pathName, sizeof p->pathName) == "p" + std::to_string(k);
        }
    }
    EXPECT_EQ(paths, 4);
    EXPECT_EQ(Name(info.deviceList->next->serialNumber, 81), "SN-d1");
    for (const FakeSentRequest &sent : FakeSentRequests()) {
        EXPECT_TRUE(sent.sameBuffer);
        EXPECT_EQ(sent.inSize, 4096u);
        EXPECT_EQ(sent.outSize, 4096u);
    }
    EXPECT_EQ(FervFreeAllInfoMemory(&info), 0u);
}

TEST_F(TopologyQueryTest, GrowingRequestsAskAgainWithExactlyTheNamedSize)
{
    // Each growing request: 21 with size M, then a request of exactly M bytes
    // whose size word says M; the reply taken is the second one.
    const FervWwnKey key = Key(0x70);
    FakeExpectStatus(IOCTL_FERV_GET_ALL_HBAS, 21).Put32(WIRE_ALL_SIZE, 5000).Put32(WIRE_ALL_COUNT, 1);
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1, 5000))
        .ExpectInput(Request(5000, WIRE_ALL_SIZE));
    FakeExpectStatus(IOCTL_FERV_GET_ALL_DEVICES, 21).Put32(WIRE_ALL_SIZE, 6000);
    FakeExpectStatus(IOCTL_FERV_GET_ALL_DEVICES, 21)
        .Put32(WIRE_ALL_SIZE, 7000)
        .ExpectInput(Request(6000, WIRE_ALL_SIZE));
    FakeExpectReply(IOCTL_FERV_GET_ALL_DEVICES, WireAllReply(WireDeviceData({Device("big", 1, 10)}), 1, 7000))
        .ExpectInput(Request(7000, WIRE_ALL_SIZE));
    FakeExpectStatus(IOCTL_FERV_GET_DEVICE_INFO, 21)
        .Put32(WIRE_DEV_SIZE, 8192)
        .ExpectInput(Request(4096, WIRE_DEV_SIZE, &key));
    FakeExpectReply(IOCTL_FERV_GET_DEVICE_INFO, WireDeviceReply(WireDeviceData({Device("one", 1, 12)}), 8192))
        .ExpectInput(Request(8192, WIRE_DEV_SIZE, &key));
    FakeExpectStatus(IOCTL_FERV_GET_LUN_INFO, 21)
        .Put32(WIRE_LUNQ_SIZE, 6000)
        .ExpectInput(Request(4096, WIRE_LUNQ_SIZE, &key));
    FakeExpectReply(IOCTL_FERV_GET_LUN_INFO, WireLunReply(WireLunWithPaths(15), 6000))
        .ExpectInput(Request(6000, WIRE_LUNQ_SIZE, &key));

    FervInfoList info;
    ASSERT_EQ(FervGetAllInfo(&info), 0u) << TakeConsoleOutput();
    EXPECT_EQ(info.deviceList->lunList->pathCount, 10);
    FervFreeAllInfoMemory(&info);
    FervDevice *dev = nullptr;
    ASSERT_EQ(FervGetDeviceInfo(&key, &dev), 0u);
    EXPECT_EQ(Name(dev->deviceName, 162), "one");
    EXPECT_EQ(FervFreeDeviceMemory(dev), 0u);
    FervLun lun;
    ASSERT_EQ(FervGetLunInfo(&key, &lun), 0u);
    int n = 0;
    for (FervPath *p = lun.pathList; p != nullptr; p = p->next)
        n++;
    EXPECT_EQ(n, 15);
    EXPECT_EQ(FervFreeLunMemory(&lun), 0u);
    EXPECT_EQ(TakeConsoleOutput(), "");
    EXPECT_EQ(FakeSentRequests().size(), 9u);
}

TEST_F(TopologyQueryTest, NoHbaMeansNoDevicesWhateverTheStatus)
{
    for (uint32_t status : {0u, 21u, 5u}) {
        FakeExpectStatus(IOCTL_FERV_GET_ALL_HBAS, status).Put32(WIRE_ALL_SIZE, 9000);
        FervInfoList info;
        memset(&info, 0x5A, sizeof info);
        FervInfoList before = info;
        EXPECT_EQ(FervGetAllInfo(&info), 11u) << status;
        EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: No Devices Found\n");
        EXPECT_EQ(memcmp(&info, &before, sizeof info), 0);
    }
    EXPECT_EQ(FakeSentRequests().size(), 3u) << "no device request, no retry";
}

TEST_F(TopologyQueryTest, StatusFourteenIsTakenAsSuccessAndReturned)
{
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1, 4096, 14));
    FakeExpectReply(IOCTL_FERV_GET_ALL_DEVICES, WireAllReply(WireDeviceData({Device("d", 1, 1)}), 1, 4096, 14));
    FakeExpectReply(IOCTL_FERV_GET_LUN_INFO, WireLunReply(WireLunWithPaths(1), 4096, 14));
    FakeExpect(IOCTL_FERV_GET_PATH_INFO).Status(14).Edit([](FakeBytes &r) {
        WirePath p;
        p.name = "px";
        WireBytes rec(WIRE_PATH_RECORD_SIZE, 0);
        WirePutPath(rec, 0, p);
        std::copy(rec.begin(), rec.end(), r.begin() + WIRE_PATHQ_PATH);
    });
    FervInfoList info;
    EXPECT_EQ(FervGetAllInfo(&info), 14u);
    EXPECT_EQ(info.deviceCount, 1);
    FervFreeAllInfoMemory(&info);
    const FervWwnKey key = Key(1);
    FervLun lun;
    EXPECT_EQ(FervGetLunInfo(&key, &lun), 14u);
    EXPECT_NE(lun.pathList, nullptr);
    FervFreeLunMemory(&lun);
    FervPath path;
    EXPECT_EQ(FervGetPathInfo("px", &path), 14u);
    EXPECT_EQ(Name(path.pathName, 81), "px");
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(TopologyQueryTest, FailingStatusAndSendLinesNameTheCallAndPhase)
{
    // The device phase fails: the HBA block goes back inside the library
    // (the sanitizers' leak check holds it to that) and the record is not
    // written at all.
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1));
    FakeExpectStatus(IOCTL_FERV_GET_ALL_DEVICES, 5);
    FervInfoList info;
    info.hbaCount = 66;
    info.hbaList = (FervHba *)&info;
    info.deviceCount = 77;
    info.deviceList = (FervDevice *)&info;
    EXPECT_EQ(FervGetAllInfo(&info), 5u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_DEVICES Error: 00000005\n");
    EXPECT_EQ(info.hbaCount, 66);
    EXPECT_EQ(info.hbaList, (FervHba *)&info);
    EXPECT_EQ(info.deviceCount, 77);
    EXPECT_EQ(info.deviceList, (FervDevice *)&info);

    FakeExpectStatus(IOCTL_FERV_GET_ALL_HBAS, 4).Put32(WIRE_ALL_COUNT, 1);
    EXPECT_EQ(FervGetAllInfo(&info), 4u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_HBAS Error: 00000004\n");

    const FervWwnKey key = Key(9);
    FervDevice *dev = (FervDevice *)&info;
    FakeExpectStatus(IOCTL_FERV_GET_DEVICE_INFO, 5);
    EXPECT_EQ(FervGetDeviceInfo(&key, &dev), 5u);
    EXPECT_EQ(dev, (FervDevice *)&info);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Error: 00000005\n");

    // A device request the platform refuses outright, after a good HBA phase.
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1));
    FakeExpect(IOCTL_FERV_GET_ALL_DEVICES).Refuse(31);
    EXPECT_EQ(FervGetAllInfo(&info), 10u);
    std::string out = TakeConsoleOutput();
    EXPECT_NE(out.find("FervLib (WIN32) - FervGetAllInfo: DEV SendReqToDriver Error: 0000000A\n"), std::string::npos)
        << out;
    EXPECT_EQ(info.hbaList, (FervHba *)&info);
}

TEST_F(TopologyQueryTest, DriverThatKeepsAskingForMoreIsGivenUpOnAfterEightRequests)
{
    const FervWwnKey key = Key(2);
    for (int i = 0; i < 8; i++)
        FakeExpectStatus(IOCTL_FERV_GET_LUN_INFO, 21).Put32(WIRE_LUNQ_SIZE, 4096 + 4 * i);
    FervLun lun;
    EXPECT_EQ(FervGetLunInfo(&key, &lun), 21u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Error: 00000015\n");
    EXPECT_EQ(FakeSentRequests().back().inSize, 4096u + 4 * 6);

    // The path request cannot grow: a 21 ends it at once, sent once only,
    // with the caller's record untouched.
    FakeExpectStatus(IOCTL_FERV_GET_PATH_INFO, 21);
    FervPath path;
    path.state = 0xEE;
    EXPECT_EQ(FervGetPathInfo("p", &path), 21u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetPathInfo: IOCTL_FERV_GET_PATH_INFO Error: 00000015\n");
    EXPECT_EQ(FakeSentRequests().size(), 9u);
    EXPECT_EQ(path.state, 0xEE);
}

TEST_F(TopologyQueryTest, SizesOutsideTheRequestsReachAreInvalidReplies)
{
    struct {
        uint32_t code;
        size_t sizeOffset;
        uint32_t size;
        const char *line;
    } cases[] = {
        {IOCTL_FERV_GET_ALL_HBAS, WIRE_ALL_SIZE, 15,
         "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_HBAS Invalid Reply!\n"},
        {IOCTL_FERV_GET_ALL_HBAS, WIRE_ALL_SIZE, 0,
         "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_HBAS Invalid Reply!\n"},
        {IOCTL_FERV_GET_DEVICE_INFO, WIRE_DEV_SIZE, 31,
         "FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Invalid Reply!\n"},
        {IOCTL_FERV_GET_DEVICE_INFO, WIRE_DEV_SIZE, 0x10000001,
         "FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Invalid Reply!\n"},
        {IOCTL_FERV_GET_LUN_INFO, WIRE_LUNQ_SIZE, 159,
         "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Invalid Reply!\n"},
        {IOCTL_FERV_GET_LUN_INFO, WIRE_LUNQ_SIZE, 0xFFFFFFFF,
         "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Invalid Reply!\n"},
    };
    const FervWwnKey key = Key(3);
    for (const auto &c : cases) {
        FakeExpectStatus(c.code, 21).Put32(c.sizeOffset, c.size).Put32(WIRE_ALL_COUNT, 1);
        FervInfoList info;
        FervDevice *dev = nullptr;
        FervLun lun;
        FERV_STATUS status = c.code == IOCTL_FERV_GET_ALL_HBAS      ? FervGetAllInfo(&info)
                             : c.code == IOCTL_FERV_GET_DEVICE_INFO ? FervGetDeviceInfo(&key, &dev)
                                                                    : FervGetLunInfo(&key, &lun);
        EXPECT_EQ(status, 10u) << c.line << c.size;
        EXPECT_EQ(TakeConsoleOutput(), c.line);
        EXPECT_EQ(dev, nullptr);
    }
    // The smallest size allowed is still asked for.
    FakeExpectStatus(IOCTL_FERV_GET_LUN_INFO, 21).Put32(WIRE_LUNQ_SIZE, 160);
    FakeExpectReply(IOCTL_FERV_GET_LUN_INFO, WireLunReply(WireLun(), 160))
        .ExpectInput(Request(160, WIRE_LUNQ_SIZE, &key));
    FervLun lun;
    EXPECT_EQ(FervGetLunInfo(&key, &lun), 0u);
    EXPECT_EQ(lun.pathList, nullptr);
}

TEST_F(TopologyQueryTest, BrokenRepliesAreInvalidAndLeaveTheCallersStorageAlone)
{
    // Device phase: a device whose LUN link leaves the data.
    WireBytes devices = WireAllReply(WireDeviceData({Device("d", 1, 1)}), 1);
    WirePut32(devices, WIRE_ALL_DATA + WIRE_DEVICE_LUN_LIST, 0x00100000);
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1));
    FakeExpectReply(IOCTL_FERV_GET_ALL_DEVICES, devices);
    FervInfoList info;
    info.hbaList = nullptr;
    info.deviceCount = 99;
    info.deviceList = nullptr;
    EXPECT_EQ(FervGetAllInfo(&info), 10u);
    EXPECT_EQ(TakeConsoleOutput(), invalidDevices);
    EXPECT_EQ(info.deviceCount, 99);
    EXPECT_EQ(info.deviceList, nullptr);
    EXPECT_EQ(info.hbaList, nullptr);

    // HBA phase: more HBAs counted than linked; no device request follows.
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(2), 3));
    EXPECT_EQ(FervGetAllInfo(&info), 10u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: IOCTL_FERV_GET_ALL_HBAS Invalid Reply!\n");

    // Device request: two devices linked in a cycle.
    const FervWwnKey key = Key(4);
    WireBytes data = WireDeviceData({Device("a", 0, 0), Device("b", 0, 0)});
    WirePut32(data, WIRE_DEVICE_RECORD_SIZE, (uint32_t)-WIRE_DEVICE_RECORD_SIZE);
    FakeExpectReply(IOCTL_FERV_GET_DEVICE_INFO, WireDeviceReply(data));
    FervDevice *dev = (FervDevice *)&info;
    EXPECT_EQ(FervGetDeviceInfo(&key, &dev), 10u);
    EXPECT_EQ(TakeConsoleOutput(),
              "FervLib (WIN32) - FervGetDeviceInfo: IOCTL_FERV_GET_DEVICE_INFO Invalid Reply!\n");
    EXPECT_EQ(dev, (FervDevice *)&info);

    // LUN request: a path past the end of the buffer.
    WireBytes lunReply = WireLunReply(WireLunWithPaths(1));
    FakePut32(lunReply, WIRE_LUNQ_LUN + WIRE_LUN_PATH_LIST, 4096 - 28 - 363);
    FakeExpectReply(IOCTL_FERV_GET_LUN_INFO, lunReply);
    FervLun lun;
    memset(&lun, 0x33, sizeof lun);
    FervLun before = lun;
    EXPECT_EQ(FervGetLunInfo(&key, &lun), 10u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetLunInfo: IOCTL_FERV_GET_LUN_INFO Invalid Reply!\n");
    EXPECT_EQ(memcmp(&lun, &before, sizeof lun), 0);
}

TEST_F(TopologyQueryTest, DeviceReplyKeepsEveryLinkedDeviceInOneBlock)
{
    const FervWwnKey key = Key(5);
    FakeExpectReply(
        IOCTL_FERV_GET_DEVICE_INFO,
        WireDeviceReply(WireDeviceData({Device("first", 1, 2), Device("second", 2, 1), Device("third", 0, 0)})));
    FervDevice *dev = nullptr;
    ASSERT_EQ(FervGetDeviceInfo(&key, &dev), 0u);
    ASSERT_NE(dev->next, nullptr);
    ASSERT_NE(dev->next->next, nullptr);
    EXPECT_EQ(Name(dev->next->deviceName, 162), "second");
    EXPECT_EQ(dev->next->lunCount, 2);
    EXPECT_EQ(dev->next->lunList->next->pathList->next, nullptr);
    EXPECT_EQ(FervFreeDeviceMemory(dev), 0u) << "one call gives all three back";
}

TEST_F(TopologyQueryTest, DeviceCountZeroGivesAnEmptyList)
{
    FakeExpectReply(IOCTL_FERV_GET_ALL_HBAS, WireAllReply(WireHbaData(1), 1));
    FakeExpectReply(IOCTL_FERV_GET_ALL_DEVICES, WireAllReply(WireBytes(900, 0x77), 0));
    FervInfoList info;
    info.deviceList = (FervDevice *)&info;
    ASSERT_EQ(FervGetAllInfo(&info), 0u);
    EXPECT_EQ(info.deviceCount, 0);
    EXPECT_EQ(info.deviceList, nullptr);
    EXPECT_EQ(FervFreeAllInfoMemory(&info), 0u);
}

TEST_F(TopologyQueryTest, LunWithoutPathsHasNoBlock)
{
    const FervWwnKey key = Key(6);
    WireLun bare;
    bare.name = "bare";
    WireBytes reply = WireLunReply(bare);
    FakePut32(reply, WIRE_LUNQ_LUN, 132); // the LUN's next: nobody follows it
    FakeExpectReply(IOCTL_FERV_GET_LUN_INFO, reply).ExpectInput(Request(4096, WIRE_LUNQ_SIZE, &key));
    FervLun lun;
    ASSERT_EQ(FervGetLunInfo(&key, &lun), 0u);
    EXPECT_EQ(Name(lun.lunName, sizeof lun.lunName), "bare");
    EXPECT_EQ(lun.pathList, nullptr);
    EXPECT_EQ(lun.pathCount, 0);
    EXPECT_EQ(lun.next, nullptr);
    EXPECT_EQ(FervFreeLunMemory(&lun), 0u);
    EXPECT_EQ(lun.pathList, nullptr);
}

TEST_F(TopologyQueryTest, PathRequestCarriesAtMostEightyCharacters)
{
    struct {
        std::string name;
        std::string sent;
    } cases[] = {
        {"short", "short"},
        {std::string(80, 'a'), std::string(80, 'a')},
        {std::string(79, 'b') + "cdef", std::string(79, 'b') + "c"},
    };
    for (const auto &c : cases) {
        FakeBytes expected = FakeZeros(4096);
        memcpy(&expected[WIRE_PATHQ_NAME], c.sent.data(), c.sent.size());
        FakeExpect(IOCTL_FERV_GET_PATH_INFO).ExpectInput(expected).Edit([](FakeBytes &r) {
            WirePath p;
            p.name = std::string(80, 'n');
            p.state = 3;
            p.flags = 0x14;
            p.hba = "hba9";
            WireBytes rec(WIRE_PATH_RECORD_SIZE, 0);
            WirePutPath(rec, 0, p);
            WirePut32(rec, WIRE_REC_NEXT, 0x1000);
            std::copy(rec.begin(), rec.end(), r.begin() + WIRE_PATHQ_PATH);
        });
        FervPath path;
        ASSERT_EQ(FervGetPathInfo(c.name.c_str(), &path), 0u);
        EXPECT_EQ(Name(path.pathName, sizeof path.pathName), std::string(80, 'n'));
        EXPECT_EQ(path.state, 3);
        EXPECT_EQ(path.flags, 0x14u);
        EXPECT_EQ(Name(path.hbaName, sizeof path.hbaName), "hba9");
        EXPECT_EQ(path.next, nullptr);
    }
    EXPECT_EQ(TakeConsoleOutput(), "");
}

TEST_F(TopologyQueryTest, NullArgumentsAndFreeCalls)
{
    const FervWwnKey key = Key(7);
    FervDevice *dev;
    FervLun lun;
    FervPath path;
    EXPECT_EQ(FervGetAllInfo(nullptr), 1u);
    EXPECT_EQ(FervGetDeviceInfo(nullptr, &dev), 1u);
    EXPECT_EQ(FervGetDeviceInfo(&key, nullptr), 1u);
    EXPECT_EQ(FervGetLunInfo(nullptr, &lun), 1u);
    EXPECT_EQ(FervGetLunInfo(&key, nullptr), 1u);
    EXPECT_EQ(FervGetPathInfo(nullptr, &path), 1u);
    EXPECT_EQ(FervGetPathInfo("p", nullptr), 1u);
    EXPECT_EQ(FervFreeAllInfoMemory(nullptr), 1u);
    EXPECT_EQ(FervFreeDeviceMemory(nullptr), 1u);
    EXPECT_EQ(FervFreeLunMemory(nullptr), 1u);
    EXPECT_EQ(TakeConsoleOutput(), "FervLib (WIN32) - FervGetAllInfo: pInfoList is NULL!\n"
                                   "FervLib (WIN32) - FervGetDeviceInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervGetDeviceInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervGetLunInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervGetLunInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervGetPathInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervGetPathInfo: A parameter is NULL!\n"
                                   "FervLib (WIN32) - FervFreeAllInfoMemory: pInfoList is NULL!\n"
                                   "FervLib (WIN32) - FervFreeDeviceMemory: pDev is NULL!\n"
                                   "FervLib (WIN32) - FervFreeLunMemory: pLun is NULL!\n");
    EXPECT_TRUE(FakeSentRequests().empty());

    FervInfoList empty = {0, nullptr, 0, nullptr};
    EXPECT_EQ(FervFreeAllInfoMemory(&empty), 0u);
    lun.pathList = nullptr;
    EXPECT_EQ(FervFreeLunMemory(&lun), 0u);
    EXPECT_EQ(TakeConsoleOutput(), "");
}

} // namespace
