// Commands on one path, LUN or device, and the I/O counters of a path or LUN.
#include "fervlib.h"

#include <string.h>

#include "console/ferv_console.h"
#include "ferv_wire.h"
#include "request.h"

static_assert(FERV_CMD_PATH_NAME + FERV_PATH_NAME_SIZE == FERV_CMD_PATH_CODE, "path command code follows the name");
static_assert(FERV_CMD_KEY + sizeof(FervWwnKey) == FERV_CMD_KEY_CODE, "command code follows the key");
static_assert(FERV_STATS_PATH + sizeof(FervStatistics) == FERV_REQ_SIZE_PATH_STATS, "path counters end the request");
static_assert(FERV_STATS_LUN + sizeof(FervStatistics) == FERV_REQ_SIZE_LUN_STATS, "LUN counters end the request");
static_assert(FERV_CMD_DEV_FAILED + 4 == FERV_REQ_SIZE_DEVICE_CMD, "device counts end the request");

// The four counters from a reply's statistics area.
static void LoadStatistics(const uint8_t *area, FervStatistics *pStats)
{
    pStats->ioErrors = FervLoad32(area);
    pStats->hostRequests = FervLoad32(area + 4);
    pStats->outstandingIo = FervLoad32(area + 8);
    pStats->blocksTransferred = FervLoad32(area + 12);
}

// Sends at most the first 80 characters of pathName and the caller's code.
FERV_STATUS FervIssuePathCommand(const char *pathName, const uint8_t *pCommand)
{
    if (!pathName || !pCommand)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t request[FERV_REQ_SIZE_PATH_CMD] = {0};
    FervStorePathName(request + FERV_CMD_PATH_NAME, pathName);
    request[FERV_CMD_PATH_CODE] = *pCommand;
    return UtilRunRequest(__func__, IOCTL_FERV_ISSUE_PATH_CMD, request, sizeof request);
}

FERV_STATUS FervIssueLUNCommand(const FervWwnKey *pKey, const uint8_t *pCommand)
{
    if (!pKey || !pCommand)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t request[FERV_REQ_SIZE_LUN_CMD] = {0};
    memcpy(request + FERV_CMD_KEY, pKey->bytes, sizeof pKey->bytes);
    request[FERV_CMD_KEY_CODE] = *pCommand;
    return UtilRunRequest(__func__, IOCTL_FERV_ISSUE_LUN_CMD, request, sizeof request);
}

// The counts tell how far a restore got even when the driver reports it
// failed, so they are copied before the status word is judged.
FERV_STATUS FervIssueDeviceCommand(const FervWwnKey *pKey, FervDeviceCommand *pCmd)
{
    if (!pKey || !pCmd)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t request[FERV_REQ_SIZE_DEVICE_CMD] = {0};
    memcpy(request + FERV_CMD_KEY, pKey->bytes, sizeof pKey->bytes);
    request[FERV_CMD_KEY_CODE] = pCmd->command;
    FERV_STATUS sent = UtilSendRequest(__func__, "", IOCTL_FERV_ISSUE_DEVICE_CMD, request, sizeof request);
    if (sent != FERV_STATUS_SUCCESS)
        return sent;

    pCmd->numSuccessful = FervLoadS32(request + FERV_CMD_DEV_SUCCESSFUL);
    pCmd->numFailed = FervLoadS32(request + FERV_CMD_DEV_FAILED);
    FERV_STATUS status = UtilJudgeStatus(__func__, IOCTL_FERV_ISSUE_DEVICE_CMD, request);
    if (!UtilStatusIsSuccess(status)) {
        FervPrint("   Num Successful Operations: %d\n", (int)pCmd->numSuccessful);
        FervPrint("   Num Failed Operations: %d\n", (int)pCmd->numFailed);
    }
    return status;
}

FERV_STATUS FervGetPathStatistics(const char *pathName, FervStatistics *pStats)
{
    if (!pathName || !pStats)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t request[FERV_REQ_SIZE_PATH_STATS] = {0};
    FervStorePathName(request + FERV_CMD_PATH_NAME, pathName);
    FERV_STATUS status = UtilRunRequest(__func__, IOCTL_FERV_GET_PATH_STATS, request, sizeof request);
    if (UtilStatusIsSuccess(status))
        LoadStatistics(request + FERV_STATS_PATH, pStats);
    return status;
}

FERV_STATUS FervGetLUNStatistics(const FervWwnKey *pKey, FervStatistics *pStats)
{
    if (!pKey || !pStats)
        return UtilRefuseNull(__func__, "A parameter");
    uint8_t request[FERV_REQ_SIZE_LUN_STATS] = {0};
    memcpy(request + FERV_CMD_KEY, pKey->bytes, sizeof pKey->bytes);
    FERV_STATUS status = UtilRunRequest(__func__, IOCTL_FERV_GET_LUN_STATS, request, sizeof request);
    if (UtilStatusIsSuccess(status))
        LoadStatistics(request + FERV_STATS_LUN, pStats);
    return status;
}
