// An independent client library against the real binary: Node's ws, which sends
// keep-alive pings as browsers' and Qt's libraries do, and expects each pong.
#include <gtest/gtest.h>

#include <string>

#include "serviceprocess.h"

using namespace servicetest;

namespace {

TEST(NodeWs, EveryPingGetsItsPongWhileRequestsAreAnswered)
{
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
    // Debian's node-ws lies outside node's own search path.
    ServiceProcess client({"NODE_PATH=/usr/share/nodejs", "node",
                           VPN_SOURCE_DIR "/tests/service/keepalive-client.js"},
                          "/usr/bin/env");
    const auto exitCode = client.waitExit(60s);
    ASSERT_TRUE(exitCode) << "the client did not finish";
    EXPECT_EQ(*exitCode, 0) << client.standardOutput() << client.standardError();
    EXPECT_EQ(client.standardOutput(),
              R"({"pings":20,"pongs":20,"inOrder":true,"answers":20,"close":1000})"
              "\n");
    EXPECT_TRUE(waitForLog("[WebSocketHandler] WebSocket connection closed"));
}

}  // namespace
