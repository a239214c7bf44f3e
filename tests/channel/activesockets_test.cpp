// The shutdown drain's close frames through real connections: one per registered
// connection, never inside another frame, and not held up behind a client that stalls.

#include "channel/activesockets.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
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

// A thread joined when the test leaves, also through a failed assertion.
class JoinedThread {
public:
    template <typename F>
    explicit JoinedThread(F&& f) : m_thread(std::forward<F>(f))
    {
    }
    ~JoinedThread() { join(); }
    void join()
    {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    std::thread m_thread;
};

// Buffers of a client that stops reading: together a fraction of kLargeMessage, yet
// large enough that reading the message takes a moment only.
const int kSlowBuffer = 64 * 1024;
// Far larger than the buffers, so that its send stays under way for as long as the
// client does not read.
const std::size_t kLargeMessage = 1024 * 1024;

// The thread's scheduler state from /proc: 'S' while it waits for a lock or a socket.
char threadState(pid_t tid)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t end = line.rfind(')');
    return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

// A broadcast of `message` that `slow` does not read, and the registry's drain started
// behind it, once every connection has its copy queued. The slow client's send stays
// under way while it does not read, so the drain waits for that send before its close
// frame can go. The drain is joined when this goes, also through a failed assertion.
class StalledDrain {
public:
    StalledDrain(const WsClient& slow, const std::string& message)
    {
        fireFinished(message);  // hands the copies over without waiting for a client
        if (!eventually([&] { return !serverCanSendTo(slow); })) return;
        m_drain.emplace([this] {
            m_drainThread = static_cast<pid_t>(::syscall(SYS_gettid));
            ActiveSockets::instance().deleteSockets();
        });
        m_waiting = eventually(
            [this] { return m_drainThread != 0 && threadState(m_drainThread) == 'S'; });
    }
    // True once the broadcast holds the slow client up and the drain waits behind it.
    bool waiting() const { return m_waiting; }
    void join()
    {
        if (m_drain) m_drain->join();
    }

private:
    std::atomic<pid_t> m_drainThread{0};
    bool m_waiting = false;
    std::optional<JoinedThread> m_drain;
};

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

TEST_F(DrainTest, StalledClientHoldsUpNeitherTheOthersCloseFramesNorTheirEnd)
{
    auto slow = connect(kSlowBuffer);
    ChannelTest::setServerSendBuffer(*slow, kSlowBuffer);
    auto answering = connect();
    auto resetting = connect();

    const std::string message(kLargeMessage, 'm');
    StalledDrain stall(*slow, message);
    ASSERT_TRUE(stall.waiting());

    // Well within the send time-out that the slow client's close frame may wait.
    const auto prompt = std::chrono::seconds(2);
    for (WsClient* client : {answering.get(), resetting.get()}) {
        const auto copy = client->readFrame(std::chrono::seconds(10));
        ASSERT_TRUE(copy);
        EXPECT_EQ(copy->payload.size(), message.size() + 1);
        EXPECT_TRUE(isCloseFrame(client->readFrame(prompt)));
    }
    // Each of their handlers goes as soon as its client ends, whichever way.
    answering->sendFrame(0x88, kNormalClose);
    EXPECT_TRUE(eventually([] { return WebSocketRequestHandler::activeCount() == 2; }, prompt));
    resetting->reset();
    EXPECT_TRUE(eventually([] { return WebSocketRequestHandler::activeCount() == 1; }, prompt));

    // The slow client, which never reads, is dropped once its frames have waited out the
    // send time-out, and the drain returns.
    EXPECT_TRUE(handlersBecome(0));
    stall.join();
    EXPECT_EQ(logCount("SendFrame error: Timeout\n"), 1);
    EXPECT_TRUE(slow->waitClosed());
}

TEST_F(DrainTest, CloseFrameWaitsForTheFrameBeingSent)
{
    auto client = connect(kSlowBuffer);
    ChannelTest::setServerSendBuffer(*client, kSlowBuffer);
    const std::string message(kLargeMessage, 'm');
    StalledDrain stall(*client, message);
    ASSERT_TRUE(stall.waiting());

    const auto frame = client->readFrame(std::chrono::seconds(10));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->firstByte, 0x81);
    EXPECT_EQ(frame->payload, message + std::string(1, '\0'));
    EXPECT_TRUE(isCloseFrame(client->readFrame()));
    stall.join();
    client->sendFrame(0x88, kNormalClose);
}

TEST_F(DrainTest, HandshakeAfterAdmissionClosedIsRefusedWith503)
{
    auto early = connect();
    ActiveSockets::instance().closeAdmission();
    WsClient late(address());
    const auto response = late.request(late.handshakeHeaders());
    EXPECT_EQ(response.status, 503);
    EXPECT_EQ(response.header("Connection"), "Close");
    EXPECT_TRUE(handlersBecome(1));
    EXPECT_EQ(logCount("[WebSocketHandler] Handshake refused: the service is stopping"), 1);

    // Only the connection admitted before gets a close frame.
    ActiveSockets::instance().deleteSockets();
    EXPECT_TRUE(isCloseFrame(early->readFrame()));
    early->sendFrame(0x88, kNormalClose);
}

TEST_F(DrainTest, ShutdownConnectionsIsNotHeldUpByACloseFrameThatCannotBeSent)
{
    auto slow = connect(kSlowBuffer);
    ChannelTest::setServerSendBuffer(*slow, kSlowBuffer);
    auto other = connect();

    const std::string message(kLargeMessage, 'm');
    StalledDrain stall(*slow, message);
    ASSERT_TRUE(stall.waiting());

    const auto before = std::chrono::steady_clock::now();
    ActiveSockets::instance().shutdownConnections();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    // Both connections end without the client doing anything, and so do the blocked
    // sends, the drain's among them.
    EXPECT_TRUE(other->waitClosed());
    EXPECT_TRUE(handlersBecome(0));
    stall.join();
}

}  // namespace
