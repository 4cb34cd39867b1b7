// The parameter commands (-P and its sub-options, the hidden -Z) and the wait
// for a state change (-S). One parameter changes per request: every other
// settable word carries FERV_PARAM_UNCHANGED so the driver keeps its value.
#include "frontend.h"

FERV_STATUS ApplyPublicParameters(int32_t pollRate, int32_t autoFailBack, int32_t logLevel)
{
    FervPublicParameters params;
    params.pollRate = pollRate;
    params.autoFailBack = autoFailBack;
    params.logLevel = (uint32_t)logLevel;
    // The driver reports its version and nobody sets it: send the same
    // "keep it" value as in every other word we do not change.
    for (int32_t &word : params.driverVersion)
        word = FERV_KEEP_PARAMETER;
    return FervSetPublicParameters(&params);
}

FERV_STATUS ApplyPrivateParameters(int32_t r, int32_t t, int32_t d)
{
    FervPrivateParameters params;
    params.paramT = (uint32_t)t;
    params.paramR = (uint32_t)r;
    params.paramD = (uint32_t)d;
    return FervSetPrivateParameters(&params);
}

FERV_STATUS ShowPublicParameters(void)
{
    FervPublicParameters params = {};
    FERV_STATUS code = FervGetPublicParameters(&params);
    if (code != FERV_STATUS_SUCCESS)
        return code;
    PrintPublicParameters(&params);
    return FERV_STATUS_SUCCESS;
}

// Accepts 2 to 60 seconds. The comparison is unsigned so that a negative
// value counts as a huge one and is refused too.
FERV_STATUS SetPollRate(const char *text)
{
    int32_t value = ConvertNumber(text, 10);
    if ((uint32_t)value < 2 || (uint32_t)value > 60)
        return FERV_STATUS_INVALID_PARAMETER;
    return ApplyPublicParameters(value, FERV_KEEP_PARAMETER, FERV_KEEP_PARAMETER);
}

FERV_STATUS SetAutoFailBack(const char *text)
{
    int32_t value = ConvertNumber(text, 10);
    if (value != 0 && value != 1)
        return FERV_STATUS_INVALID_PARAMETER;
    return ApplyPublicParameters(FERV_KEEP_PARAMETER, value, FERV_KEEP_PARAMETER);
}

// Any mask goes through: bits the driver does not know are its business.
FERV_STATUS SetLogLevel(const char *text)
{
    return ApplyPublicParameters(FERV_KEEP_PARAMETER, FERV_KEEP_PARAMETER, ConvertNumber(text, 16));
}

FERV_STATUS WaitForChange(void)
{
    uint32_t key = 1;
    return FervWaitForChange(&key);
}
