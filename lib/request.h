// Sending a request and judging its outcome, the same way for every library
// call: first the send result, then the status word the driver wrote at
// offset 0. Each step prints the calling function's own diagnostic line when
// it fails. Internal to the library.
#ifndef FERV_REQUEST_H
#define FERV_REQUEST_H

#include <stdint.h>

#include "fervlib.h"

// 0 and 14 ("already the active path") both count as success.
static inline bool UtilStatusIsSuccess(FERV_STATUS status)
{
    return status == FERV_STATUS_SUCCESS || status == FERV_STATUS_ALREADY_ACTIVE;
}

// Sends buffer (size bytes) as input and output of one request.
// callName names the calling function in the error line; phase is put before
// "SendReqToDriver Error" ("" for most calls, "HBA " or "DEV " for the two
// requests of FervGetAllInfo). On failure prints
// "FervLib (WIN32) - <callName>: <phase>SendReqToDriver Error: %08X".
// Returns: 0 when the request got through (the reply is in buffer), else the
// send routine's code.
FERV_STATUS UtilSendRequest(const char *callName, const char *phase, uint32_t ioControlCode, void *buffer,
                            uint32_t size);

// Reads the status word of a reply. When it is neither 0 nor 14 prints
// "FervLib (WIN32) - <callName>: <control-code name> Error: %08X" (status 21
// included: a call that retries on 21 checks for it before calling this).
// Returns: the status word. Reads 4 bytes of buffer, writes nothing.
FERV_STATUS UtilJudgeStatus(const char *callName, uint32_t ioControlCode, const void *buffer);

// UtilSendRequest with no phase, then UtilJudgeStatus.
// Returns: the send routine's code when the send failed, else the status word.
FERV_STATUS UtilRunRequest(const char *callName, uint32_t ioControlCode, void *buffer, uint32_t size);

#endif
