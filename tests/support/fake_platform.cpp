// The scripted fake of the Win32 surface: see fake_platform.h for the model.
#include "fake_platform.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include <map>

namespace {

struct HandleInfo {
    char kind;        // 'F' file, 'E' event, 'S' device-info set
    std::string name; // "F1"
    std::string path; // files: the path opened
    bool open;
};

struct PendingOp {
    bool active = false;
    bool signalled = false;
    FakeRequest request;
    HANDLE device = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED *overlapped = nullptr;
    uint8_t *out = nullptr;
    uint32_t outSize = 0;
};

// Handle values grow for the whole process, so a handle from an earlier
// test can never be mistaken for one of the current test.
const uintptr_t handleBase = 0x10000;
const uintptr_t handleStep = 0x10;
uintptr_t nextHandle = handleBase;
uintptr_t firstHandleOfRun = handleBase;

// Discovery that does not stop on its own is a fault; after this many calls
// the fake ends enumeration itself so the test can report it.
const int enumCallLimit = 10000;

std::map<uintptr_t, HandleInfo> handles;
int fileCount, eventCount, setCount;

std::deque<FakeDevice> devices;
DWORD classDevsError;
std::map<DWORD, DWORD> enumErrors;
int enumCalls;
DWORD eventError;
int eventFailures;

std::deque<FakeRequest> expected;
PendingOp pending;

std::vector<FakeSentRequest> sent;
std::vector<FakeOpen> opens;
std::vector<std::string> closedNames;
std::vector<std::string> callLog;

thread_local DWORD lastError;

const GUID interfaceClass = {0xa8987d25, 0xdf6e, 0x4a51, {0x97, 0x27, 0x49, 0xfb, 0x6f, 0x14, 0x79, 0xa2}};

std::string Hex32(uint32_t v)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", (unsigned)v);
    return text;
}

std::string Num(uint32_t v)
{
    return std::to_string(v);
}

HANDLE NewHandle(char kind, const std::string &path)
{
    int &counter = kind == 'F' ? fileCount : kind == 'E' ? eventCount : setCount;
    counter++;
    uintptr_t value = nextHandle;
    nextHandle += handleStep;
    handles[value] = HandleInfo{kind, std::string(1, kind) + std::to_string(counter), path, true};
    return (HANDLE)value;
}

HandleInfo *Lookup(HANDLE h)
{
    auto it = handles.find((uintptr_t)h);
    return it == handles.end() ? nullptr : &it->second;
}

// The handle as the log names it, or a description of what it is not.
std::string NameOf(HANDLE h)
{
    HandleInfo *info = Lookup(h);
    if (info)
        return info->name;
    char text[40];
    snprintf(text, sizeof text, "?%p", h);
    return text;
}

bool IsOpen(HANDLE h, char kind)
{
    HandleInfo *info = Lookup(h);
    return info && info->open && info->kind == kind;
}

bool SameGuid(const GUID *a, const GUID *b)
{
    return a->Data1 == b->Data1 && a->Data2 == b->Data2 && a->Data3 == b->Data3 &&
           memcmp(a->Data4, b->Data4, sizeof a->Data4) == 0;
}

std::vector<FakeDevice *> Interfaces()
{
    std::vector<FakeDevice *> list;
    for (FakeDevice &d : devices)
        if (d.enumerated)
            list.push_back(&d);
    return list;
}

FakeDevice *FindDevice(const std::string &path)
{
    for (FakeDevice &d : devices)
        if (d.path == path)
            return &d;
    return nullptr;
}

DWORD TrueDetailSize(const FakeDevice &d)
{
    return (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + d.path.size() + 1);
}

