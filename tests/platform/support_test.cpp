// The test support that end-to-end tests build on: the test server keeps
// serving while one connection misbehaves or is held, and the program
// runner captures what a child does and stops one that hangs.
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/platform/platform_test_util.h"
#include "tests/support/run_program.h"

using namespace ferv_test;

namespace {

int ConnectRaw(const std::string &path)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0 && connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends one request through the platform layer on a fresh handle.
BOOL SendOnce(const std::string &path, std::vector<uint8_t> &buffer, DWORD *error)
{
    HANDLE device = OpenDevice(path, FILE_ATTRIBUTE_NORMAL);
    if (device == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return FALSE;
    }
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(device, 0x22E000, buffer.data(), (DWORD)buffer.size(), buffer.data(),
                              (DWORD)buffer.size(), &bytes, NULL);
    *error = ok ? 0 : GetLastError();
    CloseHandle(device);
    return ok;
}

} // namespace

using TestServerBehaviour = ServedRoot;

TEST_F(TestServerBehaviour, ClosesAConnectionWithABadFrameAndServesTheOthers)
{
    server.AddInterface("ha0");
    server.SetHandler("", [](const ReceivedRequest &request) { return CompleteWith(EchoWithStatus(request, 14)); });
    const uint8_t badFrames[][24] = {
        {'F', 'E', 'R', 'X', 1},                                     // wrong magic
        {'F', 'E', 'R', 'V', 2},                                     // wrong version
        {'F', 'E', 'R', 'V', 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0x10}, // inSize over 256 MiB
    };
    for (const auto &frame : badFrames) {
        int fd = ConnectRaw(server.PathOf("ha0"));
        ASSERT_GE(fd, 0);
        ASSERT_EQ(send(fd, frame, sizeof frame, MSG_NOSIGNAL), (ssize_t)sizeof frame);
        char byte;
        EXPECT_EQ(recv(fd, &byte, 1, 0), 0); // closed without a reply
        close(fd);
    }
    EXPECT_EQ(server.ProtocolErrors(), 3);

    std::vector<uint8_t> buffer = {0xFF, 0xFF, 0xFF, 0xFF, 5, 6};
    DWORD error = 0;
    EXPECT_TRUE(SendOnce(server.PathOf("ha0"), buffer, &error));
    EXPECT_EQ(buffer, (std::vector<uint8_t>{14, 0, 0, 0, 5, 6}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(TestServerBehaviour, HoldsOneConnectionWhileAnsweringAnother)
{
    server.AddInterface("held");
    server.AddInterface("free");
    server.QueueReply("held", PendUntilTrigger("release", {1, 2, 3, 4}));
    server.QueueReply("free", CompleteWith({9, 9, 9, 9}));

    HANDLE held = OpenDevice(server.PathOf("held"));
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    std::vector<uint8_t> heldBuffer(4), freeBuffer(4);
    EXPECT_FALSE(DeviceIoControl(held, 1, NULL, 0, heldBuffer.data(), 4, NULL, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);

    DWORD error = 0;
    EXPECT_TRUE(SendOnce(server.PathOf("free"), freeBuffer, &error));
    EXPECT_EQ(freeBuffer, (std::vector<uint8_t>{9, 9, 9, 9}));

    server.Trigger("release");
    EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0); // manual reset stays signalled
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(held, &overlapped, &bytes, FALSE));
    EXPECT_EQ(heldBuffer, (std::vector<uint8_t>{1, 2, 3, 4}));

    std::vector<ReceivedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].endpoint, "held");
    EXPECT_EQ(requests[1].endpoint, "free");
    EXPECT_NE(requests[0].connection, requests[1].connection);
    CloseHandle(held);
    CloseHandle(event);
}

TEST(RunProgram, CapturesOutputErrorsExitStatusAndEnvironment)
{
    ScopedEnv inherited("FERV_TEST_INHERITED", "dropped");
    ProgramOptions options;
    options.env = {{"FERV_TEST_VALUE", "set"}};
    options.unsetEnv = {"FERV_TEST_INHERITED"};
    options.input = "from stdin";
    ProgramResult result = RunProgram(
        "/bin/sh",
        {"-c",
         "printf '%s|%s|' \"$FERV_TEST_VALUE\" \"${FERV_TEST_INHERITED-unset}\"; cat; printf oops >&2; exit 3"},
        options);
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.out, "set|unset|from stdin");
    EXPECT_EQ(result.err, "oops");

    result = RunProgram("/nonexistent/program", {});
    EXPECT_EQ(result.exitCode, 127);
    EXPECT_NE(result.err.find("cannot run /nonexistent/program"), std::string::npos);
}

TEST(RunProgram, KillsAProgramThatOutlivesItsTimeLimit)
{
    ProgramOptions options;
    options.timeoutMs = 200;
    auto start = std::chrono::steady_clock::now();
    // The shell's own child holds the output pipe too; it must go as well.
    ProgramResult result = RunProgram("/bin/sh", {"-c", "echo started; sleep 30; echo never"}, options);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.signal, SIGKILL);
    EXPECT_EQ(result.out, "started\n");
    EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(BackgroundProgram, RunsBesideTheTestUntilStopped)
{
    BackgroundProgram program("/bin/sh",
                              {"-c", "trap 'echo bye; exit 0' TERM; echo ready; while :; do sleep 0.05; done"});
    ASSERT_TRUE(program.WaitForOutput("ready"));
    EXPECT_TRUE(program.Running());
    ProgramResult result = program.Stop(SIGTERM);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "ready\nbye\n");
    EXPECT_FALSE(program.Running());
}
