// Placeholder until the channel is built.
#include "ferv_channel.h"

FERV_STATUS SendReqToDriver(uint32_t, void *, uint32_t, void *, uint32_t)
{
    return FERV_STATUS_NO_DEVICES;
}
