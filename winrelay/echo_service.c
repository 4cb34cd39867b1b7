/*
 * echo_service: a minimal user-mode service behind the relay driver, for the
 * demo. It attaches to the relay, makes the control device and every instance
 * present, answers every request as the demo codes say, and attaches again
 * after the connection drops. It promises no keepalives.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "demo_codes.h"
#include "relay_attach.h"

#define MAX_HELD 64

struct held {
    unsigned int id, code, outSize, inSize;
    unsigned char *in;
};

static struct held g_held[MAX_HELD];
static unsigned g_held_count;
static unsigned int g_changes;

static BOOL pipe_read(HANDLE pipe, void *buffer, DWORD length)
{
    unsigned char *p = buffer;
    while (length) {
        DWORD n = 0;
        if (!ReadFile(pipe, p, length, &n, NULL) || n == 0)
            return FALSE;
        p += n;
        length -= n;
    }
    return TRUE;
}

static BOOL pipe_write(HANDLE pipe, const void *buffer, DWORD length)
{
    const unsigned char *p = buffer;
    while (length) {
        DWORD n = 0;
        if (!WriteFile(pipe, p, length, &n, NULL) || n == 0)
            return FALSE;
        p += n;
        length -= n;
    }
    return TRUE;
}

static BOOL answer(HANDLE pipe, unsigned int kind, unsigned int id, unsigned int status, const void *data,
                   unsigned int size)
{
    unsigned char h[FERV_RELAY_ANS_SIZE];
    FervRelayStoreAnswer(h, kind, id, status, size);
    return pipe_write(pipe, h, sizeof h) && (!size || pipe_write(pipe, data, size));
}

/* Completes every held request: waits with a new change counter, the others
 * with a failure. */
static BOOL release_held(HANDLE pipe)
{
    BOOL ok = TRUE;
    unsigned i;
    if (g_held_count)
        g_changes++;
    for (i = 0; i < g_held_count; i++) {
        struct held *h = &g_held[i];
        if (ok && h->code == DEMO_CODE_WAIT) {
            unsigned int n = h->inSize < h->outSize ? h->inSize : h->outSize;
            if (n >= 4)
                FervRelayStore32(h->in, 0, 0);
            if (n >= 8)
                FervRelayStore32(h->in, 4, g_changes);
            ok = answer(pipe, FERV_RELAY_KIND_COMPLETE, h->id, 0, h->in, n);
        } else if (ok) {
            ok = answer(pipe, FERV_RELAY_KIND_COMPLETE, h->id, FERV_RELAY_STATUS_UNSUCCESSFUL, NULL, 0);
        }
        free(h->in);
    }
    g_held_count = 0;
    return ok;
}

/* Serves one connection until it drops or a request asks the service to end.
 * Returns FALSE for the latter. */
static BOOL serve(HANDLE pipe)
{
    for (;;) {
        unsigned char h[FERV_RELAY_REQ_SIZE];
        unsigned int id, code, endpoint, inSize, outSize, n;
        unsigned char *in;
        BOOL ok;

        if (!pipe_read(pipe, h, sizeof h))
            return TRUE;
        if (FervRelayLoad32(h, FERV_RELAY_REQ_MAGIC) != FERV_RELAY_MAGIC ||
            FervRelayLoad32(h, FERV_RELAY_REQ_IN_SIZE) > FERV_RELAY_MAX_DATA) {
            printf("echo service: malformed request, dropping the connection\n");
            return TRUE;
        }
        /* Handles opened and closed, and SHOW acknowledged: nothing to do. */
        if (FervRelayLoad32(h, FERV_RELAY_REQ_KIND) != FERV_RELAY_KIND_REQUEST)
            continue;
        id = FervRelayLoad32(h, FERV_RELAY_REQ_ID);
        code = FervRelayLoad32(h, FERV_RELAY_REQ_CODE);
        endpoint = FervRelayLoad32(h, FERV_RELAY_REQ_ENDPOINT);
        inSize = FervRelayLoad32(h, FERV_RELAY_REQ_IN_SIZE);
        outSize = FervRelayLoad32(h, FERV_RELAY_REQ_OUT_SIZE);
        in = malloc(inSize ? inSize : 1);
        if (!in || !pipe_read(pipe, in, inSize)) {
            free(in);
            return TRUE;
        }
        n = inSize < outSize ? inSize : outSize;

        if (code == DEMO_CODE_QUIT) {
            free(in);
            return FALSE;
        }
        if ((code == DEMO_CODE_WAIT || code == DEMO_CODE_FAIL_LATER) && g_held_count < MAX_HELD) {
            struct held *held = &g_held[g_held_count++];
            held->id = id;
            held->code = code;
            held->inSize = inSize;
            held->outSize = outSize;
            held->in = in;
            if (!answer(pipe, FERV_RELAY_KIND_PEND, id, 0, NULL, 0))
                return TRUE;
            continue;
        }
        if (code == DEMO_CODE_REFUSE) {
            unsigned int status = inSize >= 8 ? FervRelayLoad32(in, 4) : FERV_RELAY_STATUS_INVALID_DEVICE_REQUEST;
            ok = answer(pipe, FERV_RELAY_KIND_COMPLETE, id, status, NULL, 0);
        } else if (code == DEMO_CODE_OVERSIZE) {
            unsigned char *big = calloc(1, (size_t)outSize + 1);
            ok = big && answer(pipe, FERV_RELAY_KIND_COMPLETE, id, 0, big, outSize + 1);
            free(big);
        } else {
            if (n >= 4)
                FervRelayStore32(in, 0, 0);
            if (n >= 8)
                FervRelayStore32(in, 4, endpoint);
            ok = answer(pipe, FERV_RELAY_KIND_COMPLETE, id, 0, in, n);
        }
        free(in);
        /* Any request but a held one counts as a change. */
        if (!ok || !release_held(pipe))
            return TRUE;
    }
}

int main(void)
{
    for (;;) {
        HANDLE pipe, service;
        unsigned char show[FERV_RELAY_ANS_SIZE + FERV_RELAY_MAX_ENDPOINTS];
        const char *what = "";
        DWORD error = 0;
        BOOL more;
        unsigned i;
        int tries;

        /* Waits up to a minute for the relay to be installed and started. */
        for (tries = 0; !FervRelayAttach(FALSE, &pipe, &service, &what, &error); tries++) {
            if (error != ERROR_FILE_NOT_FOUND || tries >= 600) {
                printf("echo service: %s failed: %lu\n", what, (unsigned long)error);
                return 2;
            }
            Sleep(100);
        }
        /* Everything present. */
        FervRelayStoreAnswer(show, FERV_RELAY_KIND_SHOW, 1, 0, FERV_RELAY_MAX_ENDPOINTS);
        memset(show + FERV_RELAY_ANS_SIZE, 1, FERV_RELAY_MAX_ENDPOINTS);
        if (!pipe_write(pipe, show, sizeof show)) {
            printf("echo service: cannot show the devices\n");
            return 2;
        }
        printf("echo service: listening\n");
        fflush(stdout);

        more = serve(pipe);
        for (i = 0; i < g_held_count; i++)
            free(g_held[i].in);
        g_held_count = 0;
        CloseHandle(service);
        CloseHandle(pipe);
        if (!more) {
            printf("echo service: asked to end\n");
            fflush(stdout);
            return 0;
        }
    }
}
