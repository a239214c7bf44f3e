// The connection side of the control channel: handshake, receive loop and every send.

#include "channel/websocketrequesthandler.h"

#include <Poco/Buffer.h>
#include <Poco/Delegate.h>
#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Net/WebSocketImpl.h>
#include <Poco/Timespan.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "channel/activesockets.h"
#include "channel/requestlog.h"
#include "channel/sendqueue.h"
#include "core/customlog.h"
#include "core/logtext.h"
#include "process/processmonitor.h"

using Poco::Net::WebSocket;

namespace VpnService {

namespace {

// One unmasked frame as a server sends it (RFC 6455 5.2): the first header byte, the
// payload length in 7, 7+16 or 7+64 bits, the payload.
std::string frameBytes(int flags, const void* data, int length)
{
    const auto size = static_cast<uint64_t>(length);
    std::string frame(1, static_cast<char>(flags & 0xFF));
    if (size < 126) {
        frame += static_cast<char>(size);
    } else {
        const int lengthBytes = size <= 0xFFFF ? 2 : 8;
        frame += static_cast<char>(lengthBytes == 2 ? 126 : 127);
        for (int i = lengthBytes - 1; i >= 0; --i)
            frame += static_cast<char>((size >> (8 * i)) & 0xFF);
    }
    frame.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
    return frame;
}

// A violation of RFC 6455 by the client; ends the connection with the close status.
class FrameError : public std::runtime_error {
public:
    FrameError(uint16_t status, const std::string& text)
        : std::runtime_error("WebSocket protocol error: " + text), m_status(status)
    {
    }
    uint16_t status() const { return m_status; }

private:
    uint16_t m_status;
};

constexpr int kMaxControlPayload = 125;  // RFC 6455 5.5
constexpr int kReservedBits =
    WebSocket::FRAME_FLAG_RSV1 | WebSocket::FRAME_FLAG_RSV2 | WebSocket::FRAME_FLAG_RSV3;
// How long a failed connection waits for the client to end its side after the close
// frame, in all and while the client sends nothing: a client still sending must not
// hold the connection thread for long.
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::chrono::milliseconds kLingerIdle{100};

bool isControl(int opcode) { return (opcode & 0x08) != 0; }

// Status codes a peer may send in a close frame (RFC 6455 7.4): the defined ones that
// are not reserved for local use (1004-1006, 1015), and those for libraries and
// applications.
bool isValidCloseCode(unsigned code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

// The framework reports both the peer's orderly end and a frame with first byte 0x00 and
// an empty payload as 0 with flags 0; only the socket itself tells them apart: bytes
// waiting, or none yet, mean that the connection is open.
bool peerHasClosed(int fd)
{
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

// Reads and drops what the client still sends until it ends the connection, sends
// nothing for kLingerIdle, or the deadline passes.
void discardUntilClosed(int fd, std::chrono::steady_clock::time_point deadline)
{
    char scratch[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kLingerIdle).count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return;
        const ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
}

}  // namespace

std::atomic<int32_t> WebSocketRequestHandler::m_activeCount{0};

WebSocketRequestHandler::WebSocketRequestHandler()
{
    ++m_activeCount;
    try {
        m_monitor = ProcessMonitor::instance();
        m_monitor->eventProcessFinished() +=
            Poco::delegate(this, &WebSocketRequestHandler::onProcessFinished);
    } catch (...) {
        // Only fully constructed handlers count; the drain would wait for this one forever.
        --m_activeCount;
        throw;
    }
}

WebSocketRequestHandler::~WebSocketRequestHandler()
{
    try {
        // Returns once no delivery to this handler runs; none starts afterwards.
        m_monitor->eventProcessFinished() -=
            Poco::delegate(this, &WebSocketRequestHandler::onProcessFinished);
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s Unsubscribe error: %s", m_objectName, std::string(e.what())));
    }
    try {
        deleteSocket();
    } catch (const std::exception& e) {
        Log::error(
            Poco::format("%s Connection error: %s", m_objectName, LogText::client(e.what())));
    }
    // Let go of the monitor before the count drops: the drain's wait for 0 then also
    // covers the monitor's destruction, which the last share carries out.
    m_monitor.reset();
    --m_activeCount;
}

void WebSocketRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                            Poco::Net::HTTPServerResponse& response)
{
    // Until the handshake has succeeded this is a refused request, whose lines are held
    // to the request log's limit. Exception texts carry header values: escaped and cut.
    bool established = false;
    const auto connectionError = [&](const std::string& text) {
        const std::string line =
            Poco::format("%s Connection error: %s", m_objectName, LogText::client(text));
        if (established) {
            Log::error(line);
            return;
        }
        RequestLog::refused(request.clientAddress(), [&] {
            RequestLog::requestFrom(request.clientAddress());
            Log::error(line);
        });
    };
    try {
        if (!createSocket(request, response)) return;
        established = true;
        RequestLog::requestFrom(request.clientAddress());
        Log::information(Poco::format("%s connection established", m_objectName));
        receiveLoop();
        Log::information(Poco::format("%s WebSocket connection closed", m_objectName));
    } catch (const Poco::Net::WebSocketException& e) {
        connectionError(e.displayText());
        switch (e.code()) {
            case WebSocket::WS_ERR_HANDSHAKE_UNSUPPORTED_VERSION:
                response.set("Sec-WebSocket-Version", WebSocket::WEBSOCKET_VERSION);
                [[fallthrough]];
            case WebSocket::WS_ERR_NO_HANDSHAKE:
            case WebSocket::WS_ERR_HANDSHAKE_NO_VERSION:
            case WebSocket::WS_ERR_HANDSHAKE_NO_KEY:
                response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_BAD_REQUEST);
                response.setContentLength(0);
                response.send();
                break;
            default:
                break;  // raised after the handshake: the 101 has gone out already
        }
    } catch (const std::exception& e) {
        connectionError(e.what());
    }
}

bool WebSocketRequestHandler::createSocket(Poco::Net::HTTPServerRequest& request,
                                           Poco::Net::HTTPServerResponse& response)
{
    // The registry's gate: a client admitted after the drain's close frames would get
    // none, and could start children that nobody supervises any more.
    const bool admitted = ActiveSockets::instance().admit(this, [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto socket = std::make_unique<WebSocket>(request, response);
        socket->setReceiveTimeout(Poco::Timespan(kReceiveTimeoutSeconds, 0));
        m_sendQueue = std::make_unique<SendQueue>(socket->impl()->sockfd(), m_objectName);
        m_socket = socket.release();
    });
    if (!admitted) {
        RequestLog::refused(request.clientAddress(), [&] {
            RequestLog::requestFrom(request.clientAddress());
            Log::information(
                Poco::format("%s Handshake refused: the service is stopping", m_objectName));
        });
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_SERVICE_UNAVAILABLE);
        response.setKeepAlive(false);
        response.setContentLength(0);
        response.send();
    }
    return admitted;
}

