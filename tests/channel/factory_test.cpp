// Admission of requests through a real HTTP server: the Upgrade test, the Origin rule.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/websocketrequesthandler.h"
#include "tests/channel/channelserver.h"

namespace {

using ChannelTest::logCount;
using VpnService::WebSocketRequestHandler;
using VpnTest::WsClient;

class FactoryTest : public ChannelTest::ServerTest {};

TEST_F(FactoryTest, PlainGetIsLoggedAndAnswered501WithoutHandler)
{
    WsClient client(address());
    const WsClient::Response response = client.request({{"Host", address().toString()}});
    EXPECT_EQ(response.status, 501);
    EXPECT_EQ(logCount("[HTTPRequestHandlerFactory] Request from " +
                       client.localAddress().toString() + "\n"),
              1);
    EXPECT_EQ(logCount("\tE\t[HTTPRequestHandlerFactory] This socket is not a socket\n"), 1);
    EXPECT_EQ(WebSocketRequestHandler::activeCount(), 0);
}

TEST_F(FactoryTest, UpgradeMustBeWholeValueWebsocketInAnyCase)
{
    const std::vector<std::pair<std::string, int>> cases = {
        {"websocket", 101},      {"WebSocket", 101},  {"WEBSOCKET", 101}, {"websocket, foo", 501},
        {"foo, websocket", 501}, {"websockets", 501}, {"h2c", 501},
    };
    for (const auto& [upgrade, status] : cases) {
        WsClient client(address());
        const auto response =
            client.request(WsClient::with(client.handshakeHeaders(), "Upgrade", upgrade));
        EXPECT_EQ(response.status, status) << upgrade;
    }
}

TEST_F(FactoryTest, WebOriginsMustBeLoopback)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"null", true},
        {"file://", true},
        {"chrome-extension://abcdef", true},
        {"http://localhost", true},
        {"http://localhost:3000", true},
        {"HTTPS://LocalHost", true},
        {"http://127.0.0.1", true},
        {"https://127.8.9.10:8443", true},
        {"http://[::1]:8080", true},
        {"http://example.com", false},
        {"https://localhost.example.com", false},
        {"http://127.0.0.1.example.com", false},
        {"http://localhost@example.com", false},
        {"http://10.0.0.1", false},
        {"http://0.0.0.0", false},
        {"http://[::2]", false},
        {"http://[::ffff:10.0.0.1]", false},
        {"http://", false},
    };
    for (const auto& [origin, admitted] : cases) {
        ASSERT_TRUE(handlersBecome(0)) << "the connection before " << origin;
        WsClient client(address());
        const auto response =
            client.request(WsClient::with(client.handshakeHeaders(), "Origin", origin));
        const int refusals =
            logCount("\tE\t[HTTPRequestHandlerFactory] Origin refused: " + origin + "\n");
        if (admitted) {
            EXPECT_EQ(response.status, 101) << origin;
            EXPECT_EQ(refusals, 0) << origin;
        } else {
            EXPECT_EQ(response.status, 403) << origin;
            EXPECT_EQ(response.header("Content-Length"), "0") << origin;
            EXPECT_EQ(refusals, 1) << origin;
            // Refused before any handler exists.
            EXPECT_EQ(WebSocketRequestHandler::activeCount(), 0) << origin;
        }
    }
}

TEST_F(FactoryTest, UpgradeTestComesBeforeTheOriginRule)
{
    WsClient client(address());
    const auto response = client.request(WsClient::with(
        WsClient::without(client.handshakeHeaders(), "Upgrade"), "Origin", "http://example.com"));
    EXPECT_EQ(response.status, 501);
    EXPECT_EQ(logCount("Origin refused"), 0);
}

}  // namespace
