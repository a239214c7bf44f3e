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

#include "app/serviceapplication.h"
#include "app/signals.h"
#include "channel/activesockets.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "process/processmonitor.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const int kExitSoftware = 70;
// How long the clients have, after the close frames, to close their connections.
const auto kCloseWait = 5s;
// After the connections have been ended at the TCP level: for each handler to go, then for
// the worker threads to become idle; then for the watcher to end the pass it may be in.
// With kCloseWait and the watcher's last sleep (up to a second, when no pass runs) they
// keep the exit within 8 s of the at-exit pass.
const auto kHandlerWait = 1500ms;
const auto kWorkerWait = 300ms;
const auto kWatcherWait = 1s;
// The same after a second termination signal: whoever sent it wants the process gone.
const auto kHandlerWaitSignalled = 800ms;
const auto kWorkerWaitSignalled = 200ms;
const auto kWatcherWaitSignalled = 500ms;

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
// bounds, for their handlers and threads. A second termination signal cuts the wait for
// the clients short. Returns when the process may exit normally; exits at once (with the
// exit code) when a connection thread would not end in time.
void shutdownDrain(const std::string& tag, int exitCode)
{
    // The run closes admission when the stop begins; a run that ended by an exception
    // did not, and no handshake may complete after the close frames.
    VpnService::ActiveSockets::instance().closeAdmission();
    // Held until the handlers are gone, so that the last of them does not wait for the
    // monitor's watcher thread (up to a second) inside the bounded waits below.
    std::shared_ptr<VpnService::ProcessMonitor> monitor;
    drainStep(tag, [&monitor] {
        monitor = VpnService::ProcessMonitor::instance();
        VpnService::ProcessMonitor::shutdown();
    });
    const auto passEnd = Clock::now();

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

    const WaitEnd clients = waitUntil(noHandlers, passEnd + kCloseWait);
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
    const auto watcherWait = signalled ? kWatcherWaitSignalled : kWatcherWait;
    const bool ended = waitUntil(noHandlers, Clock::now() + handlerWait) == WaitEnd::Done &&
                       waitUntil(workersIdle, Clock::now() + workerWait) == WaitEnd::Done;
    // A connection thread is stuck outside its socket (in a command it carries out).
    if (!ended)
        exitWithout(tag, "Connection threads still running: exiting without them", exitCode);
    // Joins the watcher, unless a pass holds a share: that pass still logs and announces
    // the children it collected, and ends the thread when it is done.
    monitor.reset();
    if (waitUntil(noWatcher, Clock::now() + watcherWait) != WaitEnd::Done)
        exitWithout(tag, "Process watcher still running: exiting without it", exitCode);
    Log::information(Poco::format("%s Finished", tag));
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string tag = "[Main]";
    VpnService::ServiceApplication application;
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
