// Placeholder until the calls are built.
#include "fervlib.h"

FERV_STATUS FervGetAllInfo(FervInfoList *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervFreeAllInfoMemory(FervInfoList *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervGetDeviceInfo(const FervWwnKey *, FervDevice **)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervFreeDeviceMemory(FervDevice *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervGetLunInfo(const FervWwnKey *, FervLun *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervFreeLunMemory(FervLun *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervGetPathInfo(const char *, FervPath *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

