// FervLib: access library of the multipath-failover driver.
//
// Every call returns a FERV_STATUS; 0 is success and 14 ("already the active
// path") is taken as success inside the library but handed back unchanged.
//
// What the library prints. It never writes to standard error and never ends
// the process; its lines go through the console sink (FervPrint and FervFlush,
// ferv_console.h), which the installed libraries bring with them, writing to
// standard output through stdio. A program that wants the lines elsewhere
// defines both FervPrint and FervFlush itself; its definitions then take the
// place of the library's at link time.
// - A call that succeeds prints nothing.
// - A call that fails prints one diagnostic line of its own
//   ("FervLib (WIN32) - <call>: ...") before it returns; when the request
//   did not get through, the channel's lines for each step that failed (a
//   device that could not be opened, a refused request) come before it.
//   FervIssueDeviceCommand prints the reply's counts after its line.
// - The name lookups (FervStatusMessage, FervControlCodeName,
//   FervPathStateName) and FervTextLength print nothing.
// - Before a request can block (FervWaitForChange above all), what was
//   printed is flushed.
//
// What the caller owns. Every record and buffer passed in is the caller's;
// the library keeps no pointer to one after the call returns. The library
// allocates only in the topology queries: FervGetAllInfo (two blocks),
// FervGetDeviceInfo (one block) and FervGetLunInfo (the LUN's path block);
// each is given back, once, by its Free call, and every record and text
// reached from it lives until then. Texts returned by the name lookups are
// static.
//
// The driver is opened at the first request and its handles stay open, for
// every later call, until the process ends. The calls share that state and
// are not safe to make from two threads at once.
//
// The records below are the caller-side form of the driver's records: the
// field names and order of the wire layouts, pointers where the wire holds
// self-relative links, fixed arrays for texts, byte arrays for the stretches
// nobody interprets. On a 32-bit host they have exactly the wire size and
// offsets (checked in topology.cpp); on a 64-bit host the pointers are wider
// and the records are decoded, never cast from a reply.
#ifndef FERVLIB_H
#define FERVLIB_H

#include <stddef.h>
#include <stdint.h>

typedef uint32_t FERV_STATUS;

// ---- status codes -----------------------------------------------------------
enum {
    FERV_STATUS_SUCCESS = 0,
    FERV_STATUS_INVALID_PARAMETER = 1,
    FERV_STATUS_IO_ERROR = 2,
    FERV_STATUS_TIMEOUT = 3,
    FERV_STATUS_HBA_NOT_FOUND = 4,
    FERV_STATUS_DEVICE_NOT_FOUND = 5,
    FERV_STATUS_LUN_NOT_FOUND = 6,
    FERV_STATUS_PATH_NOT_FOUND = 7,
    FERV_STATUS_DEVICE_BUSY = 8,
    FERV_STATUS_NO_MEMORY = 9,
    FERV_STATUS_INTERNAL_ERROR = 10,
    FERV_STATUS_NO_DEVICES = 11,
    FERV_STATUS_NO_ALTERNATE_PATH = 12,
    FERV_STATUS_PATH_ENABLE_FAILED = 13,
    FERV_STATUS_ALREADY_ACTIVE = 14,
    FERV_STATUS_PATH_DOWN = 15,
    FERV_STATUS_PATH_SELECT_FAILED = 16,
    FERV_STATUS_INVALID_STATE_CHANGE = 17,
    FERV_STATUS_PRIMARY_PATH_DOWN = 18,
    FERV_STATUS_INVALID_COMMAND = 19,
    FERV_STATUS_PASS_THROUGH_FAILED = 20,
    FERV_STATUS_BUFFER_TOO_SMALL = 21,
    FERV_STATUS_RESTORE_FAILED = 22,
    FERV_STATUS_COUNT = 23 // codes from here on have no message
};

// The message of a code from 0 to 22, or null for any other code.
// Returns: a static text without line end.
const char *FervStatusMessage(FERV_STATUS code);

