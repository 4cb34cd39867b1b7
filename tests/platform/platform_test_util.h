// What the platform tests share: the driver's interface class, opening the
// way the channels open, and a root directory served by a test server for
// the length of one test.
#ifndef FERV_PLATFORM_TEST_UTIL_H
#define FERV_PLATFORM_TEST_UTIL_H

#include <string>

#include <gtest/gtest.h>

#include "platform/ferv_platform.h"
#include "tests/support/test_server.h"

// {a8987d25-df6e-4a51-9727-49fb6f1479a2}
static const GUID kDriverClass = {0xa8987d25, 0xdf6e, 0x4a51, {0x97, 0x27, 0x49, 0xfb, 0x6f, 0x14, 0x79, 0xa2}};

// Opens a path for reading and writing with overlapped I/O, as the channels do.
inline HANDLE OpenDevice(const std::string &path, DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
}

// The last error of a failed open; 0 (and the handle closed) if it opened.
inline DWORD OpenError(const std::string &path)
{
    SetLastError(0);
    HANDLE handle = OpenDevice(path);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return 0;
    }
    return GetLastError();
}

class ServedRoot : public ::testing::Test {
protected:
    ferv_test::TestServer server;
    ferv_test::ScopedEnv root{"FERV_DEVICE_ROOT", server.Root()};
};

#endif
