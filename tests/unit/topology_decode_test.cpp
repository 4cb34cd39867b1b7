// The reply decoders on their own: well-formed replies become walkable
// records in one block; replies that do not hold together are refused
// without touching the caller's storage.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include "lib/block.h"
#include "lib/topology_decode.h"
#include "tests/support/decoded_fingerprint.h"
#include "tests/support/held_reply.h"
#include "tests/support/topology_replies.h"

namespace {

// Scratch memory full of junk: the decoders must clear what they use.
WireBytes Scratch(const WireBytes &reply)
{
    return WireBytes(FervDecodeScratchSize((uint32_t)reply.size()), 0xFF);
}

// Each list decoder runs both ways: on a reply it may not write, and on the
// same reply lent in its block. The two must agree on the status and on
// every record; a list decoded in place is the block itself, and a refused
// reply stays as it was. `decode` runs one way and returns the status, the
// fingerprint of what it decoded and its list.
//
// Besides the room the queries leave, the reply is lent with none, with as
// much as it is long, and with just enough for the first device to end where
// its wire record begins: then it is read in place, not from a copy, and the
// records after it are written over it.
template <typename Decode>
void CheckHeldDecodeAgrees(const WireBytes &reply, FERV_STATUS status, const std::string &fingerprint, Decode decode)
{
    size_t rooms[] = {FervDecodeRoomSize((uint32_t)reply.size()), 0, reply.size(),
                      sizeof(FervDevice) - WIRE_ALL_DATA, sizeof(FervDevice) - WIRE_DEV_DATA};
    for (size_t room : rooms) {
        HeldReply held(reply.data(), (uint32_t)reply.size(), room);
        void *list = nullptr;
        std::string heldFingerprint;
        EXPECT_EQ(decode(held.reply, held.Scratch(), &held.holder, &heldFingerprint, &list), status) << room;
        EXPECT_EQ(heldFingerprint, fingerprint) << room;
        if (held.holder.taken) {
            EXPECT_EQ(status, FERV_STATUS_SUCCESS);
            EXPECT_EQ(list, (void *)held.block);
        } else {
            free(list);
            EXPECT_EQ(memcmp(held.reply, reply.data(), reply.size()), 0) << "a reply not taken is left as it was";
        }
    }
}

FERV_STATUS DecodeAll(const WireBytes &reply, int32_t *count, FervDevice **list, size_t *blockSize = nullptr)
{
    WireBytes scratch = Scratch(reply);
    FERV_STATUS status = FervDecodeAllDevicesReply(reply.data(), (uint32_t)reply.size(), scratch.data(), count, list,
                                                   blockSize, nullptr);
    CheckHeldDecodeAgrees(reply, status, status == FERV_STATUS_SUCCESS ? FingerprintDevices(*list) : "",
                          [&](uint8_t *r, uint8_t *s, FervReplyHolder *h, std::string *fp, void **out) {
                              int32_t n = 0;
                              FervDevice *l = nullptr;
                              FERV_STATUS got =
                                  FervDecodeAllDevicesReply(r, (uint32_t)reply.size(), s, &n, &l, nullptr, h);
                              if (got == FERV_STATUS_SUCCESS)
                                  *fp = FingerprintDevices(l);
                              *out = l;
                              return got;
                          });
    return status;
}

FERV_STATUS DecodeHbas(const WireBytes &reply, int32_t *count, FervHba **list)
{
    WireBytes scratch = Scratch(reply);
    FERV_STATUS status =
        FervDecodeHbaReply(reply.data(), (uint32_t)reply.size(), scratch.data(), count, list, nullptr, nullptr);
    CheckHeldDecodeAgrees(reply, status, status == FERV_STATUS_SUCCESS ? FingerprintHbas(*list) : "",
                          [&](uint8_t *r, uint8_t *s, FervReplyHolder *h, std::string *fp, void **out) {
                              int32_t n = 0;
                              FervHba *l = nullptr;
                              FERV_STATUS got = FervDecodeHbaReply(r, (uint32_t)reply.size(), s, &n, &l, nullptr, h);
                              if (got == FERV_STATUS_SUCCESS)
                                  *fp = FingerprintHbas(l);
                              *out = l;
                              return got;
                          });
    return status;
}

FERV_STATUS DecodeDevice(const WireBytes &reply, FervDevice **list)
{
    WireBytes scratch = Scratch(reply);
    FERV_STATUS status =
        FervDecodeDeviceReply(reply.data(), (uint32_t)reply.size(), scratch.data(), list, nullptr, nullptr);
    CheckHeldDecodeAgrees(reply, status, status == FERV_STATUS_SUCCESS ? FingerprintDevices(*list) : "",
                          [&](uint8_t *r, uint8_t *s, FervReplyHolder *h, std::string *fp, void **out) {
                              FervDevice *l = nullptr;
                              FERV_STATUS got = FervDecodeDeviceReply(r, (uint32_t)reply.size(), s, &l, nullptr, h);
                              if (got == FERV_STATUS_SUCCESS)
                                  *fp = FingerprintDevices(l);
                              *out = l;
                              return got;
                          });
    return status;
}

FERV_STATUS DecodeLun(const WireBytes &reply, FervLun *lun, size_t *blockSize = nullptr)
{
    WireBytes scratch = Scratch(reply);
    return FervDecodeLunReply(reply.data(), (uint32_t)reply.size(), scratch.data(), lun, blockSize);
}

std::string Text(const char *field, size_t span)
{
    return std::string(field, FervTextLength(field, span));
}

bool Inside(const void *p, const void *block, size_t size, size_t recordSize)
{
    const uint8_t *b = (const uint8_t *)block;
    const uint8_t *q = (const uint8_t *)p;
    return q >= b && q + recordSize <= b + size;
}

WirePath Path(const std::string &name, uint8_t state, uint32_t flags, const std::string &hba)
{
    WirePath p;
    p.name = name;
    p.state = state;
    p.flags = flags;
    p.hba = hba;
    return p;
}

// Two devices: the first with two LUNs (two paths, none) and three secondary
// entries, the second bare.
std::vector<WireDevice> TwoDevices()
{
    WireDevice a;
    a.name = "array-a";
    a.firmware = "4.2.1";
    a.ip = "192.0.2.10";
    a.serial = "SN-A";
    a.wwnSeed = 0x10;
    WireLun l0;
    l0.wwnSeed = 0x20;
    l0.name = "lun0";
    l0.loadBalancing = 1;
    l0.pathingMode = 2;
    l0.paths = {Path("a0", 2, 0x4, "hba0"), Path("a1", 3, 0x10, "hba1")};
    WireLun l1;
    l1.wwnSeed = 0x30;
    l1.name = "lun1";
    l1.loadBalancing = 2;
    l1.pathingMode = 0;
    a.luns = {l0, l1};
    a.secondaries = 3;
    WireDevice b;
    b.name = "array-b";
    b.serial = "SN-B";
    b.wwnSeed = 0x50;
    return {a, b};
}

// One bit per reply byte, rounded up; the largest sizes must not wrap on a
// 32-bit host.
TEST(TopologyDecode, ScratchHasABitForEveryByte)
{
    EXPECT_EQ(FervDecodeScratchSize(0), 0u);
    EXPECT_EQ(FervDecodeScratchSize(8), 1u);
    EXPECT_EQ(FervDecodeScratchSize(9), 2u);
    EXPECT_EQ(FervDecodeScratchSize(0xFFFFFFFFu), 0x20000000u);
}

// A block sized near the top of the address space (a reply whose counts
// multiply out that far on a 32-bit host) is refused. Rounded up to whole
// huge pages its size would wrap to nothing, and the decoder would lay its
// arrays over a block of no bytes.
TEST(TopologyDecode, ABlockNoHostCanHoldIsRefused)
{
    EXPECT_EQ(UtilAllocateBlock(SIZE_MAX, 0), nullptr);
    EXPECT_EQ(UtilAllocateBlock(SIZE_MAX - 1, 16), nullptr);
}

TEST(TopologyDecode, AllDevicesReplyBecomesOneWalkableBlock)
{
    WireBytes data = WireDeviceData(TwoDevices());
    // Bytes nobody interprets travel along unchanged.
    data[4] = 0x5A;
    data[89] = 0x5B;
    data[411] = 0x5C;
    size_t lun0 = WIRE_DEVICE_RECORD_SIZE;
    data[lun0 + 20] = 0x61;
    data[lun0 + 117] = 0x62;
    data[lun0 + 124] = 0x63;
    size_t path0 = lun0 + WIRE_LUN_RECORD_SIZE;
    data[path0 + 86] = 0x71;
    data[path0 + 92] = 0x72;
    data[path0 + 279] = 0x73;
    WireBytes reply = WireAllReply(data, 2);

    int32_t count = -7;
    FervDevice *list = nullptr;
    size_t blockSize = 0;
    ASSERT_EQ(DecodeAll(reply, &count, &list, &blockSize), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(blockSize,
              2 * sizeof(FervDevice) + 2 * sizeof(FervLun) + 2 * sizeof(FervPath) + 3 * sizeof(FervSecondaryEntry));

    FervDevice *a = list;
    EXPECT_EQ(Text(a->deviceName, sizeof a->deviceName) + "|" + Text(a->firmwareRevision, 21) + "|" +
                  Text(a->ipAddress, 41) + "|" + Text(a->serialNumber, 81),
              "array-a|4.2.1|192.0.2.10|SN-A");
    EXPECT_EQ(a->wwn.bytes[0] + (a->wwn.bytes[15] << 8), 0x1F10);
    EXPECT_EQ(a->reserved4[0] + (a->reserved4[85] << 8) + (a->reserved411[0] << 16), 0x5C5B5A);
    EXPECT_EQ(a->lunCount, 2);
    EXPECT_EQ(a->secondaryCount, 3);

    FervLun *l0 = a->lunList;
    ASSERT_TRUE(Inside(l0, list, blockSize, sizeof *l0));
    EXPECT_EQ(Text(l0->lunName, sizeof l0->lunName), "lun0");
    EXPECT_EQ(l0->wwn.bytes[0], 0x20);
    EXPECT_EQ(l0->pathCount, 2);
    EXPECT_EQ(l0->loadBalancing, 1);
    EXPECT_EQ(l0->pathingMode, 2u);
    EXPECT_EQ(l0->reserved20[0] + (l0->reserved117[0] << 8) + (l0->reserved124[0] << 16), 0x636261);

    FervPath *p0 = l0->pathList;
    ASSERT_TRUE(Inside(p0, list, blockSize, sizeof *p0));
    EXPECT_EQ(Text(p0->pathName, sizeof p0->pathName), "a0");
    EXPECT_EQ(Text(p0->hbaName, sizeof p0->hbaName), "hba0");
    EXPECT_EQ(p0->state, 2);
    EXPECT_EQ(p0->flags, 0x4u);
    EXPECT_EQ(p0->reserved86[0] + (p0->reserved92[0] << 8) + (p0->reserved92[187] << 16), 0x737271);
    FervPath *p1 = p0->next;
    ASSERT_TRUE(Inside(p1, list, blockSize, sizeof *p1));
    EXPECT_EQ(Text(p1->pathName, sizeof p1->pathName), "a1");
    EXPECT_EQ(p1->state, 3);
    EXPECT_EQ(p1->flags, 0x10u);
    EXPECT_EQ(p1->next, nullptr);

    FervLun *l1 = l0->next;
    ASSERT_TRUE(Inside(l1, list, blockSize, sizeof *l1));
    EXPECT_EQ(Text(l1->lunName, sizeof l1->lunName), "lun1");
    EXPECT_EQ(l1->loadBalancing, 2);
    EXPECT_EQ(l1->pathCount, 0);
    EXPECT_EQ(l1->pathList, nullptr);
    EXPECT_EQ(l1->next, nullptr);

    int entries = 0;
    for (FervSecondaryEntry *e = a->secondaryList; e != nullptr; e = e->next) {
        ASSERT_TRUE(Inside(e, list, blockSize, sizeof *e));
        entries++;
    }
    EXPECT_EQ(entries, 3);

    FervDevice *b = a->next;
    ASSERT_TRUE(Inside(b, list, blockSize, sizeof *b));
    EXPECT_EQ(Text(b->deviceName, sizeof b->deviceName), "array-b");
    EXPECT_EQ(b->lunList, nullptr);
    EXPECT_EQ(b->lunCount, 0);
    EXPECT_EQ(b->secondaryList, nullptr);
    EXPECT_EQ(b->next, nullptr);
    free(list);
}

TEST(TopologyDecode, NegativeLinksAndScatteredRecordsResolve)
{
    // Records in reverse: path at 0, LUN behind it, device last, so every
    // link points backwards; a secondary entry sits between them.
    WireBytes data(2000, 0);
    size_t path = 0, entry = 400, lun = 500, dev = 1000;
    WirePutPath(data, path, Path("back", 2, 0, "h"));
    WireLayLun(data, lun, WireLun());
    WirePut32(data, lun + WIRE_LUN_PATH_COUNT, 1);
    WireLink(data, lun, WIRE_LUN_PATH_LIST, path);
    WirePutText(data, dev + WIRE_DEVICE_NAME, "dev", WIRE_DEVICE_NAME_SPAN);
    WirePut32(data, dev + WIRE_DEVICE_LUN_COUNT, 1);
    WireLink(data, dev, WIRE_DEVICE_LUN_LIST, lun);
    WirePut32(data, dev + WIRE_DEVICE_SECONDARY_COUNT, 1);
    WireLink(data, dev, WIRE_DEVICE_SECONDARY_LIST, entry);
    // The first device of a device reply is at the start of the data; put a
    // small first device there that links forward to the real one.
    WireBytes front(WIRE_DEVICE_RECORD_SIZE, 0);
    WirePutText(front, WIRE_DEVICE_NAME, "front", WIRE_DEVICE_NAME_SPAN);
    WireBytes all = front;
    all.insert(all.end(), data.begin(), data.end());
    WireLink(all, 0, WIRE_REC_NEXT, WIRE_DEVICE_RECORD_SIZE + dev);
    // The links are relative, so moving the records along keeps them right.
    FervDevice *list = nullptr;
    ASSERT_EQ(DecodeDevice(WireDeviceReply(all), &list), 0u);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(Text(list->deviceName, sizeof list->deviceName), "front");
    FervDevice *d = list->next;
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Text(d->deviceName, sizeof d->deviceName), "dev");
    ASSERT_NE(d->lunList, nullptr);
    ASSERT_NE(d->lunList->pathList, nullptr);
    EXPECT_EQ(Text(d->lunList->pathList->pathName, 81), "back");
    ASSERT_NE(d->secondaryList, nullptr);
    EXPECT_EQ(d->secondaryList->next, nullptr);
    free(list);
}

TEST(TopologyDecode, TextsFillingTheirSpanStayInsideIt)
{
    WireDevice dev;
    dev.name = std::string(200, 'N'); // cut to its 162-byte span, no zero
    dev.firmware = std::string(21, 'F');
    dev.ip = std::string(41, 'I');
    dev.serial = std::string(81, 'S');
    WireLun lun;
    lun.name = std::string(88, 'L');
    lun.paths = {Path(std::string(80, 'P'), 2, 0, std::string(84, 'H'))};
    dev.luns = {lun};
    FervDevice *list = nullptr;
    ASSERT_EQ(DecodeDevice(WireDeviceReply(WireDeviceData({dev})), &list), 0u);
    EXPECT_EQ(Text(list->deviceName, sizeof list->deviceName), std::string(162, 'N'));
    EXPECT_EQ(Text(list->firmwareRevision, sizeof list->firmwareRevision), std::string(21, 'F'));
    EXPECT_EQ(Text(list->ipAddress, sizeof list->ipAddress), std::string(41, 'I'));
    EXPECT_EQ(Text(list->serialNumber, sizeof list->serialNumber), std::string(81, 'S'));
    EXPECT_EQ(Text(list->lunList->lunName, sizeof list->lunList->lunName), std::string(88, 'L'));
    FervPath *p = list->lunList->pathList;
    EXPECT_EQ(Text(p->pathName, sizeof p->pathName), std::string(80, 'P'));
    EXPECT_EQ(Text(p->hbaName, sizeof p->hbaName), std::string(84, 'H'));
    free(list);
}

TEST(TopologyDecode, CountsBoundTheListFromBelowOnly)
{
    // A list longer than its count is fine; a count of 0 or less is an
    // empty list for the front end, but whatever the link reaches is still
    // decoded and checked.
    std::vector<WireDevice> devices = TwoDevices();
    WireBytes data = WireDeviceData(devices);
    WirePut32(data, WIRE_DEVICE_LUN_COUNT, 1); // two LUNs linked
    WirePut32(data, WIRE_DEVICE_SECONDARY_COUNT, (uint32_t)-1);
    WirePut32(data, WIRE_DEVICE_RECORD_SIZE + WIRE_LUN_PATH_COUNT, 0);
    int32_t count = 0;
    FervDevice *list = nullptr;
    ASSERT_EQ(DecodeAll(WireAllReply(data, -3), &count, &list), 0u);
    EXPECT_EQ(count, -3);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->lunCount, 1);
    ASSERT_NE(list->lunList->next, nullptr);
    EXPECT_EQ(list->lunList->pathCount, 0);
    EXPECT_NE(list->lunList->pathList, nullptr);
    EXPECT_EQ(list->secondaryCount, -1);
    EXPECT_NE(list->secondaryList, nullptr);
    free(list);

