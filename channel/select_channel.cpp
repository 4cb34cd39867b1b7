// The channel that chooses its door at run time. Both fixed channels are
// linked beside it, each compiled with its routine and its handle list
// under names of its own (FervEnum... and FervCtl..., see the build rules),
// so that their two lists never meet; SendReqToDriver hands every request
// to the one chosen.
#include "ferv_channel_select.h"

#include "ferv_channel.h"

FERV_STATUS FervEnumSendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize,
                                    void *outBuffer, uint32_t outBufferSize);
FERV_STATUS FervCtlSendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize,
                                   void *outBuffer, uint32_t outBufferSize);
void FervEnumDriverHandleListResetForTest(void);
void FervCtlDriverHandleListResetForTest(void);

static int controlDeviceChosen = 0;

void FervSelectControlDevice(int useControlDevice)
{
    controlDeviceChosen = useControlDevice != 0;
}

FERV_STATUS SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                            uint32_t outBufferSize)
{
    if (controlDeviceChosen)
        return FervCtlSendReqToDriver(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize);
    return FervEnumSendReqToDriver(ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize);
}

// For tests: both lists give their handles back.
void DriverHandleListResetForTest(void)
{
    FervEnumDriverHandleListResetForTest();
    FervCtlDriverHandleListResetForTest();
}
