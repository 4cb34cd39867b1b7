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

#include "ferv_wire.h"
#include "platform/ferv_console.h"
#include "request.h"
#include "topology_decode.h"

// A driver that keeps asking for a larger buffer gets this many requests.
enum { TOPOLOGY_MAX_ATTEMPTS = 8 };

// The device and LUN requests carry their key at the same offset.
static_assert(FERV_DEV_KEY == FERV_LUNQ_KEY, "one key offset");

// One growing request: where its size word sits, the least size it can
// have, and how its error lines name the call.
typedef struct GrowingRequest {
    const char *call;       // "FervGetAllInfo"
    const char *sendPrefix; // "HBA ", "DEV " or ""
    uint32_t ioControlCode;
    uint32_t sizeOffset;
    uint32_t fixedPart;
    bool testCount; // HBA phase: a count of 0 means no devices, whatever the status
} GrowingRequest;

static const GrowingRequest allHbasRequest = {
    "FervGetAllInfo", "HBA ", IOCTL_FERV_GET_ALL_HBAS, FERV_ALL_SIZE, FERV_ALL_FIXED_PART, true,
};
static const GrowingRequest allDevicesRequest = {
    "FervGetAllInfo", "DEV ", IOCTL_FERV_GET_ALL_DEVICES, FERV_ALL_SIZE, FERV_ALL_FIXED_PART, false,
};
static const GrowingRequest deviceRequest = {
    "FervGetDeviceInfo", "", IOCTL_FERV_GET_DEVICE_INFO, FERV_DEV_SIZE, FERV_DEV_FIXED_PART, false,
};
static const GrowingRequest lunRequest = {
    "FervGetLunInfo", "", IOCTL_FERV_GET_LUN_INFO, FERV_LUNQ_SIZE, FERV_LUNQ_FIXED_PART, false,
};

static void PrintInvalidReply(const char *call, uint32_t ioControlCode)
{
    FervPrint("FervLib (WIN32) - %s: %s Invalid Reply!\n", call, FervControlCodeName(ioControlCode));
}

static void PrintControlCodeError(const char *call, uint32_t ioControlCode, FERV_STATUS status)
{
    FervPrint("FervLib (WIN32) - %s: %s Error: %08X\n", call, FervControlCodeName(ioControlCode), status);
}

// A zeroed request buffer of `size` bytes, followed by the decoders' scratch
// memory: the driver sees `size` bytes only.
static uint8_t *AllocateRequest(uint32_t size)
{
    return (uint8_t *)calloc((size_t)size + FervDecodeScratchSize(size), 1);
}

// Runs the request loop of `req`, with `key` at offset 4 when not null.
// Returns 0 or 14 with *ppBuffer holding the reply (*pSize bytes; the caller
// frees it) and the decoders' scratch memory behind it. On any other result
// the diagnostic line has been printed and nothing is left allocated.
static FERV_STATUS RunGrowingRequest(const GrowingRequest *req, const FervWwnKey *key, uint8_t **ppBuffer,
                                     uint32_t *pSize)
{
    uint32_t size = FERV_REQ_SIZE_TOPOLOGY;
    for (int attempt = 1;; attempt++) {
        uint8_t *buffer = AllocateRequest(size);
        if (buffer == nullptr)
            return FERV_STATUS_NO_MEMORY;
        if (key != nullptr)
            memcpy(buffer + FERV_DEV_KEY, key->bytes, sizeof key->bytes);
        FervStore32(buffer + req->sizeOffset, size);

        FERV_STATUS sent = UtilSendRequest(req->call, req->sendPrefix, req->ioControlCode, buffer, size);
        if (sent != FERV_STATUS_SUCCESS) {
            free(buffer);
            return sent;
        }
        // With no HBA there is nothing to show, and the status word does not
        // change that.
        if (req->testCount && FervLoadS32(buffer + FERV_ALL_COUNT) == 0) {
            FervPrint("FervLib (WIN32) - %s: No Devices Found\n", req->call);
            free(buffer);
            return FERV_STATUS_NO_DEVICES;
        }
        FERV_STATUS status = FervLoad32(buffer + FERV_REQ_STATUS);
        if (UtilStatusIsSuccess(status)) {
            *ppBuffer = buffer;
            *pSize = size;
            return status;
        }
        if (status != FERV_STATUS_BUFFER_TOO_SMALL || attempt == TOPOLOGY_MAX_ATTEMPTS) {
            PrintControlCodeError(req->call, req->ioControlCode, status);
            free(buffer);
            return status;
        }
        uint32_t wanted = FervLoad32(buffer + req->sizeOffset);
        free(buffer);
        if (wanted < req->fixedPart || wanted > FERV_SIZE_LIMIT) {
            PrintInvalidReply(req->call, req->ioControlCode);
            return FERV_STATUS_INTERNAL_ERROR;
        }
        size = wanted;
    }
}

