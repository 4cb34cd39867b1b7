// Injected faults.
#include "sim/faults.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include "lib/fervlib.h"

// The control codes' names are the library's (FervControlCodeName); the
// emulator's words leave out their common prefix.
static const char kCodePrefix[] = "IOCTL_FERV_";

// The name of a control code without the prefix, or null for a code that is
// none of the driver's.
static const char *ShortCodeName(uint32_t code)
{
    const char *name = FervControlCodeName(code);
    return name ? name + sizeof kCodePrefix - 1 : nullptr;
}

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
    if (up.compare(0, sizeof kCodePrefix - 1, kCodePrefix) == 0)
        up = up.substr(sizeof kCodePrefix - 1);
    for (uint32_t code = IOCTL_FERV_GET_ALL_HBAS; code <= IOCTL_FERV_WAIT_FOR_CHANGE; code += 4) {
        const char *name = ShortCodeName(code);
        if (name != nullptr && up == name)
            return code;
    }
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
    if (const char *name = ShortCodeName(code))
        return name;
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}
