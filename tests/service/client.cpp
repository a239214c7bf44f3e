#include "client.h"

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/StreamSocket.h>

namespace servicetest {

Client::Client(const std::string& host, unsigned short port) : m_session(host, port)
{
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/",
                                   Poco::Net::HTTPRequest::HTTP_1_1);
    Poco::Net::HTTPResponse response;
    m_socket = std::make_unique<Poco::Net::WebSocket>(m_session, request, response);
}

void Client::send(const std::string& text)
{
    m_socket->sendFrame(text.data(), static_cast<int>(text.size()),
                        Poco::Net::WebSocket::FRAME_TEXT);
}

std::optional<Frame> Client::receive(std::chrono::milliseconds timeout)
{
    m_socket->setReceiveTimeout(Poco::Timespan(timeout.count() * 1000));
    Poco::Buffer<char> buffer(0);
    Frame frame;
    try {
        const int n = m_socket->receiveFrame(buffer, frame.flags);
        if (n <= 0 && frame.flags == 0) return std::nullopt;
    } catch (const Poco::TimeoutException&) {
        return std::nullopt;
    } catch (const Poco::Net::NetException&) {
        return std::nullopt;
    }
    frame.payload.assign(buffer.begin(), buffer.size());
    return frame;
}

std::string Client::receiveText(std::chrono::milliseconds timeout)
{
    const auto frame = receive(timeout);
    if (!frame || frame->payload.empty()) return "";
    std::string text = frame->payload;
    if (text.back() == '\0') text.pop_back();
    return text;
}

void Client::sendClose() { m_socket->shutdown(Poco::Net::WebSocket::WS_NORMAL_CLOSE); }

void Client::close() { m_socket->close(); }

bool canConnect(const std::string& host, unsigned short port)
{
    try {
        Poco::Net::StreamSocket socket;
        socket.connect(Poco::Net::SocketAddress(host, port), Poco::Timespan(1, 0));
        return true;
    } catch (const Poco::Exception&) {
        return false;
    }
}

}  // namespace servicetest
