// The two-step judgement of a request shared by the library calls.
#include "request.h"

#include "channel/ferv_channel.h"
#include "ferv_wire.h"
#include "platform/ferv_console.h"

FERV_STATUS UtilSendRequest(const char *callName, const char *phase, uint32_t ioControlCode, void *buffer,
                            uint32_t size)
{
    FERV_STATUS sent = SendReqToDriver(ioControlCode, buffer, size, buffer, size);
    if (UtilStatusIsSuccess(sent))
        return FERV_STATUS_SUCCESS;
    FervPrint("FervLib (WIN32) - %s: %sSendReqToDriver Error: %08X\n", callName, phase, (unsigned)sent);
    return sent;
}

FERV_STATUS UtilJudgeStatus(const char *callName, uint32_t ioControlCode, const void *buffer)
{
    FERV_STATUS status = FervLoad32((const uint8_t *)buffer + FERV_REQ_STATUS);
    if (!UtilStatusIsSuccess(status)) {
        const char *name = FervControlCodeName(ioControlCode);
        FervPrint("FervLib (WIN32) - %s: %s Error: %08X\n", callName, name ? name : "IOCTL", (unsigned)status);
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
