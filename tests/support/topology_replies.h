// Topology replies as the driver writes them, for the unit tests, the fuzz
// seed corpus and the decode benchmark: records packed depth first (a
// device, its LUNs each followed by its paths, its secondary entries, then
// the next device), tied together with self-relative links, and wrapped in
// the header of the request they answer. Offsets are the tests' own,
// written out by hand (wire_layout.h), so a fault in the library's layout
// header shows up as a test failure rather than as two wrong sides agreeing.
#ifndef FERV_TOPOLOGY_REPLIES_H
#define FERV_TOPOLOGY_REPLIES_H

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lib/fervlib.h"
#include "proto/ferv_proto.h"
#include "tests/support/wire_layout.h"

typedef std::vector<uint8_t> WireBytes;

struct WirePath {
    std::string name;
    uint8_t state = 2;
    uint32_t flags = 0;
    std::string hba;
};

struct WireLun {
    uint8_t wwnSeed = 0; // WWN bytes are wwnSeed, wwnSeed+1, ...
    std::string name;
    uint8_t loadBalancing = 1;
    uint32_t pathingMode = 1;
    std::vector<WirePath> paths;
};

struct WireDevice {
    std::string name, firmware, ip, serial;
    uint8_t wwnSeed = 0;
    std::vector<WireLun> luns;
    int secondaries = 0;
};

// Size of a secondary entry as these replies lay it out: the link and some
// bytes nobody reads.
enum { WIRE_SECONDARY_SIZE = 12 };

inline void WirePut32(WireBytes &bytes, size_t at, uint32_t value)
{
    if (bytes.size() < at + 4)
        bytes.resize(at + 4);
    FervStore32(&bytes[at], value);
}

inline uint32_t WireGet32(const WireBytes &bytes, size_t at)
{
    return FervLoad32(&bytes[at]);
}

// Writes a text into its span: its first `span` characters, zero-filled.
inline void WirePutText(WireBytes &bytes, size_t at, const std::string &text, size_t span)
{
    if (bytes.size() < at + span)
        bytes.resize(at + span);
    for (size_t i = 0; i < span; i++)
        bytes[at + i] = i < text.size() ? (uint8_t)text[i] : 0;
}

// The link word at holder+field designates the record at target.
inline void WireLink(WireBytes &bytes, size_t holder, size_t field, size_t target)
{
    WirePut32(bytes, holder + field, (uint32_t)(int32_t)((int64_t)target - (int64_t)holder));
}

inline void WireFillWwn(WireBytes &bytes, size_t at, uint8_t seed)
{
    if (bytes.size() < at + 16)
        bytes.resize(at + 16);
    for (size_t i = 0; i < 16; i++)
        bytes[at + i] = (uint8_t)(seed + i);
}

inline void WirePutPath(WireBytes &bytes, size_t at, const WirePath &path)
{
    if (bytes.size() < at + WIRE_PATH_RECORD_SIZE)
        bytes.resize(at + WIRE_PATH_RECORD_SIZE);
    WirePutText(bytes, at + WIRE_PATH_NAME, path.name, 80);
    bytes[at + WIRE_PATH_NAME + 80] = 0;
    bytes[at + WIRE_PATH_STATE] = path.state;
    WirePut32(bytes, at + WIRE_PATH_FLAGS, path.flags);
    WirePutText(bytes, at + WIRE_PATH_HBA_NAME, path.hba, WIRE_PATH_HBA_NAME_SPAN);
}

// Writes a LUN at `at` and its paths right behind it. Returns the end.
inline size_t WireLayLun(WireBytes &bytes, size_t at, const WireLun &lun)
{
    if (bytes.size() < at + WIRE_LUN_RECORD_SIZE)
        bytes.resize(at + WIRE_LUN_RECORD_SIZE);
    WireFillWwn(bytes, at + WIRE_LUN_WWN, lun.wwnSeed);
    WirePutText(bytes, at + WIRE_LUN_NAME, lun.name, WIRE_LUN_NAME_SPAN);
    WirePut32(bytes, at + WIRE_LUN_PATH_COUNT, (uint32_t)lun.paths.size());
    bytes[at + WIRE_LUN_LOAD_BALANCING] = lun.loadBalancing;
    WirePut32(bytes, at + WIRE_LUN_PATHING_MODE, lun.pathingMode);
    size_t end = at + WIRE_LUN_RECORD_SIZE;
    size_t prev = 0;
    for (size_t i = 0; i < lun.paths.size(); i++) {
        WirePutPath(bytes, end, lun.paths[i]);
        if (i == 0)
            WireLink(bytes, at, WIRE_LUN_PATH_LIST, end);
        else
            WireLink(bytes, prev, WIRE_REC_NEXT, end);
        prev = end;
        end += WIRE_PATH_RECORD_SIZE;
    }
    return end;
}

