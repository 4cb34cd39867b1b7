// Byte layouts of the driver's requests and records, as named offsets. Nothing
// casts a request buffer to a struct: every field goes through the
// little-endian helpers of the protocol header, so the layouts hold on any
// host. The driver emulator builds its replies from the same
// offsets, so the two sides cannot drift apart.
#ifndef FERV_WIRE_H
#define FERV_WIRE_H

#include <stdint.h>
#include <string.h>

#include "fervlib.h"
#include "proto/ferv_proto.h"

// Every request: status word at 0, body after it.
enum { FERV_REQ_STATUS = 0, FERV_REQ_BODY = 4 };

// Fixed request sizes.
enum {
    FERV_REQ_SIZE_TOPOLOGY = 4096, // first buffer of the growing requests, and the path query
    FERV_REQ_SIZE_PATH_CMD = 88,
    FERV_REQ_SIZE_LUN_CMD = 24,
    FERV_REQ_SIZE_DEVICE_CMD = 32,
    FERV_REQ_SIZE_PUBLIC_PARAMS = 32,
    FERV_REQ_SIZE_PRIVATE_PARAMS = 16,
    FERV_REQ_SIZE_PATH_STATS = 104,
    FERV_REQ_SIZE_LUN_STATS = 36,
    FERV_REQ_SIZE_WAIT = 8
};

// Parameter and wait requests.
enum {
    FERV_PARAMS_WORDS = 4, // seven public words / three private words from here
    FERV_WAIT_KEY = 4
};

// Commands and statistics.
enum {
    FERV_CMD_PATH_NAME = 4,       // FervPathName, 81 bytes
    FERV_CMD_PATH_CODE = 85,      // path command code
    FERV_CMD_KEY = 4,             // FervWwnKey, 16 bytes
    FERV_CMD_KEY_CODE = 20,       // LUN and device command code
    FERV_CMD_DEV_SUCCESSFUL = 24, // device command counts
    FERV_CMD_DEV_FAILED = 28,
    FERV_STATS_PATH = 88, // FervStatistics of a path stats request
    FERV_STATS_LUN = 20   // FervStatistics of a LUN stats request
};

// Topology requests.
enum {
    // all-HBA and all-device requests
    FERV_ALL_SIZE = 4,
    FERV_ALL_DATA_LENGTH = 8,
    FERV_ALL_COUNT = 12,
    FERV_ALL_DATA = 16,
    // device request
    FERV_DEV_KEY = 4,
    FERV_DEV_SIZE = 20,
    FERV_DEV_DATA_LENGTH = 24,
    FERV_DEV_DATA = 32,
    // LUN request
    FERV_LUNQ_KEY = 4,
    FERV_LUNQ_SIZE = 20,
    FERV_LUNQ_LUN = 28,
    // path request
    FERV_PATHQ_NAME = 4,
    FERV_PATHQ_PATH = 88
};

// Topology records, offsets from each record's first byte.
enum {
    FERV_REC_NEXT = 0,

    FERV_DEVICE_NAME = 90,
    FERV_DEVICE_NAME_SPAN = 162,
    FERV_DEVICE_FIRMWARE = 252,
    FERV_DEVICE_FIRMWARE_SPAN = 21,
    FERV_DEVICE_IP = 273,
    FERV_DEVICE_IP_SPAN = 41,
    FERV_DEVICE_SERIAL = 314,
    FERV_DEVICE_SERIAL_SPAN = 81,
    FERV_DEVICE_WWN = 395,
    FERV_DEVICE_LUN_COUNT = 412,
    FERV_DEVICE_LUN_LIST = 416,
    FERV_DEVICE_SECONDARY_COUNT = 420,
    FERV_DEVICE_SECONDARY_LIST = 424,
    FERV_DEVICE_RECORD_SIZE = 428, // interpreted part

    FERV_LUN_WWN = 4,
    FERV_LUN_NAME = 24,
    FERV_LUN_NAME_SPAN = 88,
    FERV_LUN_PATH_COUNT = 112,
    FERV_LUN_LOAD_BALANCING = 116,
    FERV_LUN_PATHING_MODE = 120,
    FERV_LUN_PATH_LIST = 128,
    FERV_LUN_RECORD_SIZE = 132,

    FERV_PATH_NAME = 4,
    FERV_PATH_STATE = 85,
    FERV_PATH_FLAGS = 88,
    FERV_PATH_HBA_NAME = 280,
    FERV_PATH_HBA_NAME_SPAN = 84,
    FERV_PATH_RECORD_SIZE = 364,

    FERV_LINK_RECORD_SIZE = 4 // HBA and secondary entries: only their link is read
};

// A path reply ends with the path record.
enum { FERV_PATHQ_REPLY_SIZE = FERV_PATHQ_PATH + FERV_PATH_RECORD_SIZE };

// The requests whose buffer grows while the driver answers 21: where the
// size word sits that the driver rewrites with the size it needs, and the
// least size a reply can have (its header; for the LUN request the LUN
// record as well).
typedef struct FervGrowingLayout {
    uint32_t ioControlCode;
    uint32_t sizeWord;
    uint32_t fixedPart;
} FervGrowingLayout;

// The layout of a growing request, or null for a request that does not grow.
static inline const FervGrowingLayout *FervGrowingLayoutOf(uint32_t ioControlCode)
{
    static const FervGrowingLayout layouts[] = {
        {IOCTL_FERV_GET_ALL_HBAS, FERV_ALL_SIZE, FERV_ALL_DATA},
        {IOCTL_FERV_GET_ALL_DEVICES, FERV_ALL_SIZE, FERV_ALL_DATA},
        {IOCTL_FERV_GET_DEVICE_INFO, FERV_DEV_SIZE, FERV_DEV_DATA},
        {IOCTL_FERV_GET_LUN_INFO, FERV_LUNQ_SIZE, FERV_LUNQ_LUN + FERV_LUN_RECORD_SIZE},
    };
    for (const FervGrowingLayout &layout : layouts) {
        if (layout.ioControlCode == ioControlCode)
            return &layout;
    }
    return nullptr;
}

// Offset of the size word of a growing request, or 0 for a request that has
// none.
static inline uint32_t FervSizeWordOffset(uint32_t ioControlCode)
{
    const FervGrowingLayout *layout = FervGrowingLayoutOf(ioControlCode);
    return layout ? layout->sizeWord : 0;
}

// Writes text as a FervPathName at p: at most FERV_PATH_NAME_MAX characters,
// zero bytes after them through the field's last byte, so a request never
// carries an unterminated field.
static inline void FervStorePathName(uint8_t *p, const char *text)
{
    size_t n = 0;
    while (n < FERV_PATH_NAME_MAX && text[n] != '\0')
        n++;
    memset(p, 0, FERV_PATH_NAME_SIZE);
    memcpy(p, text, n);
}

#endif
