// What a root offers and where each endpoint leads.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/posix/posix_internal.h"
#include "proto/relay_service.h"
#include "tools/fervbridge/bridge.h"

static const char kClassDir[] = "/" FERV_INTERFACES_DIR "/" FERV_INTERFACE_CLASS_TEXT;

// A door is shown only behind folders a program of the root would trust
// (PosixCheckFoldersUnder): on POSIX such a program finds no driver behind a
// root or class folder another user could have planted, and a Windows
// program must find none either, rather than a door each request through
// which fails.
BridgeDoors BridgeScanRoot(const std::string &root)
{
    BridgeDoors doors;
    if (PosixCheckFoldersUnder(root.c_str(), root.c_str()) != 0)
        return doors;
    struct stat st;
    doors.control = lstat((root + "/" FERV_CONTROL_DEVICE_NAME).c_str(), &st) == 0;
    const std::string classDir = root + kClassDir;
    if (PosixCheckFoldersUnder(root.c_str(), classDir.c_str()) != 0)
        return doors;
    DIR *dir = opendir(classDir.c_str());
    if (dir == nullptr)
        return doors;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            doors.interfaces.push_back(name);
    }
    closedir(dir);
    // std::string compares as unsigned bytes, the order the platform uses.
    std::sort(doors.interfaces.begin(), doors.interfaces.end());
    return doors;
}

std::vector<uint8_t> BridgePresence(const BridgeDoors &doors, uint32_t endpoints)
{
    std::vector<uint8_t> flags;
    flags.push_back(doors.control ? 1 : 0);
    for (size_t i = 0; i < doors.interfaces.size(); i++)
        flags.push_back(1);
    if (flags.size() > endpoints)
        flags.resize(endpoints);
    while (!flags.empty() && flags.back() == 0)
        flags.pop_back();
    return flags;
}

std::string BridgeDoorPath(const std::string &root, const BridgeDoors &doors, uint32_t endpoint)
{
    if (endpoint == FERV_RELAY_ENDPOINT_CONTROL)
        return doors.control ? root + "/" FERV_CONTROL_DEVICE_NAME : "";
    if (endpoint - 1 >= doors.interfaces.size())
        return "";
    return root + kClassDir + "/" + doors.interfaces[endpoint - 1];
}

uint32_t BridgeStatusOf(uint32_t error)
{
    if (error == 0)
        return FERV_RELAY_STATUS_SUCCESS;
    if (error == 995) // ERROR_OPERATION_ABORTED: a held request whose connection broke
        return FERV_RELAY_STATUS_CANCELLED;
    // The relay carries 16-bit Win32 errors only: a larger one would reach
    // the client as another error, so it is a general failure instead.
    if (error > 0xFFFF)
        return FERV_RELAY_STATUS_UNSUCCESSFUL;
    return FERV_RELAY_STATUS_FROM_WIN32(error);
}