    // A device count of 0 takes nothing from the data, however it looks.
    WireBytes junk(600, 0xAB);
    list = (FervDevice *)&count;
    ASSERT_EQ(DecodeAll(WireAllReply(junk, 0), &count, &list), 0u);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(list, nullptr);
}

TEST(TopologyDecode, HbaListKeepsItsRecords)
{
    int32_t count = 0;
    FervHba *list = nullptr;
    ASSERT_EQ(DecodeHbas(WireAllReply(WireHbaData(3, 20), 3), &count, &list), 0u);
    EXPECT_EQ(count, 3);
    int n = 0;
    for (FervHba *h = list; h != nullptr; h = h->next)
        n++;
    EXPECT_EQ(n, 3);
    free(list);

    // Four-byte records, nothing but their links.
    ASSERT_EQ(DecodeHbas(WireAllReply(WireHbaData(2, 4), 2), &count, &list), 0u);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    free(list);
}

TEST(TopologyDecode, LunReplyPathsAnywhereInTheBuffer)
{
    WireLun lun = WireLunWithPaths(3);
    lun.name = "data";
    WireBytes reply = WireLunReply(lun);
    FervLun out;
    memset(&out, 0xCC, sizeof out);
    size_t blockSize = 0;
    ASSERT_EQ(DecodeLun(reply, &out, &blockSize), 0u);
    EXPECT_EQ(out.next, nullptr);
    EXPECT_EQ(Text(out.lunName, sizeof out.lunName), "data");
    EXPECT_EQ(out.pathCount, 3);
    EXPECT_EQ(out.wwn.bytes[0], 0x40);
    EXPECT_EQ(blockSize, 3 * sizeof(FervPath));
    int n = 0;
    for (FervPath *p = out.pathList; p != nullptr; p = p->next) {
        EXPECT_EQ(Text(p->pathName, sizeof p->pathName), "p" + std::to_string(n));
        EXPECT_TRUE(Inside(p, out.pathList, blockSize, sizeof *p));
        n++;
    }
    EXPECT_EQ(n, 3);
    free(out.pathList);

    // The second path lies before the first: a negative link inside the buffer.
    WireBytes back(4096, 0);
    WireLayLun(back, WIRE_LUNQ_LUN, WireLun());
    WirePut32(back, WIRE_LUNQ_LUN + WIRE_LUN_PATH_COUNT, 2);
    WirePutPath(back, 3000, Path("first", 2, 0, "h"));
    WirePutPath(back, 600, Path("second", 3, 0, "h"));
    WireLink(back, WIRE_LUNQ_LUN, WIRE_LUN_PATH_LIST, 3000);
    WireLink(back, 3000, WIRE_REC_NEXT, 600);
    ASSERT_EQ(DecodeLun(back, &out), 0u);
    ASSERT_NE(out.pathList, nullptr);
    ASSERT_NE(out.pathList->next, nullptr);
    EXPECT_EQ(Text(out.pathList->next->pathName, 81), "second");
    free(out.pathList);

    // No paths: no block.
    ASSERT_EQ(DecodeLun(WireLunReply(WireLun()), &out, &blockSize), 0u);
    EXPECT_EQ(out.pathList, nullptr);
    EXPECT_EQ(out.pathCount, 0);
    EXPECT_EQ(blockSize, 0u);
}