// ---- control codes ----------------------------------------------------------
// CTL_CODE(0x8500, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FERV_CTL_CODE(function) (0x85000000u + ((uint32_t)(function) << 2))

enum : uint32_t {
    IOCTL_FERV_GET_ALL_HBAS = FERV_CTL_CODE(0x801),
    IOCTL_FERV_GET_ALL_DEVICES = FERV_CTL_CODE(0x802),
    IOCTL_FERV_GET_DEVICE_INFO = FERV_CTL_CODE(0x803),
    IOCTL_FERV_GET_LUN_INFO = FERV_CTL_CODE(0x804),
    IOCTL_FERV_GET_PATH_INFO = FERV_CTL_CODE(0x805),
    IOCTL_FERV_ISSUE_PATH_CMD = FERV_CTL_CODE(0x806),
    IOCTL_FERV_ISSUE_LUN_CMD = FERV_CTL_CODE(0x807),
    IOCTL_FERV_ISSUE_DEVICE_CMD = FERV_CTL_CODE(0x808),
    IOCTL_FERV_GET_PUBLIC_PARAMETERS = FERV_CTL_CODE(0x80A),
    IOCTL_FERV_SET_PUBLIC_PARAMETERS = FERV_CTL_CODE(0x80B),
    IOCTL_FERV_SET_PRIVATE_PARAMETERS = FERV_CTL_CODE(0x80D),
    IOCTL_FERV_GET_PATH_STATS = FERV_CTL_CODE(0x80E),
    IOCTL_FERV_GET_LUN_STATS = FERV_CTL_CODE(0x80F),
    IOCTL_FERV_WAIT_FOR_CHANGE = FERV_CTL_CODE(0x810),
};

// The name of a control code as the error lines print it ("IOCTL_FERV_..."),
// or null for a code that is none of the fourteen.
const char *FervControlCodeName(uint32_t ioControlCode);

// ---- identifiers --------------------------------------------------------------
// World-wide name of a device or LUN: 16 raw bytes, byte 0 printed first.
typedef struct FervWwnKey {
    uint8_t bytes[16];
} FervWwnKey;

enum {
    FERV_PATH_NAME_SIZE = 81, // FervPathName field
    FERV_PATH_NAME_MAX = 80   // characters a request carries at most
};

// ---- parameters -------------------------------------------------------------
#define FERV_PARAM_UNCHANGED 0xFFFFFFFFu

enum {
    FERV_LOG_DATA_PATH = 0x01,
    FERV_LOG_INTERNAL_ERRORS = 0x02,
    FERV_LOG_CRITICAL_ERRORS = 0x04,
    FERV_LOG_INFORMATIONAL = 0x08,
    FERV_LOG_CAUTION = 0x10
};

typedef struct FervPublicParameters {
    int32_t pollRate;         // seconds
    int32_t autoFailBack;     // 1 on, 0 off
    uint32_t logLevel;        // FERV_LOG_ bits
    int32_t driverVersion[4]; // reads driverVersion[0].[1].[2].[3]
} FervPublicParameters;

typedef struct FervPrivateParameters {
    uint32_t paramT;
    uint32_t paramR;
    uint32_t paramD;
} FervPrivateParameters;

// ---- commands and statistics --------------------------------------------------
enum {
    FERV_PATH_CMD_DISABLE = 1,
    FERV_PATH_CMD_ACTIVATE = 2,
    FERV_PATH_CMD_ENABLE = 3,
    FERV_LUN_CMD_RESTORE_PREFERRED = 1,
    FERV_DEVICE_CMD_RESTORE_PREFERRED = 1
};

typedef struct FervStatistics {
    uint32_t ioErrors;
    uint32_t hostRequests;
    uint32_t outstandingIo;
    uint32_t blocksTransferred;
} FervStatistics;

typedef struct FervDeviceCommand {
    uint8_t command;
    int32_t numSuccessful;
    int32_t numFailed;
} FervDeviceCommand;

