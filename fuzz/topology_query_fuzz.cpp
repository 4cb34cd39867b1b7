// Arbitrary bytes as a driver's answers to the topology queries. The first
// byte picks the query; the rest is the script of replies (see
// script_channel.h). The query must end with a status and nothing left
// allocated once its blocks are given back; the front end's walk by counts
// must never meet a null link.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz/script_channel.h"
#include "lib/fervlib.h"

namespace {

volatile size_t sink;

void WalkPathsByCount(const FervPath *p, int32_t count)
{
    for (int32_t i = 0; i < count; i++, p = p->next) {
        Require(p != nullptr);
        sink = FervTextLength(p->pathName, sizeof p->pathName) + FervTextLength(p->hbaName, sizeof p->hbaName);
    }
}

void WalkDevice(const FervDevice *d)
{
    sink = FervTextLength(d->deviceName, sizeof d->deviceName) + FervTextLength(d->serialNumber, 81);
    const FervLun *l = d->lunList;
    for (int32_t i = 0; i < d->lunCount; i++, l = l->next) {
        Require(l != nullptr);
        WalkPathsByCount(l->pathList, l->pathCount);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    FuzzScriptStart(data + 1, size - 1);
    FervWwnKey key;
    memset(&key, 0x11, sizeof key);

    switch (data[0] % 4) {
    case 0: {
        FervInfoList info = {0, nullptr, 0, nullptr};
        FERV_STATUS status = FervGetAllInfo(&info);
        if (status == FERV_STATUS_SUCCESS) {
            const FervDevice *d = info.deviceList;
            for (int32_t i = 0; i < info.deviceCount; i++, d = d->next) {
                Require(d != nullptr);
                WalkDevice(d);
            }
        }
        // Whatever the outcome, what the call stored is the caller's to free.
        FervFreeAllInfoMemory(&info);
        break;
    }
    case 1: {
        FervDevice *dev = nullptr;
        if (FervGetDeviceInfo(&key, &dev) == FERV_STATUS_SUCCESS) {
            Require(dev != nullptr);
            WalkDevice(dev);
            if (dev->next != nullptr)
                WalkDevice(dev->next);
            FervFreeDeviceMemory(dev);
        } else {
            free(dev);
        }
        break;
    }
    case 2: {
        FervLun lun;
        memset(&lun, 0, sizeof lun);
        FERV_STATUS status = FervGetLunInfo(&key, &lun);
        if (status == FERV_STATUS_SUCCESS)
            WalkPathsByCount(lun.pathList, lun.pathCount);
        FervFreeLunMemory(&lun);
        break;
    }
    default: {
        FervPath path;
        if (FervGetPathInfo("fuzzed-path", &path) == FERV_STATUS_SUCCESS) {
            Require(path.next == nullptr);
            sink = FervTextLength(path.hbaName, sizeof path.hbaName);
        }
        break;
    }
    }
    return 0;
}
