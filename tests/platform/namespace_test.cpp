// Where the platform layer looks for the driver: the root directory, the
// names it maps to sockets, interface enumeration, and who may be opened.
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "tests/platform/platform_test_util.h"

using ferv_test::ScopedEnv;

namespace {

std::string RootNow()
{
    char *root = PosixDeviceRoot();
    std::string text = root != NULL ? root : "(null)";
    free(root);
    return text;
}

// Maps a CreateFileA name; "" and the last error when it names nothing.
std::string PathFor(const char *name, DWORD *error)
{
    SetLastError(0);
    char *path = PosixSocketPathForName(name);
    *error = GetLastError();
    std::string text = path != NULL ? path : "";
    free(path);
    return text;
}

// Enumerates the driver's class: the device path of every member, in order.
std::vector<std::string> DevicePaths()
{
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&kDriverClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, NULL, &kDriverClass, index, &data); index++) {
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL);
        std::vector<uint8_t> buffer(required);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, &required, NULL));
        paths.push_back(detail->DevicePath);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return paths;
}

} // namespace

TEST(DeviceRoot, TakesTheFirstVariableThatIsSetAndNotEmpty)
{
    char fallback[64];
    snprintf(fallback, sizeof fallback, "/tmp/ferv-%u", (unsigned)getuid());
    {
        ScopedEnv explicitRoot("FERV_DEVICE_ROOT", "/srv/ferv-root");
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7");
        EXPECT_EQ(RootNow(), "/srv/ferv-root");
    }
    {
        ScopedEnv explicitRoot("FERV_DEVICE_ROOT", "");
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/7");
        EXPECT_EQ(RootNow(), "/run/user/7/ferv");
    }
    {
        ScopedEnv explicitRoot("FERV_DEVICE_ROOT", nullptr);
        ScopedEnv runtime("XDG_RUNTIME_DIR", "");
        EXPECT_EQ(RootNow(), fallback);
    }
    {
        ScopedEnv explicitRoot("FERV_DEVICE_ROOT", nullptr);
        ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
        EXPECT_EQ(RootNow(), fallback);
    }
    {
        // Device paths are handed out absolute, so a relative root is anchored.
        char *cwd = getcwd(NULL, 0);
        ScopedEnv explicitRoot("FERV_DEVICE_ROOT", "relative/root");
        EXPECT_EQ(RootNow(), std::string(cwd) + "/relative/root");
        free(cwd);
    }
}

// The same order, seen by opening: the runtime directory's ferv folder is
// used only while FERV_DEVICE_ROOT is empty.
TEST(DeviceRoot, RuntimeDirectoryServesWhenNoExplicitRootIsSet)
{
    char runtime[] = "/tmp/ferv-xdg-XXXXXX";
    ASSERT_NE(mkdtemp(runtime), nullptr);
    {
        ferv_test::TestServer server(std::string(runtime) + "/ferv");
        server.AddControlDevice();
        ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime);
        {
            ScopedEnv explicitRoot("FERV_DEVICE_ROOT", "");
            EXPECT_EQ(OpenError("\\\\.\\ZEL_HA_CONTROL"), 0u);
        }
        {
            ScopedEnv explicitRoot("FERV_DEVICE_ROOT", runtime); // holds no device
            EXPECT_EQ(OpenError("\\\\.\\ZEL_HA_CONTROL"), ERROR_FILE_NOT_FOUND);
        }
    }
    rmdir(runtime);
}

