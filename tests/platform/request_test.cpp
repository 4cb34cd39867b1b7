// One request over a real socket: how each reply a server can give turns
// into the result of DeviceIoControl, the wait and GetOverlappedResult, and
// that nothing a server sends reaches past the reply into the caller's buffer.
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "tests/platform/platform_test_util.h"

using namespace ferv_test;

namespace {

const DWORD kCode = 0x0022E004;
const uint8_t kFill = 0xAA;

struct Outcome {
    BOOL ok;
    DWORD error; // GetLastError() after a FALSE, 0 after TRUE
    DWORD bytes;
};

class Requests : public ServedRoot {
protected:
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE event = NULL;
    OVERLAPPED overlapped = {};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(32, kFill);

    void SetUp() override
    {
        server.AddInterface("ha0");
        Reopen();
        event = CreateEventA(NULL, FALSE, FALSE, NULL);
        ASSERT_NE(event, (HANDLE)NULL);
        overlapped.hEvent = event;
    }

    void TearDown() override
    {
        if (device != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(device));
        }
        if (event != NULL) {
            EXPECT_TRUE(CloseHandle(event));
        }
    }

    void Reopen(DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL)
    {
        if (device != INVALID_HANDLE_VALUE)
            CloseHandle(device);
        device = OpenDevice(server.PathOf("ha0"), flags);
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
    }

    // Sends the first 8 bytes of buffer as input, with the whole buffer as
    // output, the way the library passes one buffer twice.
    Outcome Send(OVERLAPPED *record)
    {
        buffer[0] = 1;
        buffer[7] = 7;
        DWORD bytes = 0xDEAD;
        SetLastError(0);
        BOOL ok =
            DeviceIoControl(device, kCode, buffer.data(), 8, buffer.data(), (DWORD)buffer.size(), &bytes, record);
        return {ok, ok ? 0 : GetLastError(), bytes};
    }
    Outcome Send() { return Send(&overlapped); }

    // The wait and the result of a pended request.
    Outcome Settle()
    {
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        DWORD bytes = 0xDEAD;
        SetLastError(0);
        BOOL ok = GetOverlappedResult(device, &overlapped, &bytes, FALSE);
        return {ok, ok ? 0 : GetLastError(), bytes};
    }

    // The buffer as it stands after the input went out: first 8 bytes set
    // by Send, the rest filled.
    std::vector<uint8_t> Untouched() const
    {
        std::vector<uint8_t> expected(buffer.size(), kFill);
        expected[0] = 1;
        expected[7] = 7;
        return expected;
    }

    std::vector<uint8_t> WithReply(const std::vector<uint8_t> &reply) const
    {
        std::vector<uint8_t> expected = Untouched();
        std::copy(reply.begin(), reply.end(), expected.begin());
        return expected;
    }
};

const std::vector<uint8_t> kReply = {0, 0, 0, 0, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};

} // namespace

TEST_F(Requests, CompletedRequestCopiesTheReplyAndLeavesTheRestOfTheBuffer)
{
    server.QueueReply("ha0", CompleteWith(kReply));
    Outcome outcome = Send();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.bytes, kReply.size());
    EXPECT_EQ(buffer, WithReply(kReply));

    std::vector<ReceivedRequest> received = server.Requests();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].ioControlCode, kCode);
    std::vector<uint8_t> sent = Untouched();
    sent.resize(8);
    EXPECT_EQ(received[0].input, sent);
    EXPECT_EQ(received[0].outSize, buffer.size());
    EXPECT_EQ(received[0].reserved, 0u);

    // The event of a request that completed at once is signalled, as on
    // Win32, and GetOverlappedResult reports it too.
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, kReply.size());

    // A request without output, on the same connection.
    server.QueueReply("ha0", CompleteWith({}));
    EXPECT_TRUE(DeviceIoControl(device, kCode, NULL, 0, NULL, 0, &bytes, &overlapped));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(server.Connections("ha0"), 1);
}

TEST_F(Requests, RefusedRequestReportsTheServersError)
{
    server.QueueReply("ha0", RefuseWith(1167));
    server.QueueReply("ha0", RefuseWith(ERROR_ACCESS_DENIED));
    Outcome outcome = Send();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, 1167u);
    EXPECT_EQ(buffer, Untouched());
    // A refusal leaves the connection usable.
    outcome = Send();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_ACCESS_DENIED);
}

TEST_F(Requests, PendedRequestCompletesThroughTheWait)
{
    server.QueueReply("ha0", PendUntilTrigger("go", kReply));
    Outcome outcome = Send();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_IO_PENDING);
    EXPECT_EQ(buffer, Untouched());

    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 30), POSIX_WAIT_TIMEOUT);
    EXPECT_FALSE(Send().ok); // one request at a time on a handle
    EXPECT_EQ(GetLastError(), POSIX_ERROR_BUSY);

    server.Trigger("go");
    outcome = Settle();
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.bytes, kReply.size());
    EXPECT_EQ(buffer, WithReply(kReply));
    EXPECT_EQ(server.RequestCount(), 1u);
    // The auto-reset event was consumed by the wait.
    EXPECT_EQ(WaitForSingleObject(event, 0), POSIX_WAIT_TIMEOUT);
}

