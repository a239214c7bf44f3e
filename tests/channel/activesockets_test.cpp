// The shutdown drain's close frames through real connections: one per registered
// connection, never inside another frame, and not lost behind a client that failed.

#include "channel/activesockets.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/websocketrequesthandler.h"
#include "tests/channel/channelserver.h"

namespace {

using ChannelTest::eventually;
using ChannelTest::fireFinished;
using ChannelTest::logCount;
using ChannelTest::serverCanSendTo;
using VpnService::ActiveSockets;
using VpnService::WebSocketRequestHandler;
using VpnTest::WsClient;

const std::string kNormalClose("\x03\xe8", 2);  // status 1000, no reason

class DrainTest : public ChannelTest::ServerTest {
protected:
    static bool isCloseFrame(const std::optional<WsClient::Frame>& frame)
    {
        return frame && frame->firstByte == 0x88 && frame->payload == kNormalClose;
    }
};

// The thread's scheduler state from /proc: 'S' while it waits for a lock or a socket.
char threadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');
    return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

TEST_F(DrainTest, EveryRegisteredConnectionGetsOneCloseFrame)
{
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(connect());

    ActiveSockets::instance().deleteSockets();
    for (std::size_t i = 0; i < clients.size(); ++i)
        EXPECT_TRUE(isCloseFrame(clients[i]->readFrame())) << "client " << i;

    // The list was emptied: a second pass sends nothing, and the connections stay open
    // until each client answers.
    ActiveSockets::instance().deleteSockets();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_FALSE(clients[i]->readFrame(std::chrono::milliseconds(100))) << "client " << i;
        EXPECT_FALSE(clients[i]->closed()) << "client " << i;
    }
    EXPECT_EQ(WebSocketRequestHandler::activeCount(), 3);
    for (auto& client : clients) client->sendFrame(0x88, kNormalClose);
    EXPECT_TRUE(handlersBecome(0));
}

TEST_F(DrainTest, ResetClientDoesNotCostTheClientsAfterItTheirCloseFrames)
{
    auto first = connect();
    auto failing = connect(4096);
    auto last = connect();

    // The first and last clients read until their close frames.
    std::atomic<bool> firstClosed{false}, lastClosed{false};
    auto readUntilClose = [](WsClient& client, std::atomic<bool>& gotClose) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!client.closed() && std::chrono::steady_clock::now() < deadline) {
            const auto frame = client.readFrame(std::chrono::milliseconds(50));
            if (frame && frame->firstByte == 0x88) {
                gotClose = frame->payload == kNormalClose;
                return;
            }
        }
    };
    std::thread firstReader(readUntilClose, std::ref(*first), std::ref(firstClosed));
    std::thread lastReader(readUntilClose, std::ref(*last), std::ref(lastClosed));

    // The failing client has stopped reading: its close frame must wait, while its
    // handler sits in the receive loop, registered, until the reset comes.
    ChannelTest::fillServerSendBuffer(*failing);

    std::thread drain([] { ActiveSockets::instance().deleteSockets(); });
    // The first close frame has gone out, so the drain now waits on the failing client.
    ASSERT_TRUE(eventually([&] { return firstClosed.load(); }));
    failing->reset();
    drain.join();
    firstReader.join();
    lastReader.join();

    EXPECT_TRUE(lastClosed);
    EXPECT_EQ(logCount("\tE\t[ActiveSockets] SendFrame error: "), 1);
    first->sendFrame(0x88, kNormalClose);
    last->sendFrame(0x88, kNormalClose);
}

TEST_F(DrainTest, CloseFrameWaitsForTheFrameBeingSent)
{
    auto client = connect(4096);
    // One frame far larger than every buffer, so that its send is under way for as long
    // as the client does not read.
    const std::string message(8 * 1024 * 1024, 'm');
    std::thread broadcast([&] { fireFinished(message); });
    ASSERT_TRUE(eventually([&] { return !serverCanSendTo(*client); }));

    std::atomic<pid_t> drainThread{0};
    std::thread drain([&] {
        drainThread = static_cast<pid_t>(::syscall(SYS_gettid));
        ActiveSockets::instance().deleteSockets();
    });
    // Waiting (for the send lock, or for buffer space if nothing orders the two sends).
    ASSERT_TRUE(eventually([&] { return drainThread != 0 && threadState(drainThread) == 'S'; }));

    const auto frame = client->readFrame(std::chrono::seconds(10));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->firstByte, 0x81);
    EXPECT_EQ(frame->payload, message + std::string(1, '\0'));
    EXPECT_TRUE(isCloseFrame(client->readFrame()));
    broadcast.join();
    drain.join();
    client->sendFrame(0x88, kNormalClose);
}

}  // namespace
