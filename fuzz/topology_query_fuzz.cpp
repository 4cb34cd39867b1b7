// Arbitrary bytes as a driver's answers to the topology queries. The first
// byte picks the query; the rest is a sequence of replies, each a 16-bit
// little-endian length and that many bytes, written over the front of the
// request buffer as a driver would. When the replies run out, the channel
// fails the request. The query must end with a status and nothing left
// allocated once its blocks are given back; the front end's walk by counts
// must never meet a null link.
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "channel/ferv_channel.h"
#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "console/ferv_console.h"

namespace {

const uint8_t *input;
size_t inputLeft;

// Sizes the fuzzer names are kept small enough to run fast; sizes beyond the
// library's limit go through unchanged, to exercise its refusal.
const uint32_t SIZE_CAP = 1u << 16;

void Require(bool condition)
{
    if (!condition)
        __builtin_trap();
}

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

// The channel, played by the fuzzer's bytes.
FervChannelResult SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                                  uint32_t outBufferSize)
{
    Require(inBuffer == outBuffer && inBufferSize == outBufferSize && outBufferSize >= 16);
    if (inputLeft < 2)
        return FERV_CHANNEL_IO_FAILED;
    size_t length = input[0] | (size_t)input[1] << 8;
    input += 2;
    inputLeft -= 2;
    if (length > inputLeft)
        length = inputLeft;
    size_t written = length < outBufferSize ? length : outBufferSize;
    memcpy(outBuffer, input, written);
    input += length;
    inputLeft -= length;

    uint32_t sizeOffset = FervSizeWordOffset(ioControlCode);
    if (sizeOffset != 0) {
        uint8_t *sizeWord = (uint8_t *)outBuffer + sizeOffset;
        uint32_t named = FervLoad32(sizeWord);
        if (named > SIZE_CAP && named <= FERV_SIZE_LIMIT)
            FervStore32(sizeWord, SIZE_CAP - (named & 0xFFF));
    }
    return FERV_CHANNEL_DONE;
}

// The console: every line is formatted, then dropped.
void FervPrint(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
}

void FervFlush(void)
{
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    input = data + 1;
    inputLeft = size - 1;
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