// ---- replies that do not hold together -----------------------------------------

// Each case breaks one promise of an otherwise good all-device reply.
struct BrokenReply {
    const char *what;
    void (*breakIt)(WireBytes &reply);
};

const size_t DEV0 = WIRE_ALL_DATA;
const size_t LUN0 = DEV0 + WIRE_DEVICE_RECORD_SIZE;
const size_t PATH0 = LUN0 + WIRE_LUN_RECORD_SIZE;
const size_t PATH1 = PATH0 + WIRE_PATH_RECORD_SIZE;
const size_t LUN1 = PATH1 + WIRE_PATH_RECORD_SIZE;
const size_t SEC0 = LUN1 + WIRE_LUN_RECORD_SIZE;
const size_t DEV1 = SEC0 + 3 * WIRE_SECONDARY_SIZE;

const BrokenReply brokenReplies[] = {
    {"data length past the buffer",
     [](WireBytes &r) { WirePut32(r, WIRE_ALL_DATA_LENGTH, (uint32_t)r.size() - WIRE_ALL_DATA + 1); }},
    {"data length far past the buffer", [](WireBytes &r) { WirePut32(r, WIRE_ALL_DATA_LENGTH, 0xFFFFFFF0u); }},
    {"first device cut by the data's end", [](WireBytes &r) { WirePut32(r, WIRE_ALL_DATA_LENGTH, 427); }},
    {"second device cut by the data's end",
     [](WireBytes &r) { WirePut32(r, WIRE_ALL_DATA_LENGTH, (uint32_t)(DEV1 - DEV0 + 427)); }},
    {"device link past the data", [](WireBytes &r) { WirePut32(r, DEV0, 0x10000); }},
    {"device link into the header", [](WireBytes &r) { WirePut32(r, DEV0, (uint32_t)-4); }},
    {"device link far negative", [](WireBytes &r) { WirePut32(r, DEV0, 0x80000000u); }},
    {"LUN list past the data", [](WireBytes &r) { WirePut32(r, DEV0 + WIRE_DEVICE_LUN_LIST, 0x7FFFFFFF); }},
    {"path link with no room for the path",
     [](WireBytes &r) {
         uint32_t dataEnd = WIRE_ALL_DATA + WireGet32(r, WIRE_ALL_DATA_LENGTH);
         WirePut32(r, PATH1, dataEnd - 363 - (uint32_t)PATH1);
     }},
    {"secondary entry past the data",
     [](WireBytes &r) {
         uint32_t dataEnd = WIRE_ALL_DATA + WireGet32(r, WIRE_ALL_DATA_LENGTH);
         WirePut32(r, DEV0 + WIRE_DEVICE_SECONDARY_LIST, dataEnd - 3 - (uint32_t)DEV0);
     }},
    {"device list in a cycle", [](WireBytes &r) { WireLink(r, DEV1, WIRE_REC_NEXT, DEV0); }},
    {"path list in a cycle", [](WireBytes &r) { WireLink(r, PATH1, WIRE_REC_NEXT, PATH0); }},
    {"two LUNs share a path list", [](WireBytes &r) { WireLink(r, LUN1, WIRE_LUN_PATH_LIST, PATH1); }},
    {"a path list runs into a LUN", [](WireBytes &r) { WireLink(r, PATH1, WIRE_REC_NEXT, LUN1); }},
    {"secondary list runs into the second device",
     [](WireBytes &r) { WireLink(r, SEC0 + 2 * WIRE_SECONDARY_SIZE, WIRE_REC_NEXT, DEV1); }},
    {"device count above the list", [](WireBytes &r) { WirePut32(r, WIRE_ALL_COUNT, 3); }},
    {"LUN count above the list", [](WireBytes &r) { WirePut32(r, DEV0 + WIRE_DEVICE_LUN_COUNT, 3); }},
    {"LUN count with no list", [](WireBytes &r) { WirePut32(r, DEV1 + WIRE_DEVICE_LUN_COUNT, 1); }},
    {"path count above the list", [](WireBytes &r) { WirePut32(r, LUN1 + WIRE_LUN_PATH_COUNT, 1); }},
    {"secondary count above the list", [](WireBytes &r) { WirePut32(r, DEV0 + WIRE_DEVICE_SECONDARY_COUNT, 4); }},
};

