// A scripted stand-in for the Win32 surface of platform/ferv_platform.h.
//
// Unit tests link this library in place of the real platform. It offers two
// things:
//
//   1. A world the discovery and opening code can see: the interfaces of the
//      driver's class (in enumeration order) and the devices CreateFileA can
//      open, each of which can be told to fail in a chosen way.
//   2. A queue of expected device control requests, consumed strictly in
//      order. Each entry names the control code it expects (and, optionally,
//      the exact input bytes) and says what happens: the request completes at
//      once, is pended and later completes or fails, the wait returns an
//      unexpected value, or the request is refused outright.
//
// Every platform call is checked as it arrives (arguments, handles, order)
// and written to a call log; anything wrong becomes a gtest failure that
// names the call. FakeVerify() fails on leftovers: unconsumed requests,
// events or files left open, device-info sets never destroyed.
//
// Typical library or front-end test (independent of the channel linked):
//
//     class MyTest : public FakePlatformTest {};      // resets and verifies
//
//     TEST_F(MyTest, ReadsParameters)
//     {
//         FakeAddDriver();                             // the driver is there
//         FakeExpectStatus(IOCTL_FERV_GET_PUBLIC_PARAMETERS, 0)
//             .Put32(4, 30)                            // pollRate in the reply
//             .Put32(12, FERV_LOG_CAUTION);
//         FervPublicParameters p;
//         EXPECT_EQ(FervGetPublicParameters(&p), 0u);
//         EXPECT_EQ(FakeLastSent().input, FakeZeros(32)); // bytes that went out
//         EXPECT_EQ(TakeConsoleOutput(), "");
//     }
//
// A reply is built from the request itself, as a METHOD_BUFFERED driver
// sees it: the output buffer keeps the bytes that were sent, the status word
// (offset 0) is set to the entry's status, then the entry's patches
// (Put32/PutBytes/Edit) are applied, then raw Reply() bytes, if any, are
// written from offset 0. Nothing is written past the caller's output size
// (a script that tries is a test failure).
//
// Handles are fake pointer values that are never reused within a process;
// the log names them F1, F2... (files), E1, E2... (events), S1... (sets).
#ifndef FERV_FAKE_PLATFORM_H
#define FERV_FAKE_PLATFORM_H

#include <stdint.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/ferv_platform.h"
#include "tests/support/capture_console.h"

typedef std::vector<uint8_t> FakeBytes;

// The path of the control device that fervadmctl opens.
#define FAKE_CONTROL_DEVICE_PATH "\\\\.\\ZEL_HA_CONTROL"
// The device path FakeAddDriver gives its one interface.
#define FAKE_INTERFACE_PATH "\\\\?\\root#ferv#0000#{a8987d25-df6e-4a51-9727-49fb6f1479a2}"

// ---- the world discovery sees ----------------------------------------------

// One entry of the device table: something CreateFileA can be asked to open,
// and, when `enumerated`, an interface of the driver's class as well.
struct FakeDevice {
    std::string path;
    bool enumerated = false;
    // CreateFileA fails with this error when it is not 0
    // (INVALID_HANDLE_VALUE, GetLastError() = openError).
    DWORD openError = 0;
    // The fetch of this interface's detail fails with this error when not 0.
    DWORD detailError = 0;
    // When set, the size query reports `reportedSize` instead of the true
    // size (the fixed part plus the path and its terminator).
    bool overrideSize = false;
    DWORD reportedSize = 0;
};

// Adds an interface of the driver's class at the next member index, and makes
// its path openable. Returns the entry, to tweak its failure fields; the
// reference stays valid until FakeReset.
FakeDevice &FakeAddInterface(const std::string &devicePath);
// Makes a path openable by CreateFileA without enumerating it (the control
// device). Returns the entry.
FakeDevice &FakeAddDevice(const std::string &path);
// The entry of a path added before (a gtest failure and a dummy when none).
FakeDevice &FakeDeviceAt(const std::string &path);
// One interface (FAKE_INTERFACE_PATH) and the control device: whichever
// channel the test links, the first request finds the driver.
void FakeAddDriver();

// SetupDiGetClassDevsA fails with `error` (0 turns failing off again).
void FakeFailClassDevs(DWORD error);
// SetupDiEnumDeviceInterfaces at member index `index` fails with `error`
// (the platform's own ERROR_NO_MORE_ITEMS comes after the last interface).
void FakeFailEnumAt(DWORD index, DWORD error);
// The next `times` calls of CreateEventA fail with `error`.
void FakeFailCreateEvent(DWORD error, int times = 1);

// ---- the expected requests --------------------------------------------------

enum FakeOutcome {
    FAKE_COMPLETED,       // DeviceIoControl returns TRUE with the reply in place
    FAKE_PENDED,          // FALSE/997; the wait signals; GetOverlappedResult TRUE
    FAKE_PENDED_FAILED,   // FALSE/997; the wait signals; GetOverlappedResult FALSE/error
    FAKE_WAIT_UNEXPECTED, // FALSE/997; WaitForSingleObject returns waitResult
    FAKE_REFUSED          // FALSE/error: refused outright
};

