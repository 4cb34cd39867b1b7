// Writes the seed corpus of the topology fuzz targets: a few well-formed
// replies of each kind, small enough to mutate quickly. Run it from the
// source tree's root to refresh fuzz/corpus/ after a layout change:
//     build-fuzz/ferv_fuzz_make_corpus fuzz/corpus
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/support/topology_replies.h"

namespace {

bool Write(const std::string &path, const WireBytes &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        printf("cannot write %s\n", path.c_str());
        return false;
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return true;
}

WireBytes Prefixed(uint8_t selector, const WireBytes &reply)
{
    WireBytes out(1, selector);
    out.insert(out.end(), reply.begin(), reply.end());
    return out;
}

// A query input: the selector, then each reply with its 16-bit length.
WireBytes Script(uint8_t selector, const std::vector<WireBytes> &replies)
{
    WireBytes out(1, selector);
    for (const WireBytes &r : replies) {
        out.push_back((uint8_t)r.size());
        out.push_back((uint8_t)(r.size() >> 8));
        out.insert(out.end(), r.begin(), r.end());
    }
    return out;
}

std::vector<WireDevice> Devices()
{
    WireDevice a;
    a.name = "array-a";
    a.firmware = "4.2";
    a.ip = "192.0.2.1";
    a.serial = "SN1";
    a.wwnSeed = 0x10;
    a.luns = {WireLunWithPaths(2, 0x20), WireLunWithPaths(0, 0x30)};
    a.secondaries = 2;
    WireDevice b;
    b.name = "array-b";
    b.wwnSeed = 0x50;
    b.luns = {WireLunWithPaths(1, 0x60)};
    return {a, b};
}

// A reply buffer of exactly its contents' size.
uint32_t Tight(size_t header, const WireBytes &data)
{
    return (uint32_t)(header + data.size());
}

} // namespace

int main(int argc, char **argv)
{
    std::string root = argc > 1 ? argv[1] : "fuzz/corpus";
    std::string decode = root + "/topology_decode/";
    std::string query = root + "/topology_query/";

    WireBytes hbas = WireHbaData(3, 12);
    WireBytes devices = WireDeviceData(Devices());
    WireBytes one = WireDeviceData({Devices()[1]});
    WireBytes hbaReply = WireAllReply(hbas, 3, Tight(16, hbas));
    WireBytes devicesReply = WireAllReply(devices, 2, Tight(16, devices));
    WireBytes deviceReply = WireDeviceReply(one, Tight(32, one));
    WireBytes lunReply = WireLunReply(WireLunWithPaths(3), 0);
    WireBytes bareLunReply = WireLunReply(WireLun(), 0);
    WireBytes pathReply(WIRE_PATHQ_PATH + WIRE_PATH_RECORD_SIZE, 0);
    WirePath path;
    path.name = "fuzzed-path";
    path.flags = 0x4;
    path.hba = "hba0";
    WirePutPath(pathReply, WIRE_PATHQ_PATH, path);

    // Asks for a larger buffer: status 21 and the size it needs (the path
    // request has no size word and is simply asked again).
    auto tooSmall = [](size_t sizeOffset, uint32_t size, int32_t count) {
        WireBytes r(sizeOffset == WIRE_LUNQ_SIZE ? 24 : 16, 0);
        WirePut32(r, WIRE_REQ_STATUS, 21);
        if (sizeOffset != 0)
            WirePut32(r, sizeOffset, size);
        if (sizeOffset == WIRE_ALL_SIZE)
            WirePut32(r, WIRE_ALL_COUNT, (uint32_t)count);
        return r;
    };

    bool ok = Write(decode + "hbas", Prefixed(0, hbaReply)) && Write(decode + "all-devices", Prefixed(1, devicesReply)) &&
              Write(decode + "device", Prefixed(2, deviceReply)) && Write(decode + "lun", Prefixed(3, lunReply)) &&
              Write(decode + "lun-without-paths", Prefixed(3, bareLunReply)) &&
              Write(query + "all-info",
                    Script(0, {tooSmall(WIRE_ALL_SIZE, 5000, 3), hbaReply, devicesReply})) &&
              Write(query + "device", Script(1, {deviceReply})) &&
              Write(query + "lun", Script(2, {tooSmall(WIRE_LUNQ_SIZE, 4200, 0), lunReply})) &&
              Write(query + "path", Script(3, {tooSmall(0, 0, 0), pathReply}));
    return ok ? 0 : 1;
}
