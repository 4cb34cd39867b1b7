// fervbridge: the Linux half of tools/wine-run (see bridge.h).
//
//   fervbridge serve --state DIR [--attach-wait SECONDS] [--forwarder PROGRAM [ARGS...]]
//   fervbridge run --state DIR [--root ROOT] -- COMMAND [ARGS...]
//   fervbridge ping --state DIR
//   fervbridge stop --state DIR
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/posix/posix_internal.h"
#include "tools/fervbridge/bridge.h"

static int Usage()
{
    fprintf(stderr, "usage: fervbridge serve --state DIR [--attach-wait SECONDS] [--forwarder PROGRAM [ARGS...]]\n"
                    "       fervbridge run --state DIR [--root ROOT] -- COMMAND [ARGS...]\n"
                    "       fervbridge ping|stop --state DIR\n");
    return 2;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string verb = argv[1];
    std::string state, root;
    std::vector<std::string> rest;
    int attachWait = kBridgeAttachWaitSeconds;
    int i = 2;
    for (; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--state" && i + 1 < argc) {
            state = argv[++i];
        } else if (a == "--attach-wait" && i + 1 < argc && verb == "serve") {
            char *end;
            long seconds = strtol(argv[++i], &end, 10);
            if (*argv[i] == '\0' || *end != '\0' || seconds < 1 || seconds > 3600)
                return Usage();
            attachWait = (int)seconds;
        } else if (a == "--root" && i + 1 < argc && verb == "run") {
            root = argv[++i];
        } else if ((a == "--forwarder" && verb == "serve") || (a == "--" && verb == "run")) {
            rest.assign(argv + i + 1, argv + argc);
            break;
        } else {
            return Usage();
        }
    }
    if (state.empty())
        return Usage();
    if (verb == "serve")
        return BridgeServe(state, attachWait, rest);
    if (verb == "ping")
        return BridgePing(state);
    if (verb == "stop")
        return BridgeStop(state);
    if (verb != "run" || rest.empty())
        return Usage();
    if (!root.empty() && root[0] != '/') {
        fprintf(stderr, "fervbridge: --root wants an absolute path\n");
        return 2;
    }
    if (root.empty()) {
        // The root a POSIX program would use, from the same environment.
        char *resolved = PosixDeviceRoot();
        if (resolved == nullptr) {
            fprintf(stderr, "fervbridge: no device root\n");
            return 125;
        }
        root = resolved;
        free(resolved);
    }
    return BridgeRun(state, root, rest);
}