void WebSocketRequestHandler::receiveLoop()
{
    try {
        receiveFrames();
    } catch (const FrameError& e) {
        failConnection(e.status());
        throw;
    } catch (const Poco::Net::WebSocketException& e) {
        if (e.code() != WebSocket::WS_ERR_PAYLOAD_TOO_BIG) throw;
        // The framework refuses by the declared length, before the payload; it has read
        // the first header byte, so a control frame can still be told from a data frame.
        const int flags = static_cast<Poco::Net::WebSocketImpl*>(m_socket->impl())->frameFlags();
        failConnection(isControl(flags & WebSocket::FRAME_OP_BITMASK) ? kCloseProtocolError
                                                                      : kCloseTooBig);
        throw;
    }
}

void WebSocketRequestHandler::receiveFrames()
{
    // m_socket and m_sendQueue are read without the lock: only this thread changes them,
    // before the loop and after it.
    //
    // The framework's receiveFrame() unmasks a masked frame and hides the mask bit itself,
    // so a client frame that is not masked is taken as it came: reading every frame header
    // ourselves would replace the framework's frame handling for that one rule.
    Poco::Buffer<char> frame(0);
    std::string message;  // the data message being received, fragments joined
    bool messageOpen = false;
    for (;;) {
        frame.resize(0);
        int flags = 0;
        // The framework's default would let one frame make the service allocate
        // gigabytes. The cap holds for the joined message; a control frame between
        // fragments may still carry its 125 bytes.
        m_socket->setMaxPayloadSize(
            std::max(kMaxPayloadSize - static_cast<int>(message.size()), kMaxControlPayload));
        const int n = m_socket->receiveFrame(frame, flags);
        if (n < 0 || (n == 0 && flags == 0 && peerHasClosed(m_socket->impl()->sockfd()))) return;
        if (m_sendQueue->dropped()) return;  // a dropped client's requests are not carried out
        const int opcode = flags & WebSocket::FRAME_OP_BITMASK;
        const bool final = (flags & WebSocket::FRAME_FLAG_FIN) != 0;
        // The framework hands these on as they are; no extension was agreed on.
        if ((flags & kReservedBits) != 0) throw FrameError(kCloseProtocolError, "RSV bits set");
        if (isControl(opcode)) {
            if (opcode > WebSocket::FRAME_OP_PONG)
                throw FrameError(kCloseProtocolError, "reserved opcode");
            if (!final) throw FrameError(kCloseProtocolError, "fragmented control frame");
            if (n > kMaxControlPayload)
                throw FrameError(kCloseProtocolError, "control frame longer than 125 bytes");
            if (opcode == WebSocket::FRAME_OP_PING) {
                answerPing(frame.begin(), n);
            } else if (opcode == WebSocket::FRAME_OP_CLOSE) {
                answerClose(frame.begin(), n);
                return;
            }
            continue;  // a pong answers nothing
        }
        if (opcode > WebSocket::FRAME_OP_BINARY)
            throw FrameError(kCloseProtocolError, "reserved opcode");
        if (opcode == WebSocket::FRAME_OP_CONT && !messageOpen)
            throw FrameError(kCloseProtocolError, "continuation without a message");
        if (opcode != WebSocket::FRAME_OP_CONT && messageOpen)
            throw FrameError(kCloseProtocolError, "new message inside a fragmented one");
        if (static_cast<std::size_t>(n) > kMaxPayloadSize - message.size())
            throw FrameError(kCloseTooBig, "message longer than 1 MiB");
        message.append(frame.begin(), static_cast<std::size_t>(n));
        messageOpen = !final;
        if (messageOpen) continue;
        // Text or binary, empty or not, the whole message is one request; once the service
        // has said goodbye, only an at-exit record is still taken.
        if (m_closeSent)
            parseRequestAfterClose(message);
        else
            parseRequest(message);
        message.clear();
    }
}