// Builds the reply of `r` in the caller's output buffer: sent bytes, status
// word, patches, edit, raw bytes; never past outSize.
void WriteReply(const FakeRequest &r, uint8_t *out, uint32_t outSize)
{
    FakeBytes reply(out, out + outSize);
    if (r.writeStatus && outSize >= 4)
        FakePut32(reply, 0, r.status);
    for (const auto &patch : r.patches) {
        if (patch.first + patch.second.size() > reply.size()) {
            ADD_FAILURE() << "fake script: reply patch at " << patch.first << " of " << patch.second.size()
                          << " bytes lies outside the " << outSize << "-byte output buffer of request "
                          << Hex32(r.code);
            continue;
        }
        memcpy(&reply[patch.first], patch.second.data(), patch.second.size());
    }
    if (r.edit)
        r.edit(reply);
    if (r.rawReply) {
        if (reply.size() < r.reply.size())
            reply.resize(r.reply.size());
        memcpy(reply.data(), r.reply.data(), r.reply.size());
    }
    if (reply.size() > outSize) {
        ADD_FAILURE() << "fake script: reply of " << reply.size() << " bytes exceeds the " << outSize
                      << "-byte output buffer of request " << Hex32(r.code);
        reply.resize(outSize);
    }
    if (!reply.empty())
        memcpy(out, reply.data(), reply.size());
}

FakeRequest &Queue(uint32_t code)
{
    expected.emplace_back();
    expected.back().code = code;
    return expected.back();
}

} // namespace

// ---- FakeRequest setters ------------------------------------------------------

FakeRequest &FakeRequest::ExpectInput(const FakeBytes &bytes)
{
    checkInput = true;
    input = bytes;
    return *this;
}

FakeRequest &FakeRequest::ExpectDevice(const std::string &path)
{
    devicePath = path;
    return *this;
}

FakeRequest &FakeRequest::Status(uint32_t statusWord)
{
    status = statusWord;
    writeStatus = true;
    return *this;
}

FakeRequest &FakeRequest::KeepStatus()
{
    writeStatus = false;
    return *this;
}

FakeRequest &FakeRequest::Put32(size_t offset, uint32_t value)
{
    patches.emplace_back(offset, FakeWords({value}));
    return *this;
}

FakeRequest &FakeRequest::PutBytes(size_t offset, const FakeBytes &bytes)
{
    patches.emplace_back(offset, bytes);
    return *this;
}

FakeRequest &FakeRequest::Edit(std::function<void(FakeBytes &reply)> fn)
{
    edit = std::move(fn);
    return *this;
}

FakeRequest &FakeRequest::Reply(const FakeBytes &bytes)
{
    rawReply = true;
    reply = bytes;
    return *this;
}

FakeRequest &FakeRequest::Pend()
{
    outcome = FAKE_PENDED;
    return *this;
}

FakeRequest &FakeRequest::PendThenFail(DWORD completionError)
{
    outcome = FAKE_PENDED_FAILED;
    error = completionError;
    return *this;
}

FakeRequest &FakeRequest::WaitReturns(DWORD value)
{
    outcome = FAKE_WAIT_UNEXPECTED;
    waitResult = value;
    return *this;
}

FakeRequest &FakeRequest::Refuse(DWORD refusalError)
{
    outcome = FAKE_REFUSED;
    error = refusalError;
    return *this;
}

// ---- scripting ------------------------------------------------------------------

FakeDevice &FakeAddInterface(const std::string &devicePath)
{
    devices.emplace_back();
    devices.back().path = devicePath;
    devices.back().enumerated = true;
    return devices.back();
}

FakeDevice &FakeAddDevice(const std::string &path)
{
    devices.emplace_back();
    devices.back().path = path;
    return devices.back();
}

FakeDevice &FakeDeviceAt(const std::string &path)
{
    FakeDevice *d = FindDevice(path);
    if (d)
        return *d;
    ADD_FAILURE() << "fake script: no device " << path;
    static FakeDevice dummy;
    dummy = FakeDevice();
    return dummy;
}

void FakeAddDriver()
{
    FakeAddInterface(FAKE_INTERFACE_PATH);
    FakeAddDevice(FAKE_CONTROL_DEVICE_PATH);
}

void FakeFailClassDevs(DWORD error)
{
    classDevsError = error;
}

void FakeFailEnumAt(DWORD index, DWORD error)
{
    enumErrors[index] = error;
}

void FakeFailCreateEvent(DWORD error, int times)
{
    eventError = error;
    eventFailures = times;
}

FakeRequest &FakeExpect(uint32_t code)
{
    return Queue(code);
}

FakeRequest &FakeExpectStatus(uint32_t code, uint32_t statusWord)
{
    return Queue(code).Status(statusWord);
}

