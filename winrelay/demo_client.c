/*
 * demo_client: drives the relay driver and the echo service behind it the
 * way the administration tool does (SetupDi enumeration, CreateFileA with
 * FILE_FLAG_OVERLAPPED, DeviceIoControl, the event wait and
 * GetOverlappedResult) and checks every behaviour the tool relies on.
 *
 *   demo_client ECHO_SERVICE.exe
 *
 * The echo service must be listening and the relay running with two
 * instances. The last group ends the service and starts ECHO_SERVICE.exe
 * again, which stays running. Prints one line per check and a summary line;
 * exits 0 when every check passed.
 */
#define _WIN32_WINNT 0x0600
#include <windows.h>
#include <setupapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo_codes.h"
#include "relay_service.h"

#define MAX_INTERFACES 8
#define SETTLE_MS 5000

static const GUID g_class = FERV_RELAY_INTERFACE_GUID_INIT;
static int g_passed, g_failed;

static void check(BOOL ok, const char *format, ...)
{
    va_list ap;
    printf("%s ", ok ? "PASS" : "FAIL");
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    printf("\n");
    fflush(stdout);
    if (ok)
        g_passed++;
    else
        g_failed++;
}

static HANDLE open_device(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, NULL);
}

/* One overlapped request: what DeviceIoControl said, then what the wait and
 * GetOverlappedResult said. */
struct call {
    HANDLE device;
    OVERLAPPED ov;
    BOOL ok;
    DWORD error;
    DWORD bytes;
    DWORD wait;
};

static void start_call(struct call *c, HANDLE device, DWORD code, void *buffer, DWORD in, DWORD out)
{
    memset(c, 0, sizeof *c);
    c->device = device;
    c->ov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    c->ok = DeviceIoControl(device, code, buffer, in, buffer, out, &c->bytes, &c->ov);
    c->error = c->ok ? 0 : GetLastError();
}

static void end_call(struct call *c, DWORD timeout)
{
    c->wait = WaitForSingleObject(c->ov.hEvent, timeout);
    c->ok = GetOverlappedResult(c->device, &c->ov, &c->bytes, FALSE);
    c->error = c->ok ? 0 : GetLastError();
    CloseHandle(c->ov.hEvent);
}

/* A request expected to complete at once; returns DeviceIoControl's verdict
 * and leaves the error in *error. */
static BOOL call_now(HANDLE device, DWORD code, void *buffer, DWORD in, DWORD out, DWORD *bytes, DWORD *error)
{
    struct call c;
    start_call(&c, device, code, buffer, in, out);
    if (!c.ok && c.error == ERROR_IO_PENDING) {
        /* Not what the test wants, but do not leave the request behind. */
        end_call(&c, SETTLE_MS);
        *error = ERROR_IO_PENDING;
        return FALSE;
    }
    CloseHandle(c.ov.hEvent);
    *bytes = c.bytes;
    *error = c.error;
    return c.ok;
}

static BOOL echo_ok(HANDLE device, unsigned int endpoint)
{
    unsigned char b[16];
    DWORD bytes = 0, error = 0;
    memset(b, 0x5A, sizeof b);
    return call_now(device, DEMO_CODE_ECHO, b, 12, 16, &bytes, &error) && bytes == 12 &&
           FervRelayLoad32(b, 0) == 0 && FervRelayLoad32(b, 4) == endpoint;
}

/* Lists the interface paths of the driver's class, in enumeration order. */
static int enumerate(char paths[][MAX_PATH])
{
    HDEVINFO set = SetupDiGetClassDevsA(&g_class, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data;
    DWORD index;
    int n = 0;

    if (set == INVALID_HANDLE_VALUE)
        return -1;
    data.cbSize = sizeof data;
    for (index = 0; n < MAX_INTERFACES && SetupDiEnumDeviceInterfaces(set, NULL, &g_class, index, &data); index++) {
        DWORD size = 0;
        SP_DEVICE_INTERFACE_DETAIL_DATA_A *detail;
        SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &size, NULL);
        if (size < sizeof *detail)
            continue;
        detail = calloc(1, size);
        if (!detail)
            continue;
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, &size, NULL)) {
            snprintf(paths[n], MAX_PATH, "%s", detail->DevicePath);
            n++;
        }
        free(detail);
    }
    SetupDiDestroyDeviceInfoList(set);
    return n;
}

static BOOL has_upper(const char *s)
{
    for (; *s; s++)
        if (*s >= 'A' && *s <= 'Z')
            return TRUE;
    return FALSE;
}

static void check_discovery(char paths[][MAX_PATH], int *count)
{
    int i;
    *count = enumerate(paths);
    check(*count == 2, "two interfaces enumerated (got %d)", *count);
    for (i = 0; i < *count; i++) {
        char want[16];
        snprintf(want, sizeof want, "#%04d#", i);
        check(strstr(paths[i], want) && !has_upper(paths[i]), "interface %d in instance order, lower case: %s", i,
              paths[i]);
    }
}

