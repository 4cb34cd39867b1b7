// The channel variant whose door is chosen at run time (library
// ferv_channel_select), for programs that offer both ways to the driver.
#ifndef FERV_CHANNEL_SELECT_H
#define FERV_CHANNEL_SELECT_H

// Chooses the channel's door for the rest of the process: the driver's
// control device when useControlDevice is nonzero, else the enumeration
// of its interfaces (the default). Call before the first request.
void FervSelectControlDevice(int useControlDevice);

#endif
