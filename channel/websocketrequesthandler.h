#pragma once

#include <Poco/Net/HTTPRequestHandler.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

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
// process monitor's watcher thread calls, and sendCloseFrame() and abortConnection(),
// which the shutdown drain calls. m_mutex serialises every send on the socket and every
// change of m_socket. Lock order: monitor's running-list lock, event and delegate locks,
// ActiveSockets' admission gate, then its list lock, m_mutex, Log's lock. Registering and
// unregistering the socket therefore happen outside m_mutex.
class WebSocketRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    enum CommandType : int32_t { None = 0, Init = 1, Start = 2, AtExit = 3, Stop = 4 };

    // A frame not sent completely within this time ends the connection, so that one
    // client that stops reading cannot hold up the broadcast and the monitor's lock.
    static constexpr int kSendTimeoutSeconds = 5;
    // A client silent for a day is disconnected.
    static constexpr int kReceiveTimeoutSeconds = 86400;
    // The largest frame payload accepted; one byte more is a connection error.
    static constexpr int kMaxPayloadSize = 1024 * 1024;

    // Counts the handler and subscribes it to the monitor's finished event. Throws what
    // ProcessMonitor::instance() throws; the count is then unchanged. Connection thread.
    WebSocketRequestHandler();
    // Unsubscribes from the monitor it subscribed to, unregisters and deletes the socket
    // (closing the connection), then lowers the count. Never throws.
    ~WebSocketRequestHandler() override;

    // Handshake (400 on its failures), then the receive loop until the client closes,
    // sends an empty frame, the connection fails or the receive time-out passes. Catches
    // every std::exception of the connection and logs it.
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // Sends one frame (flags 0x81, payload = message + NUL) or drops the message when
    // there is no socket. Never throws; a failed send is logged, and one that timed out
    // also ends the connection at the TCP level. Any thread.
    void sendMessage(const std::string& message);
    // Finished-event callback; runs on the watcher thread.
    void onProcessFinished(const void* sender, std::string& message);
    // Number of live (fully constructed, not yet destroyed) handlers. Any thread.
    static int32_t activeCount();
    // Unregisters and deletes the socket, as the destructor does. Connection thread.
    void deleteSocket();

    // Sends the close frame (0x88, status 1000, no reason) on behalf of the socket
    // registry, serialised with this handler's own sends; nothing without a socket.
    // Throws the framework's exception when the frame cannot be sent; a time-out also
    // ends the connection at the TCP level first.
    void sendCloseFrame();
    // Ends the connection at the TCP level at once, without taking m_mutex, so that a
    // send blocked under it fails too; requests still buffered are not carried out. Only
    // through the socket registry, whose lock keeps the socket in place meanwhile.
    void abortConnection();

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
    // Handshake, time-outs and payload cap, then registration; false, with 503 answered,
    // once the service has begun to stop. Throws the framework's WebSocketException when
    // the handshake fails; nothing is stored then.
    bool createSocket(Poco::Net::HTTPServerRequest& request,
                      Poco::Net::HTTPServerResponse& response);
    // Hands every accepted frame's exact payload to parseRequest() until the loop ends.
    void receiveLoop();
    // m_mutex held, m_socket set: sends one frame within kSendTimeoutSeconds. Throws
    // Poco::TimeoutException after ending the connection, or std::system_error.
    void sendFrameLocked(const void* data, int length, int flags);
    // m_mutex held: ends the TCP connection without a close frame (which would block
    // again), so that the receive loop ends and the handler goes away.
    void dropConnection();

    Poco::Net::WebSocket* m_socket = nullptr;  // guarded by m_mutex; owned
    const std::string m_objectName{"[WebSocketHandler]"};
    std::mutex m_mutex;
    // Set once dropConnection() has ended the connection, from whichever thread's send
    // timed out; the receive loop then stops, since the kernel still hands it every
    // request that was buffered before the drop.
    std::atomic<bool> m_dropped{false};
    // The monitor whose finished event this handler subscribed to; kept alive so that
    // the destructor unsubscribes from that one and never reaches or creates a later one.
    std::shared_ptr<ProcessMonitor> m_monitor;

    static std::atomic<int32_t> m_activeCount;
};

}  // namespace VpnService
