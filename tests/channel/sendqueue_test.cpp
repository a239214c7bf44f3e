// The send queue over a real loopback connection whose peer reads nothing: what its bound
// counts, and what its callers see once it has dropped the connection.

#include "channel/sendqueue.h"

#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/StreamSocket.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <stdexcept>
#include <string>

namespace {

using VpnService::SendQueue;

class SendQueueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Small buffers at both ends: the kernel holds a few KiB for the peer, and the
        // rest waits in the queue.
        m_peer.setReceiveBufferSize(4096);
        m_peer.connect(m_listener.address());
        m_server = m_listener.acceptConnection();
        m_server.setSendBufferSize(4096);
    }

    int serverSocket() const { return m_server.impl()->sockfd(); }

private:
    Poco::Net::ServerSocket m_listener{Poco::Net::SocketAddress("127.0.0.1", 0)};
    Poco::Net::StreamSocket m_peer{Poco::Net::SocketAddress::IPv4};
    Poco::Net::StreamSocket m_server;
};

TEST_F(SendQueueTest, TinyFramesCountWhatTheyCostAndAfterTheDropAreDiscardedQuietly)
{
    SendQueue queue(serverSocket(), "[Test]");
    // However short, a queued frame holds at least its string; a bound that counted its
    // bytes alone would let 2-byte pongs hold sixteen times the bound. The kernel's
    // buffers take a few thousand besides.
    const std::string pong("\x8a\x00", 2);
    const std::size_t limit = SendQueue::kMaxQueuedBytes / sizeof(std::string) + 16384;
    std::size_t taken = 0;
    std::string failure;
    try {
        for (; taken < 4 * limit; ++taken) queue.post(pong);
    } catch (const std::runtime_error& e) {
        failure = e.what();
    }
    EXPECT_EQ(failure, "send queue full");
    EXPECT_LE(taken, limit);
    EXPECT_TRUE(queue.dropped());

    // The drop was reported once, by the frame that caused it; later frames go without a
    // word, through either road.
    EXPECT_NO_THROW(queue.send(pong));
    EXPECT_NO_THROW(queue.post(pong));
}

}  // namespace
