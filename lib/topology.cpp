// Topology queries: the HBA and device lists, one device, one LUN with its
// paths, one path; and the free calls that give their blocks back.
//
// The four growing requests share one loop: a 4096-byte buffer first, then,
// for as long as the driver answers 21, a fresh buffer of exactly the size
// the driver names. A reply is input like any other: its sizes, lengths,
// links and counts are checked before anything in it is followed, and a reply
// that does not hold together ends the call with 10 and an "Invalid Reply!"
// line.
#include "fervlib.h"

#include <stdlib.h>
#include <string.h>

#include "block.h"
#include "console/ferv_console.h"
#include "ferv_wire.h"
#include "request.h"
#include "topology_decode.h"

// A driver that keeps asking for a larger buffer gets this many requests.
enum { TOPOLOGY_MAX_ATTEMPTS = 8 };

// The device and LUN requests carry their key at the same offset.
static_assert(FERV_DEV_KEY == FERV_LUNQ_KEY, "one key offset");

// What the library's memory lines name.
static const char requestBuffer[] = "request buffer";
static const char callerBuffer[] = "caller buffer";

// A list and its count, as the all-HBA and all-device replies hand them over.
typedef struct HbaPart {
    int32_t count;
    FervHba *list;
} HbaPart;

typedef struct DevicePart {
    int32_t count;
    FervDevice *list;
} DevicePart;

// The decoders behind one signature: the reply (`size` bytes, the scratch
// memory behind it, the request buffer `holder` holding it) into `out`, whose
// type the request fixes.
static FERV_STATUS DecodeHbas(uint8_t *reply, uint32_t size, FervReplyHolder *holder, void *out)
{
    HbaPart *part = (HbaPart *)out;
    return FervDecodeHbaReply(reply, size, reply + size, &part->count, &part->list, nullptr, holder);
}

static FERV_STATUS DecodeAllDevices(uint8_t *reply, uint32_t size, FervReplyHolder *holder, void *out)
{
    DevicePart *part = (DevicePart *)out;
    return FervDecodeAllDevicesReply(reply, size, reply + size, &part->count, &part->list, nullptr, holder);
}

static FERV_STATUS DecodeDevice(uint8_t *reply, uint32_t size, FervReplyHolder *holder, void *out)
{
    return FervDecodeDeviceReply(reply, size, reply + size, (FervDevice **)out, nullptr, holder);
}

// The LUN stands alone, outside any block, and is filled last: its paths are
// decoded into a block of their own.
static FERV_STATUS DecodeLun(uint8_t *reply, uint32_t size, FervReplyHolder *holder, void *out)
{
    holder->taken = false;
    return FervDecodeLunReply(reply, size, reply + size, (FervLun *)out, nullptr);
}

// One growing request as a call sends it, and how its reply is decoded.
typedef struct GrowingRequest {
    const char *phase; // put before "SendReqToDriver Error": "HBA ", "DEV " or ""
    uint32_t ioControlCode;
    bool testCount; // HBA phase: a count of 0 means no devices, whatever the status
    FERV_STATUS (*decode)(uint8_t *reply, uint32_t size, FervReplyHolder *holder, void *out);
} GrowingRequest;

static const GrowingRequest allHbasRequest = {"HBA ", IOCTL_FERV_GET_ALL_HBAS, true, DecodeHbas};
static const GrowingRequest allDevicesRequest = {"DEV ", IOCTL_FERV_GET_ALL_DEVICES, false, DecodeAllDevices};
static const GrowingRequest deviceRequest = {"", IOCTL_FERV_GET_DEVICE_INFO, false, DecodeDevice};
static const GrowingRequest lunRequest = {"", IOCTL_FERV_GET_LUN_INFO, false, DecodeLun};

static void PrintInvalidReply(const char *call, uint32_t ioControlCode)
{
    FervPrintDiagnostic(call, "%s Invalid Reply!", FervControlCodeName(ioControlCode));
}

