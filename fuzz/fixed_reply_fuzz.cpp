// Arbitrary bytes as a driver's answers to the requests of fixed layout:
// parameters, the change wait, the path, LUN and device commands and the
// statistics. The first byte picks the call; the rest is the script of
// replies (see script_channel.h). Every call must return, read nothing
// outside its request, and leave the caller's record as its contract says:
// untouched unless it succeeded (the device command's counts once the
// request got through).
#include <stdint.h>
#include <string.h>

#include "fuzz/script_channel.h"
#include "lib/fervlib.h"

namespace {

volatile size_t sink;

bool Succeeded(FERV_STATUS status)
{
    return status == FERV_STATUS_SUCCESS || status == FERV_STATUS_ALREADY_ACTIVE;
}

// Fills a record with a pattern no reply is likely to leave.
template <typename T> void Mark(T *record)
{
    memset((void *)record, 0xA5, sizeof *record);
}

template <typename T> bool Marked(const T &record)
{
    T marked;
    Mark(&marked);
    return memcmp(&record, &marked, sizeof record) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    FuzzScriptStart(data + 1, size - 1);
    FervWwnKey key;
    memset(&key, 0x22, sizeof key);
    // A path name longer than a request carries: only 80 characters go out.
    static const char kLongName[] =
        "a-path-name-of-ninety-characters-that-runs-past-the-field-of-eighty-characters-to-here";
    const char *pathName = data[0] & 0x80 ? kLongName : "fuzzed-path";
    uint8_t command = (uint8_t)(data[0] >> 4);
    FERV_STATUS status = 0;

    switch (data[0] % 9) {
    case 0: {
        FervPublicParameters p;
        Mark(&p);
        status = FervGetPublicParameters(&p);
        Require(Succeeded(status) || Marked(p));
        sink = (size_t)p.pollRate + p.logLevel + (size_t)p.driverVersion[3];
        break;
    }
    case 1: {
        FervPublicParameters p = {5, 1, 0x7, {1, 2, 3, 4}};
        status = FervSetPublicParameters(&p);
        break;
    }
    case 2: {
        FervPrivateParameters p = {0x1e, 0x3, 0x0};
        status = FervSetPrivateParameters(&p);
        break;
    }
    case 3: {
        uint32_t key32 = 0xA5A5A5A5u;
        status = FervWaitForChange(&key32);
        Require(Succeeded(status) || key32 == 0xA5A5A5A5u);
        break;
    }
    case 4:
        status = FervIssuePathCommand(pathName, &command);
        break;
    case 5:
        status = FervIssueLUNCommand(&key, &command);
        break;
    case 6: {
        FervDeviceCommand cmd;
        Mark(&cmd);
        cmd.command = command;
        status = FervIssueDeviceCommand(&key, &cmd);
        Require(cmd.command == command);
        sink = (size_t)cmd.numSuccessful + (size_t)cmd.numFailed;
        break;
    }
    case 7: {
        FervStatistics stats;
        Mark(&stats);
        status = FervGetPathStatistics(pathName, &stats);
        Require(Succeeded(status) || Marked(stats));
        break;
    }
    default: {
        FervStatistics stats;
        Mark(&stats);
        status = FervGetLUNStatistics(&key, &stats);
        Require(Succeeded(status) || Marked(stats));
        break;
    }
    }
    // Whatever came back, the front end looks up its message.
    sink = FervStatusMessage(status) != nullptr;
    return 0;
}