TEST_F(Requests, PendedRequestCompletingWithAnErrorReportsIt)
{
    server.QueueReply("ha0", PendThenComplete({}, 10, 1117));
    EXPECT_EQ(Send().error, ERROR_IO_PENDING);
    Outcome outcome = Settle();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, 1117u);
    EXPECT_EQ(buffer, Untouched());
}

TEST_F(Requests, ConnectionBreakingWhilePendedAbortsTheRequestAndTheHandle)
{
    server.QueueReply("ha0", PendThenBreak(10));
    EXPECT_EQ(Send().error, ERROR_IO_PENDING);
    Outcome outcome = Settle();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(outcome.bytes, 0u);
    EXPECT_EQ(buffer, Untouched());
    // The handle is dead: later requests fail at once, without a frame.
    outcome = Send();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_GEN_FAILURE);
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(Requests, ClosingAHandleDropsItsPendedRequest)
{
    server.QueueReply("ha0", PendUntilTrigger("never", kReply));
    EXPECT_EQ(Send().error, ERROR_IO_PENDING);
    EXPECT_TRUE(CloseHandle(device));
    device = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(server.WaitForOpenConnections("ha0", 0));
    // The event, left without a request, can no longer be signalled.
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_FAILED);
    EXPECT_EQ(buffer, Untouched());
}

// Each of these replies is broken or malformed. Whether it comes first or
// after PENDING, the caller's buffer stays as it was and the handle is done.
static std::vector<std::pair<const char *, Reply>> MalformedReplies(DWORD outSize)
{
    std::vector<uint8_t> tooLong(outSize + 1, 0x5A);
    std::vector<uint8_t> cutOff = ReplyHeader(FERV_FRAME_COMPLETE, 0, 8);
    cutOff.insert(cutOff.end(), {1, 2, 3, 4});
    std::vector<uint8_t> pendingWithBytes = ReplyHeader(FERV_FRAME_PENDING, 0, 4);
    pendingWithBytes.insert(pendingWithBytes.end(), {1, 2, 3, 4});
    return {
        {"closed without a reply", BreakConnection()},
        {"wrong magic", Reply().SendRaw(ReplyHeader(FERV_FRAME_COMPLETE, 0, 0, 0x56524547))},
        {"unknown type", Reply().SendRaw(ReplyHeader(3, 0, 0))},
        {"more bytes than outSize", CompleteWith(tooLong)},
        {"body cut off", RawThenClose(cutOff)},
        {"header cut off", RawThenClose({0x46, 0x45, 0x52, 0x56, 2, 0})},
        {"completion claiming to pend", RefuseWith(ERROR_IO_PENDING)},
        {"PENDING with bytes", Reply().SendRaw(pendingWithBytes)},
    };
}

TEST_F(Requests, MalformedFirstReplyFailsTheRequestWithoutTouchingTheBuffer)
{
    for (auto &malformed : MalformedReplies((DWORD)buffer.size())) {
        SCOPED_TRACE(malformed.first);
        Reopen();
        server.QueueReply("ha0", malformed.second);
        Outcome outcome = Send();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, ERROR_GEN_FAILURE);
        EXPECT_EQ(buffer, Untouched());
        EXPECT_EQ(Send().error, ERROR_GEN_FAILURE);
    }
}