TEST(TopologyDecode, BrokenDeviceRepliesAreRefusedUntouched)
{
    WireBytes good = WireAllReply(WireDeviceData(TwoDevices()), 2);
    ASSERT_EQ(WireGet32(good, DEV0 + WIRE_REC_NEXT), DEV1 - DEV0) << "layout the cases assume";
    ASSERT_EQ(WireGet32(good, LUN0 + WIRE_REC_NEXT), LUN1 - LUN0);
    for (const BrokenReply &c : brokenReplies) {
        WireBytes reply = good;
        c.breakIt(reply);
        int32_t count = 1234;
        FervDevice *list = (FervDevice *)&count;
        EXPECT_EQ(DecodeAll(reply, &count, &list), 10u) << c.what;
        EXPECT_EQ(count, 1234) << c.what;
        EXPECT_EQ(list, (FervDevice *)&count) << c.what;

        // The same data in a device reply, where it applies (the device
        // reply has no count of its own).
        if (strstr(c.what, "device count") != nullptr)
            continue;
        WireBytes dev(reply.size() + 16, 0);
        ASSERT_GT(reply.size(), (size_t)WIRE_ALL_DATA);
        memcpy(dev.data() + WIRE_DEV_DATA, reply.data() + WIRE_ALL_DATA, reply.size() - WIRE_ALL_DATA);
        WirePut32(dev, WIRE_DEV_DATA_LENGTH, WireGet32(reply, WIRE_ALL_DATA_LENGTH));
        EXPECT_EQ(DecodeDevice(dev, &list), 10u) << c.what << " (device reply)";
        EXPECT_EQ(list, (FervDevice *)&count) << c.what;
    }
    int32_t count = 0;
    FervDevice *list = nullptr;
    ASSERT_EQ(DecodeAll(good, &count, &list), 0u) << "the unbroken reply";
    free(list);
}

