// Fuzz target for the receive path: the service's RequestHandlerFactory served by a real
// Poco HTTPServer on an ephemeral loopback port, with the service's server parameters,
// and one TCP connection per input.
//
// The first byte picks the mode: even, the rest is sent raw in place of a handshake (the
// corpus holds valid handshakes for the fuzzer to mutate); odd, the target first completes
// a valid handshake, waits for the 101, and then sends the rest as the client's frames.
// Either way it half-closes, reads everything the service sends and checks it: after a
// handshake, only whole unmasked frames: text frames whose payload is a started, finished
// or error message ending in one NUL, pongs, and at most one close frame, which nothing
// follows; in raw mode, nothing or an HTTP response. The service must end the connection,
// and every handler and connection socket must be gone again, within kDeadline: anything
// else is reported as a crash with the reason.
//
// Requests carried out here go through the host guard: a start runs /bin/true, whatever
// it named, and gets its real started and finished messages; init and the kill-all reach
// the guard's stand-in; a stop signals only a supervised child.

#include <Poco/DirectoryIterator.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>

#include "channel/requesthandlerfactory.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/utils.h"
#include "fuzz/hostguard.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kDeadline{10};

const char kHandshake[] =
    "GET / HTTP/1.1\r\n"
    "Host: 127.0.0.1\r\n"
    "Upgrade: websocket\r\n"
    "Connection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n"
    "\r\n";

Poco::Net::HTTPServer* g_server = nullptr;  // runs until exit
Poco::UInt16 g_port = 0;
int g_baselineSockets = 0;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "receive_fuzzer: %s\n", what.c_str());
    std::abort();
}

// Open sockets of this process: the listener and one per connection still held. Other
// descriptors come and go on their own (the framework makes an epoll instance per wait).
// The first bytes of a response, escaped for a failure report.
std::string printable(const std::string& bytes)
{
    std::string text;
    for (const char c : bytes.substr(0, 64)) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02x",
                      static_cast<unsigned char>(c));
        text += escaped;
    }
    return text;
}

int openSockets()
{
    int count = 0;
    for (Poco::DirectoryIterator it(std::string("/proc/self/fd")), end; it != end; ++it) {
        char target[64] = {};
        const ssize_t n = ::readlink(it->path().c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)).rfind("socket:", 0) == 0)
            ++count;
    }
    return count;
}

template <typename Condition>
bool eventually(Condition condition)
{
    const auto deadline = Clock::now() + kDeadline;
    while (!condition()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// One client connection, driven with poll so that sending never waits on a service
// that is itself waiting for its replies to be read.
class Connection {
public:
    Connection() : m_socket(Poco::Net::SocketAddress("127.0.0.1", g_port)) {}

    // Sends everything (or until the service resets the connection), reading meanwhile.
    void send(const std::string& bytes) { exchange(bytes, false); }
    // Reads until the response headers have arrived; false when the connection ended first.
    bool readHeaders()
    {
        exchange(std::string(), true);
        return m_received.find("\r\n\r\n") != std::string::npos;
    }
    // Half-closes and reads until the service ends the connection.
    void finish()
    {
        ::shutdown(m_socket.impl()->sockfd(), SHUT_WR);
        exchange(std::string(), false);
        while (!m_ended) pump(false);
    }

    const std::string& received() const { return m_received; }
    // True when the connection ended with a reset, which may cut the last bytes sent.
    bool wasReset() const { return m_reset; }

private:
    void exchange(const std::string& bytes, bool untilHeaders)
    {
        std::size_t sent = 0;
        while (!m_ended) {
            if (untilHeaders ? m_received.find("\r\n\r\n") != std::string::npos
                             : sent == bytes.size())
                return;
            const std::string_view rest = std::string_view(bytes).substr(sent);
            sent += pump(untilHeaders ? false : !rest.empty(), rest);
        }
    }

    // One poll round: reads what is there and, when asked, sends some of the rest.
    std::size_t pump(bool wantSend, std::string_view rest = {})
    {
        const int fd = m_socket.impl()->sockfd();
        pollfd entry{fd, static_cast<short>(POLLIN | (wantSend ? POLLOUT : 0)), 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - Clock::now());
        if (left.count() <= 0) fail("the service neither answered nor ended the connection");
        // The fuzzer's once-a-second timer signal interrupts the wait.
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) return 0;
        if (ready < 0) fail("poll failed");
        if (entry.revents & (POLLIN | POLLHUP | POLLERR)) {
            char buffer[65536];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
            if (n > 0) {
                m_received.append(buffer, static_cast<std::size_t>(n));
            } else {
                m_ended = true;
                m_reset = n < 0;
                return 0;
            }
        }
        if (wantSend && (entry.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, rest.data(), rest.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) return static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                m_ended = true;  // reset while sending; what was received stays
                m_reset = true;
            }
        }
        return 0;
    }

    Poco::Net::StreamSocket m_socket;
    const Clock::time_point m_deadline = Clock::now() + kDeadline;
    std::string m_received;
    bool m_ended = false;
    bool m_reset = false;
};

