// The driver's public and private parameters, and the wait for a change.
#include "fervlib.h"

#include "console/ferv_console.h"
#include "ferv_wire.h"
#include "request.h"

static_assert(sizeof(FervPublicParameters) == 28, "seven public words");
static_assert(sizeof(FervPrivateParameters) == 12, "three private words");
static_assert(FERV_PARAMS_WORDS + 28 == FERV_REQ_SIZE_PUBLIC_PARAMS, "public words fill the request");
static_assert(FERV_PARAMS_WORDS + 12 == FERV_REQ_SIZE_PRIVATE_PARAMS, "private words fill the request");
static_assert(FERV_WAIT_KEY + 4 == FERV_REQ_SIZE_WAIT, "key fills the request");

// Reads all seven words of the reply into *pParams.
FERV_STATUS FervGetPublicParameters(FervPublicParameters *pParams)
{
    if (!pParams)
        return UtilRefuseNull(__func__, "pParams");
    uint8_t request[FERV_REQ_SIZE_PUBLIC_PARAMS] = {0};
    FERV_STATUS status = UtilRunRequest(__func__, IOCTL_FERV_GET_PUBLIC_PARAMETERS, request, sizeof request);
    if (!UtilStatusIsSuccess(status))
        return status;

    const uint8_t *words = request + FERV_PARAMS_WORDS;
    pParams->pollRate = FervLoadS32(words);
    pParams->autoFailBack = FervLoadS32(words + 4);
    pParams->logLevel = FervLoad32(words + 8);
    for (int i = 0; i < 4; i++)
        pParams->driverVersion[i] = FervLoadS32(words + 12 + 4 * i);
    return status;
}

// Every word goes out as the caller holds it; FERV_PARAM_UNCHANGED in a
// settable word keeps that parameter.
FERV_STATUS FervSetPublicParameters(const FervPublicParameters *pParams)
{
    if (!pParams)
        return UtilRefuseNull(__func__, "pParams");
    uint8_t request[FERV_REQ_SIZE_PUBLIC_PARAMS] = {0};
    uint8_t *words = request + FERV_PARAMS_WORDS;
    FervStore32(words, (uint32_t)pParams->pollRate);
    FervStore32(words + 4, (uint32_t)pParams->autoFailBack);
    FervStore32(words + 8, pParams->logLevel);
    for (int i = 0; i < 4; i++)
        FervStore32(words + 12 + 4 * i, (uint32_t)pParams->driverVersion[i]);
    return UtilRunRequest(__func__, IOCTL_FERV_SET_PUBLIC_PARAMETERS, request, sizeof request);
}

FERV_STATUS FervSetPrivateParameters(const FervPrivateParameters *pParams)
{
    if (!pParams)
        return UtilRefuseNull(__func__, "pParams");
    uint8_t request[FERV_REQ_SIZE_PRIVATE_PARAMS] = {0};
    uint8_t *words = request + FERV_PARAMS_WORDS;
    FervStore32(words, pParams->paramT);
    FervStore32(words + 4, pParams->paramR);
    FervStore32(words + 8, pParams->paramD);
    return UtilRunRequest(__func__, IOCTL_FERV_SET_PRIVATE_PARAMETERS, request, sizeof request);
}

// The driver holds this request until a state change; the channel waits for
// it without a limit.
FERV_STATUS FervWaitForChange(uint32_t *pKey)
{
    if (!pKey)
        return UtilRefuseNull(__func__, "pKey");
    uint8_t request[FERV_REQ_SIZE_WAIT] = {0};
    FervStore32(request + FERV_WAIT_KEY, *pKey);
    FERV_STATUS status = UtilRunRequest(__func__, IOCTL_FERV_WAIT_FOR_CHANGE, request, sizeof request);
    if (UtilStatusIsSuccess(status))
        *pKey = FervLoad32(request + FERV_WAIT_KEY);
    return status;
}