void WebSocketRequestHandler::answerPing(const char* payload, int length)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        sendFrameUnlessClosed(payload, length, WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_PONG,
                              false);
    } catch (const std::exception& e) {
        // As for any send: the receive loop notices a dead connection by itself.
        Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
    }
}

void WebSocketRequestHandler::answerClose(const char* payload, int length)
{
    if (length == 1) throw FrameError(kCloseProtocolError, "close frame of one byte");
    if (length >= 2) {
        const unsigned code =
            (static_cast<unsigned char>(payload[0]) << 8) | static_cast<unsigned char>(payload[1]);
        if (!isValidCloseCode(code))
            throw FrameError(kCloseProtocolError, "close status " + std::to_string(code));
    }
    // The echo carries the status alone, no reason; an empty close gets an empty one.
    sendClose(payload, std::min(length, 2));
}

void WebSocketRequestHandler::failConnection(uint16_t status)
{
    const char payload[] = {static_cast<char>(status >> 8), static_cast<char>(status & 0xFF)};
    try {
        sendClose(payload, sizeof payload);
    } catch (const std::exception&) {
        // The connection is failing already, and that is what the caller logs.
    }
    // Closing with the client's bytes unread would reset the connection, and a reset can
    // overtake the close frame.
    const int fd = m_socket->impl()->sockfd();
    ::shutdown(fd, SHUT_WR);
    discardUntilClosed(fd, std::chrono::steady_clock::now() + kLinger);
}

