#include "bench/benchclient.h"

#include <Poco/Timespan.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace VpnBench {

namespace {

const unsigned char kMask[4] = {0x5A, 0x3C, 0x96, 0xE1};

long long microsecondsUntil(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    return left.count() > 0 ? left.count() : 0;
}

}  // namespace

BenchClient::BenchClient(const Poco::Net::SocketAddress& server, int receiveBufferBytes, Wait wait)
    : m_socket(server.family()), m_wait(wait)
{
    if (receiveBufferBytes > 0) m_socket.setReceiveBufferSize(receiveBufferBytes);
    m_socket.connect(server, Poco::Timespan(5, 0));
    m_socket.setNoDelay(true);
    // Set before the handshake, whose own reads already block.
    if (m_wait == Wait::Block)
        m_socket.setReceiveTimeout(
            Poco::Timespan(0, static_cast<long>(kBlockSlice.count()) * 1000));
    const std::string request =
        "GET / HTTP/1.1\r\nHost: " + server.toString() +
        "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    m_socket.sendBytes(request.data(), static_cast<int>(request.size()));
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    std::string::size_type end;
    while ((end = m_input.find("\r\n\r\n")) == std::string::npos) {
        if (!fill(deadline))
            throw std::runtime_error("no handshake answer from " + server.toString());
    }
    const std::string head = m_input.substr(0, end);
    m_input.erase(0, end + 4);
    if (head.compare(0, 12, "HTTP/1.1 101") != 0)
        throw std::runtime_error("handshake refused: " + head.substr(0, head.find('\r')));
}

void BenchClient::send(const std::string& text)
{
    std::string frame;
    frame.reserve(text.size() + 8);
    frame.push_back(static_cast<char>(0x81));
    if (text.size() < 126) {
        frame.push_back(static_cast<char>(0x80 | text.size()));
    } else {
        frame.push_back(static_cast<char>(0x80 | 126));
        frame.push_back(static_cast<char>((text.size() >> 8) & 0xFF));
        frame.push_back(static_cast<char>(text.size() & 0xFF));
    }
    frame.append(reinterpret_cast<const char*>(kMask), 4);
    for (std::string::size_type i = 0; i < text.size(); ++i)
        frame.push_back(static_cast<char>(text[i] ^ kMask[i % 4]));
    const char* data = frame.data();
    int left = static_cast<int>(frame.size());
    while (left > 0) {
        const int sent = m_socket.sendBytes(data, left);
        data += sent;
        left -= sent;
    }
}

std::optional<BenchClient::Message> BenchClient::receive(Clock::time_point deadline)
{
    for (;;) {
        Message message;
        unsigned char opcode = 0;
        while (takeFrame(&message, &opcode)) {
            if (opcode == 0x8) throw std::runtime_error("the server closed the connection");
            if (opcode < 0x8) return message;  // ping and pong are skipped
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

bool BenchClient::takeFrame(Message* message, unsigned char* opcode)
{
    if (m_input.size() < 2) return false;
    const auto byte = [this](std::string::size_type i) {
        return static_cast<unsigned char>(m_input[i]);
    };
    std::string::size_type header = 2;
    unsigned long long length = byte(1) & 0x7F;
    if (length == 126) {
        if (m_input.size() < 4) return false;
        length = (byte(2) << 8) | byte(3);
        header = 4;
    } else if (length == 127) {
        if (m_input.size() < 10) return false;
        length = 0;
        for (int i = 2; i < 10; ++i) length = (length << 8) | byte(i);
        header = 10;
    }
    if (byte(1) & 0x80) header += 4;  // servers do not mask; tolerate it anyway
    if (m_input.size() < header + length) return false;
    *opcode = byte(0) & 0x0F;
    message->text.assign(m_input, header, length);
    if (byte(1) & 0x80) {
        for (std::string::size_type i = 0; i < message->text.size(); ++i)
            message->text[i] = static_cast<char>(message->text[i] ^ m_input[header - 4 + i % 4]);
    }
    if (!message->text.empty() && message->text.back() == '\0') message->text.pop_back();
    message->at = m_lastRead;
    m_input.erase(0, header + length);
    return true;
}

bool BenchClient::fill(Clock::time_point deadline)
{
    char buffer[65536];
    // The receive time-out (one slice) keeps a blocking read within the deadline.
    while (m_wait == Wait::Block && deadline - Clock::now() > kBlockSlice) {
        const ssize_t n = ::recv(m_socket.impl()->sockfd(), buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n < 0) throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
        took(buffer, static_cast<int>(n));
        return true;
    }
    if (!m_socket.poll(Poco::Timespan(microsecondsUntil(deadline)), Poco::Net::Socket::SELECT_READ))
        return false;
    took(buffer, m_socket.receiveBytes(buffer, sizeof buffer));
    return true;
}

void BenchClient::took(const char* buffer, int n)
{
    m_lastRead = Clock::now();
    if (n <= 0) throw std::runtime_error("the server ended the connection");
    m_input.append(buffer, static_cast<std::string::size_type>(n));
}

void BenchClient::close()
{
    try {
        static const unsigned char kClose[] = {0x88, 0x82, 0, 0, 0, 0, 0x03, 0xE8};
        m_socket.sendBytes(kClose, sizeof kClose);
        m_socket.shutdown();
    } catch (const std::exception&) {
        // Already gone: there is nothing left to close.
    }
    try {
        m_socket.close();
    } catch (const std::exception&) {
    }
}

}  // namespace VpnBench