// Reports a decoder's verdict as the call's own: 10 gets the Invalid Reply
// line, 9 (no memory for the block) goes back without one.
static FERV_STATUS JudgeDecode(const GrowingRequest *req, FERV_STATUS decoded, FERV_STATUS replyStatus)
{
    if (decoded == FERV_STATUS_INTERNAL_ERROR)
        PrintInvalidReply(req->call, req->ioControlCode);
    return decoded == FERV_STATUS_SUCCESS ? replyStatus : decoded;
}

// Fills *pInfoList with the HBA list and then the device list, each in one
// block. Returns the device reply's status (0 or 14); 1 for a null pointer;
// 11 when the driver reports no HBA; 10 for a reply that does not hold
// together; 9 when memory runs out; else the failing send or status code.
// hbaCount/hbaList are written only when the HBA phase succeeds, and
// deviceCount/deviceList only when the device phase does (with a null list
// and the count when its block cannot be allocated).
FERV_STATUS FervGetAllInfo(FervInfoList *pInfoList)
{
    if (pInfoList == nullptr) {
        FervPrint("FervLib (WIN32) - FervGetAllInfo: pInfoList is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }

    uint8_t *buffer;
    uint32_t size;
    FERV_STATUS status = RunGrowingRequest(&allHbasRequest, nullptr, &buffer, &size);
    if (!UtilStatusIsSuccess(status))
        return status;
    FERV_STATUS decoded = FervDecodeHbaReply(buffer, size, buffer + size, &pInfoList->hbaCount,
                                             &pInfoList->hbaList, nullptr);
    free(buffer);
    status = JudgeDecode(&allHbasRequest, decoded, status);
    if (!UtilStatusIsSuccess(status))
        return status;

    status = RunGrowingRequest(&allDevicesRequest, nullptr, &buffer, &size);
    if (!UtilStatusIsSuccess(status))
        return status;
    decoded = FervDecodeAllDevicesReply(buffer, size, buffer + size, &pInfoList->deviceCount,
                                        &pInfoList->deviceList, nullptr);
    free(buffer);
    return JudgeDecode(&allDevicesRequest, decoded, status);
}

// Gives back both blocks of a FervInfoList that FervGetAllInfo filled.
// Returns 0; 1 for a null pointer. The record's fields are left as they were.
FERV_STATUS FervFreeAllInfoMemory(FervInfoList *pInfoList)
{
    if (pInfoList == nullptr) {
        FervPrint("FervLib (WIN32) - FervFreeAllInfoMemory: pInfoList is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    free(pInfoList->hbaList);
    free(pInfoList->deviceList);
    return FERV_STATUS_SUCCESS;
}

// Fetches the device named by *pKey; *ppDevice receives one block holding
// the reply's whole device list. Returns the reply's status (0 or 14); 1 for
// a null argument; 9 with *ppDevice null when the block cannot be allocated;
// 10 for a reply that does not hold together; else the failing code. On
// every failure but 9, *ppDevice is not written.
FERV_STATUS FervGetDeviceInfo(const FervWwnKey *pKey, FervDevice **ppDevice)
{
    if (pKey == nullptr || ppDevice == nullptr) {
        FervPrint("FervLib (WIN32) - FervGetDeviceInfo: A parameter is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    uint8_t *buffer;
    uint32_t size;
    FERV_STATUS status = RunGrowingRequest(&deviceRequest, pKey, &buffer, &size);
    if (!UtilStatusIsSuccess(status))
        return status;
    FERV_STATUS decoded = FervDecodeDeviceReply(buffer, size, buffer + size, ppDevice, nullptr);
    free(buffer);
    if (decoded == FERV_STATUS_NO_MEMORY)
        FervPrint("FervLib (WIN32) - FervGetDeviceInfo: No Memory for caller buffer!\n");
    return JudgeDecode(&deviceRequest, decoded, status);
}

// Gives back a device block from FervGetDeviceInfo: every device, LUN, path
// and secondary entry in it. Returns 0; 1 for a null pointer.
FERV_STATUS FervFreeDeviceMemory(FervDevice *pDev)
{
    if (pDev == nullptr) {
        FervPrint("FervLib (WIN32) - FervFreeDeviceMemory: pDev is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    free(pDev);
    return FERV_STATUS_SUCCESS;
}

// Fetches the LUN named by *pKey into *pLun, its paths in one block at
// pathList (null when it has none) and its next null. Returns the reply's
// status (0 or 14); 1 for a null argument; 9 with *pLun filled but pathList
// null when the block cannot be allocated; 10 for a reply that does not hold
// together; else the failing code. On any other failure *pLun is untouched.
FERV_STATUS FervGetLunInfo(const FervWwnKey *pKey, FervLun *pLun)
{
    if (pKey == nullptr || pLun == nullptr) {
        FervPrint("FervLib (WIN32) - FervGetLunInfo: A parameter is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    uint8_t *buffer;
    uint32_t size;
    FERV_STATUS status = RunGrowingRequest(&lunRequest, pKey, &buffer, &size);
    if (!UtilStatusIsSuccess(status))
        return status;
    FERV_STATUS decoded = FervDecodeLunReply(buffer, size, buffer + size, pLun, nullptr);
    free(buffer);
    return JudgeDecode(&lunRequest, decoded, status);
}

// Gives back the path block of a FervLun that FervGetLunInfo filled, where
// there is one. Returns 0; 1 for a null pointer. The FervLun is the caller's.
FERV_STATUS FervFreeLunMemory(FervLun *pLun)
{
    if (pLun == nullptr) {
        FervPrint("FervLib (WIN32) - FervFreeLunMemory: pLun is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    free(pLun->pathList);
    return FERV_STATUS_SUCCESS;
}

// Fetches the path named by pathName (its first 80 characters) into *pPath,
// whose next is null. Returns the reply's status (0 or 14); 1 for a null
// argument; 9 when no request buffer can be had; else the failing code, with
// *pPath untouched. A reply of 21 is printed and asked again, a bounded
// number of times.
FERV_STATUS FervGetPathInfo(const char *pathName, FervPath *pPath)
{
    if (pathName == nullptr || pPath == nullptr) {
        FervPrint("FervLib (WIN32) - FervGetPathInfo: A parameter is NULL!\n");
        return FERV_STATUS_INVALID_PARAMETER;
    }
    for (int attempt = 1;; attempt++) {
        uint8_t *buffer = (uint8_t *)calloc(FERV_REQ_SIZE_TOPOLOGY, 1);
        if (buffer == nullptr)
            return FERV_STATUS_NO_MEMORY;
        FervStorePathName(buffer + FERV_PATHQ_NAME, pathName);

        FERV_STATUS sent =
            UtilSendRequest("FervGetPathInfo", "", IOCTL_FERV_GET_PATH_INFO, buffer, FERV_REQ_SIZE_TOPOLOGY);
        if (sent != FERV_STATUS_SUCCESS) {
            free(buffer);
            return sent;
        }
        FERV_STATUS status = FervLoad32(buffer + FERV_REQ_STATUS);
        if (UtilStatusIsSuccess(status))
            FervDecodePathRecord(buffer + FERV_PATHQ_PATH, pPath);
        else
            PrintControlCodeError("FervGetPathInfo", IOCTL_FERV_GET_PATH_INFO, status);
        free(buffer);
        if (status != FERV_STATUS_BUFFER_TOO_SMALL || attempt == TOPOLOGY_MAX_ATTEMPTS)
            return status;
    }
}