void WebSocketRequestHandler::sendClose(const char* payload, int length)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!sendFrameUnlessClosed(payload, length,
                                   WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE, true))
            return;
    }
    // The connection ends once this returns, and with it whatever its queue still holds.
    m_sendQueue->flush(std::chrono::steady_clock::now() +
                       std::chrono::seconds(kSendTimeoutSeconds));
}

void WebSocketRequestHandler::sendMessage(const std::string& message)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        // c_str() ends in the NUL that goes out with the text.
        sendFrameUnlessClosed(message.c_str(), static_cast<int>(message.size() + 1),
                              WebSocket::FRAME_TEXT, false);
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
    }
}

void WebSocketRequestHandler::sendCloseFrame()
{
    static const unsigned char kNormalClose[] = {kCloseNormal >> 8, kCloseNormal & 0xFF};
    SendQueue* queue = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!sendFrameUnlessClosed(kNormalClose, sizeof kNormalClose,
                                   WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE, true))
            return;
        queue = m_sendQueue.get();
    }
    // Waited for without m_mutex, so that finished messages to other clients are not held
    // up meanwhile. The queue outlives the wait: the registry lists this close frame as
    // under way until we return, and deleteSocket() waits for that in its removeSocket().
    queue->flush(std::chrono::steady_clock::now() + std::chrono::seconds(kSendTimeoutSeconds));
}

bool WebSocketRequestHandler::sendFrameUnlessClosed(const void* data, int length, int flags,
                                                    bool closing)
{
    // RFC 6455 5.5.1: no frame after the close frame, whichever side closed first.
    if (m_socket == nullptr || m_closeSent) return false;
    // Set before the send: a close frame cut short by a failure leaves the connection
    // unable to carry anything else either.
    if (closing) m_closeSent = true;
    m_sendQueue->send(frameBytes(flags, data, length));
    return true;
}

void WebSocketRequestHandler::abortConnection()
{
    // Read without m_mutex: the socket and its queue are stored before the handler is
    // registered and go only after it has been unregistered, and the registry calls this
    // between.
    if (m_sendQueue != nullptr) m_sendQueue->abort();
}

void WebSocketRequestHandler::onProcessFinished(const void*, std::string& message)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        // None after the connection's close frame (RFC 6455 5.5.1), quietly.
        if (m_socket == nullptr || m_closeSent) return;
        // c_str() ends in the NUL that goes out with the text.
        m_sendQueue->post(frameBytes(WebSocket::FRAME_TEXT, message.c_str(),
                                     static_cast<int>(message.size() + 1)));
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
    }
}

int32_t WebSocketRequestHandler::activeCount() { return m_activeCount.load(); }

void WebSocketRequestHandler::deleteSocket()
{
    // Unregister first and outside m_mutex (lock order); once removeSocket() returns, the
    // registry sends nothing more through this handler.
    ActiveSockets::instance().removeSocket(this);
    std::unique_ptr<WebSocket> socket;
    std::unique_ptr<SendQueue> queue;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        socket.reset(m_socket);
        m_socket = nullptr;
        queue = std::move(m_sendQueue);
    }
    // The writer is joined outside m_mutex, so that a broadcast meanwhile finds the socket
    // gone instead of waiting; and before the socket goes, whose descriptor it writes to.
    queue.reset();
    socket.reset();
}

}  // namespace VpnService
