// The two-step judgement of a request shared by the library calls, and the
// lines of the failures every call shares.
#include "request.h"

#include "channel/ferv_channel.h"
#include "console/ferv_console.h"
#include "ferv_wire.h"

FERV_STATUS UtilRefuseNull(const char *callName, const char *what)
{
    FervPrintDiagnostic(callName, "%s is NULL!", what);
    return FERV_STATUS_INVALID_PARAMETER;
}

FERV_STATUS UtilNoMemory(const char *callName, const char *what)
{
    FervPrintDiagnostic(callName, "No Memory for %s!", what);
    return FERV_STATUS_NO_MEMORY;
}

// The status a channel result stands for, indexed by FervChannelResult. A
// failed completion event is a shortage of system resources, not a missing
// driver.
static const FERV_STATUS channelStatus[] = {
    FERV_STATUS_SUCCESS,        // FERV_CHANNEL_DONE
    FERV_STATUS_INTERNAL_ERROR, // FERV_CHANNEL_IO_FAILED
    FERV_STATUS_NO_DEVICES,     // FERV_CHANNEL_NO_DRIVER
    FERV_STATUS_NO_MEMORY,      // FERV_CHANNEL_NO_EVENT
};
static_assert(sizeof channelStatus / sizeof channelStatus[0] == FERV_CHANNEL_NO_EVENT + 1,
              "one status per channel result");

FERV_STATUS UtilSendRequest(const char *callName, const char *phase, uint32_t ioControlCode, void *buffer,
                            uint32_t size)
{
    FervChannelResult result = SendReqToDriver(ioControlCode, buffer, size, buffer, size);
    FERV_STATUS sent = (unsigned)result < sizeof channelStatus / sizeof channelStatus[0]
                           ? channelStatus[result]
                           : (FERV_STATUS)FERV_STATUS_INTERNAL_ERROR;
    if (sent != FERV_STATUS_SUCCESS)
        FervPrintDiagnostic(callName, "%sSendReqToDriver Error: %08X", phase, (unsigned)sent);
    return sent;
}

FERV_STATUS UtilJudgeStatus(const char *callName, uint32_t ioControlCode, const void *buffer)
{
    FERV_STATUS status = FervLoad32((const uint8_t *)buffer + FERV_REQ_STATUS);
    if (!UtilStatusIsSuccess(status)) {
        const char *name = FervControlCodeName(ioControlCode);
        FervPrintDiagnostic(callName, "%s Error: %08X", name ? name : "IOCTL", (unsigned)status);
    }
    return status;
}

FERV_STATUS UtilRunRequest(const char *callName, uint32_t ioControlCode, void *buffer, uint32_t size)
{
    FERV_STATUS sent = UtilSendRequest(callName, "", ioControlCode, buffer, size);
    if (sent != FERV_STATUS_SUCCESS)
        return sent;
    return UtilJudgeStatus(callName, ioControlCode, buffer);
}
