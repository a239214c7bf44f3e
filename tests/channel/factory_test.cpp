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

TEST_F(FactoryTest, OnlyLoopbackWebOriginsAreAdmitted)
{
    // The Origin headers of each case; admitted ones get the 101.
    const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
        {{"http://localhost"}, true},
        {{"http://localhost:3000"}, true},
        {{"HTTPS://LocalHost"}, true},
        {{"http://127.0.0.1"}, true},
        {{"https://127.8.9.10:8443"}, true},
        {{"http://[::1]:8080"}, true},
        {{"http://localhost", "http://localhost"}, true},
        // What sandboxed frames, data URLs and file pages send, whatever page holds them.
        {{"null"}, false},
        {{"file://"}, false},
        {{"chrome-extension://abcdef"}, false},
        {{"moz-extension://abcdef"}, false},
        {{""}, false},
        {{"localhost"}, false},
        {{"ws://127.0.0.1"}, false},
        {{"http://example.com"}, false},
        {{"https://localhost.example.com"}, false},
        {{"http://127.0.0.1.example.com"}, false},
        {{"http://localhost@example.com"}, false},
        {{"http://example.com@localhost"}, false},
        {{"http://localhost/path"}, false},
        {{"http://localhost:"}, false},
        {{"http://localhost:99999"}, false},
        {{"http://localhost:80x"}, false},
        {{"http://10.0.0.1"}, false},
        {{"http://0.0.0.0"}, false},
        {{"http://[::2]"}, false},
        {{"http://[::ffff:10.0.0.1]"}, false},
        {{"http://[::1"}, false},
        {{"http://"}, false},
        {{"http://localhost", "http://example.com"}, false},
        {{"http://localhost", "null"}, false},
    };
    for (const auto& [origins, admitted] : cases) {
        std::string name;
        for (const std::string& origin : origins) name += (name.empty() ? "" : ", ") + origin;
        ASSERT_TRUE(handlersBecome(0)) << "the connection before " << name;
        const int refusedBefore = logCount("Origin refused");
        WsClient client(address());
        WsClient::Headers headers = client.handshakeHeaders();
        for (const std::string& origin : origins) headers.emplace_back("Origin", origin);
        const auto response = client.request(headers);
        const int refusals =
            logCount("\tE\t[HTTPRequestHandlerFactory] Origin refused: " + name + "\n");
        if (admitted) {
            EXPECT_EQ(response.status, 101) << name;
            EXPECT_EQ(logCount("Origin refused"), refusedBefore) << name;
        } else {
            EXPECT_EQ(response.status, 403) << name;
            EXPECT_EQ(response.header("Content-Length"), "0") << name;
            EXPECT_EQ(refusals, 1) << name;
            // Refused before any handler exists.
            EXPECT_EQ(WebSocketRequestHandler::activeCount(), 0) << name;
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
