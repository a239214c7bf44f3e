#include "tests/support/wsclient.h"

#include <Poco/Net/NetException.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/Timespan.h>
#include <sys/socket.h>

#include <stdexcept>

namespace VpnTest {

namespace {

const unsigned char kMaskKey[4] = {0x37, 0xfa, 0x21, 0x3d};

std::chrono::steady_clock::time_point deadlineAfter(std::chrono::milliseconds timeout)
{
    return std::chrono::steady_clock::now() + timeout;
}

}  // namespace

std::optional<std::string> WsClient::Response::header(const std::string& name) const
{
    for (const auto& [headerName, value] : headers) {
        if (Poco::icompare(headerName, name) == 0) return value;
    }
    return std::nullopt;
}

WsClient::WsClient(const Poco::Net::SocketAddress& server, int receiveBufferBytes)
    : m_server(server), m_socket(server.family())
{
    if (receiveBufferBytes > 0) m_socket.setReceiveBufferSize(receiveBufferBytes);
    m_socket.connect(server);
}

WsClient::Headers WsClient::handshakeHeaders() const
{
    return {{"Host", m_server.toString()},
            {"Upgrade", "websocket"},
            {"Connection", "Upgrade"},
            {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
            {"Sec-WebSocket-Version", "13"}};
}

WsClient::Headers WsClient::with(Headers headers, const std::string& name, const std::string& value)
{
    for (auto& header : headers) {
        if (Poco::icompare(header.first, name) == 0) {
            header.second = value;
            return headers;
        }
    }
    headers.emplace_back(name, value);
    return headers;
}

WsClient::Headers WsClient::without(Headers headers, const std::string& name)
{
    Headers kept;
    for (auto& header : headers) {
        if (Poco::icompare(header.first, name) != 0) kept.push_back(std::move(header));
    }
    return kept;
}

WsClient::Response WsClient::request(const Headers& headers, const std::string& path,
                                     const std::string& method, std::chrono::milliseconds timeout)
{
    std::string text = method + " " + path + " HTTP/1.1\r\n";
    for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
    sendRaw(text + "\r\n");

    const auto deadline = deadlineAfter(timeout);
    std::size_t end;
    while ((end = m_input.find("\r\n\r\n")) == std::string::npos) {
        if (!fill(deadline))
            throw std::runtime_error("no complete HTTP answer head; got: " + m_input);
    }
    const std::string head = m_input.substr(0, end);
    m_input.erase(0, end + 4);

    Response response;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart <= head.size()) {
        std::size_t lineEnd = head.find("\r\n", lineStart);
        if (lineEnd == std::string::npos) lineEnd = head.size();
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (first) {
            // "HTTP/1.1 101 Switching Protocols"
            first = false;
            const std::size_t codeStart = line.find(' ');
            const std::size_t codeEnd = line.find(' ', codeStart + 1);
            if (codeStart == std::string::npos)
                throw std::runtime_error("bad status line: " + line);
            response.status =
                Poco::NumberParser::parse(line.substr(codeStart + 1, codeEnd - codeStart - 1));
            if (codeEnd != std::string::npos) response.reason = line.substr(codeEnd + 1);
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos)
            response.headers.emplace_back(line.substr(0, colon),
                                          Poco::trim(line.substr(colon + 1)));
    }
    return response;
}

void WsClient::handshake()
{
    const Response response = request(handshakeHeaders());
    if (response.status != 101)
        throw std::runtime_error("handshake answered " + std::to_string(response.status));
}

void WsClient::sendFrame(unsigned char firstByte, const std::string& payload, bool masked,
                         std::optional<uint64_t> declaredLength)
{
    const uint64_t length = declaredLength.value_or(payload.size());
    std::string frame(1, static_cast<char>(firstByte));
    const unsigned char maskBit = masked ? 0x80 : 0x00;
    if (length < 126) {
        frame += static_cast<char>(maskBit | length);
    } else if (length <= 0xFFFF) {
        frame += static_cast<char>(maskBit | 126);
        for (int shift = 8; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xFF);
    } else {
        frame += static_cast<char>(maskBit | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xFF);
    }
    if (masked) {
        frame.append(reinterpret_cast<const char*>(kMaskKey), 4);
        for (std::size_t i = 0; i < payload.size(); ++i)
            frame += static_cast<char>(payload[i] ^ kMaskKey[i % 4]);
    } else {
        frame += payload;
    }
    sendRaw(frame);
}

void WsClient::sendRaw(const std::string& bytes)
{
    m_socket.sendBytes(bytes.data(), static_cast<int>(bytes.size()));
}

std::optional<WsClient::Frame> WsClient::readFrame(std::chrono::milliseconds timeout)
{
    const auto deadline = deadlineAfter(timeout);
    auto need = [&](std::size_t bytes) {
        while (m_input.size() < bytes) {
            if (!fill(deadline)) return false;
        }
        return true;
    };
    if (!need(2)) return std::nullopt;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(m_input[i]); };
    const bool masked = (byte(1) & 0x80) != 0;
    uint64_t length = byte(1) & 0x7F;
    std::size_t offset = 2;
    if (length >= 126) {
        const std::size_t extra = length == 126 ? 2 : 8;
        if (!need(offset + extra)) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < extra; ++i) length = (length << 8) | byte(offset + i);
        offset += extra;
    }
    const std::size_t maskOffset = offset;
    if (masked) offset += 4;
    if (!need(offset + length)) return std::nullopt;
    Frame frame;
    frame.firstByte = byte(0);
    frame.payload = m_input.substr(offset, length);
    if (masked) {
        for (std::size_t i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ byte(maskOffset + i % 4));
    }
    m_input.erase(0, offset + length);
    return frame;
}

bool WsClient::waitClosed(std::chrono::milliseconds timeout)
{
    const auto deadline = deadlineAfter(timeout);
    while (!m_closed) {
        m_input.clear();
        if (!fill(deadline) && !m_closed) return false;
    }
    return true;
}

void WsClient::reset()
{
    const struct linger immediate = {1, 0};
    ::setsockopt(m_socket.impl()->sockfd(), SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    m_socket.close();
    m_closed = true;
}

bool WsClient::fill(std::chrono::steady_clock::time_point deadline)
{
    if (m_closed) return false;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        !m_socket.poll(Poco::Timespan(left.count()), Poco::Net::Socket::SELECT_READ))
        return false;
    char buffer[65536];
    int n = 0;
    try {
        n = m_socket.receiveBytes(buffer, sizeof buffer);
    } catch (const Poco::Net::ConnectionResetException&) {
        n = 0;
    }
    if (n <= 0) {
        m_closed = true;
        return false;
    }
    m_input.append(buffer, static_cast<std::size_t>(n));
    return true;
}

}  // namespace VpnTest
