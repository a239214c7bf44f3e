#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/ThreadPool.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include "app/launchstate.h"
#include "app/serviceapplication.h"
#include "app/signals.h"
#include "channel/activesockets.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/standarderror.h"
#include "process/processmonitor.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const int kExitSoftware = 70;
// The exit comes at most this long after the at-exit pass, whatever the clients do: every
// wait of the drain ends by then (the README states the same figure).
constexpr auto kStopBound = 7s;
// How long the clients have, after the close frames, to close their connections.
constexpr auto kCloseWait = 5s;
// After the connections have been ended at the TCP level: for each handler to go, then for
// the worker threads to become idle; then for the watcher to end a pass that holds the
// monitor's last share (a watcher between passes is woken and joined at once), which gets
// what is left of the bound, and at least kWatcherWait.
constexpr auto kHandlerWait = 1250ms;
constexpr auto kWorkerWait = 300ms;
constexpr auto kWatcherWait = 200ms;
// The exit's last wait, for standard error to take the lines still queued for it.
static_assert(kCloseWait + kHandlerWait + kWorkerWait + kWatcherWait + StandardError::kExitFlush <=
              kStopBound);
// The same after a second termination signal: whoever sent it wants the process gone.
const auto kHandlerWaitSignalled = 800ms;
const auto kWorkerWaitSignalled = 200ms;

// Runs one step of the drain; a failing step is logged (if it can be) and the next
// steps still run.
void drainStep(const std::string& tag, const std::function<void()>& step)
{
    try {
        step();
    } catch (const Poco::Exception& e) {
        Log::error(Poco::format("%s Error: %s", tag, e.displayText()));
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s Error: %s", tag, std::string(e.what())));
    }
}

enum class WaitEnd { Done, Deadline, Signal };

// Polls the condition every 10 ms until it holds or the deadline passes; a termination
// signal ends the wait at once.
WaitEnd waitUntil(const std::function<bool()>& done, Clock::time_point deadline)
{
    for (;;) {
        if (done()) return WaitEnd::Done;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) return WaitEnd::Deadline;
        if (VpnService::takeTerminationSignal(std::min<std::chrono::milliseconds>(left, 10ms)) != 0)
            return WaitEnd::Signal;
    }
}

bool noHandlers() { return VpnService::WebSocketRequestHandler::activeCount() == 0; }

// A worker thread goes on for a moment after its handler is gone, releasing the
// framework's per-connection objects; static destructors must not run under it.
bool workersIdle() { return Poco::ThreadPool::defaultPool().used() == 0; }

bool noWatcher() { return VpnService::ProcessMonitor::runningWatchers() == 0; }

// For a thread that would not end in time: exiting normally would run static destructors
// (the log's lock among them) under it.
[[noreturn]] void exitWithout(const std::string& tag, const std::string& text, int exitCode)
{
    Log::error(Poco::format("%s %s", tag, text));
    Log::information(Poco::format("%s Finished", tag));
    Log::flushStandardError();  // _Exit runs no exit handler, the log's among them
    std::_Exit(exitCode);
}

// Launches the at-exit records, sends every client a close frame, gives the clients
// kCloseWait to close, ends the connections still open at the TCP level and waits, with
// bounds, for their handlers and threads, all within kStopBound of the at-exit pass. A
// second termination signal cuts the wait for the clients short. Returns when the process
// may exit normally; exits at once (with the exit code) when a connection thread or the
// watcher would not end in time.
void shutdownDrain(const std::string& tag, int exitCode)
{
    // The run closes admission when the stop begins; a run that ended by an exception
    // did not, and no handshake may complete after the close frames.
    VpnService::ActiveSockets::instance().closeAdmission();
    // The handlers hold the monitor's other shares; the last of them to go destroys it.
    drainStep(tag, [] { VpnService::ProcessMonitor::shutdown(); });
    const auto stopEnd = Clock::now() + kStopBound;
    // Each later wait ends by its own bound or by the stop's, whichever comes first.
    const auto within = [stopEnd](Clock::duration wait) {
        return std::min<Clock::time_point>(Clock::now() + wait, stopEnd);
    };

    // The close frames go out on a thread of their own, so that a client whose connection
    // cannot take one at once holds up neither the bound nor a second signal.
    const auto sendCloseFrames = [tag] {
        drainStep(tag, [] { VpnService::ActiveSockets::instance().deleteSockets(); });
    };
    std::thread closer;
    try {
        closer = std::thread(sendCloseFrames);
    } catch (const std::system_error&) {
        sendCloseFrames();
    }

    const WaitEnd clients = waitUntil(noHandlers, within(kCloseWait));
    if (clients != WaitEnd::Done) {
        const int open = VpnService::WebSocketRequestHandler::activeCount();
        Log::information(Poco::format(
            clients == WaitEnd::Signal ? "%s Second termination signal: ending %d connections"
                                       : "%s Clients did not close in time: ending %d connections",
            tag, open));
        drainStep(tag, [] { VpnService::ActiveSockets::instance().shutdownConnections(); });
    }
    if (closer.joinable()) closer.join();  // every send it could wait for has failed by now

    const bool signalled = clients == WaitEnd::Signal;
    const auto handlerWait = signalled ? kHandlerWaitSignalled : kHandlerWait;
    const auto workerWait = signalled ? kWorkerWaitSignalled : kWorkerWait;
    const bool ended = waitUntil(noHandlers, within(handlerWait)) == WaitEnd::Done &&
                       waitUntil(workersIdle, within(workerWait)) == WaitEnd::Done;
    // A connection thread is stuck outside its socket (in a command it carries out).
    if (!ended)
        exitWithout(tag, "Connection threads still running: exiting without them", exitCode);
    // The last handler's share has gone, which woke and joined the watcher, unless a pass
    // held a share: that pass still logs and announces the children it collected, and
    // ends the thread when it is done.
    // A pass that announces many children takes long on a loaded machine.
    if (waitUntil(noWatcher, stopEnd - StandardError::kExitFlush) != WaitEnd::Done)
        exitWithout(tag, "Process watcher still running: exiting without it", exitCode);
    Log::information(Poco::format("%s Finished", tag));
}

}  // namespace

int main(int argc, char** argv)
{
    VpnService::openClosedStandardDescriptors();
    // From here a termination signal waits until the service can stop: while the options
    // are parsed and the configuration is loaded, too.
    VpnService::blockTerminationSignals();
    const bool workingDirectoryLost = VpnService::leaveUnnamedWorkingDirectory();
    const std::string tag = "[Main]";
    VpnService::ServiceApplication application;
    if (workingDirectoryLost) application.setWorkingDirectoryLost();
    int exitCode = 0;
    try {
        exitCode = application.runService(argc, argv);
    } catch (const Poco::Exception& e) {
        Log::error(Poco::format("%s Error: %s", tag, e.displayText()));
        exitCode = kExitSoftware;
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s Error: %s", tag, std::string(e.what())));
        exitCode = kExitSoftware;
    }
    if (!application.serviceCommand()) shutdownDrain(tag, exitCode);
    return exitCode;
}
