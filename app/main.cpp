#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/ThreadPool.h>

#include <chrono>
#include <exception>
#include <functional>
#include <string>
#include <thread>

#include "channel/activesockets.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "app/serviceapplication.h"
#include "process/processmonitor.h"

namespace {

const int kExitSoftware = 70;

// The log may be unwritable on the way out (the run ended with 77, or before the log was
// set up); a line that cannot be written is dropped so that the exit code stands.
void logQuietly(void (*writer)(const std::string&), const std::string& text)
{
    try {
        writer(text);
    } catch (const std::exception&) {
    }
}

// Runs one step of the drain; a failing step is logged (if it can be) and the next
// steps still run.
void drainStep(const std::string& tag, const std::function<void()>& step)
{
    try {
        step();
    } catch (const Poco::Exception& e) {
        logQuietly(&Log::error, Poco::format("%s Error: %s", tag, e.displayText()));
    } catch (const std::exception& e) {
        logQuietly(&Log::error, Poco::format("%s Error: %s", tag, std::string(e.what())));
    }
}

// Launches the at-exit records, closes every connection and waits until every
// connection handler has gone.
void shutdownDrain(const std::string& tag)
{
    drainStep(tag, [] { VpnService::ProcessMonitor::shutdown(); });
    drainStep(tag, [] { VpnService::ActiveSockets::instance().deleteSockets(); });
    while (VpnService::WebSocketRequestHandler::activeCount() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A worker thread goes on for a moment after its handler is gone, releasing the
    // framework's per-connection objects; the process must not run its static
    // destructors under it.
    drainStep(tag, [] { Poco::ThreadPool::defaultPool().joinAll(); });
    logQuietly(&Log::information, Poco::format("%s Finished", tag));
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
        logQuietly(&Log::error, Poco::format("%s Error: %s", tag, e.displayText()));
        exitCode = kExitSoftware;
    } catch (const std::exception& e) {
        logQuietly(&Log::error, Poco::format("%s Error: %s", tag, std::string(e.what())));
        exitCode = kExitSoftware;
    }
    if (!application.serviceCommand()) shutdownDrain(tag);
    return exitCode;
}