static void check_completed(HANDLE control, HANDLE iface[2])
{
    unsigned char b[16];
    DWORD bytes = 0, error = 0;
    unsigned char *big;
    BOOL ok;
    unsigned i;

    memset(b, 0x5A, sizeof b);
    ok = call_now(control, DEMO_CODE_ECHO, b, 12, 16, &bytes, &error);
    check(ok && bytes == 12, "control device: request completes at once (ok %d, error %lu, bytes %lu)", ok,
          (unsigned long)error, (unsigned long)bytes);
    check(FervRelayLoad32(b, 0) == 0 && FervRelayLoad32(b, 4) == 0 && b[8] == 0x5A && b[11] == 0x5A,
          "control device: status word 0, endpoint 0, input echoed");
    check(b[12] == 0x5A && b[15] == 0x5A, "bytes past the reply are left as they were");
    check(echo_ok(iface[0], 1) && echo_ok(iface[1], 2), "interfaces 0 and 1 reach the service as endpoints 1 and 2");

    /* Larger than the pipe's buffers: the relay moves it in pieces. */
    big = malloc(1 << 20);
    if (big) {
        for (i = 0; i < (1u << 20); i++)
            big[i] = (unsigned char)(i * 7);
        ok = call_now(control, DEMO_CODE_ECHO, big, 1 << 20, 1 << 20, &bytes, &error);
        for (i = 8; ok && i < (1u << 20); i++)
            ok = big[i] == (unsigned char)(i * 7);
        check(ok && bytes == (1u << 20), "1 MiB request and reply arrive whole");
        free(big);
    }
}

static void check_refused(HANDLE control)
{
    static const struct {
        unsigned int status;
        DWORD error;
    } cases[] = {
        {FERV_RELAY_STATUS_INVALID_DEVICE_REQUEST, 1},
        {FERV_RELAY_STATUS_UNSUCCESSFUL, 31},
        {FERV_RELAY_STATUS_BUFFER_TOO_SMALL, 122},
        {FERV_RELAY_STATUS_FROM_WIN32(1), 1},
        {FERV_RELAY_STATUS_FROM_WIN32(1234), 1234},
        /* A refusal that would read as "pending" is turned into a failure. */
        {FERV_RELAY_STATUS_FROM_WIN32(ERROR_IO_PENDING), 31},
    };
    unsigned i;
    for (i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        unsigned char b[8];
        DWORD bytes = 0, error = 0;
        BOOL ok;
        FervRelayStore32(b, 0, 0);
        FervRelayStore32(b, 4, cases[i].status);
        ok = call_now(control, DEMO_CODE_REFUSE, b, 8, 8, &bytes, &error);
        check(!ok && error == cases[i].error, "refused outright with %08X: Win32 error %lu (want %lu)",
              cases[i].status, (unsigned long)error, (unsigned long)cases[i].error);
    }
}

static void check_pended(HANDLE control, HANDLE iface[2])
{
    unsigned char w1[8] = {0}, w2[8] = {0}, f[8] = {0};
    struct call a, b, c;

    start_call(&a, control, DEMO_CODE_WAIT, w1, 8, 8);
    check(!a.ok && a.error == ERROR_IO_PENDING, "held request: DeviceIoControl FALSE with 997 (error %lu)",
          (unsigned long)a.error);
    start_call(&b, iface[1], DEMO_CODE_WAIT, w2, 8, 8);
    check(WaitForSingleObject(a.ov.hEvent, 200) == WAIT_TIMEOUT, "held request stays pending");
    check(!b.ok && b.error == ERROR_IO_PENDING, "a second held request on another device");
    check(echo_ok(iface[0], 1), "other requests go on while two are held");
    end_call(&a, SETTLE_MS);
    end_call(&b, SETTLE_MS);
    check(a.wait == WAIT_OBJECT_0 && a.ok && a.bytes == 8 && FervRelayLoad32(w1, 0) == 0 &&
              FervRelayLoad32(w1, 4) != 0,
          "completed later: wait %lu, GetOverlappedResult %d, bytes %lu, key %u", (unsigned long)a.wait, a.ok,
          (unsigned long)a.bytes, FervRelayLoad32(w1, 4));
    check(b.wait == WAIT_OBJECT_0 && b.ok && FervRelayLoad32(w2, 4) == FervRelayLoad32(w1, 4),
          "both held requests completed by the same change");

    start_call(&c, iface[1], DEMO_CODE_FAIL_LATER, f, 8, 8);
    check(!c.ok && c.error == ERROR_IO_PENDING, "held request that will fail: 997");
    check(echo_ok(control, 0), "request that releases it completes");
    end_call(&c, SETTLE_MS);
    check(c.wait == WAIT_OBJECT_0 && !c.ok && c.error == 31,
          "failed completion: wait %lu, GetOverlappedResult FALSE with %lu (want 31)", (unsigned long)c.wait,
          (unsigned long)c.error);
}

