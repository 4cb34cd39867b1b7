// Decoding of large topology replies: a device list of 1k, 10k and 100k
// paths (ten devices of ten LUNs each) and a single LUN with as many paths.
// Reports bytes of reply decoded per second and the size of the block the
// caller receives against the size of the reply it came from. The copy
// baseline is the least any query must do: one fresh block of the reply's
// size, filled by memcpy.
#include <stdlib.h>
#include <string.h>

#include <benchmark/benchmark.h>

#include "lib/block.h"
#include "lib/topology_decode.h"
#include "tests/support/topology_replies.h"

namespace {

WireBytes DevicesReply(size_t paths)
{
    std::vector<WireDevice> devices(10);
    for (size_t d = 0; d < devices.size(); d++) {
        devices[d].name = "array-" + std::to_string(d);
        devices[d].serial = "SN" + std::to_string(d);
        devices[d].secondaries = 2;
        for (int l = 0; l < 10; l++)
            devices[d].luns.push_back(WireLunWithPaths(paths / 100, (uint8_t)l));
    }
    WireBytes data = WireDeviceData(devices);
    return WireAllReply(data, (int32_t)devices.size(), (uint32_t)(WIRE_ALL_DATA + data.size()));
}

void Report(benchmark::State &state, const WireBytes &reply, size_t blockSize)
{
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)reply.size());
    state.counters["reply_bytes"] = (double)reply.size();
    state.counters["block_bytes"] = (double)blockSize;
    state.counters["block_per_reply"] = (double)blockSize / (double)reply.size();
}

void BM_DecodeDeviceList(benchmark::State &state)
{
    WireBytes reply = DevicesReply((size_t)state.range(0));
    WireBytes scratch(FervDecodeScratchSize((uint32_t)reply.size()));
    size_t blockSize = 0;
    for (auto _ : state) {
        int32_t count;
        FervDevice *list = nullptr;
        FERV_STATUS status = FervDecodeAllDevicesReply(reply.data(), (uint32_t)reply.size(), scratch.data(), &count,
                                                       &list, &blockSize, nullptr);
        if (status != FERV_STATUS_SUCCESS) {
            state.SkipWithError("reply refused");
            break;
        }
        benchmark::DoNotOptimize(list);
        free(list);
    }
    Report(state, reply, blockSize);
}
BENCHMARK(BM_DecodeDeviceList)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The same list decoded over the reply in its own block, as the queries do:
// each round lays a fresh copy of the reply into a fresh block (not timed).
void BM_DecodeDeviceListInPlace(benchmark::State &state)
{
    WireBytes reply = DevicesReply((size_t)state.range(0));
    uint32_t size = (uint32_t)reply.size();
    size_t room = FervDecodeRoomSize(size);
    size_t blockSize = 0;
    for (auto _ : state) {
        state.PauseTiming();
        uint8_t *block = (uint8_t *)UtilAllocateBlock(room + size + FervDecodeScratchSize(size), 0);
        memcpy(block + room, reply.data(), size);
        state.ResumeTiming();
        FervReplyHolder holder = {block, false};
        int32_t count;
        FervDevice *list = nullptr;
        FERV_STATUS status =
            FervDecodeAllDevicesReply(block + room, size, block + room + size, &count, &list, &blockSize, &holder);
        if (status != FERV_STATUS_SUCCESS || !holder.taken) {
            state.SkipWithError("reply refused or not decoded in place");
            break;
        }
        benchmark::DoNotOptimize(list);
        free(list);
    }
    Report(state, reply, blockSize);
}
BENCHMARK(BM_DecodeDeviceListInPlace)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_DecodeLunPaths(benchmark::State &state)
{
    WireBytes reply = WireLunReply(WireLunWithPaths((size_t)state.range(0)), 0);
    WireBytes scratch(FervDecodeScratchSize((uint32_t)reply.size()));
    size_t blockSize = 0;
    for (auto _ : state) {
        FervLun lun;
        FERV_STATUS status =
            FervDecodeLunReply(reply.data(), (uint32_t)reply.size(), scratch.data(), &lun, &blockSize);
        if (status != FERV_STATUS_SUCCESS) {
            state.SkipWithError("reply refused");
            break;
        }
        benchmark::DoNotOptimize(lun.pathList);
        free(lun.pathList);
    }
    Report(state, reply, blockSize);
}
BENCHMARK(BM_DecodeLunPaths)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

void BM_CopyBaseline(benchmark::State &state)
{
    WireBytes reply = DevicesReply((size_t)state.range(0));
    for (auto _ : state) {
        void *block = malloc(reply.size());
        memcpy(block, reply.data(), reply.size());
        benchmark::DoNotOptimize(block);
        free(block);
    }
    Report(state, reply, reply.size());
}
BENCHMARK(BM_CopyBaseline)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

} // namespace