TEST(DeviceNames, MapTheDeviceNamespaceAndRefuseNamesThatLeaveIt)
{
    ScopedEnv explicitRoot("FERV_DEVICE_ROOT", "/srv/r");
    DWORD error = 0;
    EXPECT_EQ(PathFor("\\\\.\\ZEL_HA_CONTROL", &error), "/srv/r/ZEL_HA_CONTROL");
    EXPECT_EQ(PathFor("/srv/r/interfaces/x/ha0", &error), "/srv/r/interfaces/x/ha0");

    const char *outside[] = {"\\\\.\\",     "\\\\.\\..",  "\\\\.\\.", "\\\\.\\a/../../etc",
                             "\\\\.\\a\\b", "C:\\driver", "\\\\?\\x", ""};
    for (const char *name : outside) {
        EXPECT_EQ(PathFor(name, &error), "") << name;
        EXPECT_EQ(error, ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(DeviceNames, FormatGuidsInLowerCaseWithBraces)
{
    char text[39];
    PosixFormatGuid(&kDriverClass, text);
    EXPECT_STREQ(text, ferv_test::kInterfaceClass);
}

using Enumeration = ServedRoot;

TEST_F(Enumeration, ListsEveryEntrySortedByBytesAsAbsolutePaths)
{
    // Upper case sorts before lower case and UTF-8 after ASCII in byte order;
    // plain files and dead sockets are members all the same.
    for (const char *name : {"b", "a0", "B", "a"})
        server.AddInterface(name);
    server.AddPlainInterface("plain");
    server.AddDeadInterface("dead");
    server.AddInterface("\xc3\xa9t\xc3\xa9");
    std::string dir = server.InterfaceDir();
    std::vector<std::string> expected;
    for (const char *name : {"B", "a", "a0", "b", "dead", "plain", "\xc3\xa9t\xc3\xa9"})
        expected.push_back(dir + "/" + name);
    EXPECT_EQ(DevicePaths(), expected);
}

TEST_F(Enumeration, SetIsASnapshotOfItsClassOnly)
{
    server.AddInterface("ha0");
    HDEVINFO set = SetupDiGetClassDevsA(&kDriverClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    server.AddInterface("ha1"); // arrives after the snapshot

    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &kDriverClass, 0, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kDriverClass, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    GUID other = kDriverClass;
    other.Data1 ^= 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &other, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    // Another class has no directory: an empty set, not an error.
    set = SetupDiGetClassDevsA(&other, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &other, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Enumeration, MissingClassDirectoryIsAnEmptySet)
{
    server.AddControlDevice(); // the root exists, R/interfaces does not
    EXPECT_TRUE(DevicePaths().empty());
}

TEST_F(Enumeration, DetailReportsItsSizeAndRefusesShortOrMislabelledBuffers)
{
    server.AddInterface("ha0");
    std::string path = server.InterfaceDir() + "/ha0";
    DWORD expectedSize = (DWORD)(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + path.size() + 1);

    HDEVINFO set = SetupDiGetClassDevsA(&kDriverClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, NULL, &kDriverClass, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, NULL, &kDriverClass, 0, &data));

    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, 0, &required, NULL));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expectedSize);

    // One byte short: refused, and not a byte of the buffer written.
    std::vector<uint8_t> buffer(expectedSize + 8, 0xEE);
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    std::vector<uint8_t> before = buffer;
    required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expectedSize - 1, &required, NULL));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, expectedSize);
    EXPECT_EQ(buffer, before);

    detail->cbSize = 5; // a 32-bit Windows size is not this record's size
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expectedSize, NULL, NULL));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, NULL, expectedSize, NULL, NULL));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, expectedSize, NULL, NULL));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    EXPECT_EQ(buffer[expectedSize], 0xEE); // nothing past the given length

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

using Opening = ServedRoot;

