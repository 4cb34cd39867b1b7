// The request channel of a program that chooses its door at run time
// instead of at link time: it links this channel in place of one of the two
// fixed ones, and SendReqToDriver (ferv_channel.h) goes through the door
// chosen here.
#ifndef FERV_CHANNEL_SELECT_H
#define FERV_CHANNEL_SELECT_H

// Chooses the channel's door for the rest of the process: the driver's
// control device when useControlDevice is nonzero, else the enumeration
// of its interfaces (the default). Call before the first request.
void FervSelectControlDevice(int useControlDevice);

#endif
