/*
 * fervrelay-install: sets up the relay driver as a kernel-driver service with
 * N root-enumerated device instances, and takes it down again.
 *
 *   fervrelay-install install [--service NAME] [--devices N] DRIVER.sys
 *   fervrelay-install start|stop|uninstall [--service NAME]
 *
 * The instances are created without an INF: each gets the instance id
 * ROOT\<NAME>\<nnnn>, the hardware id root\<name> and the service NAME, so the
 * Plug and Play manager hands every instance to the relay's AddDevice routine
 * when the service starts. Instance ids are numbered from 0000 upwards, which
 * is also the order in which SetupDi enumerates their device interfaces.
 *
 * Exit status: 0 on success, 1 on a usage error, 2 when a setup or service
 * call failed (the failing call and its Win32 error are printed), 3 when the
 * driver did not stop (uninstall still removes the devices and the service).
 */
#include <windows.h>
#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_SERVICE "FervRelay"
#define DEFAULT_DEVICES 2
#define MAX_DEVICES 64
/* How long start and stop wait for the service to reach its new state. */
#define STATE_WAIT_MS 20000
/* Attempts of StartService while the service manager is busy. */
#define START_RETRIES 10
/* A stop that leaves the service running this long has been refused. */
#define STILL_RUNNING_MS 2000
/* Room for "ROOT\\<name>\\nnnn" and "root\\<name>" with a name of up to 64 characters. */
#define ID_LEN 128

/* The instances belong to no setup class; mingw's libraries lack GUID_NULL. */
static const GUID no_class;

static int usage(void)
{
    printf("usage: fervrelay-install install [--service NAME] [--devices N] DRIVER.sys\n"
           "       fervrelay-install start|stop|uninstall [--service NAME]\n");
    return 1;
}

static int fail(const char *what)
{
    printf("fervrelay-install: %s failed: %lu\n", what, (unsigned long)GetLastError());
    return 2;
}

/* Waits until the service reports `want`, or the time runs out. */
static BOOL wait_for_state(SC_HANDLE svc, DWORD want)
{
    DWORD waited = 0;
    SERVICE_STATUS st;
    while (QueryServiceStatus(svc, &st)) {
        if (st.dwCurrentState == want)
            return TRUE;
        if (waited >= STATE_WAIT_MS)
            break;
        Sleep(50);
        waited += 50;
    }
    return FALSE;
}

/* Builds "ROOT\<SERVICE>\<nnnn>", upper case as the Plug and Play manager
 * keeps instance ids. */
static void instance_id(char *out, size_t size, const char *service, unsigned index)
{
    size_t i;
    snprintf(out, size, "ROOT\\%s\\%04u", service, index);
    for (i = 0; out[i]; i++)
        if (out[i] >= 'a' && out[i] <= 'z')
            out[i] = (char)(out[i] - 'a' + 'A');
}

/* Creates and registers one root-enumerated instance bound to `service`.
 * An instance that already exists is left as it is. */
static int create_instance(const char *service, unsigned index)
{
    char id[ID_LEN];
    char hwid[ID_LEN + 2];
    size_t hwlen;
    SP_DEVINFO_DATA dev;
    HDEVINFO set;
    int rc = 0;

    instance_id(id, sizeof id, service, index);
    /* A multi-string: "root\<service>" and an empty string after it. */
    memset(hwid, 0, sizeof hwid);
    snprintf(hwid, sizeof hwid - 2, "root\\%s", service);
    hwlen = strlen(hwid) + 2;

    set = SetupDiCreateDeviceInfoList(&no_class, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    dev.cbSize = sizeof dev;
    if (!SetupDiCreateDeviceInfoA(set, id, &no_class, NULL, NULL, 0, &dev)) {
        if (GetLastError() == ERROR_DEVINST_ALREADY_EXISTS) {
            printf("fervrelay-install: %s already exists\n", id);
        } else {
            rc = fail("SetupDiCreateDeviceInfo");
        }
        SetupDiDestroyDeviceInfoList(set);
        return rc;
    }
    if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, (const BYTE *)hwid, (DWORD)hwlen))
        rc = fail("SetupDiSetDeviceRegistryProperty(HARDWAREID)");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        rc = fail("SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_SERVICE, (const BYTE *)service,
                                                (DWORD)strlen(service) + 1))
        rc = fail("SetupDiSetDeviceRegistryProperty(SERVICE)");
    else
        printf("fervrelay-install: created %s\n", id);
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

/* Removes every instance ROOT\<service>\nnnn that exists; missing ones are
 * not an error. */
static int remove_instances(const char *service)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&no_class, NULL);
    unsigned i;
    int rc = 0;

    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    for (i = 0; i < MAX_DEVICES; i++) {
        char id[ID_LEN];
        SP_DEVINFO_DATA dev;
        instance_id(id, sizeof id, service, i);
        dev.cbSize = sizeof dev;
        if (!SetupDiOpenDeviceInfoA(set, id, NULL, 0, &dev))
            continue;
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &dev) && !SetupDiRemoveDevice(set, &dev))
            rc = fail("SetupDiRemoveDevice");
        else
            printf("fervrelay-install: removed %s\n", id);
    }
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

/* Starts the service. While the service manager itself is still starting
 * (a freshly booted system, or a Wine session coming up) it answers 1053 or
 * 1055 for a while: those are tried again. */