// Writes the devices from `at` on, each followed by its LUN tree and its
// secondary entries. Returns the end.
inline size_t WireLayDevices(WireBytes &bytes, size_t at, const std::vector<WireDevice> &devices)
{
    size_t prevDevice = 0;
    for (size_t d = 0; d < devices.size(); d++) {
        const WireDevice &dev = devices[d];
        size_t devAt = at;
        if (bytes.size() < devAt + WIRE_DEVICE_RECORD_SIZE)
            bytes.resize(devAt + WIRE_DEVICE_RECORD_SIZE);
        if (d > 0)
            WireLink(bytes, prevDevice, WIRE_REC_NEXT, devAt);
        WirePutText(bytes, devAt + WIRE_DEVICE_NAME, dev.name, WIRE_DEVICE_NAME_SPAN);
        WirePutText(bytes, devAt + WIRE_DEVICE_FIRMWARE, dev.firmware, WIRE_DEVICE_FIRMWARE_SPAN);
        WirePutText(bytes, devAt + WIRE_DEVICE_IP, dev.ip, WIRE_DEVICE_IP_SPAN);
        WirePutText(bytes, devAt + WIRE_DEVICE_SERIAL, dev.serial, WIRE_DEVICE_SERIAL_SPAN);
        WireFillWwn(bytes, devAt + WIRE_DEVICE_WWN, dev.wwnSeed);
        WirePut32(bytes, devAt + WIRE_DEVICE_LUN_COUNT, (uint32_t)dev.luns.size());
        WirePut32(bytes, devAt + WIRE_DEVICE_SECONDARY_COUNT, (uint32_t)dev.secondaries);
        at = devAt + WIRE_DEVICE_RECORD_SIZE;
        size_t prevLun = 0;
        for (size_t l = 0; l < dev.luns.size(); l++) {
            if (l == 0)
                WireLink(bytes, devAt, WIRE_DEVICE_LUN_LIST, at);
            else
                WireLink(bytes, prevLun, WIRE_REC_NEXT, at);
            prevLun = at;
            at = WireLayLun(bytes, at, dev.luns[l]);
        }
        for (int s = 0; s < dev.secondaries; s++) {
            WirePut32(bytes, at + WIRE_SECONDARY_SIZE - 4, 0xEEEEEEEEu);
            if (s == 0)
                WireLink(bytes, devAt, WIRE_DEVICE_SECONDARY_LIST, at);
            else
                WireLink(bytes, at - WIRE_SECONDARY_SIZE, WIRE_REC_NEXT, at);
            at += WIRE_SECONDARY_SIZE;
        }
        prevDevice = devAt;
    }
    return at;
}

// An all-HBA or all-device reply: the header, then `data` from offset 16,
// in a buffer of `size` bytes (at least large enough for the data).
inline WireBytes WireAllReply(const WireBytes &data, int32_t count, uint32_t size = 4096, uint32_t status = 0)
{
    WireBytes reply(size < WIRE_ALL_DATA + data.size() ? WIRE_ALL_DATA + data.size() : size, 0);
    WirePut32(reply, WIRE_REQ_STATUS, status);
    WirePut32(reply, WIRE_ALL_SIZE, (uint32_t)reply.size());
    WirePut32(reply, WIRE_ALL_DATA_LENGTH, (uint32_t)data.size());
    WirePut32(reply, WIRE_ALL_COUNT, (uint32_t)count);
    std::copy(data.begin(), data.end(), reply.begin() + WIRE_ALL_DATA);
    return reply;
}

// HBA list data: `count` records of `recordSize` bytes, linked in order.
inline WireBytes WireHbaData(int count, size_t recordSize = 8)
{
    WireBytes data(count * recordSize, 0);
    for (int i = 0; i + 1 < count; i++)
        WirePut32(data, i * recordSize, (uint32_t)recordSize);
    for (int i = 0; i < count; i++)
        for (size_t b = 4; b < recordSize; b++)
            data[i * recordSize + b] = (uint8_t)(0xA0 + i);
    return data;
}

inline WireBytes WireDeviceData(const std::vector<WireDevice> &devices)
{
    WireBytes data;
    WireLayDevices(data, 0, devices);
    return data;
}

// A device reply: key at 4, size word at 20, data length at 24, data from 32.
inline WireBytes WireDeviceReply(const WireBytes &data, uint32_t size = 4096, uint32_t status = 0)
{
    WireBytes reply(size < WIRE_DEV_DATA + data.size() ? WIRE_DEV_DATA + data.size() : size, 0);
    WirePut32(reply, WIRE_REQ_STATUS, status);
    WirePut32(reply, WIRE_DEV_SIZE, (uint32_t)reply.size());
    WirePut32(reply, WIRE_DEV_DATA_LENGTH, (uint32_t)data.size());
    std::copy(data.begin(), data.end(), reply.begin() + WIRE_DEV_DATA);
    return reply;
}

// A LUN reply: the LUN at 28, its paths packed behind it.
inline WireBytes WireLunReply(const WireLun &lun, uint32_t size = 4096, uint32_t status = 0)
{
    WireBytes reply;
    size_t end = WireLayLun(reply, WIRE_LUNQ_LUN, lun);
    if (end < size)
        reply.resize(size);
    WirePut32(reply, WIRE_REQ_STATUS, status);
    WirePut32(reply, WIRE_LUNQ_SIZE, (uint32_t)reply.size());
    return reply;
}

// A LUN with `count` paths named p0, p1, ...; every third one preferred.
inline WireLun WireLunWithPaths(size_t count, uint8_t seed = 0x40)
{
    WireLun lun;
    lun.wwnSeed = seed;
    lun.name = "lun";
    for (size_t i = 0; i < count; i++) {
        WirePath p;
        p.name = "p" + std::to_string(i);
        p.state = (uint8_t)(i % 6);
        p.flags = i % 3 == 0 ? FERV_PATH_FLAG_PREFERRED : 0;
        p.hba = "hba" + std::to_string(i % 4);
        lun.paths.push_back(p);
    }
    return lun;
}

#endif
