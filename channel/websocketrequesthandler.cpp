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
#include <Poco/Timespan.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>

#include "channel/activesockets.h"
#include "channel/sendqueue.h"
#include "core/customlog.h"
#include "process/processmonitor.h"

using Poco::Net::WebSocket;

namespace VpnService {

namespace {

// For the destructor, which must not throw: a log that cannot be written leaves nowhere
// to report the failure, so that one is dropped.
void logQuietly(const std::string& text)
{
    try {
        Log::error(text);
    } catch (const std::exception&) {
    }
}

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
        logQuietly(Poco::format("%s Unsubscribe error: %s", m_objectName, std::string(e.what())));
    }
    try {
        deleteSocket();
    } catch (const std::exception& e) {
        logQuietly(Poco::format("%s Connection error: %s", m_objectName, std::string(e.what())));
    }
    // Let go of the monitor before the count drops: the drain's wait for 0 then also
    // covers the monitor's destruction, which the last share carries out.
    m_monitor.reset();
    --m_activeCount;
}

void WebSocketRequestHandler::handleRequest(Poco::Net::HTTPServerRequest& request,
                                            Poco::Net::HTTPServerResponse& response)
{
    try {
        if (!createSocket(request, response)) return;
        Log::information(Poco::format("%s connection established", m_objectName));
        receiveLoop();
        Log::information(Poco::format("%s WebSocket connection closed", m_objectName));
    } catch (const Poco::Net::WebSocketException& e) {
        Log::error(Poco::format("%s Connection error: %s", m_objectName, e.displayText()));
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
        Log::error(Poco::format("%s Connection error: %s", m_objectName, std::string(e.what())));
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
        // The framework's default lets one frame make the service allocate gigabytes.
        socket->setMaxPayloadSize(kMaxPayloadSize);
        m_sendQueue = std::make_unique<SendQueue>(socket->impl()->sockfd(), m_objectName);
        m_socket = socket.release();
    });
    if (!admitted) {
        Log::information(Poco::format("%s Handshake refused: the service is stopping", m_objectName));
        response.setStatusAndReason(Poco::Net::HTTPResponse::HTTP_SERVICE_UNAVAILABLE);
        response.setKeepAlive(false);
        response.setContentLength(0);
        response.send();
    }
    return admitted;
}

void WebSocketRequestHandler::receiveLoop()
{
    // m_socket is read without the lock: only this thread changes it, before the loop
    // and after it.
    Poco::Buffer<char> buffer(0);
    for (;;) {
        buffer.resize(0);
        int flags = 0;
        const int n = m_socket->receiveFrame(buffer, flags);
        // A dropped client's requests are not carried out.
        if (n <= 0 || m_sendQueue->dropped()) break;
        if ((flags & WebSocket::FRAME_OP_BITMASK) == WebSocket::FRAME_OP_CLOSE)
            break;  // not answered with a close frame
        if ((flags & (WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_TEXT)) == 0) {
            Log::error(Poco::format("%s Received data is not a FRAME_TEXT", m_objectName));
            continue;
        }
        parseRequest(std::string(buffer.begin(), static_cast<std::size_t>(n)));
    }
}

void WebSocketRequestHandler::sendMessage(const std::string& message)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_socket == nullptr) return;
        // c_str() ends in the NUL that goes out with the text.
        sendFrameLocked(message.c_str(), static_cast<int>(message.size() + 1),
                        WebSocket::FRAME_TEXT);
    } catch (const std::exception& e) {
        Log::error(Poco::format("%s SendFrame error: %s", m_objectName, std::string(e.what())));
    }
}

void WebSocketRequestHandler::sendCloseFrame()
{
    static const unsigned char kNormalClose[] = {0x03, 0xE8};  // 1000, big-endian, no reason
    SendQueue* queue = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_socket == nullptr) return;
        sendFrameLocked(kNormalClose, sizeof kNormalClose,
                        WebSocket::FRAME_FLAG_FIN | WebSocket::FRAME_OP_CLOSE);
        queue = m_sendQueue.get();
    }
    // Waited for without m_mutex, so that finished messages to other clients are not held
    // up meanwhile. The queue outlives the wait: the registry's lock, held by our caller,
    // keeps deleteSocket() from going past its removeSocket().
    queue->flush(std::chrono::steady_clock::now() + std::chrono::seconds(kSendTimeoutSeconds));
}

void WebSocketRequestHandler::sendFrameLocked(const void* data, int length, int flags)
{
    m_sendQueue->send(frameBytes(flags, data, length));
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
        if (m_socket == nullptr) return;
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