// A large body arrives straight in the caller's buffer, piece by piece; cut
// off midway, every piece it wrote over is put back: zeros as zeros, other
// bytes as they were.
TEST_F(Requests, ALargeBodyLandsWholeOrLeavesEveryPieceAsItWas)
{
    const size_t size = 300000; // several pieces, the last one short
    std::vector<uint8_t> big(size, 0);
    big[0] = 1;
    std::fill(big.begin() + 150000, big.begin() + 150100, 0x5C); // inside the third piece
    big[size - 1] = 0x77;
    const std::vector<uint8_t> before = big;
    auto send = [&] {
        DWORD bytes = 0;
        SetLastError(0);
        BOOL ok = DeviceIoControl(device, kCode, big.data(), 8, big.data(), (DWORD)size, &bytes, NULL);
        return ok ? 0 : GetLastError();
    };

    std::vector<uint8_t> cut = ReplyHeader(FERV_FRAME_COMPLETE, 0, (uint32_t)size);
    cut.insert(cut.end(), 250000, 0xE1);
    server.QueueReply("ha0", RawThenClose(cut));
    EXPECT_EQ(send(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_TRUE(big == before);

    Reopen();
    std::vector<uint8_t> body(size);
    for (size_t i = 0; i < size; i++)
        body[i] = (uint8_t)(i * 7 + 3);
    server.QueueReply("ha0", CompleteWith(body));
    EXPECT_EQ(send(), 0u);
    EXPECT_TRUE(big == body);
}

TEST_F(Requests, MalformedCompletionAbortsThePendedRequestWithoutTouchingTheBuffer)
{
    for (auto &malformed : MalformedReplies((DWORD)buffer.size())) {
        SCOPED_TRACE(malformed.first);
        Reopen();
        Reply reply = Reply().SendPending();
        reply.steps.insert(reply.steps.end(), malformed.second.steps.begin(), malformed.second.steps.end());
        server.QueueReply("ha0", reply);
        EXPECT_EQ(Send().error, ERROR_IO_PENDING);
        Outcome outcome = Settle();
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.error, ERROR_OPERATION_ABORTED);
        EXPECT_EQ(buffer, Untouched());
        EXPECT_EQ(Send().error, ERROR_GEN_FAILURE);
    }
}

TEST_F(Requests, ReplyOutOfTurnBreaksTheConnection)
{
    // A second reply nobody asked for would be taken as the answer to the
    // next request; the client notices it instead.
    server.QueueReply("ha0", Reply().SendComplete(kReply).SendComplete({9, 9, 9, 9}));
    EXPECT_TRUE(Send().ok);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    buffer.assign(buffer.size(), kFill);
    Outcome outcome = Send();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_GEN_FAILURE);
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(Requests, HandleWithoutOverlappedIoWaitsForAPendedRequest)
{
    Reopen(FILE_ATTRIBUTE_NORMAL);
    server.QueueReply("ha0", PendThenComplete(kReply, 20));
    server.QueueReply("ha0", PendThenBreak(10));
    Outcome outcome = Send(&overlapped);
    EXPECT_TRUE(outcome.ok);
    EXPECT_EQ(outcome.bytes, kReply.size());
    EXPECT_EQ(buffer, WithReply(kReply));
    outcome = Send(NULL);
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, ERROR_OPERATION_ABORTED);
}

TEST_F(Requests, MisuseIsRefusedBeforeAnythingIsSent)
{
    DWORD bytes = 0;
    uint8_t small[4] = {};
    EXPECT_FALSE(DeviceIoControl(device, kCode, small, FERV_SIZE_LIMIT + 1, small, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(device, kCode, small, 4, small, FERV_SIZE_LIMIT + 1, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(device, kCode, NULL, 4, small, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DeviceIoControl(event, kCode, small, 4, small, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    OVERLAPPED foreign = {};
    foreign.hEvent = device; // not an event
    EXPECT_FALSE(DeviceIoControl(device, kCode, small, 4, small, 4, &bytes, &foreign));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetOverlappedResult(device, &foreign, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateEventA(NULL, FALSE, FALSE, "named"), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(server.RequestCount(), 0u);

    // The connection is still good after all that.
    server.QueueReply("ha0", CompleteWith(kReply));
    EXPECT_TRUE(Send().ok);
}

TEST(LastError, BelongsToEachThread)
{
    SetLastError(1234);
    DWORD seen = 0;
    std::thread other([&] {
        SetLastError(5);
        seen = GetLastError();
    });
    other.join();
    EXPECT_EQ(seen, 5u);
    EXPECT_EQ(GetLastError(), 1234u);
}

// The frames as bytes on the wire, checked against literal bytes rather
// than the layer's own constants.
TEST(WireFrames, AreLittleEndianWithTheDocumentedHeaders)
{
    char dir[] = "/tmp/ferv-wire-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/dev";
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listener, (struct sockaddr *)&address, sizeof address), 0);
    ASSERT_EQ(listen(listener, 1), 0);

    std::vector<uint8_t> header(24), body(3);
    std::thread serve([&] {
        int fd = accept(listener, NULL, NULL);
        if (fd < 0)
            return;
        if (recv(fd, header.data(), 24, MSG_WAITALL) == 24 && recv(fd, body.data(), 3, MSG_WAITALL) == 3) {
            const uint8_t reply[] = {'F', 'E', 'R', 'V', 2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0xC1, 0xC2};
            if (send(fd, reply, sizeof reply, 0) != (ssize_t)sizeof reply)
                ADD_FAILURE() << "reply not sent";
        }
        close(fd);
    });

    HANDLE device = OpenDevice(path, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    uint8_t buffer[5] = {7, 8, 9, 0xEE, 0xEE};
    DWORD bytes = 0;
    EXPECT_TRUE(DeviceIoControl(device, 0x0022E00C, buffer, 3, buffer, 5, &bytes, NULL));
    serve.join();
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(header, (std::vector<uint8_t>{'F', 'E', 'R', 'V', 1, 0, 0, 0, 0x0C, 0xE0, 0x22, 0x00,
                                            3,   0,   0,   0,   5, 0, 0, 0, 0,    0,    0,    0}));
    EXPECT_EQ(body, (std::vector<uint8_t>{7, 8, 9}));
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 5), (std::vector<uint8_t>{0xC1, 0xC2, 9, 0xEE, 0xEE}));
    CloseHandle(device);
    close(listener);
    unlink(path.c_str());
    rmdir(dir);
}
