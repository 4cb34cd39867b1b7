// The scripted channel and the silent console of the library fuzz targets.
#include "fuzz/script_channel.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "channel/ferv_channel.h"
#include "console/ferv_console.h"
#include "lib/ferv_wire.h"
#include "lib/fervlib.h"

namespace {

const uint8_t *input;
size_t inputLeft;
const uint32_t SIZE_CAP = 1u << 16;
const size_t FAIL_SEND = 0xFFFF;
// The ways a send can fail, IO_FAILED first.
const int FAILURES = FERV_CHANNEL_NO_EVENT - FERV_CHANNEL_IO_FAILED + 1;

} // namespace

void FuzzScriptStart(const uint8_t *script, size_t size)
{
    input = script;
    inputLeft = size;
}

FervChannelResult SendReqToDriver(uint32_t ioControlCode, void *inBuffer, uint32_t inBufferSize, void *outBuffer,
                                  uint32_t outBufferSize)
{
    // The library sends one buffer as input and output, always with room
    // for the status word.
    Require(inBuffer == outBuffer && inBufferSize == outBufferSize && outBufferSize >= 4);
    if (inputLeft < 2)
        return FERV_CHANNEL_IO_FAILED;
    size_t length = input[0] | (size_t)input[1] << 8;
    input += 2;
    inputLeft -= 2;
    if (length == FAIL_SEND) {
        uint8_t code = inputLeft > 0 ? input[0] : 0;
        input += inputLeft > 0;
        inputLeft -= inputLeft > 0;
        return (FervChannelResult)(FERV_CHANNEL_IO_FAILED + code % FAILURES);
    }
    if (length > inputLeft)
        length = inputLeft;
    size_t written = length < outBufferSize ? length : outBufferSize;
    memcpy(outBuffer, input, written);
    input += length;
    inputLeft -= length;

    uint32_t sizeOffset = FervSizeWordOffset(ioControlCode);
    if (sizeOffset != 0 && sizeOffset + 4 <= outBufferSize) {
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

void FervFlush(void) {}
