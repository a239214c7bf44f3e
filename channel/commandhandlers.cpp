// The command handlers of one connection and the two replies that go back to it alone:
// the started message and the error message. Everything here runs on the connection
// thread, inside the receive loop, and holds no lock of its own. Requests go to the
// monitor this connection subscribed to (m_monitor): after the shutdown drain has dropped
// the singleton, a request still served here thus reaches the children this connection
// hears about, not a new, empty monitor that would deny they exist.

#include <Poco/Format.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/logtext.h"
#include "core/timestamp.h"
#include "process/process_unix.h"
#include "process/processmonitor.h"
#include "process/protocol.h"

namespace VpnService {

namespace {

// killall's complaints are dropped and the shell always ends with 0, so "no openvpn
// running" is not a failure.
const char* const kKillAllOpenVpnCommand = "/bin/bash -c 'killall -9 openvpn 2>/dev/null; exit 0'";

}  // namespace

void WebSocketRequestHandler::onProcessStarted(int pid, const ProcessStartInfo& startInfo)
{
    const std::string message = Protocol::startedMessage(pid, startInfo.path);
    Log::information(Poco::format("%s Started (%s)", m_objectName, LogText::client(message)));
    sendMessage(message);
}

void WebSocketRequestHandler::onProcessError(const std::string& text)
{
    // The seconds never hold a comma, so a client finds the text after the first one.
    const std::string message =
        "error:" + timestampToString() + Protocol::itemSeparator() + text;
    Log::error(Poco::format("%s Process error: %s", m_objectName, LogText::client(message)));
    sendMessage(message);
}

void WebSocketRequestHandler::handlerLaunchProcess(const ProcessStartInfo& startInfo)
{
    try {
        const ProcessHandle handle = m_monitor->launchProcess(startInfo);
        onProcessStarted(handle.id(), startInfo);
    } catch (const std::exception& e) {
        Log::information(Poco::format("%s Exception", m_objectName));
        onProcessError(e.what());
    }
}

void WebSocketRequestHandler::handlerInit()
{
    Log::information(Poco::format("%s Handler for init stage", m_objectName));
    killAllOpenVpnProcesses();
}

void WebSocketRequestHandler::killAllOpenVpnProcesses()
{
    // Blocks this connection only; supervised openvpn children killed here are announced
    // by the watcher like any other ended child.
    const int status = Process::runCommand(kKillAllOpenVpnCommand);
    Log::information(Poco::format("%s Task finished with status %d", m_objectName, status));
}

void WebSocketRequestHandler::handlerAddStartAtExit(const ProcessStartInfo& startInfo)
{
    m_monitor->addProcessStartAtExit(startInfo);
}

void WebSocketRequestHandler::parseRequestAfterClose(const std::string& request)
{
    CommandType type = None;
    ProcessStartInfo startInfo;
    int pid = 0;
    // The special request parses as a start, so it is refused here too.
    if (parseCommand(type, startInfo, pid, request) && type == AtExit) {
        Log::information(Poco::format("%s Request: [%s]", m_objectName, LogText::client(request)));
        handlerAddStartAtExit(startInfo);
        return;
    }
    Log::warning(Poco::format("%s Request not carried out after the close frame: [%s]",
                              m_objectName, LogText::client(request)));
}

void WebSocketRequestHandler::handlerCloseProcess(const int& pid)
{
    ProcessMonitor::StopResult result = ProcessMonitor::StopResult::NotRunning;
    try {
        result = m_monitor->stopProcess(pid);
    } catch (const std::exception&) {
        onProcessError("close process error");
        return;
    }
    // Killed and AlreadyEnded get no reply: the finished message reaches every client.
    if (result == ProcessMonitor::StopResult::NotRunning) onProcessError("process does not exist");
}

}  // namespace VpnService