static void check_faults(HANDLE control)
{
    unsigned char b[8] = {0};
    DWORD bytes = 0, error = 0;
    BOOL ok;
    struct call c, d;
    HANDLE h;

    ok = call_now(control, DEMO_CODE_OVERSIZE, b, 8, 8, &bytes, &error);
    check(!ok && error == 31, "reply longer than the output buffer: refused with 31 (error %lu)",
          (unsigned long)error);
    check(echo_ok(control, 0), "the connection survives a bad answer");

    h = open_device(FERV_RELAY_CONTROL_PATH);
    start_call(&c, h, DEMO_CODE_WAIT, b, 8, 8);
    CancelIoEx(h, &c.ov);
    end_call(&c, SETTLE_MS);
    check(c.wait == WAIT_OBJECT_0 && !c.ok && c.error == ERROR_OPERATION_ABORTED,
          "cancelled held request: GetOverlappedResult FALSE with %lu (want 995)", (unsigned long)c.error);

    start_call(&d, h, DEMO_CODE_WAIT, b, 8, 8);
    CloseHandle(h);
    check(WaitForSingleObject(d.ov.hEvent, SETTLE_MS) == WAIT_OBJECT_0,
          "closing the handle completes its held request");
    CloseHandle(d.ov.hEvent);
    check(echo_ok(control, 0) && echo_ok(control, 0),
          "answers for requests whose client went away are dropped harmlessly");
}

static void check_timing(HANDLE control)
{
    LARGE_INTEGER f, t0, t1;
    int i, n = 2000, good = 0;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    for (i = 0; i < n; i++)
        good += echo_ok(control, 0);
    QueryPerformanceCounter(&t1);
    check(good == n, "%d round trips, %.1f us each", n,
          (double)(t1.QuadPart - t0.QuadPart) * 1e6 / (double)f.QuadPart / n);
}

static void check_service_end(HANDLE control, HANDLE iface[2], const char *service)
{
    char paths[MAX_INTERFACES][MAX_PATH];
    unsigned char b[8] = {0};
    int n;
    DWORD bytes = 0, error = 0;
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    struct call held;
    HANDLE h = INVALID_HANDLE_VALUE;
    BOOL ok;
    int tries;

    start_call(&held, iface[0], DEMO_CODE_WAIT, b, 8, 8);
    ok = call_now(control, DEMO_CODE_QUIT, b, 8, 8, &bytes, &error);
    check(!ok && error == 31, "service ends mid-request: refused with 31 (error %lu)", (unsigned long)error);
    end_call(&held, SETTLE_MS);
    check(held.wait == WAIT_OBJECT_0 && !held.ok && held.error == ERROR_OPERATION_ABORTED,
          "service ends: held request fails with %lu (want 995)", (unsigned long)held.error);
    h = open_device(FERV_RELAY_CONTROL_PATH);
    error = GetLastError();
    check(h == INVALID_HANDLE_VALUE && error == ERROR_FILE_NOT_FOUND,
          "no service: the control device is absent (error %lu)", (unsigned long)error);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    ok = call_now(control, DEMO_CODE_ECHO, b, 8, 8, &bytes, &error);
    check(!ok && error == 31, "no service: an old handle fails with 31 (error %lu)", (unsigned long)error);
    n = enumerate(paths);
    check(n == 0, "no service: no interface present (got %d)", n);

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(service, NULL, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        check(FALSE, "start %s again (error %lu)", service, (unsigned long)GetLastError());
        return;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    h = INVALID_HANDLE_VALUE;
    for (tries = 0; tries < 100 && h == INVALID_HANDLE_VALUE; tries++) {
        h = open_device(FERV_RELAY_CONTROL_PATH);
        if (h == INVALID_HANDLE_VALUE)
            Sleep(100);
    }
    check(h != INVALID_HANDLE_VALUE && echo_ok(h, 0), "service started again: a new handle works");
    n = enumerate(paths);
    check(n == 2, "service started again: both interfaces present (got %d)", n);
    ok = call_now(iface[1], DEMO_CODE_ECHO, b, 8, 8, &bytes, &error);
    check(!ok && error == 31, "a handle from the old connection stays dead (error %lu)", (unsigned long)error);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

int main(int argc, char **argv)
{
    char paths[MAX_INTERFACES][MAX_PATH];
    HANDLE control, iface[2];
    int count;

    if (argc != 2) {
        printf("usage: demo_client ECHO_SERVICE.exe\n");
        return 2;
    }
    check_discovery(paths, &count);
    control = open_device(FERV_RELAY_CONTROL_PATH);
    check(control != INVALID_HANDLE_VALUE, "control device opens (error %lu)", (unsigned long)GetLastError());
    iface[0] = count > 0 ? open_device(paths[0]) : INVALID_HANDLE_VALUE;
    iface[1] = count > 1 ? open_device(paths[1]) : INVALID_HANDLE_VALUE;
    check(iface[0] != INVALID_HANDLE_VALUE && iface[1] != INVALID_HANDLE_VALUE, "both interfaces open");
    if (control == INVALID_HANDLE_VALUE || iface[0] == INVALID_HANDLE_VALUE || iface[1] == INVALID_HANDLE_VALUE) {
        printf("%d passed, %d failed\n", g_passed, g_failed);
        return 1;
    }

    check_completed(control, iface);
    check_refused(control);
    check_pended(control, iface);
    check_faults(control);
    check_timing(control);
    check_service_end(control, iface, argv[1]);

    printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
