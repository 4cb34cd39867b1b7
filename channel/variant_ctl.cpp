// The channel of fervadmctl: the driver's control device.
#include "channel_core.h"

DriverHandleNode *ChannelOpenDoor(void)
{
    return OpenControlDevice();
}
