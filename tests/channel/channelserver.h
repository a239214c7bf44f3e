#pragma once

#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/wsclient.h"

namespace ChannelTest {

// Polls the condition every few milliseconds until it holds (true) or the time-out
// passes (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The whole log file of this test program (the log is set up before the first test).
std::string logText();
// Occurrences of the text in the log file.
int logCount(const std::string& text);

// The server's descriptor of the client's connection (the server runs in this process).
// Throws std::runtime_error when there is none.
int serverSocketOf(const VpnTest::WsClient& client);
// Whether the server's end of the client's connection reports room for more bytes: false
// once the client has stopped reading long enough for the buffers to fill.
bool serverCanSendTo(const VpnTest::WsClient& client);

// Fixes the send buffer of the server's end of the client's connection, so that a test
// knows how much the kernel can hold for a client that does not read.
void setServerSendBuffer(const VpnTest::WsClient& client, int bytes);

// Fires the process monitor's finished event with the message, as the watcher does.
void fireFinished(std::string message);

// Serves the service's RequestHandlerFactory on an ephemeral loopback port with a real
// HTTP server. TearDown waits for every handler to be gone, so that no connection of
// one test outlives it.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Poco::Net::SocketAddress address() const { return m_address; }
    // A connected client that has completed the handshake and whose handler is
    // registered. Connect one client at a time.
    std::unique_ptr<VpnTest::WsClient> connect(int receiveBufferBytes = 0);
    // Waits until the live-handler count is the given one.
    bool handlersBecome(int count);

private:
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
    Poco::Net::SocketAddress m_address;
};

}  // namespace ChannelTest
