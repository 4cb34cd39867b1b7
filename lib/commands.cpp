// Placeholder until the calls are built.
#include "fervlib.h"

FERV_STATUS FervIssuePathCommand(const char *, const uint8_t *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervIssueLUNCommand(const FervWwnKey *, const uint8_t *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervIssueDeviceCommand(const FervWwnKey *, FervDeviceCommand *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervGetPathStatistics(const char *, FervStatistics *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

FERV_STATUS FervGetLUNStatistics(const FervWwnKey *, FervStatistics *)
{
    return FERV_STATUS_INTERNAL_ERROR;
}

