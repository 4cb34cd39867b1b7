// Sending a request and judging its outcome, the same way for every library
// call: first the channel's result, then the status word the driver wrote at
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

// The refusal of a null pointer argument: prints "<what> is NULL!" as
// callName's line ("A parameter" where a call takes several pointers).
// Returns: 1, for the caller to return.
FERV_STATUS UtilRefuseNull(const char *callName, const char *what);

// Memory that callName could not allocate: prints "No Memory for <what>!"
// as its line ("request buffer", "caller buffer").
// Returns: 9, for the caller to return.
FERV_STATUS UtilNoMemory(const char *callName, const char *what);

// Sends buffer (size bytes) as input and output of one request.
// callName names the calling function in the error line; phase is put before
// "SendReqToDriver Error" ("" for most calls, "HBA " or "DEV " for the two
// requests of FervGetAllInfo). On failure prints
// "<callName>: <phase>SendReqToDriver Error: %08X" with the status the
// channel's result stands for: 10 when the request failed in the I/O layer,
// 11 when no driver handle could be had, 9 when no completion event could be
// made.
// Returns: 0 when the request got through (the reply is in buffer), else
// that status.
FERV_STATUS UtilSendRequest(const char *callName, const char *phase, uint32_t ioControlCode, void *buffer,
                            uint32_t size);

// Reads the status word of a reply. When it is neither 0 nor 14 prints
// "<callName>: <control-code name> Error: %08X" (status 21 included: a call
// that retries on 21 checks for it before calling this).
// Returns: the status word. Reads 4 bytes of buffer, writes nothing.
FERV_STATUS UtilJudgeStatus(const char *callName, uint32_t ioControlCode, const void *buffer);

// UtilSendRequest with no phase, then UtilJudgeStatus.
// Returns: the send's status when the send failed, else the status word.
FERV_STATUS UtilRunRequest(const char *callName, uint32_t ioControlCode, void *buffer, uint32_t size);

#endif
