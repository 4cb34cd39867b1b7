// The channel of fervadm: the driver's interfaces, enumerated.
#include "channel_core.h"

DriverHandleNode *ChannelOpenDoor(void)
{
    return UtilEnumerateDeviceInterfaces();
}
