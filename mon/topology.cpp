#include "topology.h"

#include <string.h>

FERV_STATUS MonReadTopology(MonTopology *topology, bool withParameters)
{
    memset(topology, 0, sizeof *topology);
    if (withParameters) {
        FERV_STATUS status = FervGetPublicParameters(&topology->params);
        if (status != FERV_STATUS_SUCCESS && status != FERV_STATUS_ALREADY_ACTIVE)
            return status;
    }
    FERV_STATUS status = FervGetAllInfo(&topology->info);
    // On failure the library leaves nothing allocated and the record as zeroed.
    if (status != FERV_STATUS_SUCCESS && status != FERV_STATUS_ALREADY_ACTIVE)
        return status;
    return FERV_STATUS_SUCCESS;
}

void MonFreeTopology(MonTopology *topology)
{
    FervFreeAllInfoMemory(&topology->info);
    memset(&topology->info, 0, sizeof topology->info);
}

std::string MonText(const char *field, size_t span)
{
    return std::string(field, FervTextLength(field, span));
}

std::string MonWwnText(const FervWwnKey &key)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(32, '0');
    for (size_t i = 0; i < 16; i++) {
        text[2 * i] = digits[key.bytes[i] >> 4];
        text[2 * i + 1] = digits[key.bytes[i] & 15];
    }
    return text;
}

static int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool MonParseWwn(const char *text, FervWwnKey *key)
{
    FervWwnKey parsed;
    size_t digits = 0;
    for (const char *c = text; *c != '\0'; c++) {
        // A separator stands only between two digit pairs.
        if ((*c == ':' || *c == '-') && digits % 2 == 0 && digits > 0 && digits < 32 && HexValue(c[1]) >= 0)
            continue;
        int value = HexValue(*c);
        if (value < 0 || digits == 32)
            return false;
        if (digits % 2 == 0)
            parsed.bytes[digits / 2] = (uint8_t)(value << 4);
        else
            parsed.bytes[digits / 2] = (uint8_t)(parsed.bytes[digits / 2] | value);
        digits++;
    }
    if (digits != 32)
        return false;
    *key = parsed;
    return true;
}

bool MonSameWwn(const FervWwnKey &a, const FervWwnKey &b)
{
    return memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
}

bool MonPathIsUp(const FervPath *path)
{
    return path->state == FERV_PATH_STATE_UP_ACTIVE || path->state == FERV_PATH_STATE_UP_STANDBY;
}

bool MonPathIsActive(const FervPath *path)
{
    return path->state == FERV_PATH_STATE_UP_ACTIVE;
}

bool MonPathIsPreferred(const FervPath *path)
{
    return (path->flags & FERV_PATH_FLAG_PREFERRED) != 0;
}

std::string MonPathStateText(uint8_t state)
{
    const char *name = FervPathStateName(state);
    return name ? std::string(name) : std::to_string((unsigned)state);
}

MonCounts MonCountTopology(const FervInfoList *info)
{
    MonCounts counts = {0, 0, 0};
    const FervDevice *device = info->deviceList;
    for (int32_t d = 0; d < info->deviceCount && device; d++, device = device->next) {
        counts.devices++;
        const FervLun *lun = device->lunList;
        for (int32_t l = 0; l < device->lunCount && lun; l++, lun = lun->next) {
            counts.luns++;
            const FervPath *path = lun->pathList;
            for (int32_t p = 0; p < lun->pathCount && path; p++, path = path->next)
                counts.paths++;
        }
    }
    return counts;
}