TEST_F(Opening, ConnectsByDeviceNameOrPathAndClosesTheConnection)
{
    server.AddControlDevice();
    server.AddInterface("ha0");
    HANDLE control = OpenDevice("\\\\.\\ZEL_HA_CONTROL");
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    HANDLE interface = OpenDevice(server.PathOf("ha0"));
    ASSERT_NE(interface, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 1));
    EXPECT_TRUE(server.WaitForOpenConnections("ha0", 1));

    EXPECT_TRUE(CloseHandle(control));
    EXPECT_TRUE(CloseHandle(interface));
    EXPECT_TRUE(server.WaitForOpenConnections(ferv_test::kControlDevice, 0));
    EXPECT_TRUE(server.WaitForOpenConnections("ha0", 0));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Opening, AnythingNobodyServesIsNotFound)
{
    server.AddDeadInterface("dead");
    server.AddPlainInterface("plain");
    EXPECT_EQ(OpenError(server.PathOf("dead")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(server.PathOf("plain")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(server.InterfaceDir()), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError(server.Root() + "/absent"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError("\\\\.\\ZEL_HA_CONTROL"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenError("\\\\.\\..\\ZEL_HA_CONTROL"), ERROR_FILE_NOT_FOUND);
    // Removing a served device makes it vanish for new opens.
    server.AddControlDevice();
    EXPECT_EQ(OpenError("\\\\.\\ZEL_HA_CONTROL"), 0u);
    server.RemoveEndpoint(ferv_test::kControlDevice);
    EXPECT_EQ(OpenError("\\\\.\\ZEL_HA_CONTROL"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Opening, RefusesASocketThatAnotherUserOwns)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a socket away";
    server.AddInterface("ha0");
    std::string path = server.PathOf("ha0");
    ASSERT_EQ(chown(path.c_str(), 12345, 12345), 0);
    EXPECT_EQ(OpenError(path), ERROR_ACCESS_DENIED);
    EXPECT_EQ(server.Connections("ha0"), 0); // denied before connecting
    ASSERT_EQ(chown(path.c_str(), geteuid(), getegid()), 0);
    EXPECT_EQ(OpenError(path), 0u);
}

// The error of opening the driver's class as fervadm does; 0 when it opens.
static DWORD EnumerationError()
{
    SetLastError(0);
    HDEVINFO set = SetupDiGetClassDevsA(&kDriverClass, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

// The folders on the way to the driver are judged as the emulator judges
// its own: a root, interfaces or class folder that another user could have
// planted (a link in its place, a folder anyone may write to) is refused
// before anything in it is listed or connected to.
TEST_F(Opening, RefusesFoldersOthersCouldHavePlanted)
{
    server.AddControlDevice();
    server.AddInterface("ha0");
    const std::string root = server.Root(), interfaces = root + "/interfaces", cls = server.InterfaceDir();
    const std::string control = "\\\\.\\ZEL_HA_CONTROL", device = server.PathOf("ha0");
    auto allOpen = [&]() { return OpenError(control) == 0 && OpenError(device) == 0 && EnumerationError() == 0; };
    // The server accepts on its own thread: wait for the count to reach n.
    auto accepted = [&](const std::string &name, int n) {
        for (int i = 0; i < 400 && server.Connections(name) < n; i++)
            usleep(5000);
        return server.Connections(name);
    };
    ASSERT_TRUE(allOpen());
    ASSERT_EQ(accepted(ferv_test::kControlDevice, 1), 1);
    ASSERT_EQ(accepted("ha0", 1), 1);

    std::string link = root + "-link";
    ASSERT_EQ(symlink(root.c_str(), link.c_str()), 0);
    {
        ScopedEnv linked("FERV_DEVICE_ROOT", link);
        EXPECT_EQ(OpenError(control), ERROR_ACCESS_DENIED);
        EXPECT_EQ(OpenError(link + "/interfaces/" + ferv_test::kInterfaceClass + "/ha0"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(EnumerationError(), ERROR_ACCESS_DENIED);
    }
    unlink(link.c_str());

    for (const std::string &folder : {root, interfaces, cls}) {
        for (mode_t mode : {0777, 0770, 01777}) {
            SCOPED_TRACE(folder + " " + std::to_string(mode));
            ASSERT_EQ(chmod(folder.c_str(), mode), 0);
            if (folder == root) {
                EXPECT_EQ(OpenError(control), ERROR_ACCESS_DENIED);
            }
            EXPECT_EQ(OpenError(device), ERROR_ACCESS_DENIED);
            EXPECT_EQ(EnumerationError(), ERROR_ACCESS_DENIED);
            ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
        }
    }

    // A link where the interfaces folder should be.
    ASSERT_EQ(rename(interfaces.c_str(), (interfaces + "-real").c_str()), 0);
    ASSERT_EQ(symlink((interfaces + "-real").c_str(), interfaces.c_str()), 0);
    EXPECT_EQ(OpenError(device), ERROR_ACCESS_DENIED);
    EXPECT_EQ(EnumerationError(), ERROR_ACCESS_DENIED);
    ASSERT_EQ(unlink(interfaces.c_str()), 0);
    ASSERT_EQ(rename((interfaces + "-real").c_str(), interfaces.c_str()), 0);

    // Outside the root only the folder that holds the socket is judged.
    {
        ScopedEnv elsewhere("FERV_DEVICE_ROOT", "/nonexistent-ferv-root");
        ASSERT_EQ(OpenError(device), 0u);
        ASSERT_EQ(chmod(cls.c_str(), 0777), 0);
        EXPECT_EQ(OpenError(device), ERROR_ACCESS_DENIED);
        ASSERT_EQ(chmod(cls.c_str(), 0700), 0);
    }
    EXPECT_EQ(accepted("ha0", 2), 2) << "refused before connecting";
    EXPECT_EQ(server.Connections(ferv_test::kControlDevice), 1) << "refused before connecting";
    EXPECT_TRUE(allOpen()) << "a folder that is ours again serves again";
}

TEST_F(Opening, RefusesAFolderOfAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    server.AddInterface("ha0");
    std::string cls = server.InterfaceDir();
    ASSERT_EQ(chown(cls.c_str(), 12345, 12345), 0);
    EXPECT_EQ(OpenError(server.PathOf("ha0")), ERROR_ACCESS_DENIED);
    EXPECT_EQ(EnumerationError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(server.Connections("ha0"), 0);
    ASSERT_EQ(chown(cls.c_str(), 0, 0), 0);
    EXPECT_EQ(OpenError(server.PathOf("ha0")), 0u) << "root's folders are trusted";
}

// The file's owner is checked, and so is the process that listens: a socket
// file that says root but is served by another user is refused.
TEST(OpeningAsRoot, RefusesAServerRunningAsAnotherUser)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to serve as another user";
    char dir[] = "/tmp/ferv-peer-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0777), 0);
    std::string path = std::string(dir) + "/ha0";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(12345) != 0 || setuid(12345) != 0)
            _exit(1);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || bind(fd, (struct sockaddr *)&address, sizeof address) != 0 || listen(fd, 4) != 0)
            _exit(1);
        if (write(ready[1], "r", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte = 0;
    bool served = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (served) {
        // Only the listener is wrong here: the folder is root's and closed again.
        ASSERT_EQ(chmod(dir, 0755), 0);
        ASSERT_EQ(chown(path.c_str(), 0, 0), 0);
        EXPECT_EQ(OpenError(path), ERROR_ACCESS_DENIED);
    }
    kill(child, SIGKILL);
    waitpid(child, NULL, 0);
    unlink(path.c_str());
    rmdir(dir);
    EXPECT_TRUE(served);
}
