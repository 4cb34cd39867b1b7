// Placeholder until the calls are built.
#include "fervlib.h"

FERV_STATUS FervGetPublicParameters(FervPublicParameters *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervSetPublicParameters(const FervPublicParameters *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervSetPrivateParameters(const FervPrivateParameters *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervWaitForChange(uint32_t *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