// ---- topology records ---------------------------------------------------------
enum {
    FERV_PATH_STATE_UNKNOWN = 0,
    FERV_PATH_STATE_DOWN = 1,
    FERV_PATH_STATE_UP_ACTIVE = 2,
    FERV_PATH_STATE_UP_STANDBY = 3,
    FERV_PATH_STATE_ADMIN = 4,
    FERV_PATH_STATE_TRANSITION = 5,
    FERV_PATH_STATE_COUNT = 6
};

// The name of a path state as the reports print it ("up_active"), or null for
// a state above FERV_PATH_STATE_TRANSITION, which has no name.
const char *FervPathStateName(uint32_t state);

#define FERV_PATH_FLAG_PREFERRED 0x04u

enum { FERV_PATHING_SINGLE = 0, FERV_PATHING_SYMMETRIC = 1, FERV_PATHING_ASYMMETRIC = 2 };

// Text fields hold their span as the driver wrote it: a text ends at its
// first zero byte or at the end of its span, whichever comes first, so print
// them with a precision (FervTextLength), never as plain C strings.
typedef struct FervHba {
    struct FervHba *next;
} FervHba;

typedef struct FervSecondaryEntry {
    struct FervSecondaryEntry *next;
} FervSecondaryEntry;

typedef struct FervPath {
    struct FervPath *next;
    char pathName[81];
    uint8_t state;
    uint8_t reserved86[2];
    uint32_t flags;
    uint8_t reserved92[188];
    char hbaName[84];
} FervPath;

typedef struct FervLun {
    struct FervLun *next;
    FervWwnKey wwn;
    uint8_t reserved20[4];
    char lunName[88];
    int32_t pathCount;
    uint8_t loadBalancing;
    uint8_t reserved117[3];
    uint32_t pathingMode;
    uint8_t reserved124[4];
    FervPath *pathList;
} FervLun;

typedef struct FervDevice {
    struct FervDevice *next;
    uint8_t reserved4[86];
    char deviceName[162];
    char firmwareRevision[21];
    char ipAddress[41];
    char serialNumber[81];
    FervWwnKey wwn;
    uint8_t reserved411[1];
    int32_t lunCount;
    FervLun *lunList;
    int32_t secondaryCount;
    FervSecondaryEntry *secondaryList;
} FervDevice;

typedef struct FervInfoList {
    int32_t hbaCount;
    FervHba *hbaList;
    int32_t deviceCount;
    FervDevice *deviceList;
} FervInfoList;

// Length of a text field: up to its first zero byte, at most its span.
size_t FervTextLength(const char *text, size_t span);

// ---- calls --------------------------------------------------------------------
// Every call below checks its pointer arguments first: a null one prints the
// call's "is NULL!" line and returns 1 with nothing sent. A call that cannot
// allocate memory prints a "No Memory for ..." line and returns 9. When the
// request does not get through, the call prints its "SendReqToDriver Error"
// line and returns 10 (the I/O layer failed), 11 (no driver was found) or 9
// (no completion event could be made). Any status word of the driver but 0
// and 14 is printed on the call's "IOCTL_FERV_... Error" line and returned.
// Unless a contract says otherwise, nothing the caller passed in is written
// on failure.

// ---- parameter calls and the change wait -------------------------------------
// Reads the seven public words into *pParams. Returns 0 or 14 on success.
FERV_STATUS FervGetPublicParameters(FervPublicParameters *pParams);
// Sends all seven words of *pParams; FERV_PARAM_UNCHANGED in a settable word
// keeps that parameter. Returns 0 or 14 on success.
FERV_STATUS FervSetPublicParameters(const FervPublicParameters *pParams);
// Sends the three private words, FERV_PARAM_UNCHANGED as above. Returns 0 or
// 14 on success.
FERV_STATUS FervSetPrivateParameters(const FervPrivateParameters *pParams);
// Blocks, without a time limit, until the driver reports a change; *pKey
// goes out and, on 0 or 14, the driver's key comes back in it.
FERV_STATUS FervWaitForChange(uint32_t *pKey);

