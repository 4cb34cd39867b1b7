// The driver's byte layouts for the tests, written out by hand from the
// request and record tables rather than taken from the library's header.
// Replies the tests build, and replies of the emulator the tests read, go
// through these numbers, so a wrong offset in the library's header (which
// the library and the emulator share) fails a test instead of having both
// sides agree on it.
#ifndef FERV_TEST_WIRE_LAYOUT_H
#define FERV_TEST_WIRE_LAYOUT_H

#include <stdint.h>

enum : uint32_t {
    // every request
    WIRE_REQ_STATUS = 0,

    // all-HBA and all-device requests
    WIRE_ALL_SIZE = 4,
    WIRE_ALL_DATA_LENGTH = 8,
    WIRE_ALL_COUNT = 12,
    WIRE_ALL_DATA = 16,
    // device request
    WIRE_DEV_KEY = 4,
    WIRE_DEV_SIZE = 20,
    WIRE_DEV_DATA_LENGTH = 24,
    WIRE_DEV_DATA = 32,
    // LUN request
    WIRE_LUNQ_KEY = 4,
    WIRE_LUNQ_SIZE = 20,
    WIRE_LUNQ_LUN = 28,
    // path request
    WIRE_PATHQ_NAME = 4,
    WIRE_PATHQ_PATH = 88,

    // every record: the link to the next one of its list
    WIRE_REC_NEXT = 0,

    // FervDevice
    WIRE_DEVICE_NAME = 90,
    WIRE_DEVICE_NAME_SPAN = 162,
    WIRE_DEVICE_FIRMWARE = 252,
    WIRE_DEVICE_FIRMWARE_SPAN = 21,
    WIRE_DEVICE_IP = 273,
    WIRE_DEVICE_IP_SPAN = 41,
    WIRE_DEVICE_SERIAL = 314,
    WIRE_DEVICE_SERIAL_SPAN = 81,
    WIRE_DEVICE_WWN = 395,
    WIRE_DEVICE_LUN_COUNT = 412,
    WIRE_DEVICE_LUN_LIST = 416,
    WIRE_DEVICE_SECONDARY_COUNT = 420,
    WIRE_DEVICE_SECONDARY_LIST = 424,
    WIRE_DEVICE_RECORD_SIZE = 428,

    // FervLun
    WIRE_LUN_WWN = 4,
    WIRE_LUN_NAME = 24,
    WIRE_LUN_NAME_SPAN = 88,
    WIRE_LUN_PATH_COUNT = 112,
    WIRE_LUN_LOAD_BALANCING = 116,
    WIRE_LUN_PATHING_MODE = 120,
    WIRE_LUN_PATH_LIST = 128,
    WIRE_LUN_RECORD_SIZE = 132,

    // FervPath
    WIRE_PATH_NAME = 4,
    WIRE_PATH_STATE = 85,
    WIRE_PATH_FLAGS = 88,
    WIRE_PATH_HBA_NAME = 280,
    WIRE_PATH_HBA_NAME_SPAN = 84,
    WIRE_PATH_RECORD_SIZE = 364,
};

#endif