static int start_service(SC_HANDLE svc)
{
    int tries = 0;
    while (!StartServiceA(svc, 0, NULL)) {
        DWORD err = GetLastError();
        if (err == ERROR_SERVICE_ALREADY_RUNNING)
            break;
        /* Wine loads the driver of root-enumerated instances by itself when
         * a session starts; starting it again then fails to create its
         * devices, which already exist. */
        if (err == ERROR_ALREADY_EXISTS) {
            printf("fervrelay-install: the driver runs already\n");
            return 0;
        }
        if ((err != ERROR_SERVICE_REQUEST_TIMEOUT && err != ERROR_SERVICE_DATABASE_LOCKED) ||
            ++tries > START_RETRIES)
            return fail("StartService");
        Sleep(1000);
    }
    if (!wait_for_state(svc, SERVICE_RUNNING))
        return fail("waiting for the service to run");
    printf("fervrelay-install: service running\n");
    return 0;
}

/* Stops the service. A host that keeps a driver with running devices loaded
 * (Wine does) leaves the service running rather than stop-pending: that is
 * reported after STILL_RUNNING_MS as exit status 3. */
static int stop_service(SC_HANDLE svc)
{
    SERVICE_STATUS st;
    DWORD waited = 0;

    if (!ControlService(svc, SERVICE_CONTROL_STOP, &st)) {
        DWORD err = GetLastError();
        if (err == ERROR_SERVICE_NOT_ACTIVE)
            return 0;
        return fail("ControlService(STOP)");
    }
    while (QueryServiceStatus(svc, &st)) {
        if (st.dwCurrentState == SERVICE_STOPPED) {
            printf("fervrelay-install: service stopped\n");
            return 0;
        }
        if ((st.dwCurrentState == SERVICE_RUNNING && waited >= STILL_RUNNING_MS) || waited >= STATE_WAIT_MS) {
            printf("fervrelay-install: the driver did not stop (state %lu)\n", (unsigned long)st.dwCurrentState);
            return 3;
        }
        Sleep(50);
        waited += 50;
    }
    return fail("QueryServiceStatus");
}

static int do_install(SC_HANDLE scm, const char *service, unsigned devices, const char *driver)
{
    char path[MAX_PATH];
    SC_HANDLE svc;
    unsigned i;
    int rc;

    if (!GetFullPathNameA(driver, sizeof path, path, NULL))
        return fail("GetFullPathName");
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        return fail("finding the driver file");
    svc = CreateServiceA(scm, service, service, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                         SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL, NULL, NULL);
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) {
        /* Reinstalling: point the existing service at this driver file. */
        svc = OpenServiceA(scm, service, SERVICE_ALL_ACCESS);
        if (svc && !ChangeServiceConfigA(svc, SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                         path, NULL, NULL, NULL, NULL, NULL, NULL)) {
            CloseServiceHandle(svc);
            return fail("ChangeServiceConfig");
        }
    }
    if (!svc)
        return fail("CreateService");
    printf("fervrelay-install: service %s -> %s\n", service, path);
    for (i = 0; i < devices; i++) {
        rc = create_instance(service, i);
        if (rc) {
            CloseServiceHandle(svc);
            return rc;
        }
    }
    rc = start_service(svc);
    CloseServiceHandle(svc);
    return rc;
}

int main(int argc, char **argv)
{
    const char *service = DEFAULT_SERVICE;
    const char *driver = NULL;
    const char *verb;
    unsigned devices = DEFAULT_DEVICES;
    SC_HANDLE scm, svc;
    int i, rc;

    if (argc < 2)
        return usage();
    verb = argv[1];
    for (i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "--service") && i + 1 < argc) {
            service = argv[++i];
        } else if (!strcmp(argv[i], "--devices") && i + 1 < argc) {
            char *end;
            unsigned long n = strtoul(argv[++i], &end, 10);
            if (*end || end == argv[i] || n > MAX_DEVICES)
                return usage();
            devices = (unsigned)n;
        } else if (argv[i][0] != '-' && !driver) {
            driver = argv[i];
        } else {
            return usage();
        }
    }
    /* Instance and hardware ids must stay well inside ID_LEN, and a
     * backslash in the name would add a level to the instance id. */
    if (!*service || strlen(service) > 64 || strchr(service, '\\'))
        return usage();

    scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (!scm)
        return fail("OpenSCManager");

    if (!strcmp(verb, "install")) {
        rc = driver ? do_install(scm, service, devices, driver) : usage();
        CloseServiceHandle(scm);
        return rc;
    }
    if (driver || (strcmp(verb, "start") && strcmp(verb, "stop") && strcmp(verb, "uninstall"))) {
        CloseServiceHandle(scm);
        return usage();
    }
    svc = OpenServiceA(scm, service, SERVICE_ALL_ACCESS);
    if (!svc) {
        rc = fail("OpenService");
        CloseServiceHandle(scm);
        return rc;
    }
    if (!strcmp(verb, "start")) {
        rc = start_service(svc);
    } else if (!strcmp(verb, "stop")) {
        rc = stop_service(svc);
    } else {
        /* The devices go first: a driver with running devices cannot be
         * unloaded. Where the host keeps the driver loaded all the same (Wine
         * does until its session ends), the service is still deleted. */
        rc = remove_instances(service);
        if (!rc && stop_service(svc) == 3)
            printf("fervrelay-install: it stays loaded until the host restarts\n");
        if (!rc && !DeleteService(svc))
            rc = fail("DeleteService");
        if (!rc)
            printf("fervrelay-install: service %s removed\n", service);
    }
    CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return rc;
}
