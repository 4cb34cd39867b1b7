// Arbitrary bytes as a topology file, or (first byte odd) as the shape of
// --generate. A file that loads must write itself out in the same format,
// load back from that, and write out the same again (ctl show --json is
// documented as loadable with --topology); its model must serve its device
// list whatever its layout. A shape must be refused or make a model of
// exactly its size.
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz/sim_fuzz.h"
#include "lib/ferv_wire.h"
#include "sim/handlers.h"

namespace {

// The device list in two steps, as the library asks for it.
void ServeDeviceList(SimModel *m)
{
    std::vector<uint8_t> request(4096, 0);
    SimRequest q = {IOCTL_FERV_GET_ALL_DEVICES, request.data(), (uint32_t)request.size(), (uint32_t)request.size()};
    SimReply r;
    SimHandleRequest(m, nullptr, q, &r);
    Require(r.data.size() >= 16 && r.data.size() <= request.size());
    if (FervLoad32(r.data.data()) != FERV_STATUS_BUFFER_TOO_SMALL)
        return;
    uint32_t need = FervLoad32(r.data.data() + FERV_ALL_SIZE);
    if (need > (1u << 22))
        return; // large models are served the same way; keep runs fast
    request.assign(need, 0);
    q = {IOCTL_FERV_GET_ALL_DEVICES, request.data(), need, need};
    SimHandleRequest(m, nullptr, q, &r);
    Require(r.data.size() <= need && FervLoad32(r.data.data()) == FERV_STATUS_SUCCESS);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 16))
        return 0;
    std::string text(data + 1, data + size);
    std::string error;
    if (data[0] & 1) {
        SimShape shape;
        if (!SimParseShape(text, &shape, &error)) {
            Require(!error.empty());
            return 0;
        }
        Require(shape.devices * shape.luns <= SIM_MAX_GENERATED &&
                shape.devices * shape.luns * shape.paths <= SIM_MAX_GENERATED);
        if (shape.devices * shape.luns * (shape.paths + 1) > 2000)
            return 0;
        SimModel m;
        Require(SimGenerateTopology(text, &m, &error));
        Require(m.devices.size() == (size_t)shape.devices && m.luns.size() == (size_t)(shape.devices * shape.luns) &&
                m.paths.size() == (size_t)(shape.devices * shape.luns * shape.paths));
        ServeDeviceList(&m);
        return 0;
    }

    SimModel m;
    if (!SimLoadTopologyText(text, &m, &error)) {
        Require(!error.empty());
        return 0;
    }
    std::string written = SimTopologyJson(m);
    (void)SimTopologyTree(m);
    ServeDeviceList(&m);
    // Texts that are not UTF-8 are written with U+FFFD in their place, so
    // two names may meet; anything else must come back as it went out.
    SimModel back;
    bool reloaded = SimLoadTopologyText(written, &back, &error);
    if (written.find("\xef\xbf\xbd") == std::string::npos && text.find("\xef\xbf\xbd") == std::string::npos)
        Require(reloaded);
    if (reloaded) {
        back.changeCounter = m.changeCounter;
        Require(SimTopologyJson(back) == written);
    }
    return 0;
}
