// Injected faults.
#include "sim/faults.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include "lib/fervlib.h"

struct CodeName {
    uint32_t code;
    const char *name; // without the IOCTL_FERV_ prefix
};

static const CodeName kCodes[] = {
    {IOCTL_FERV_GET_ALL_HBAS, "GET_ALL_HBAS"},
    {IOCTL_FERV_GET_ALL_DEVICES, "GET_ALL_DEVICES"},
    {IOCTL_FERV_GET_DEVICE_INFO, "GET_DEVICE_INFO"},
    {IOCTL_FERV_GET_LUN_INFO, "GET_LUN_INFO"},
    {IOCTL_FERV_GET_PATH_INFO, "GET_PATH_INFO"},
    {IOCTL_FERV_ISSUE_PATH_CMD, "ISSUE_PATH_CMD"},
    {IOCTL_FERV_ISSUE_LUN_CMD, "ISSUE_LUN_CMD"},
    {IOCTL_FERV_ISSUE_DEVICE_CMD, "ISSUE_DEVICE_CMD"},
    {IOCTL_FERV_GET_PUBLIC_PARAMETERS, "GET_PUBLIC_PARAMETERS"},
    {IOCTL_FERV_SET_PUBLIC_PARAMETERS, "SET_PUBLIC_PARAMETERS"},
    {IOCTL_FERV_SET_PRIVATE_PARAMETERS, "SET_PRIVATE_PARAMETERS"},
    {IOCTL_FERV_GET_PATH_STATS, "GET_PATH_STATS"},
    {IOCTL_FERV_GET_LUN_STATS, "GET_LUN_STATS"},
    {IOCTL_FERV_WAIT_FOR_CHANGE, "WAIT_FOR_CHANGE"},
};
static_assert(sizeof kCodes / sizeof kCodes[0] == 14, "one name per control code");

void SimFaultsInit(SimFaults *f, int endpoints)
{
    f->refuse.assign((size_t)endpoints, 0);
    f->answers.clear();
    f->tooSmall.clear();
}

uint32_t SimFaultRefusal(const SimFaults &f, int endpoint)
{
    if (endpoint < 0 || (size_t)endpoint >= f.refuse.size())
        return 0;
    return f.refuse[(size_t)endpoint];
}

bool SimFaultTakeAnswer(SimFaults *f, uint32_t code, SimAnswer *out)
{
    for (size_t i = 0; i < f->answers.size(); i++) {
        if (f->answers[i].code != code)
            continue;
        *out = f->answers[i];
        if (--f->answers[i].count == 0)
            f->answers.erase(f->answers.begin() + (long)i);
        return true;
    }
    return false;
}

bool SimFaultTakeTooSmall(SimFaults *f, uint32_t code, uint32_t *size)
{
    for (size_t i = 0; i < f->tooSmall.size(); i++) {
        if (f->tooSmall[i].code != code)
            continue;
        *size = f->tooSmall[i].size;
        if (--f->tooSmall[i].rounds == 0)
            f->tooSmall.erase(f->tooSmall.begin() + (long)i);
        return true;
    }
    return false;
}

void SimFaultsClear(SimFaults *f)
{
    SimFaultsInit(f, (int)f->refuse.size());
}

std::string SimFaultsDescribe(const SimFaults &f)
{
    std::string s;
    char line[160];
    for (size_t e = 0; e < f.refuse.size(); e++) {
        if (!f.refuse[e])
            continue;
        if (e == SIM_ENDPOINT_CONTROL)
            snprintf(line, sizeof line, "refuse control: Win32 error %u\n", f.refuse[e]);
        else
            snprintf(line, sizeof line, "refuse interface %zu: Win32 error %u\n", e - 1, f.refuse[e]);
        s += line;
    }
    for (const SimAnswer &a : f.answers) {
        if (a.pend)
            snprintf(line, sizeof line, "answer %s: hold until the next change, then status %u (%u left)\n",
                     SimControlCodeText(a.code).c_str(), a.value, a.count);
        else if (a.garble)
            snprintf(line, sizeof line, "answer %s: a LUN list outside the reply (%u left)\n",
                     SimControlCodeText(a.code).c_str(), a.count);
        else
            snprintf(line, sizeof line, "answer %s: %s %u (%u left)\n", SimControlCodeText(a.code).c_str(),
                     a.win32 ? "Win32 error" : "status", a.value, a.count);
        s += line;
    }
    for (const SimTooSmall &t : f.tooSmall) {
        snprintf(line, sizeof line, "too-small %s: %u rounds, size %u\n", SimControlCodeText(t.code).c_str(),
                 t.rounds, t.size);
        s += line;
    }
    return s;
}

int SimParseEndpoint(const std::string &word, int interfaces)
{
    if (word == "control")
        return SIM_ENDPOINT_CONTROL;
    if (word.empty() || word.size() > 6)
        return -1;
    for (char c : word)
        if (!isdigit((unsigned char)c))
            return -1;
    int i = atoi(word.c_str());
    return i < interfaces ? 1 + i : -1;
}

uint32_t SimParseControlCode(const std::string &word)
{
    std::string up;
    for (char c : word)
        up += (char)toupper((unsigned char)c);
    if (up.compare(0, 11, "IOCTL_FERV_") == 0)
        up = up.substr(11);
    for (const CodeName &c : kCodes)
        if (up == c.name)
            return c.code;
    if (up.compare(0, 2, "0X") == 0 && up.size() > 2 && up.size() <= 10) {
        char *end = nullptr;
        unsigned long v = strtoul(up.c_str() + 2, &end, 16);
        if (*end == '\0')
            return (uint32_t)v;
    }
    return 0;
}

std::string SimControlCodeText(uint32_t code)
{
    for (const CodeName &c : kCodes)
        if (c.code == code)
            return c.name;
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}