FakeRequest &FakeExpectReply(uint32_t code, const FakeBytes &reply)
{
    return Queue(code).Reply(reply);
}

size_t FakePendingExpectations()
{
    return expected.size();
}

// ---- records --------------------------------------------------------------------

const std::vector<FakeSentRequest> &FakeSentRequests()
{
    return sent;
}

const FakeSentRequest &FakeLastSent()
{
    if (!sent.empty())
        return sent.back();
    ADD_FAILURE() << "no request was sent";
    static FakeSentRequest none;
    none = FakeSentRequest();
    return none;
}

const std::vector<FakeOpen> &FakeOpens()
{
    return opens;
}

int FakeOpenFileCount()
{
    int n = 0;
    for (const auto &h : handles)
        if (h.second.kind == 'F' && h.second.open)
            n++;
    return n;
}

const std::vector<std::string> &FakeClosed()
{
    return closedNames;
}

const std::vector<std::string> &FakeCallLog()
{
    return callLog;
}

std::string FakeCallLogText()
{
    std::string text;
    for (const std::string &line : callLog)
        text += line + "\n";
    return text;
}

void FakeReset()
{
    handles.clear();
    fileCount = eventCount = setCount = 0;
    firstHandleOfRun = nextHandle;
    devices.clear();
    classDevsError = 0;
    enumErrors.clear();
    enumCalls = 0;
    eventError = 0;
    eventFailures = 0;
    expected.clear();
    pending = PendingOp();
    sent.clear();
    opens.clear();
    closedNames.clear();
    callLog.clear();
    lastError = 0;
}

void FakeVerify()
{
    for (const FakeRequest &r : expected)
        ADD_FAILURE() << "expected request " << Hex32(r.code) << " was never sent";
    if (pending.active)
        ADD_FAILURE() << "request " << Hex32(pending.request.code) << " is still pending";
    for (const auto &h : handles) {
        if (!h.second.open)
            continue;
        if (h.second.kind == 'E')
            ADD_FAILURE() << "event " << h.second.name << " was never closed";
        else if (h.second.kind == 'F')
            ADD_FAILURE() << "file " << h.second.name << " (" << h.second.path << ") was never closed";
        else
            ADD_FAILURE() << "device-info set " << h.second.name << " was never destroyed";
    }
}

// ---- byte helpers -----------------------------------------------------------------

FakeBytes FakeZeros(size_t size)
{
    return FakeBytes(size, 0);
}

FakeBytes FakeWords(std::initializer_list<uint32_t> words)
{
    FakeBytes bytes(words.size() * 4, 0);
    size_t at = 0;
    for (uint32_t w : words) {
        FakePut32(bytes, at, w);
        at += 4;
    }
    return bytes;
}

void FakePut32(FakeBytes &bytes, size_t offset, uint32_t value)
{
    if (offset + 4 > bytes.size()) {
        ADD_FAILURE() << "FakePut32 at " << offset << " outside " << bytes.size() << " bytes";
        return;
    }
    for (int i = 0; i < 4; i++)
        bytes[offset + i] = (uint8_t)(value >> (8 * i));
}

uint32_t FakeGet32(const FakeBytes &bytes, size_t offset)
{
    if (offset + 4 > bytes.size()) {
        ADD_FAILURE() << "FakeGet32 at " << offset << " outside " << bytes.size() << " bytes";
        return 0;
    }
    uint32_t v = 0;
    for (int i = 0; i < 4; i++)
        v |= (uint32_t)bytes[offset + i] << (8 * i);
    return v;
}

std::string FakeHex(const FakeBytes &bytes)
{
    std::string text;
    char cell[24];
    for (size_t i = 0; i < bytes.size(); i++) {
        if (i % 16 == 0) {
            snprintf(cell, sizeof cell, "%s%04zx:", i ? "\n" : "", i);
            text += cell;
        }
        snprintf(cell, sizeof cell, " %02x", bytes[i]);
        text += cell;
    }
    return text;
}

// ---- the platform calls -------------------------------------------------------------

DWORD GetLastError(void)
{
    return lastError;
}

void SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

