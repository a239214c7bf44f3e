// Fuzz target for the request grammar: every input is one request text, any byte values.
//
// parseCommand runs on every input with outputs left dirty by the previous call, and its
// results are checked against what the grammar guarantees. parseRequest then carries the
// request out through a handler that has no socket (replies are dropped), with the host
// guard in place: a start reaches a refused spawn, so it gets the error path and launches
// nothing; init and the special request reach the guard's kill-all stand-in, and the
// target checks that exactly those two do; a stop signals only a supervised child, and
// there is none. A valid atexit is only parsed: carrying it out queues a record per
// input for a shutdown that never comes, which is a growing list and nothing more.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/utils.h"
#include "fuzz/hostguard.h"

using VpnService::ProcessStartInfo;
using VpnService::WebSocketRequestHandler;

namespace {

WebSocketRequestHandler* g_handler = nullptr;  // lives until exit; connection thread = main

[[noreturn]] void fail(const char* what, const std::string& request)
{
    std::fprintf(stderr, "grammar_fuzzer: %s (request of %zu bytes)\n", what, request.size());
    std::abort();
}

struct Parsed {
    bool valid = false;
    WebSocketRequestHandler::CommandType type = WebSocketRequestHandler::None;
    ProcessStartInfo startInfo;
    int pid = 0;
};

Parsed parse(const std::string& request, Parsed outputs)
{
    outputs.valid = WebSocketRequestHandler::parseCommand(outputs.type, outputs.startInfo,
                                                          outputs.pid, request);
    return outputs;
}

void checkInvariants(const Parsed& parsed, const std::string& request)
{
    using Handler = WebSocketRequestHandler;
    const bool launches = parsed.type == Handler::Start || parsed.type == Handler::AtExit;
    if (parsed.type == Handler::None && parsed.valid) fail("no command accepted", request);
    if (launches && parsed.valid != !parsed.startInfo.path.empty())
        fail("a launch is valid exactly when it has a path", request);
    if (parsed.type == Handler::Stop && parsed.valid && parsed.pid == 0)
        fail("a valid stop without a pid", request);
    if (parsed.type == Handler::Init && !parsed.valid) fail("init refused", request);
    if (!launches && (!parsed.startInfo.path.empty() || !parsed.startInfo.args.empty()))
        fail("words collected for a command that launches nothing", request);
    if (parsed.type != Handler::Stop && parsed.pid != 0) fail("a pid outside a stop", request);
    if (parsed.startInfo.path.empty() && !parsed.startInfo.args.empty())
        fail("arguments without a path", request);
    // Each word is a run of the request's bytes (unquoting only drops the enclosing pair).
    for (const std::string& arg : parsed.startInfo.args) {
        if (arg.empty()) fail("an empty argument", request);
        if (request.find(arg) == std::string::npos) fail("an argument not in the request", request);
    }
    if (request.find(parsed.startInfo.path) == std::string::npos)
        fail("a path not in the request", request);
}

bool sameResult(const Parsed& a, const Parsed& b)
{
    return a.valid == b.valid && a.type == b.type && a.pid == b.pid && a.startInfo == b.startInfo;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    HostGuard::setSpawnMode(HostGuard::SpawnMode::Refuse);
    HostGuard::silenceLogConsole();
    Log::initLog(Utils::appLogFileNamePath("grammar_fuzzer", ""));
    g_handler = new WebSocketRequestHandler;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string request(reinterpret_cast<const char*>(data), size);

    Parsed dirty;
    dirty.valid = true;
    dirty.type = WebSocketRequestHandler::Stop;
    dirty.startInfo.path = "/left/over";
    dirty.startInfo.args = {"from", "before"};
    dirty.pid = 4711;
    const Parsed fromDirty = parse(request, dirty);
    const Parsed fromClean = parse(request, Parsed());
    if (!sameResult(fromDirty, fromClean)) fail("outputs not reset", request);
    checkInvariants(fromClean, request);

    const bool special = request == "start: <kill openvpn>";
    if (!special && fromClean.valid && fromClean.type == WebSocketRequestHandler::AtExit) return 0;
    const long spawnsBefore = HostGuard::spawnCount();
    const long killAllsBefore = HostGuard::killAllCount();
    g_handler->parseRequest(request);
    const bool killsAll =
        special || (fromClean.valid && fromClean.type == WebSocketRequestHandler::Init);
    // A word holding a NUL is refused before any spawn: the child would get less of it.
    const auto holdsNul = [](const std::string& word) {
        return word.find('\0') != std::string::npos;
    };
    const ProcessStartInfo& info = fromClean.startInfo;
    const bool starts = !special && fromClean.valid &&
                        fromClean.type == WebSocketRequestHandler::Start && !holdsNul(info.path) &&
                        std::none_of(info.args.begin(), info.args.end(), holdsNul);
    if (HostGuard::killAllCount() - killAllsBefore != (killsAll ? 1 : 0))
        fail("kill-all run for the wrong request", request);
    if (HostGuard::spawnCount() - spawnsBefore != (starts ? 1 : 0))
        fail("spawn for the wrong request", request);
    return 0;
}
