#pragma once

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <chrono>
#include <optional>
#include <string>

namespace VpnBench {

using Clock = std::chrono::steady_clock;

// A lean WebSocket client over one loopback connection: the same client drives the floor
// servers and the service, so its own cost is equal on both sides of every ratio. It reads
// whatever the socket holds at once and cuts frames from its own buffer, so a deadline
// never splits a frame. One thread at a time.
class BenchClient {
public:
    // How a read waits for bytes: Poll asks poll(2) until the deadline, then reads;
    // Block reads at once and sleeps in recv(2) itself (as a plain synchronous client
    // does), using poll only for the last kBlockSlice before a deadline.
    enum class Wait { Poll, Block };
    static constexpr std::chrono::milliseconds kBlockSlice{100};

    struct Message {
        std::string text;      // payload, without the service's final NUL
        Clock::time_point at;  // when the bytes holding the frame's end were read
    };

    // Connects (TCP_NODELAY) and completes the handshake. A receiveBufferBytes above 0 is
    // set as SO_RCVBUF before the connection is made (a client meant to stall). Throws
    // std::runtime_error or the framework's network exceptions.
    explicit BenchClient(const Poco::Net::SocketAddress& server, int receiveBufferBytes = 0,
                         Wait wait = Wait::Poll);
    BenchClient(const BenchClient&) = delete;
    BenchClient& operator=(const BenchClient&) = delete;

    // One masked final text frame. Throws the framework's network exceptions.
    void send(const std::string& text);
    // The next data frame, or nullopt once the deadline passes. Control frames are
    // skipped. Throws std::runtime_error when the server ends the connection.
    std::optional<Message> receive(Clock::time_point deadline);
    // Sends a close frame and ends the connection; never throws.
    void close();

private:
    // Cuts one frame off m_input into *message; false while it is incomplete.
    bool takeFrame(Message* message, unsigned char* opcode);
    // Reads what has arrived, waiting until the deadline; false when nothing came.
    bool fill(Clock::time_point deadline);
    // Appends n received bytes (n <= 0: the server ended the connection, thrown).
    void took(const char* buffer, int n);

    Poco::Net::StreamSocket m_socket;
    Wait m_wait;
    std::string m_input;  // received, not yet cut into frames
    Clock::time_point m_lastRead;
};

}  // namespace VpnBench
