// Writes the seed corpus of every fuzz target: for each, well-formed inputs
// and malformed ones (links and counts that point outside a reply, replies
// cut short, wrong magic, sizes over the limit, numbers that wrap, words too
// many), so that the refusal paths are reached from the first run instead
// of after minutes of mutation. Run it from the source tree's root to
// refresh fuzz/corpus/ after a layout change:
//     build-fuzz/ferv_fuzz_make_corpus fuzz/corpus
#include <stdio.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/ferv_wire.h"
#include "proto/ferv_proto.h"
#include "tests/support/topology_replies.h"

namespace {

std::string g_root;
bool g_ok = true;

void Write(const std::string &target, const std::string &name, const WireBytes &bytes)
{
    std::string dir = g_root + "/" + target;
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        printf("cannot write %s\n", path.c_str());
        g_ok = false;
        return;
    }
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

WireBytes Text(const std::string &text)
{
    return WireBytes(text.begin(), text.end());
}

WireBytes Prefixed(uint8_t selector, const WireBytes &rest)
{
    WireBytes out(1, selector);
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}

// A script of replies for the scripted channel: each with its 16-bit
// length; kFailedSend as a "reply" fails that send (length 0xFFFF).
const WireBytes kFailedSend = {0xFF};

WireBytes Script(uint8_t selector, const std::vector<WireBytes> &replies)
{
    WireBytes out(1, selector);
    for (const WireBytes &r : replies) {
        if (r.size() == 1 && r[0] == 0xFF) {
            out.push_back(0xFF);
            out.push_back(0xFF);
            out.push_back(0); // the channel's IO_FAILED
            continue;
        }
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

// Status 21 and the size a growing request must be sent with next (the path
// request has no size word and is simply asked again).
WireBytes TooSmall(size_t sizeOffset, uint32_t size, int32_t count)
{
    WireBytes r(sizeOffset == WIRE_LUNQ_SIZE ? 24 : 16, 0);
    WirePut32(r, WIRE_REQ_STATUS, 21);
    if (sizeOffset != 0)
        WirePut32(r, sizeOffset, size);
    if (sizeOffset == WIRE_ALL_SIZE)
        WirePut32(r, WIRE_ALL_COUNT, (uint32_t)count);
    return r;
}

void TopologyReplies()
{
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

    // Malformed replies: a LUN list outside the reply, a count the links
    // cannot meet, a path list that loops, a reply cut short, a data length
    // past the end, a negative count, a link into the header.
    WireBytes outside = devicesReply;
    WirePut32(outside, WIRE_ALL_DATA + WIRE_DEVICE_LUN_LIST, 0x7FFFFFF0u);
    WireBytes overCounted = devicesReply;
    WirePut32(overCounted, WIRE_ALL_COUNT, 40);
    WireBytes looping = lunReply;
    WirePut32(looping, WIRE_LUNQ_LUN + WIRE_LUN_RECORD_SIZE + WIRE_REC_NEXT, 0);
    WireBytes cut(devicesReply.begin(), devicesReply.begin() + (long)devicesReply.size() / 2);
    WireBytes longData = deviceReply;
    WirePut32(longData, WIRE_DEV_DATA_LENGTH, 0x00100000);
    WireBytes negative = hbaReply;
    WirePut32(negative, WIRE_ALL_COUNT, 0xFFFFFFFFu);
    WireBytes backwards = lunReply;
    WirePut32(backwards, WIRE_LUNQ_LUN + WIRE_LUN_PATH_LIST, (uint32_t)-WIRE_LUNQ_LUN);

    const char *d = "topology_decode";
    Write(d, "hbas", Prefixed(0, hbaReply));
    Write(d, "all-devices", Prefixed(1, devicesReply));
    Write(d, "device", Prefixed(2, deviceReply));
    Write(d, "lun", Prefixed(3, lunReply));
    Write(d, "lun-without-paths", Prefixed(3, bareLunReply));
    Write(d, "bad-lun-list-outside", Prefixed(1, outside));
    Write(d, "bad-count-past-links", Prefixed(1, overCounted));
    Write(d, "bad-path-loop", Prefixed(3, looping));
    Write(d, "bad-cut-short", Prefixed(1, cut));
    Write(d, "bad-data-length", Prefixed(2, longData));
    Write(d, "bad-negative-count", Prefixed(0, negative));
    Write(d, "bad-link-into-header", Prefixed(3, backwards));

    const char *q = "topology_query";
    Write(q, "all-info", Script(0, {TooSmall(WIRE_ALL_SIZE, 5000, 3), hbaReply, devicesReply}));
    Write(q, "device", Script(1, {deviceReply}));
    Write(q, "lun", Script(2, {TooSmall(WIRE_LUNQ_SIZE, 4200, 0), lunReply}));
    Write(q, "path", Script(3, {TooSmall(0, 0, 0), pathReply}));
    Write(q, "bad-device-phase-garbled", Script(0, {hbaReply, outside}));
    Write(q, "bad-too-small-for-ever",
          Script(2, {TooSmall(WIRE_LUNQ_SIZE, 24, 0), TooSmall(WIRE_LUNQ_SIZE, 24, 0),
                     TooSmall(WIRE_LUNQ_SIZE, 24, 0)}));
    Write(q, "bad-size-over-limit", Script(1, {TooSmall(WIRE_DEV_SIZE, 0x10000001u, 0)}));
    Write(q, "bad-send-fails-midway", Script(0, {TooSmall(WIRE_ALL_SIZE, 5000, 3), kFailedSend}));
    Write(q, "bad-reply-cut-short", Script(3, {WireBytes(pathReply.begin(), pathReply.begin() + 90)}));
}

// Replies of the fixed-layout requests: status and fields, a refusal, a
// reply too short to hold its fields, a failing send.
void FixedReplies()
{
    auto reply = [](size_t size, uint32_t status, std::vector<std::pair<size_t, uint32_t>> words) {
        WireBytes r(size, 0);
        WirePut32(r, WIRE_REQ_STATUS, status);
        for (auto &w : words)
            WirePut32(r, w.first, w.second);
        return r;
    };
    const char *f = "fixed_reply";
    Write(f, "public-params",
          Script(0, {reply(FERV_REQ_SIZE_PUBLIC_PARAMS, 0,
                           {{4, 5}, {8, 1}, {12, 7}, {16, 2}, {20, 6}, {24, 1}, {28, 14}})}));
    Write(f, "set-public-refused", Script(1, {reply(FERV_REQ_SIZE_PUBLIC_PARAMS, 1, {})}));
    Write(f, "set-private", Script(2, {reply(FERV_REQ_SIZE_PRIVATE_PARAMS, 0, {})}));
    Write(f, "wait", Script(3, {reply(FERV_REQ_SIZE_WAIT, 0, {{FERV_WAIT_KEY, 9}})}));
    Write(f, "path-command-already-active", Script(4, {reply(FERV_REQ_SIZE_PATH_CMD, 14, {})}));
    Write(f, "lun-command-failed", Script(5, {reply(FERV_REQ_SIZE_LUN_CMD, 18, {})}));
    Write(
        f, "device-command-counts",
        Script(6, {reply(FERV_REQ_SIZE_DEVICE_CMD, 22, {{FERV_CMD_DEV_SUCCESSFUL, 2}, {FERV_CMD_DEV_FAILED, 1}})}));
    Write(f, "path-stats",
          Script(7, {reply(FERV_REQ_SIZE_PATH_STATS, 0, {{FERV_STATS_PATH, 1}, {FERV_STATS_PATH + 12, 4}})}));
    Write(f, "lun-stats", Script(8, {reply(FERV_REQ_SIZE_LUN_STATS, 0, {{FERV_STATS_LUN + 4, 3}})}));
    Write(f, "bad-params-cut-short", Script(0, {reply(6, 0, {})}));
    Write(f, "bad-status-out-of-range", Script(0x88, {reply(FERV_REQ_SIZE_LUN_STATS, 0xFFFFFFF0u, {})}));
    Write(f, "bad-wait-send-fails", Script(3, {kFailedSend}));
    Write(f, "bad-device-command-no-reply", Script(6, {}));
}

WireBytes ReplyFrame(uint32_t type, uint32_t error, const WireBytes &data, uint32_t magic = FERV_FRAME_MAGIC,
                     int32_t claimed = -1)
{
    WireBytes f(FERV_FRAME_REP_HEADER_SIZE, 0);
    FervFrameStoreReply(f.data(), type, error, claimed < 0 ? (uint32_t)data.size() : (uint32_t)claimed);
    FervStore32(f.data() + FERV_FRAME_REP_MAGIC, magic);
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

WireBytes Concat(std::vector<WireBytes> parts)
{
    WireBytes out;
    for (const WireBytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Pieces of an overlapped conversation: each with its 16-bit length.
WireBytes Pieces(uint8_t mode, const std::vector<WireBytes> &pieces)
{
    WireBytes out(1, mode);
    for (const WireBytes &p : pieces) {
        out.push_back((uint8_t)p.size());
        out.push_back((uint8_t)(p.size() >> 8));
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

void ReplyFrames()
{
    const uint8_t sync64 = 2 << 2, overlapped64 = 1 | 2 << 2, overlappedEvent = 1 | 2 | 3 << 2;
    WireBytes data(32, 0x11);
    WireBytes complete = ReplyFrame(FERV_FRAME_COMPLETE, 0, data);
    WireBytes pending = ReplyFrame(FERV_FRAME_PENDING, 0, {});
    const char *r = "reply_frame";
    Write(r, "complete", Prefixed(sync64, complete));
    Write(r, "refused", Prefixed(sync64, ReplyFrame(FERV_FRAME_COMPLETE, 1167, {})));
    Write(r, "pended-then-complete", Prefixed(sync64, Concat({pending, complete})));
    Write(r, "overlapped-two-requests", Pieces(overlapped64, {complete, Concat({pending, complete})}));
    Write(r, "overlapped-event-held", Pieces(overlappedEvent, {pending, complete}));
    Write(r, "bad-magic", Prefixed(sync64, ReplyFrame(FERV_FRAME_COMPLETE, 0, data, 0x12345678)));
    Write(r, "bad-type", Prefixed(sync64, ReplyFrame(3, 0, data)));
    Write(r, "bad-more-than-the-buffer", Prefixed(2 << 2, ReplyFrame(FERV_FRAME_COMPLETE, 0, WireBytes(65, 1))));
    Write(r, "bad-complete-says-pending", Prefixed(sync64, ReplyFrame(FERV_FRAME_COMPLETE, 997, {})));
    Write(r, "bad-pending-with-bytes", Prefixed(sync64, ReplyFrame(FERV_FRAME_PENDING, 0, data)));
    Write(r, "bad-body-cut-short", Prefixed(sync64, ReplyFrame(FERV_FRAME_COMPLETE, 0, data, FERV_FRAME_MAGIC, 40)));
    Write(r, "bad-pended-twice", Prefixed(sync64, Concat({pending, pending})));
    Write(r, "bad-spoke-out-of-turn", Pieces(overlapped64, {Concat({complete, complete}), complete}));
}

WireBytes RequestFrame(uint32_t code, const WireBytes &body, uint32_t outSize, uint32_t magic = FERV_FRAME_MAGIC,
                       uint32_t version = FERV_FRAME_VERSION, int64_t claimed = -1)
{
    WireBytes f(FERV_FRAME_REQ_HEADER_SIZE, 0);
    FervFrameStoreRequest(f.data(), code, claimed < 0 ? (uint32_t)body.size() : (uint32_t)claimed, outSize);
    FervStore32(f.data() + FERV_FRAME_REQ_MAGIC, magic);
    FervStore32(f.data() + FERV_FRAME_REQ_VERSION, version);
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// A request of the emulator's built-in SAN: a key of its first LUN or
// device, a name of its first path.
WireBytes Keyed(size_t size, const char *wwnHex, uint8_t code = 0, size_t codeAt = 0)
{
    WireBytes b(size, 0);
    for (size_t i = 0; i < 16; i++)
        b[4 + i] = (uint8_t)std::stoi(std::string(wwnHex + 2 * i, 2), nullptr, 16);
    if (codeAt)
        b[codeAt] = code;
    return b;
}

WireBytes Named(size_t size, const char *name, uint8_t code = 0, size_t codeAt = 0)
{
    WireBytes b(size, 0);
    FervStorePathName(b.data() + 4, name);
    if (codeAt)
        b[codeAt] = code;
    return b;
}

void SimRequests()
{
    const char *lun = "600a0b80002f1e2c00004d3c60100000";
    const char *device = "600a0b80002f1e2c00004d3c50a10001";
    WireBytes wait(FERV_REQ_SIZE_WAIT, 0);
    FervStore32(wait.data() + FERV_WAIT_KEY, 1);
    auto frame = [](uint32_t code, const WireBytes &body) {
        return RequestFrame(code, body, (uint32_t)body.size());
    };
    WireBytes topology = Concat(
        {frame(IOCTL_FERV_GET_ALL_HBAS, WireBytes(4096, 0)), frame(IOCTL_FERV_GET_ALL_DEVICES, WireBytes(4096, 0)),
         frame(IOCTL_FERV_GET_DEVICE_INFO, Keyed(4096, device)), frame(IOCTL_FERV_GET_LUN_INFO, Keyed(4096, lun)),
         frame(IOCTL_FERV_GET_PATH_INFO, Named(4096, "hba0-t0-lun0"))});
    WireBytes commands = Concat({frame(IOCTL_FERV_ISSUE_PATH_CMD, Named(88, "hba1-t1-lun0", 1, FERV_CMD_PATH_CODE)),
                                 frame(IOCTL_FERV_ISSUE_LUN_CMD, Keyed(24, lun, 1, FERV_CMD_KEY_CODE)),
                                 frame(IOCTL_FERV_ISSUE_DEVICE_CMD, Keyed(32, device, 1, FERV_CMD_KEY_CODE)),
                                 frame(IOCTL_FERV_GET_PATH_STATS, Named(104, "hba0-t0-lun0")),
                                 frame(IOCTL_FERV_GET_LUN_STATS, Keyed(36, lun))});
    WireBytes params(FERV_REQ_SIZE_PUBLIC_PARAMS, 0xFF);
    FervStore32(params.data() + FERV_PARAMS_WORDS, 10);
    WireBytes parameters = Concat({frame(IOCTL_FERV_GET_PUBLIC_PARAMETERS, WireBytes(32, 0)),
                                   frame(IOCTL_FERV_SET_PUBLIC_PARAMETERS, params),
                                   frame(IOCTL_FERV_SET_PRIVATE_PARAMETERS, WireBytes(16, 0))});
    const char *s = "sim_request";
    // First byte: model and endpoint; second: the fault set.
    WireBytes plain = {0, 0}, garbled = {0, 1}, pended = {0, 4}, reverse = {1, 3};
    Write(s, "topology", Concat({plain, topology}));
    Write(s, "topology-garbled", Concat({garbled, topology}));
    Write(s, "topology-reverse-too-small", Concat({reverse, topology}));
    Write(s, "commands", Concat({plain, commands}));
    Write(s, "parameters", Concat({plain, parameters}));
    Write(s, "wait-held-then-more", Concat({pended, frame(IOCTL_FERV_WAIT_FOR_CHANGE, wait), commands}));
    Write(s, "bad-magic",
          Concat({plain, RequestFrame(IOCTL_FERV_GET_PUBLIC_PARAMETERS, WireBytes(32, 0), 32, 0x46455256)}));
    Write(
        s, "bad-version",
        Concat({plain, RequestFrame(IOCTL_FERV_GET_PUBLIC_PARAMETERS, WireBytes(32, 0), 32, FERV_FRAME_MAGIC, 2)}));
    Write(s, "bad-size-over-limit", Concat({plain, RequestFrame(IOCTL_FERV_GET_ALL_DEVICES, {}, 0x10000001u)}));
    Write(s, "bad-body-cut-short",
          Concat({plain, RequestFrame(IOCTL_FERV_GET_LUN_INFO, Keyed(40, lun), 4096, FERV_FRAME_MAGIC,
                                      FERV_FRAME_VERSION, 4096)}));
    Write(s, "bad-layouts-too-small",
          Concat({plain, RequestFrame(IOCTL_FERV_ISSUE_PATH_CMD, WireBytes(40, 0), 40),
                  RequestFrame(IOCTL_FERV_GET_ALL_HBAS, WireBytes(8, 0), 2),
                  RequestFrame(IOCTL_FERV_GET_PATH_INFO, Named(4096, "x"), 100)}));
    Write(s, "bad-unknown-code", Concat({plain, RequestFrame(0x85002100, WireBytes(8, 0), 8)}));
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void SimTopologies(const std::string &source)
{
    const char *t = "sim_topology";
    Write(t, "small", Prefixed(0, Text(ReadFile(source + "/examples/topologies/small.json"))));
    Write(t, "unusual", Prefixed(0, Text(ReadFile(source + "/examples/topologies/unusual.json"))));
    Write(t, "minimal", Prefixed(0, Text(R"({"hbas":[{"name":"h","wwpn":"21:00:00:0a:1f:3a:1b:00"}],"devices":[
        {"name":"d","wwn":"11111111111111111111111111111111","luns":[{"name":"l","wwn":"22222222222222222222222222222222",
        "pathingMode":"symmetric","loadBalancing":true,"paths":[{"name":"p","hba":"h","state":"transition"}]}]}]})")));
    Write(t, "bad-negative-numbers", Prefixed(0, Text(R"({"parameters":{"logLevel":-1,"pollRate":"-3"},"hbas":[],
        "devices":[{"name":"d","wwn":"11111111111111111111111111111111","luns":[{"name":"l",
        "wwn":"22222222222222222222222222222222","ioRate":-1,"pathingMode":-2}]}]})")));
    Write(t, "bad-wwpn", Prefixed(0, Text(R"({"hbas":[{"name":"h","wwpn":"zzzzzzzzzzzzzzzz"}],"devices":[]})")));
    Write(t, "bad-huge-number",
          Prefixed(0, Text(R"({"parameters":{"paramT":18446744073709551615},"hbas":[],"devices":[]})")));
    Write(t, "bad-types", Prefixed(0, Text(R"({"hbas":{},"devices":[1,"x",null,{"name":7}]})")));
    Write(t, "bad-nesting", Prefixed(0, Text(std::string(200, '[') + std::string(200, ']'))));
    Write(t, "bad-duplicate-names", Prefixed(0, Text(R"({"hbas":[{"name":"h"}],"devices":[{"name":"d",
        "wwn":"11111111111111111111111111111111","luns":[{"name":"l","wwn":"22222222222222222222222222222222",
        "paths":[{"name":"p","hba":"h"},{"name":"p","hba":"h"}]}]}]})")));
    Write(t, "shape", Prefixed(1, Text("3:4:5")));
    Write(t, "bad-shape-blank", Prefixed(1, Text(" 1:1:1")));
    Write(t, "bad-shape-no-paths-many-luns", Prefixed(1, Text("100000:100000:0")));
    Write(t, "bad-shape-paths-per-lun", Prefixed(1, Text("1:1:2000000")));
}

void SimAdminLines()
{
    const char *a = "sim_admin";
    Write(a, "show", Prefixed(0, Text("{\"args\":[\"show\"]}\n{\"args\":[\"show\",\"--json\"]}")));
    Write(a, "fabric",
          Prefixed(2, Text("{\"args\":[\"link-down\",\"hba0-t0-lun0\",\"hba1-t0-lun0\"]}\n"
                           "{\"args\":[\"link-up\",\"--hba\",\"HBA0-KF82002\"]}\n{\"args\":[\"poll\"]}")));
    Write(a, "faults",
          Prefixed(0x30, Text("{\"args\":[\"answer\",\"GET_ALL_DEVICES\",\"--garble\",\"2\"]}\n"
                              "{\"args\":[\"too-small\",\"GET_LUN_INFO\",\"2\",\"--size\",\"9000\"]}\n"
                              "{\"args\":[\"refuse\",\"all\",\"5\"]}\n{\"args\":[\"faults\"]}\n"
                              "{\"args\":[\"fail-pended\",\"--drop\"]}\n{\"args\":[\"clear\"]}")));
    Write(a, "counters",
          Prefixed(1, Text("{\"args\":[\"counter\",\"add\",\"d000-l0000-p0\",\"ioErrors\",\"0xffffffff\"]}\n"
                           "{\"args\":[\"io\",\"pause\"]}")));
    Write(a, "bad-json", Prefixed(0, Text("{\"args\":[\"show\"\n[]\n{\"args\":\"show\"}\n{\"args\":[1,2]}\n\n")));
    Write(a, "bad-extra-words",
          Prefixed(0, Text("{\"args\":[\"poll\",\"now\"]}\n{\"args\":[\"clear\",\"x\"]}\n"
                           "{\"args\":[\"too-small\",\"GET_LUN_INFO\",\"--size\"]}")));
    Write(a, "bad-numbers",
          Prefixed(0, Text("{\"args\":[\"refuse\",\"control\",\"-5\"]}\n"
                           "{\"args\":[\"answer\",\"0x85002040\",\"--win32\",\"997\"]}\n"
                           "{\"args\":[\"counter\",\"set\",\"hba0-t0-lun0\",\"ioErrors\",\" 7\"]}")));
}

} // namespace

int main(int argc, char **argv)
{
    g_root = argc > 1 ? argv[1] : "fuzz/corpus";
    std::string source = argc > 2 ? argv[2] : ".";
    TopologyReplies();
    FixedReplies();
    ReplyFrames();
    SimRequests();
    SimTopologies(source);
    SimAdminLines();
    return g_ok ? 0 : 1;
}