// A request buffer for a request of `size` bytes: room for the decoder to
// grow the records into (FervDecodeRoomSize), the zeroed request, then the
// decoders' scratch memory. The driver sees the request's `size` bytes only.
// All of them are sent, so each must be the zero the request means; the
// room and the scratch need none (the decoder writes before it reads).
// Returns the block, with *pRequest at the request; null when there is no
// memory.
static uint8_t *AllocateRequest(uint32_t size, uint8_t **pRequest)
{
    size_t room = FervDecodeRoomSize(size);
    uint8_t *block = (uint8_t *)UtilAllocateBlock(room + size + FervDecodeScratchSize(size), 0);
    if (block == nullptr)
        return nullptr;
    memset(block + room, 0, size);
    *pRequest = block + room;
    return block;
}

// Runs the request loop of `req` for `call`, with `key` at its offset when
// not null.
// Returns 0 or 14 with *ppBlock holding the reply at *ppReply (*pSize bytes;
// the caller frees the block) and the decoders' scratch memory behind it. On
// any other result the diagnostic line has been printed and nothing is left
// allocated.
static FERV_STATUS RunGrowingRequest(const char *call, const GrowingRequest *req, const FervWwnKey *key,
                                     uint8_t **ppBlock, uint8_t **ppReply, uint32_t *pSize)
{
    const FervGrowingLayout *layout = FervGrowingLayoutOf(req->ioControlCode);
    uint32_t size = FERV_REQ_SIZE_TOPOLOGY;
    for (int attempt = 1;; attempt++) {
        uint8_t *buffer;
        uint8_t *block = AllocateRequest(size, &buffer);
        if (block == nullptr)
            return UtilNoMemory(call, requestBuffer);
        if (key != nullptr)
            memcpy(buffer + FERV_DEV_KEY, key->bytes, sizeof key->bytes);
        FervStore32(buffer + layout->sizeWord, size);

        FERV_STATUS sent = UtilSendRequest(call, req->phase, req->ioControlCode, buffer, size);
        if (sent != FERV_STATUS_SUCCESS) {
            free(block);
            return sent;
        }
        // With no HBA there is nothing to show, and the status word does not
        // change that.
        if (req->testCount && FervLoadS32(buffer + FERV_ALL_COUNT) == 0) {
            FervPrintDiagnostic(call, "No Devices Found");
            free(block);
            return FERV_STATUS_NO_DEVICES;
        }
        FERV_STATUS status = FervLoad32(buffer + FERV_REQ_STATUS);
        if (UtilStatusIsSuccess(status)) {
            *ppBlock = block;
            *ppReply = buffer;
            *pSize = size;
            return status;
        }
        if (status != FERV_STATUS_BUFFER_TOO_SMALL || attempt == TOPOLOGY_MAX_ATTEMPTS) {
            UtilJudgeStatus(call, req->ioControlCode, buffer);
            free(block);
            return status;
        }
        uint32_t wanted = FervLoad32(buffer + layout->sizeWord);
        free(block);
        if (wanted < layout->fixedPart || wanted > FERV_SIZE_LIMIT) {
            PrintInvalidReply(call, req->ioControlCode);
            return FERV_STATUS_INTERNAL_ERROR;
        }
        size = wanted;
    }
}

// Runs `req` for `call` and decodes its reply into `out`. A reply that does
// not hold together gets the Invalid Reply line, a block that cannot be
// allocated the memory line.
// Returns the reply's status (0 or 14) when it was decoded, else the
// failing code; the request buffer is given back either way, unless it has
// become the list.
static FERV_STATUS Query(const char *call, const GrowingRequest *req, const FervWwnKey *key, void *out)
{
    uint8_t *block = nullptr;
    uint8_t *reply = nullptr;
    uint32_t size = 0;
    FERV_STATUS status = RunGrowingRequest(call, req, key, &block, &reply, &size);
    if (!UtilStatusIsSuccess(status))
        return status;
    FervReplyHolder holder = {block, false};
    FERV_STATUS decoded = req->decode(reply, size, &holder, out);
    if (!holder.taken)
        free(block);
    if (decoded == FERV_STATUS_INTERNAL_ERROR)
        PrintInvalidReply(call, req->ioControlCode);
    else if (decoded == FERV_STATUS_NO_MEMORY)
        UtilNoMemory(call, callerBuffer);
    return decoded == FERV_STATUS_SUCCESS ? status : decoded;
}

