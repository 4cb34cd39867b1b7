// The channel whose door the program chooses at run time.
#include "channel_core.h"
#include "ferv_channel_select.h"

static bool useControlDevice = false;

void FervSelectControlDevice(int useControl)
{
    bool wanted = useControl != 0;
    // Handles opened through the other door are no longer the ones asked
    // for: the next request opens the chosen door afresh.
    if (wanted != useControlDevice)
        DriverHandleListClear();
    useControlDevice = wanted;
}

DriverHandleNode *ChannelOpenDoor(void)
{
    return useControlDevice ? OpenControlDevice() : UtilEnumerateDeviceInterfaces();
}