// ---- topology queries ---------------------------------------------------------
// The growing queries (all HBAs and devices, one device, one LUN) send a
// 4096-byte buffer first and, while the driver answers 21, a buffer of the
// size it names, at most 8 times. A named size outside the request's fixed
// part and 256 MiB, or a reply that does not hold together, prints an
// "Invalid Reply!" line and returns 10.

// Fills *pInfoList with the HBA list and the device list, each in one block
// that FervFreeAllInfoMemory gives back. Returns the device reply's status (0
// or 14); 11 with a "No Devices Found" line when the driver knows no HBA,
// whatever its status word says. On failure *pInfoList is untouched and
// nothing is left allocated.
FERV_STATUS FervGetAllInfo(FervInfoList *pInfoList);
// Gives back both blocks of a FervInfoList that FervGetAllInfo filled.
// Returns 0. The record's fields are left as they were.
FERV_STATUS FervFreeAllInfoMemory(FervInfoList *pInfoList);
// Fetches the device named by *pKey; *ppDevice receives one block holding the
// reply's device list (usually one device). Returns the reply's status (0 or
// 14); on 9 for the block *ppDevice is null. Give it back with
// FervFreeDeviceMemory.
FERV_STATUS FervGetDeviceInfo(const FervWwnKey *pKey, FervDevice **ppDevice);
// Gives back a device block: every device, LUN, path and secondary entry in
// it. Returns 0.
FERV_STATUS FervFreeDeviceMemory(FervDevice *pDev);
// Fills *pLun with the LUN named by *pKey; its pathList is one block (null
// when the LUN has no paths) that FervFreeLunMemory gives back, its next is
// null. Returns the reply's status (0 or 14); on 9 for the block *pLun is
// filled but its pathList is null.
FERV_STATUS FervGetLunInfo(const FervWwnKey *pKey, FervLun *pLun);
// Gives back the path block of a FervLun that FervGetLunInfo filled, where
// there is one. Returns 0. The FervLun itself is the caller's.
FERV_STATUS FervFreeLunMemory(FervLun *pLun);
// Fills *pPath with the path named by pathName (its first 80 characters are
// sent). Its next is null: the record stands alone and owns no block.
// Returns the reply's status (0 or 14). The request has a fixed size, so a
// 21 is a failure like any other.
FERV_STATUS FervGetPathInfo(const char *pathName, FervPath *pPath);

// ---- path, LUN and device commands and statistics -----------------------------
// Sends *pCommand (FERV_PATH_CMD_) for the path named by pathName (its first
// 80 characters). Returns the driver's status; 14 when the path is already
// active.
FERV_STATUS FervIssuePathCommand(const char *pathName, const uint8_t *pCommand);
// Sends *pCommand (FERV_LUN_CMD_) for the LUN named by *pKey. Returns the
// driver's status.
FERV_STATUS FervIssueLUNCommand(const FervWwnKey *pKey, const uint8_t *pCommand);
// Sends pCmd->command (FERV_DEVICE_CMD_) for the device named by *pKey and
// copies the reply's counts into *pCmd once the request got through,
// whatever the driver's status; prints them after the error line when it
// failed. Returns the driver's status.
FERV_STATUS FervIssueDeviceCommand(const FervWwnKey *pKey, FervDeviceCommand *pCmd);
// Reads the counters of the path named by pathName (its first 80
// characters) into *pStats. Returns 0 or 14 on success.
FERV_STATUS FervGetPathStatistics(const char *pathName, FervStatistics *pStats);
// Reads the counters of the LUN named by *pKey, summed over its paths, into
// *pStats. Returns 0 or 14 on success.
FERV_STATUS FervGetLUNStatistics(const FervWwnKey *pKey, FervStatistics *pStats);

#endif