// The HBA list and then the device list, each decoded into a block of its
// own; the record is written only once both are in hand.
FERV_STATUS FervGetAllInfo(FervInfoList *pInfoList)
{
    if (pInfoList == nullptr)
        return UtilRefuseNull(__func__, "pInfoList");
    HbaPart hbas = {0, nullptr};
    FERV_STATUS status = Query(__func__, &allHbasRequest, nullptr, &hbas);
    if (!UtilStatusIsSuccess(status))
        return status;
    DevicePart devices = {0, nullptr};
    status = Query(__func__, &allDevicesRequest, nullptr, &devices);
    if (!UtilStatusIsSuccess(status)) {
        // The HBA block goes back with the failed device phase, so a failed
        // call leaves the caller nothing to free.
        free(hbas.list);
        return status;
    }
    pInfoList->hbaCount = hbas.count;
    pInfoList->hbaList = hbas.list;
    pInfoList->deviceCount = devices.count;
    pInfoList->deviceList = devices.list;
    return status;
}

FERV_STATUS FervFreeAllInfoMemory(FervInfoList *pInfoList)
{
    if (pInfoList == nullptr)
        return UtilRefuseNull(__func__, "pInfoList");
    free(pInfoList->hbaList);
    free(pInfoList->deviceList);
    return FERV_STATUS_SUCCESS;
}

FERV_STATUS FervGetDeviceInfo(const FervWwnKey *pKey, FervDevice **ppDevice)
{
    if (pKey == nullptr || ppDevice == nullptr)
        return UtilRefuseNull(__func__, "A parameter");
    return Query(__func__, &deviceRequest, pKey, ppDevice);
}

FERV_STATUS FervFreeDeviceMemory(FervDevice *pDev)
{
    if (pDev == nullptr)
        return UtilRefuseNull(__func__, "pDev");
    free(pDev);
    return FERV_STATUS_SUCCESS;
}

FERV_STATUS FervGetLunInfo(const FervWwnKey *pKey, FervLun *pLun)
{
    if (pKey == nullptr || pLun == nullptr)
        return UtilRefuseNull(__func__, "A parameter");
    return Query(__func__, &lunRequest, pKey, pLun);
}

FERV_STATUS FervFreeLunMemory(FervLun *pLun)
{
    if (pLun == nullptr)
        return UtilRefuseNull(__func__, "pLun");
    free(pLun->pathList);
    return FERV_STATUS_SUCCESS;
}

// The path request has a fixed size: a driver that answers 21 to it cannot
// be helped by asking again, so 21 ends the call like any other failure.
FERV_STATUS FervGetPathInfo(const char *pathName, FervPath *pPath)
{
    if (pathName == nullptr || pPath == nullptr)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t *buffer = (uint8_t *)calloc(FERV_REQ_SIZE_TOPOLOGY, 1);
    if (buffer == nullptr)
        return UtilNoMemory(__func__, requestBuffer);
    FervStorePathName(buffer + FERV_PATHQ_NAME, pathName);
    FERV_STATUS status = UtilRunRequest(__func__, IOCTL_FERV_GET_PATH_INFO, buffer, FERV_REQ_SIZE_TOPOLOGY);
    if (UtilStatusIsSuccess(status))
        FervDecodePathRecord(buffer + FERV_PATHQ_PATH, pPath);
    free(buffer);
    return status;
}
