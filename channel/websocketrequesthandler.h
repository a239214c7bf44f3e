#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <Poco/Net/HTTPRequestHandler.h>

#include "process/process_unix.h"

namespace Poco::Net {
class WebSocket;
}

namespace VpnService {

class ProcessMonitor;

// Carries one client connection from the WebSocket handshake to its end, on the HTTP
// server's worker thread that read the request (the connection thread). Every message
// to the client leaves through sendMessage(): one text frame, the text plus one NUL.
//
// Thread safety: the connection thread runs everything but onProcessFinished(), which the
// process monitor's watcher thread calls. m_mutex serialises every send on the socket and
// every change of m_socket. Lock order: monitor's running-list lock, event and delegate
// locks, ActiveSockets' lock, m_mutex, Log's lock. Registering and unregistering the
// socket therefore happen outside m_mutex.
class WebSocketRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    enum CommandType : int32_t { None = 0, Init = 1, Start = 2, AtExit = 3, Stop = 4 };

    WebSocketRequestHandler();
    ~WebSocketRequestHandler() override;

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // Sends one frame (flags 0x81, payload = message + NUL) or drops the message when
    // there is no socket. Never throws; a failed or timed-out send is logged.
    void sendMessage(const std::string& message);
    // Finished-event callback; runs on the watcher thread.
    void onProcessFinished(const void* sender, std::string& message);
    // Number of live (fully constructed, not yet destroyed) handlers.
    static int32_t activeCount();
    // Unregisters and deletes the socket, as the destructor does.
    void deleteSocket();

    // Sends the close frame (status 1000) on behalf of the socket registry, serialised
    // with this handler's own sends. Throws when the frame cannot be sent.
    void sendCloseFrame();

    // Request grammar: logs and carries out one request text.
    void parseRequest(const std::string& request);
    // Splits and classifies one request text; true when it is a valid command. Reads and
    // writes no member.
    static bool parseCommand(CommandType& type, ProcessStartInfo& startInfo, int& pid,
                             const std::string& request);

    // Command handlers and replies; connection thread only.
    void onProcessStarted(int pid, const ProcessStartInfo& startInfo);
    void onProcessError(const std::string& text);
    void handlerLaunchProcess(const ProcessStartInfo& startInfo);
    void handlerInit();
    void killAllOpenVpnProcesses();
    void handlerAddStartAtExit(const ProcessStartInfo& startInfo);
    void handlerCloseProcess(const int& pid);

private:
    void createSocket(Poco::Net::HTTPServerRequest& request,
                      Poco::Net::HTTPServerResponse& response);
    void dropConnection();  // m_mutex held: ends the TCP connection after a failed send

    Poco::Net::WebSocket* m_socket = nullptr;  // guarded by m_mutex
    const std::string m_objectName{"[WebSocketHandler]"};
    std::mutex m_mutex;
    // The monitor whose finished event this handler subscribed to; kept alive so that
    // the destructor unsubscribes from that one and never reaches or creates a later one.
    std::shared_ptr<ProcessMonitor> m_monitor;

    static std::atomic<int32_t> m_activeCount;
};

}  // namespace VpnService
