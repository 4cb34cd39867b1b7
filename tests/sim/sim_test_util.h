// Helpers shared by the emulator's tests: small topologies and requests.
#ifndef FERVSIM_TEST_UTIL_H
#define FERVSIM_TEST_UTIL_H

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "lib/ferv_wire.h"
#include "lib/fervlib.h"
#include "sim/handlers.h"
#include "sim/model.h"
#include "sim/topology.h"
#include "tests/support/wire_layout.h"

// One array, one LUN with four paths p0..p3 over two HBAs; p0 preferred.
// mode and lb set the LUN's pathing mode and load balancing.
inline std::string OneLunTopology(const char *mode = "asymmetric", bool lb = false)
{
    return std::string(R"({"hbas":[{"name":"h0"},{"name":"h1"}],
      "devices":[{"name":"arr","wwn":"11111111111111111111111111111111","secondaryEntries":1,
        "luns":[{"name":"lun0","wwn":"22222222222222222222222222222222","pathingMode":")") +
           mode + R"(","loadBalancing":)" + (lb ? "true" : "false") + R"(,"ioRate":0,
          "paths":[{"name":"p0","hba":"h0","preferred":true},{"name":"p1","hba":"h1"},
                   {"name":"p2","hba":"h0"},{"name":"p3","hba":"h1"}]}]}]})";
}

inline SimModel LoadText(const std::string &text)
{
    SimModel m;
    std::string error;
    if (!SimLoadTopologyText(text, &m, &error))
        m.devices.clear(); // tests assert on the error separately
    return m;
}

inline int PathIndex(const SimModel &m, const char *name)
{
    return SimFindPath(m, SimPathKey(name));
}

inline uint8_t StateOf(const SimModel &m, const char *name)
{
    return m.paths[(size_t)PathIndex(m, name)].state;
}

// A request buffer of `size` bytes, zero-filled.
inline std::vector<uint8_t> Buffer(size_t size)
{
    return std::vector<uint8_t>(size, 0);
}

inline SimReply Send(SimModel *m, uint32_t code, const std::vector<uint8_t> &buf, SimFaults *f = nullptr,
                     uint32_t outSize = 0xFFFFFFFFu)
{
    SimRequest q = {code, buf.data(), (uint32_t)buf.size(), outSize == 0xFFFFFFFFu ? (uint32_t)buf.size() : outSize};
    SimReply r;
    SimHandleRequest(m, f, q, &r);
    // The tests read the reply's bytes in one piece.
    SimReplyFlatten(&r);
    return r;
}

inline uint32_t StatusOf(const SimReply &r)
{
    return r.data.size() >= 4 ? FervLoad32(r.data.data()) : 0xDEADBEEFu;
}

inline std::vector<uint8_t> PathRequest(size_t size, const char *name, uint8_t code = 0, size_t codeAt = 0)
{
    std::vector<uint8_t> b = Buffer(size);
    FervStorePathName(b.data() + 4, name);
    if (codeAt)
        b[codeAt] = code;
    return b;
}

inline std::vector<uint8_t> KeyRequest(size_t size, const uint8_t *wwn, uint8_t code = 0, size_t codeAt = 0)
{
    std::vector<uint8_t> b = Buffer(size);
    memcpy(b.data() + 4, wwn, 16);
    if (codeAt)
        b[codeAt] = code;
    return b;
}

#endif