HDEVINFO SetupDiGetClassDevsA(const GUID *ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    EXPECT_TRUE(ClassGuid && SameGuid(ClassGuid, &interfaceClass)) << "SetupDiGetClassDevsA: wrong class";
    EXPECT_EQ(Enumerator, nullptr) << "SetupDiGetClassDevsA: enumerator";
    EXPECT_EQ(hwndParent, nullptr) << "SetupDiGetClassDevsA: parent window";
    EXPECT_EQ(Flags, (DWORD)(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) << "SetupDiGetClassDevsA: flags";
    if (classDevsError) {
        callLog.push_back("GetClassDevs -> fail " + Num(classDevsError));
        lastError = classDevsError;
        return INVALID_HANDLE_VALUE;
    }
    callLog.push_back("GetClassDevs");
    enumCalls = 0;
    return NewHandle('S', "");
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
{
    EXPECT_TRUE(IsOpen(DeviceInfoSet, 'S')) << "SetupDiEnumDeviceInterfaces: set not open";
    EXPECT_EQ(DeviceInfoData, nullptr) << "SetupDiEnumDeviceInterfaces: device record";
    EXPECT_TRUE(InterfaceClassGuid && SameGuid(InterfaceClassGuid, &interfaceClass))
        << "SetupDiEnumDeviceInterfaces: wrong class";
    if (!DeviceInterfaceData) {
        ADD_FAILURE() << "SetupDiEnumDeviceInterfaces: no interface record";
        lastError = ERROR_INVALID_USER_BUFFER;
        return FALSE;
    }
    EXPECT_EQ(DeviceInterfaceData->cbSize, (DWORD)sizeof(SP_DEVICE_INTERFACE_DATA))
        << "SetupDiEnumDeviceInterfaces: cbSize";
    if (++enumCalls > enumCallLimit) {
        ADD_FAILURE() << "SetupDiEnumDeviceInterfaces: discovery does not stop (index " << MemberIndex << ")";
        lastError = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    auto failure = enumErrors.find(MemberIndex);
    std::vector<FakeDevice *> list = Interfaces();
    DWORD error = failure != enumErrors.end()  ? failure->second
                  : MemberIndex >= list.size() ? ERROR_NO_MORE_ITEMS
                                               : 0;
    if (error) {
        callLog.push_back("Enum " + Num(MemberIndex) + " -> fail " + Num(error));
        lastError = error;
        return FALSE;
    }
    callLog.push_back("Enum " + Num(MemberIndex));
    DeviceInterfaceData->InterfaceClassGuid = interfaceClass;
    DeviceInterfaceData->Flags = 1;
    DeviceInterfaceData->Reserved = (ULONG_PTR)MemberIndex + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, LPDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    EXPECT_TRUE(IsOpen(DeviceInfoSet, 'S')) << "SetupDiGetDeviceInterfaceDetailA: set not open";
    EXPECT_EQ(DeviceInfoData, nullptr) << "SetupDiGetDeviceInterfaceDetailA: device record";
    std::vector<FakeDevice *> list = Interfaces();
    if (!DeviceInterfaceData || DeviceInterfaceData->Reserved == 0 || DeviceInterfaceData->Reserved > list.size()) {
        ADD_FAILURE() << "SetupDiGetDeviceInterfaceDetailA: not an enumerated interface";
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD index = (DWORD)(DeviceInterfaceData->Reserved - 1);
    const FakeDevice &d = *list[index];
    DWORD needed = TrueDetailSize(d);

    if (!DeviceInterfaceDetailData) {
        EXPECT_EQ(DeviceInterfaceDetailDataSize, 0u) << "detail size query with a length but no buffer";
        DWORD reported = d.overrideSize ? d.reportedSize : needed;
        callLog.push_back("DetailSize " + Num(index) + " -> " + Num(reported));
        if (RequiredSize)
            *RequiredSize = reported;
        else
            ADD_FAILURE() << "detail size query without a place for the size";
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    EXPECT_EQ(DeviceInterfaceDetailData->cbSize, (DWORD)sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        << "SetupDiGetDeviceInterfaceDetailA: cbSize";
    if (d.detailError) {
        callLog.push_back("Detail " + Num(index) + " -> fail " + Num(d.detailError));
        lastError = d.detailError;
        return FALSE;
    }
    if (RequiredSize)
        *RequiredSize = needed;
    if (DeviceInterfaceDetailDataSize < needed) {
        callLog.push_back("Detail " + Num(index) + " -> fail 122");
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    callLog.push_back("Detail " + Num(index));
    memcpy(DeviceInterfaceDetailData->DevicePath, d.path.c_str(), d.path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    HandleInfo *info = Lookup(DeviceInfoSet);
    if (!info || info->kind != 'S' || !info->open) {
        ADD_FAILURE() << "SetupDiDestroyDeviceInfoList of " << NameOf(DeviceInfoSet) << ", not an open set";
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    info->open = false;
    callLog.push_back("Destroy " + info->name);
    return TRUE;
}

HANDLE CreateFileA(PCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    FakeOpen record;
    record.path = lpFileName ? lpFileName : "";
    record.access = dwDesiredAccess;
    record.share = dwShareMode;
    record.disposition = dwCreationDisposition;
    record.flags = dwFlagsAndAttributes;
    record.securityNull = lpSecurityAttributes == nullptr;
    record.templateNull = hTemplateFile == nullptr;

    FakeDevice *d = lpFileName ? FindDevice(lpFileName) : nullptr;
    DWORD error = !d ? ERROR_FILE_NOT_FOUND : d->openError;
    if (error) {
        record.handle = INVALID_HANDLE_VALUE;
        record.name = "-";
        opens.push_back(record);
        callLog.push_back("CreateFile " + record.path + " -> fail " + Num(error));
        lastError = error;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = NewHandle('F', record.path);
    record.handle = h;
    record.name = NameOf(h);
    opens.push_back(record);
    callLog.push_back("CreateFile " + record.path + " -> " + record.name);
    return h;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, PCSTR lpName)
{
    EXPECT_EQ(lpEventAttributes, nullptr) << "CreateEventA: security attributes";
    EXPECT_FALSE(bManualReset) << "CreateEventA: the completion event resets itself";
    EXPECT_FALSE(bInitialState) << "CreateEventA: the completion event starts unsignalled";
    EXPECT_EQ(lpName, nullptr) << "CreateEventA: name";
    if (eventFailures > 0) {
        eventFailures--;
        callLog.push_back("CreateEvent -> fail " + Num(eventError));
        lastError = eventError;
        return nullptr;
    }
    HANDLE h = NewHandle('E', "");
    callLog.push_back("CreateEvent -> " + NameOf(h));
    return h;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    std::string line = "DeviceIoControl " + NameOf(hDevice) + " " + Hex32(dwIoControlCode);
    if (!IsOpen(hDevice, 'F')) {
        ADD_FAILURE() << line << ": not an open file handle";
        callLog.push_back(line + " -> fail 6");
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!lpOverlapped || !IsOpen(lpOverlapped->hEvent, 'E')) {
        ADD_FAILURE() << line << ": overlapped record without an open event";
        callLog.push_back(line + " -> fail 87");
        lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    EXPECT_EQ(lpOverlapped->Offset, 0u) << line;
    EXPECT_EQ(lpOverlapped->OffsetHigh, 0u) << line;
    EXPECT_FALSE(pending.active) << line << ": issued while another request is pending";
    EXPECT_EQ(lpInBuffer, lpOutBuffer) << line << ": input and output must be one buffer";
    EXPECT_EQ(nInBufferSize, nOutBufferSize) << line << ": input and output must have one length";

    FakeSentRequest record;
    record.code = dwIoControlCode;
    record.device = NameOf(hDevice);
    record.devicePath = Lookup(hDevice)->path;
    if (lpInBuffer && nInBufferSize)
        record.input.assign((const uint8_t *)lpInBuffer, (const uint8_t *)lpInBuffer + nInBufferSize);
    record.inSize = nInBufferSize;
    record.outSize = nOutBufferSize;
    record.sameBuffer = lpInBuffer == lpOutBuffer && nInBufferSize == nOutBufferSize;
    sent.push_back(record);

    if (expected.empty()) {
        ADD_FAILURE() << line << ": no request expected";
        callLog.push_back(line + " -> fail 31");
        lastError = ERROR_GEN_FAILURE;
        return FALSE;
    }
    FakeRequest r = expected.front();
    expected.pop_front();
    EXPECT_EQ(Hex32(dwIoControlCode), Hex32(r.code)) << "DeviceIoControl: control code";
    if (!r.devicePath.empty()) {
        EXPECT_EQ(record.devicePath, r.devicePath) << line << ": sent to the wrong device";
    }
    if (r.checkInput && record.input != r.input)
        ADD_FAILURE() << line << ": input bytes differ\nsent:\n"
                      << FakeHex(record.input) << "\nexpected:\n"
                      << FakeHex(r.input);

    uint8_t *out = (uint8_t *)lpOutBuffer;
    if (!out && nOutBufferSize) {
        ADD_FAILURE() << line << ": output length without a buffer";
        nOutBufferSize = 0;
    }
    switch (r.outcome) {
    case FAKE_COMPLETED:
        WriteReply(r, out, nOutBufferSize);
        if (lpBytesReturned)
            *lpBytesReturned = nOutBufferSize;
        callLog.push_back(line);
        return TRUE;
    case FAKE_REFUSED:
        callLog.push_back(line + " -> fail " + Num(r.error));
        lastError = r.error;
        return FALSE;
    default:
        pending = PendingOp();
        pending.active = true;
        pending.request = r;
        pending.device = hDevice;
        pending.event = lpOverlapped->hEvent;
        pending.overlapped = lpOverlapped;
        pending.out = out;
        pending.outSize = nOutBufferSize;
        callLog.push_back(line + " -> pending");
        lastError = ERROR_IO_PENDING;
        return FALSE;
    }
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    EXPECT_EQ(dwMilliseconds, (DWORD)INFINITE) << "WaitForSingleObject: a request is awaited without a limit";
    if (!pending.active || hHandle != pending.event) {
        ADD_FAILURE() << "WaitForSingleObject on " << NameOf(hHandle) << " with no request pending on it";
        callLog.push_back("Wait " + NameOf(hHandle) + " -> " + Num(WAIT_FAILED));
        lastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    if (pending.request.outcome == FAKE_WAIT_UNEXPECTED) {
        DWORD result = pending.request.waitResult;
        callLog.push_back("Wait " + NameOf(hHandle) + " -> " + Num(result));
        pending = PendingOp();
        return result;
    }
    if (pending.request.outcome == FAKE_PENDED)
        WriteReply(pending.request, pending.out, pending.outSize);
    pending.signalled = true;
    callLog.push_back("Wait " + NameOf(hHandle) + " -> 0");
    return WAIT_OBJECT_0;
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    std::string line = "GetOverlappedResult " + NameOf(hFile);
    EXPECT_FALSE(bWait) << line << ": the wait has been done already";
    if (!pending.active || hFile != pending.device || lpOverlapped != pending.overlapped) {
        ADD_FAILURE() << line << ": no request pending on this handle and record";
        callLog.push_back(line + " -> fail 6");
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!pending.signalled) {
        ADD_FAILURE() << line << ": asked before the event was signalled";
        callLog.push_back(line + " -> fail 996");
        lastError = ERROR_IO_INCOMPLETE;
        return FALSE;
    }
    FakeRequest r = pending.request;
    uint32_t size = pending.outSize;
    pending = PendingOp();
    if (r.outcome == FAKE_PENDED_FAILED) {
        callLog.push_back(line + " -> fail " + Num(r.error));
        lastError = r.error;
        return FALSE;
    }
    if (lpNumberOfBytesTransferred)
        *lpNumberOfBytesTransferred = size;
    callLog.push_back(line);
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject)
{
    HandleInfo *info = Lookup(hObject);
    if (!info) {
        uintptr_t value = (uintptr_t)hObject;
        // A handle of an earlier test, given back by a later channel reset.
        if (value >= handleBase && value < firstHandleOfRun && (value - handleBase) % handleStep == 0)
            return TRUE;
        ADD_FAILURE() << "CloseHandle of an unknown handle " << NameOf(hObject);
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (info->kind == 'S') {
        ADD_FAILURE() << "CloseHandle of device-info set " << info->name;
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!info->open) {
        ADD_FAILURE() << "double close of " << info->name;
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    info->open = false;
    if (pending.active && (hObject == pending.device || hObject == pending.event))
        pending = PendingOp();
    closedNames.push_back(info->name);
    callLog.push_back("CloseHandle " + info->name);
    return TRUE;
}