// One expected DeviceIoControl. Setters return the entry for chaining.
struct FakeRequest {
    uint32_t code = 0;
    bool checkInput = false;
    FakeBytes input;        // expected input bytes when checkInput
    std::string devicePath; // expected device (opened path), when not empty
    FakeOutcome outcome = FAKE_COMPLETED;
    DWORD error = 0; // refusal or completion error
    DWORD waitResult = WAIT_OBJECT_0;
    uint32_t status = 0; // status word written into the reply
    bool writeStatus = true;
    std::vector<std::pair<size_t, FakeBytes>> patches;
    std::function<void(FakeBytes &reply)> edit;
    bool rawReply = false;
    FakeBytes reply;

    // The exact input bytes the request must carry (size included).
    FakeRequest &ExpectInput(const FakeBytes &bytes);
    // The request must go to the handle opened on this path.
    FakeRequest &ExpectDevice(const std::string &path);
    // Status word of the reply (default 0).
    FakeRequest &Status(uint32_t statusWord);
    // Leave the status word as sent (a driver that wrote nothing there).
    FakeRequest &KeepStatus();
    // A little-endian word / raw bytes written into the reply at `offset`.
    FakeRequest &Put32(size_t offset, uint32_t value);
    FakeRequest &PutBytes(size_t offset, const FakeBytes &bytes);
    // Free-form change of the reply (it starts as the sent bytes, full
    // output size, status word already set). It may resize the reply; bytes
    // past the output size are a script error.
    FakeRequest &Edit(std::function<void(FakeBytes &reply)> fn);
    // Raw reply bytes written from offset 0 after everything else.
    FakeRequest &Reply(const FakeBytes &bytes);
    // Outcomes other than an immediate completion.
    FakeRequest &Pend();
    FakeRequest &PendThenFail(DWORD completionError);
    FakeRequest &WaitReturns(DWORD value);
    FakeRequest &Refuse(DWORD refusalError);
};

// Queues the next expected request: completes at once with status word 0
// (change it with the setters).
FakeRequest &FakeExpect(uint32_t code);
// Shorthand: the next request with `code` is answered with `statusWord`.
FakeRequest &FakeExpectStatus(uint32_t code, uint32_t statusWord);
// Shorthand: the next request with `code` gets these bytes from offset 0.
FakeRequest &FakeExpectReply(uint32_t code, const FakeBytes &reply);
// Requests still queued.
size_t FakePendingExpectations();

// ---- what the code under test did -------------------------------------------

struct FakeSentRequest {
    uint32_t code = 0;
    std::string device;     // handle name, "F1"
    std::string devicePath; // path it was opened on
    FakeBytes input;        // the inBufferSize bytes sent
    uint32_t inSize = 0;
    uint32_t outSize = 0;
    bool sameBuffer = false; // input and output were one buffer
};

// Every DeviceIoControl that reached the fake, in order.
const std::vector<FakeSentRequest> &FakeSentRequests();
// The last one (a gtest failure and an empty record when none).
const FakeSentRequest &FakeLastSent();

struct FakeOpen {
    std::string path;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    bool securityNull = false, templateNull = false;
    HANDLE handle = nullptr; // INVALID_HANDLE_VALUE when it failed
    std::string name;        // "F1", or "-" when it failed
};

// Every CreateFileA call, in order.
const std::vector<FakeOpen> &FakeOpens();
// Files currently open.
int FakeOpenFileCount();
// Names of handles closed so far, in order ("F1", "E2").
const std::vector<std::string> &FakeClosed();

// One line per platform call, in order, for call-by-call checks:
//   "GetClassDevs" | "GetClassDevs -> fail 5"
//   "Enum 0" | "Enum 2 -> fail 259"
//   "DetailSize 0 -> 42"
//   "Detail 0" | "Detail 0 -> fail 122"
//   "CreateFile <path> -> F1" | "CreateFile <path> -> fail 2"
//   "CreateEvent -> E1" | "CreateEvent -> fail 8"
//   "DeviceIoControl F1 0x85002028" (+ " -> pending" | " -> fail 31")
//   "Wait E1 -> 0" | "GetOverlappedResult F1" (+ " -> fail 995")
//   "CloseHandle E1" | "Destroy S1"
const std::vector<std::string> &FakeCallLog();
// The call log as one text, one call per line, each ending in "\n".
std::string FakeCallLogText();

// ---- lifecycle ----------------------------------------------------------------

// Forgets the world, the queue and every record; the last error becomes 0.
void FakeReset();
// Gtest failures for leftovers: queued requests not sent, an event or file
// still open, a device-info set not destroyed, a request still pending.
// Call after the channel has given back its handles.
void FakeVerify();

// Empties the channel's process-wide handle list, closing its handles, so
// that the next request starts from an empty list. Each channel defines it.
void DriverHandleListClear(void);

// Fixture: a clean fake, channel and console before each test; at the end
// the channel gives its handles back and the fake is verified.
class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DriverHandleListClear();
        FakeReset();
        TakeConsoleOutput();
    }
    void TearDown() override
    {
        DriverHandleListClear();
        FakeVerify();
        FakeReset();
    }
};

// ---- byte helpers ---------------------------------------------------------------

// `size` zero bytes.
FakeBytes FakeZeros(size_t size);
// Consecutive little-endian words.
FakeBytes FakeWords(std::initializer_list<uint32_t> words);
// Writes/reads a little-endian word at `offset` (a gtest failure when out of range).
void FakePut32(FakeBytes &bytes, size_t offset, uint32_t value);
uint32_t FakeGet32(const FakeBytes &bytes, size_t offset);
// Hex dump, 16 bytes a line, for failure messages.
std::string FakeHex(const FakeBytes &bytes);

#endif