TEST(TopologyDecode, BrokenHbaAndLunRepliesAreRefused)
{
    int32_t count = 55;
    FervHba *hbas = nullptr;
    WireBytes hba = WireAllReply(WireHbaData(3), 3);
    WirePut32(hba, WIRE_ALL_COUNT, 4);
    EXPECT_EQ(DecodeHbas(hba, &count, &hbas), 10u) << "count above the list";
    WirePut32(hba, WIRE_ALL_COUNT, 3);
    WirePut32(hba, WIRE_ALL_DATA + 16, (uint32_t)-16);
    EXPECT_EQ(DecodeHbas(hba, &count, &hbas), 10u) << "cycle";
    EXPECT_EQ(DecodeHbas(WireAllReply(WireBytes(), -1), &count, &hbas), 10u) << "no room for any record";
    WireBytes shortReply(15, 0);
    EXPECT_EQ(DecodeHbas(shortReply, &count, &hbas), 10u) << "shorter than its header";
    EXPECT_EQ(count, 55);
    EXPECT_EQ(hbas, nullptr);

    FervDevice *dev = nullptr;
    EXPECT_EQ(DecodeDevice(WireDeviceReply(WireBytes()), &dev), 10u) << "device reply without a device";

    FervLun lun;
    memset(&lun, 0x5A, sizeof lun);
    FervLun before = lun;
    WireBytes good = WireLunReply(WireLunWithPaths(2));
    const size_t first = 160; // behind the LUN record
    const size_t second = first + WIRE_PATH_RECORD_SIZE;
    struct {
        const char *what;
        size_t at;
        uint32_t value;
    } cases[] = {
        {"path count above the list", WIRE_LUNQ_LUN + WIRE_LUN_PATH_COUNT, 3},
        {"path list past the buffer", WIRE_LUNQ_LUN + WIRE_LUN_PATH_LIST, 4096},
        {"path cut by the buffer's end", second, (uint32_t)(4096 - 363 - second)},
        {"path before the buffer", second, (uint32_t)(-(int64_t)second - 1)},
        {"path cycle", second, (uint32_t)(first - second)},
        {"path where the LUN begins", second, (uint32_t)(WIRE_LUNQ_LUN - second)},
    };
    for (const auto &c : cases) {
        WireBytes reply = good;
        WirePut32(reply, c.at, c.value);
        EXPECT_EQ(DecodeLun(reply, &lun), 10u) << c.what;
        EXPECT_EQ(memcmp(&lun, &before, sizeof lun), 0) << c.what;
    }
    WireBytes noList = WireLunReply(WireLun());
    WirePut32(noList, WIRE_LUNQ_LUN + WIRE_LUN_PATH_COUNT, 1);
    EXPECT_EQ(DecodeLun(noList, &lun), 10u) << "path count without a list";
    EXPECT_EQ(DecodeLun(WireBytes(159, 0), &lun), 10u) << "shorter than the LUN";
}

