// Arbitrary bytes as the lines clients write to the emulator's admin socket,
// one per '\n', answered on a fresh model as the server answers them. The
// first byte picks the model and the number of held requests. Every answer
// is one JSON line with "ok" and "text", whatever the line was.
#include <stdint.h>

#include <string>

#include <nlohmann/json.hpp>

#include "fuzz/sim_fuzz.h"
#include "sim/service.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 16))
        return 0;
    SimModel m;
    SimService svc;
    FuzzService(data[0], &m, &svc);
    int held = data[0] >> 4;
    std::string rest(data + 1, data + size);
    size_t from = 0;
    for (int lines = 0; lines < 16 && from <= rest.size(); lines++) {
        size_t nl = rest.find('\n', from);
        std::string line = rest.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        SimCtlResult result;
        std::string answer = SimServeAdminLine(&svc, line, held, &result);
        Require(!answer.empty() && answer.back() == '\n' && answer.find('\n') == answer.size() - 1);
        nlohmann::json reply = nlohmann::json::parse(answer, nullptr, false);
        Require(reply.is_object() && reply["ok"].is_boolean() && reply["text"].is_string());
        Require(reply["ok"].get<bool>() == result.ok);
        Require(!(result.failHeld && result.dropHeld));
        SimDrainEvents(&svc);
        SimServiceTick(&svc, SimNow());
        if (nl == std::string::npos)
            break;
        from = nl + 1;
    }
    return 0;
}
