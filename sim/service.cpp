// The transport-independent part of serving the model.
#include "sim/service.h"

#include "sim/transport.h"

#include <stdarg.h>
#include <time.h>

#include <chrono>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

double SimNow()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SimServiceInit(SimService *s, SimModel *m, int interfaces, bool io, FILE *log)
{
    s->m = m;
    SimFaultsInit(&s->faults, 1 + interfaces);
    s->log = log ? log : stderr;
    s->io = io;
    s->ioPaused = false;
    s->lastIo = SimNow();
    s->nextPoll = s->lastIo + m->params.pollRate;
}

void SimLogf(SimService *s, uint32_t kind, const char *fmt, ...)
{
    if (!(s->m->params.logLevel & kind))
        return;
    time_t t = time(nullptr);
    struct tm tmv;
    SimLocalTime(t, &tmv);
    char stamp[16];
    strftime(stamp, sizeof stamp, "%H:%M:%S", &tmv);
    fprintf(s->log, "fervsim %s: ", stamp);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(s->log, fmt, ap);
    va_end(ap);
    fputc('\n', s->log);
    fflush(s->log);
}

void SimDrainEvents(SimService *s)
{
    for (const SimEvent &e : s->m->events)
        SimLogf(s, e.kind, "%s", e.text.c_str());
    s->m->events.clear();
}

void SimServeRequest(SimService *s, int endpoint, const SimRequest &q, SimReply *reply)
{
    uint32_t refusal = SimFaultRefusal(s->faults, endpoint);
    if (refusal) {
        *reply = SimReply();
        reply->error = refusal;
        return;
    }
    SimHandleRequest(s->m, &s->faults, q, reply);
    if (reply->kind == SIM_REPLY_COMPLETE && reply->error == SIM_WIN32_INVALID_FUNCTION)
        SimLogf(s, FERV_LOG_INTERNAL_ERRORS, "refused unknown control code 0x%08X", q.code);
}

std::string SimServeAdminLine(SimService *s, const std::string &line, int held, SimCtlResult *result)
{
    *result = SimCtlResult();
    json reply;
    json req = json::parse(line, nullptr, false);
    std::vector<std::string> args;
    bool valid = req.is_object() && req.contains("args") && req["args"].is_array();
    if (valid) {
        for (const json &a : req["args"]) {
            if (!a.is_string()) {
                valid = false;
                break;
            }
            args.push_back(a.get<std::string>());
        }
    }
    if (!valid) {
        reply = {{"ok", false}, {"text", "malformed admin request\n"}};
    } else {
        SimCtlContext ctx = {s->m, &s->faults, (int)s->faults.refuse.size() - 1, s->ioPaused, false, held};
        *result = SimRunCtl(&ctx, args);
        s->ioPaused = ctx.ioPaused;
        if (result->ok)
            SimLogf(s, FERV_LOG_INFORMATIONAL, "ctl: %s", line.c_str());
        if (ctx.pollNow) {
            SimPoll(s->m);
            s->nextPoll = SimNow() + s->m->params.pollRate;
        }
        reply = {{"ok", result->ok}, {"text", result->text}};
    }
    return reply.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

double SimServiceTick(SimService *s, double now)
{
    if (now - s->lastIo >= 1.0) {
        if (s->io && !s->ioPaused)
            SimRunIo(s->m, now - s->lastIo);
        s->lastIo = now;
    }
    if (now >= s->nextPoll) {
        SimPoll(s->m);
        s->nextPoll = now + s->m->params.pollRate;
    }
    return s->lastIo + 1.0 < s->nextPoll ? s->lastIo + 1.0 : s->nextPoll;
}

std::string SimCtlRequestLine(const std::vector<std::string> &args)
{
    json req = {{"args", args}};
    return req.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

int SimCtlPrintAnswer(const std::string &answer)
{
    json reply = json::parse(answer, nullptr, false);
    if (!reply.is_object() || !reply.contains("ok") || !reply["ok"].is_boolean() || !reply.contains("text") ||
        !reply["text"].is_string()) {
        fprintf(stderr, "fervsim ctl: no valid answer from the emulator\n");
        return 2;
    }
    bool ok = reply["ok"].get<bool>();
    std::string text = reply["text"].get<std::string>();
    fputs(text.c_str(), ok ? stdout : stderr);
    return ok ? 0 : 1;
}
