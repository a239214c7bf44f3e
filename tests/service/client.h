#pragma once

#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/WebSocket.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

// A real WebSocket client (Poco's) for talking to the service under test.
namespace servicetest {

struct Frame {
    int flags = 0;        // first header byte: FIN 0x80, opcode 0x0F
    std::string payload;  // exact bytes
};

class Client {
public:
    // Connects and completes the handshake; throws on failure.
    explicit Client(const std::string& host = "127.0.0.1", unsigned short port = 6457);

    void send(const std::string& text);
    // The next frame within the time-out; nullopt on time-out or when the connection ended.
    std::optional<Frame> receive(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The next message text (payload without its final NUL), or "" on time-out.
    std::string receiveText(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Answers the service's close frame (or starts closing) with a close frame of our own.
    void sendClose();
    void close();

private:
    Poco::Net::HTTPClientSession m_session;
    std::unique_ptr<Poco::Net::WebSocket> m_socket;
};

// True when a TCP connection to host:port is accepted.
bool canConnect(const std::string& host, unsigned short port = 6457);

}  // namespace servicetest
