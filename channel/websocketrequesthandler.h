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
class SendQueue;

// Carries one client connection from the WebSocket handshake to its end, on the HTTP
// server's worker thread that read the request (the connection thread). Every message
// to the client leaves through sendMessage(): one text frame, the text plus one NUL.
// Frames follow RFC 6455: pings are answered, a client's close is echoed, fragments are
// joined into one request, and a protocol error ends the connection with 1002 (1009 for
// a message over the cap). Nothing goes out after the connection's close frame.
//
// Thread safety: the connection thread runs everything but onProcessFinished(), which the
// process monitor's watcher thread calls, and sendCloseFrame() and abortConnection(),
// which the shutdown drain calls. m_mutex guards m_socket and m_sendQueue against their
// change while another thread sends; the send queue orders the frames and bounds every
// wait for the client. Lock order: event and delegate locks, ActiveSockets' admission
// gate, m_mutex, the send queue's lock, Log's lock. ActiveSockets' list locks are never
// held together with m_mutex: registering and unregistering the socket happen outside it,
// and the registry sends its close frames holding neither.
class WebSocketRequestHandler : public Poco::Net::HTTPRequestHandler {
public:
    enum CommandType : int32_t { None = 0, Init = 1, Start = 2, AtExit = 3, Stop = 4 };

    // A frame not sent completely within this time ends the connection (SendQueue).
    static constexpr int kSendTimeoutSeconds = 5;
    // A client silent for a day is disconnected.
    static constexpr int kReceiveTimeoutSeconds = 86400;
    // The largest message accepted, fragments joined; one byte more ends the connection
    // with 1009.
    static constexpr int kMaxPayloadSize = 1024 * 1024;
    // Close status codes the service sends (RFC 6455 7.4.1).
    static constexpr uint16_t kCloseNormal = 1000;
    static constexpr uint16_t kCloseProtocolError = 1002;
    static constexpr uint16_t kCloseTooBig = 1009;

    // Counts the handler and subscribes it to the monitor's finished event. Throws what
    // ProcessMonitor::instance() throws; the count is then unchanged. Connection thread.
    WebSocketRequestHandler();
    // Unsubscribes from the monitor it subscribed to, unregisters and deletes the socket
    // (closing the connection), then lowers the count. Never throws.
    ~WebSocketRequestHandler() override;

    // Handshake (400 on its failures), then the receive loop until the client's close
    // frame (echoed), the end of the connection, a protocol error (1002 or 1009, then the
    // TCP close) or the receive time-out. Catches every std::exception of the connection
    // and logs it, escaped; logs "Request from <address>" once the handshake has ended,
    // a refused one within RequestLog's limit.
    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override;

    // Sends one frame (flags 0x81, payload = message + NUL), or drops the message when
    // there is no socket or a close frame has gone out on it. Never waits for the client and never
    // throws; a failed send is logged, and a frame the client does not take within
    // kSendTimeoutSeconds ends the connection at the TCP level. Any thread.
    void sendMessage(const std::string& message);
    // Finished-event callback, on the watcher thread: the frame goes through the
    // connection's writer, so that the broadcast never waits for this client; dropped
    // after the connection's close frame.
    void onProcessFinished(const void* sender, std::string& message);
    // Number of live (fully constructed, not yet destroyed) handlers. Any thread.
    static int32_t activeCount();
    // Unregisters and deletes the socket, as the destructor does. Connection thread.
    void deleteSocket();

    // Sends the close frame (0x88, status 1000, no reason) on behalf of the socket
    // registry, after every frame handed over before it; nothing without a socket or when
    // a close frame has gone out already. Afterwards no frame is sent on this connection
    // and no request but an at-exit record is carried out (parseRequestAfterClose). Waits
    // at most kSendTimeoutSeconds for it to be written; throws the framework's
    // exception when it cannot be, a time-out ending the connection at the TCP level.
    void sendCloseFrame();
    // Ends the connection at the TCP level at once, without taking m_mutex, so that a
    // send blocked under it fails too; requests still buffered are not carried out. Only
    // through the socket registry, whose lock keeps the socket in place meanwhile.
    void abortConnection();

    // Request grammar: logs and carries out one request text.
    void parseRequest(const std::string& request);
    // One request text read after the connection's close frame. An at-exit record is
    // queued as ever (during the stop the monitor launches it at once): the client may
    // have sent it before the close frame, and it exists for this moment. Any other request
    // is logged as not carried out. Nothing is sent. Connection thread.
    void parseRequestAfterClose(const std::string& request);
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
    // Handshake and receive time-out, then registration; false, with 503 answered, once
    // the service has begun to stop. Throws the framework's WebSocketException when
    // the handshake fails; nothing is stored then.
    bool createSocket(Poco::Net::HTTPServerRequest& request,
                      Poco::Net::HTTPServerResponse& response);
    // Receives frames until the client's close frame (echoed) or the end of the
    // connection, and hands each whole data message, fragments joined, to parseRequest().
    // On a protocol error sends the close frame with its status, ends the connection and
    // throws.
    void receiveLoop();
    // The loop itself; throws FrameError or the framework's exceptions.
    void receiveFrames();
    // Answers a ping, or the client's close frame; throws FrameError for a bad close.
    void answerPing(const char* payload, int length);
    void answerClose(const char* payload, int length);
    // Sends the close frame with the status, ends the sending side and waits a moment for
    // the client to end its side, so that the frame is not lost to a reset.
    void failConnection(uint16_t status);
    // Sends a close frame with the payload, unless one has gone out, and waits at most
    // kSendTimeoutSeconds for it to be written. Throws what the send queue throws.
    void sendClose(const char* payload, int length);
    // m_mutex held: hands one frame to the send queue (SendQueue::send, which writes it at
    // once or through its writer) unless there is no socket or a close frame has gone out
    // (then false); a close frame (closing) marks the connection so. Throws what
    // SendQueue::send throws.
    bool sendFrameUnlessClosed(const void* data, int length, int flags, bool closing);

    Poco::Net::WebSocket* m_socket = nullptr;  // guarded by m_mutex; owned
    const std::string m_objectName{"[WebSocketHandler]"};
    std::mutex m_mutex;
    // Created with m_socket and gone before it; guarded by m_mutex like m_socket. Once it
    // has dropped the connection the receive loop stops, since the kernel still hands it
    // every request that was buffered before the drop.
    std::unique_ptr<SendQueue> m_sendQueue;
    // Set under m_mutex when a close frame goes out, whoever sent it first (the drain,
    // the echo of the client's, a protocol error); sends check it under the lock, and the
    // receive loop reads it without, to carry out no request but an at-exit record that
    // arrives afterwards.
    std::atomic<bool> m_closeSent{false};
    // The monitor whose finished event this handler subscribed to; kept alive so that
    // the destructor unsubscribes from that one and never reaches or creates a later one.
    std::shared_ptr<ProcessMonitor> m_monitor;

    static std::atomic<int32_t> m_activeCount;
};

}  // namespace VpnService