// Nothing, or what begins like a status line: a version word (the framework echoes the
// request's, whatever it was), a blank, three digits. A reset may cut it anywhere.
bool isStatusLineStart(const std::string& response)
{
    const std::size_t blank = response.find(' ');
    if (blank == std::string::npos) return response.find_first_of("\r\n") == std::string::npos;
    if (blank == 0) return false;
    for (std::size_t i = blank + 1; i < response.size() && i <= blank + 3; ++i) {
        if (response[i] < '0' || response[i] > '9') return false;
    }
    return true;
}

bool isMessage(const std::string& payload)
{
    if (payload.empty() || payload.back() != '\0') return false;
    for (const char* word : {"started:", "finished:", "error:"}) {
        if (payload.compare(0, std::string(word).size(), word) == 0) return true;
    }
    return false;
}

// Every complete frame must be one of the service's messages, a pong of at most 125
// bytes, or a close frame (empty, or a status alone) after which nothing follows; an
// incomplete one may only be the tail of a reset connection.
void checkFrames(const std::string& stream, bool reset)
{
    std::size_t at = 0;
    bool closed = false;
    while (at < stream.size()) {
        const std::size_t left = stream.size() - at;
        if (left < 2) break;
        const auto byte0 = static_cast<unsigned char>(stream[at]);
        const auto byte1 = static_cast<unsigned char>(stream[at + 1]);
        if (closed) fail("a frame after the close frame");
        if (byte0 != 0x81 && byte0 != 0x8A && byte0 != 0x88)
            fail("a frame other than a final text, pong or close frame");
        if (byte1 & 0x80) fail("a masked frame from the service");
        if (byte0 != 0x81 && (byte1 & 0x7F) > 125) fail("a control frame over 125 bytes");
        if (byte0 == 0x88) {
            closed = true;
            if ((byte1 & 0x7F) != 0 && (byte1 & 0x7F) != 2)
                fail("a close frame that is neither empty nor a status alone");
        }
        std::size_t header = 2;
        uint64_t length = byte1 & 0x7F;
        if (length >= 126) {
            const std::size_t bytes = length == 126 ? 2 : 8;
            if (left < 2 + bytes) break;
            length = 0;
            for (std::size_t i = 0; i < bytes; ++i)
                length = (length << 8) | static_cast<unsigned char>(stream[at + 2 + i]);
            header += bytes;
        }
        if (left - header < length) break;
        if (byte0 == 0x81 && !isMessage(stream.substr(at + header, length)))
            fail("a frame that is not a NUL-terminated service message");
        at += header + length;
    }
    if (at < stream.size() && !reset) fail("a cut frame at the end of a closed connection");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    HostGuard::silenceLogConsole();
    Log::initLog(Utils::appLogFileNamePath("receive_fuzzer", ""));
    Log::information("[Fuzz] receive path");  // opens the log file before the baseline

    // As the service serves: address reuse without port reuse, backlog 64, a one-day
    // connection time-out, the default pool of 16 threads and queue of 64.
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    socket.listen(64);
    g_port = socket.address().port();
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setTimeout(Poco::Timespan(1, 0, 0, 0, 0));
    g_server = new Poco::Net::HTTPServer(new VpnService::RequestHandlerFactory, socket, params);
    g_server->start();
    // Stopped before static destruction, whose thread pool would wait 10 s for the
    // acceptor thread otherwise.
    std::atexit([] { g_server->stop(); });
    g_baselineSockets = openSockets();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const bool afterHandshake = (data[0] & 1) != 0;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    {
        Connection connection;
        std::size_t framesAt = 0;
        if (afterHandshake) {
            connection.send(kHandshake);
            if (!connection.readHeaders()) fail("no answer to a valid handshake");
            if (connection.received().compare(0, 12, "HTTP/1.1 101") != 0)
                fail("a valid handshake refused");
            framesAt = connection.received().find("\r\n\r\n") + 4;
        }
        connection.send(bytes);
        connection.finish();
        const std::string& received = connection.received();
        if (afterHandshake) {
            checkFrames(received.substr(framesAt), connection.wasReset());
        } else if (!isStatusLineStart(received)) {
            fail("raw input answered with something other than HTTP: " + printable(received));
        }
    }
    if (!eventually([] { return VpnService::WebSocketRequestHandler::activeCount() == 0; }))
        fail("a handler outlived its connection");
    if (!eventually([] { return openSockets() <= g_baselineSockets; }))
        fail("a socket left open after the connection ended");
    return 0;
}