// Whether an all-device reply lent with `room` before it (by default what
// the queries leave) is decoded in its block.
bool TakenWhenLent(const WireBytes &reply, size_t room = SIZE_MAX)
{
    HeldReply held(reply.data(), (uint32_t)reply.size(),
                   room == SIZE_MAX ? FervDecodeRoomSize((uint32_t)reply.size()) : room);
    int32_t count = 0;
    FervDevice *list = nullptr;
    EXPECT_EQ(FervDecodeAllDevicesReply(held.reply, held.size, held.Scratch(), &count, &list, nullptr, &held.holder),
              0u);
    if (!held.holder.taken)
        free(list);
    return held.holder.taken;
}

// Whether a lent reply becomes the list: only when its records lie in the
// order the walk reaches them and each native record ends no later than its
// wire record in the block. Whichever way, the records are the same (the
// helpers check that for every reply of this file).
TEST(TopologyDecode, AnOrderlyReplyIsDecodedInItsOwnBlock)
{
    const bool nativeIsWire = sizeof(FervDevice) == WIRE_DEVICE_RECORD_SIZE;
    WireBytes reply = WireAllReply(WireDeviceData(TwoDevices()), 2);
    {
        HeldReply held(reply.data(), (uint32_t)reply.size());
        int32_t count = 0;
        FervDevice *list = nullptr;
        size_t blockSize = 0;
        ASSERT_EQ(FervDecodeAllDevicesReply(held.reply, held.size, held.Scratch(), &count, &list, &blockSize,
                                            &held.holder),
                  0u);
        EXPECT_TRUE(held.holder.taken);
        EXPECT_EQ((void *)list, (void *)held.block);
        EXPECT_EQ(count, 2);
        EXPECT_EQ(blockSize, 2 * sizeof(FervDevice) + 2 * sizeof(FervLun) + 2 * sizeof(FervPath) +
                                 3 * sizeof(FervSecondaryEntry));
        // The records follow one another in the order they are reached.
        EXPECT_EQ((uint8_t *)list->lunList, (uint8_t *)list + sizeof(FervDevice));
        EXPECT_EQ((uint8_t *)list->lunList->pathList, (uint8_t *)list->lunList + sizeof(FervLun));
    }
    // With no room before the reply, the first device outgrows the header in
    // front of it, unless native records are wire records.
    EXPECT_EQ(TakenWhenLent(reply, 0), nativeIsWire);

    // LUNs without paths outgrow their wire records by more than the room a
    // request buffer leaves.
    WireDevice bare;
    bare.name = "luns";
    bare.luns.resize(200);
    WireBytes data = WireDeviceData({bare});
    EXPECT_EQ(TakenWhenLent(WireAllReply(data, 1, (uint32_t)(WIRE_ALL_DATA + data.size()))), nativeIsWire);

    // The same reply with its LUNs linked the other way round: the walk
    // reaches the second before the first.
    WireBytes reversed = reply;
    WireLink(reversed, DEV0, WIRE_DEVICE_LUN_LIST, LUN1);
    WireLink(reversed, LUN1, WIRE_REC_NEXT, LUN0);
    WirePut32(reversed, LUN0 + WIRE_REC_NEXT, 0);
    EXPECT_FALSE(TakenWhenLent(reversed));
}

} // namespace
