#pragma once

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace VpnTest {

// A raw WebSocket client over one real TCP connection, for tests that must control every
// byte: handshake headers, frame header bytes, masking and declared lengths. It checks
// nothing the server sends beyond what it needs to cut frames apart, so tests see the
// server's bytes as they are. One thread at a time; every read has a deadline.
class WsClient {
public:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    struct Response {
        int status = 0;
        std::string reason;
        Headers headers;  // in arrival order, names as sent
        // The first header of that name (ASCII case ignored), or nullopt.
        std::optional<std::string> header(const std::string& name) const;
    };

    struct Frame {
        unsigned char firstByte = 0;  // FIN, RSV and opcode as sent
        std::string payload;          // exact bytes, unmasked
    };

    // Connects to the server. A receiveBufferBytes above 0 sets SO_RCVBUF before the
    // connection is made, so that the advertised window stays small. Throws the
    // framework's network exceptions.
    explicit WsClient(const Poco::Net::SocketAddress& server, int receiveBufferBytes = 0);

    // The headers of a valid handshake to this client's server: Host, Upgrade,
    // Connection, Sec-WebSocket-Key and Sec-WebSocket-Version 13.
    Headers handshakeHeaders() const;
    // A copy of the headers with the named one (ASCII case ignored) set to the value,
    // appended when absent; without() drops every header of that name.
    static Headers with(Headers headers, const std::string& name, const std::string& value);
    static Headers without(Headers headers, const std::string& name);

    // Sends "<method> <path> HTTP/1.1", the headers and the empty line, then reads the
    // answer's status line and headers (not its body). Throws std::runtime_error when no
    // complete answer head arrives before the deadline.
    Response request(const Headers& headers, const std::string& path = "/",
                     const std::string& method = "GET",
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // request(handshakeHeaders()); throws std::runtime_error unless the answer is 101.
    void handshake();

    // One frame with the given first header byte. Masked with a fixed key unless masked
    // is false. declaredLength, when set, is written as the payload length in place of
    // the real one (the payload bytes are sent all the same).
    void sendFrame(unsigned char firstByte, const std::string& payload, bool masked = true,
                   std::optional<uint64_t> declaredLength = std::nullopt);
    void sendRaw(const std::string& bytes);

    // The next whole frame, or nullopt when the deadline passes first or the connection
    // ends (closed() then tells which).
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads and drops whatever arrives until the server ends the connection (true) or
    // the deadline passes (false).
    bool waitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True once the server has ended the connection (end of stream or reset).
    bool closed() const { return m_closed; }

    // Closes with SO_LINGER 0, so that the server sees a reset rather than an orderly end.
    void reset();
    // The client's own end of the connection.
    Poco::Net::SocketAddress localAddress() const { return m_socket.address(); }

private:
    // Reads more bytes into m_input until the deadline; false on deadline or end.
    bool fill(std::chrono::steady_clock::time_point deadline);

    Poco::Net::SocketAddress m_server;
    Poco::Net::StreamSocket m_socket;
    std::string m_input;  // received, not yet consumed
    bool m_closed = false;
};

}  // namespace VpnTest
