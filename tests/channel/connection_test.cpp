// One connection through a real HTTP server and a raw client: handshake answers, the
// receive loop's frame rules, outgoing framing, the payload cap and the send time-out.

#include <Poco/DirectoryIterator.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/websocketrequesthandler.h"
#include "process/processmonitor.h"
#include "tests/channel/channelserver.h"

namespace {

using ChannelTest::eventually;
using ChannelTest::fireFinished;
using ChannelTest::logCount;
using ChannelTest::setServerSendBuffer;
using VpnService::WebSocketRequestHandler;
using VpnTest::WsClient;

// What parseRequest answers to a text that is not a command.
const std::string kParseError = "parse command error";

class ConnectionTest : public ChannelTest::ServerTest {
protected:
    // Reads one reply and checks that it is the parse error as a NUL-terminated text frame.
    static void expectParseErrorReply(WsClient& client, const std::string& context)
    {
        const auto frame = client.readFrame();
        ASSERT_TRUE(frame) << context << ": no reply";
        EXPECT_EQ(frame->firstByte, 0x81) << context;
        const std::string suffix = "," + kParseError + std::string(1, '\0');
        EXPECT_EQ(frame->payload.compare(0, 6, "error:"), 0) << context;
        ASSERT_GE(frame->payload.size(), suffix.size()) << context;
        EXPECT_EQ(frame->payload.substr(frame->payload.size() - suffix.size()), suffix) << context;
    }
};

TEST_F(ConnectionTest, HandshakeFailuresAnswer400AndUncount)
{
    struct Case {
        std::string name;
        std::function<WsClient::Headers(const WsClient&)> headers;
        std::string frameworkMessage;
        bool versionHeader;
    };
    const std::vector<Case> cases = {
        {"no upgrade token",
         [](const WsClient& c) {
             return WsClient::with(c.handshakeHeaders(), "Connection", "keep-alive");
         },
         "No WebSocket handshake", false},
        {"no version",
         [](const WsClient& c) {
             return WsClient::without(c.handshakeHeaders(), "Sec-WebSocket-Version");
         },
         "Missing Sec-WebSocket-Version in handshake request", false},
        {"version 8",
         [](const WsClient& c) {
             return WsClient::with(c.handshakeHeaders(), "Sec-WebSocket-Version", "8");
         },
         "Unsupported WebSocket version requested", true},
        {"no key",
         [](const WsClient& c) {
             return WsClient::without(c.handshakeHeaders(), "Sec-WebSocket-Key");
         },
         "Missing Sec-WebSocket-Key in handshake request", false},
    };
    for (const Case& c : cases) {
        WsClient client(address());
        const auto response = client.request(c.headers(client));
        EXPECT_EQ(response.status, 400) << c.name;
        EXPECT_EQ(response.reason, "Bad Request") << c.name;
        EXPECT_EQ(response.header("Content-Length"), "0") << c.name;
        EXPECT_EQ(response.header("Sec-WebSocket-Version"),
                  c.versionHeader ? std::optional<std::string>("13") : std::nullopt)
            << c.name;
        EXPECT_TRUE(eventually([&] {
            return logCount("\tE\t[WebSocketHandler] Connection error: WebSocket Exception: " +
                            c.frameworkMessage) == 1;
        })) << c.name;
        EXPECT_TRUE(handlersBecome(0)) << c.name;
    }
    EXPECT_EQ(logCount("connection established"), 0);
}

TEST_F(ConnectionTest, EveryFrameIsOneRequestUnlessSkippedByItsFlags)
{
    struct Row {
        unsigned char firstByte;
        bool request;
    };
    const std::vector<Row> rows = {
        {0x81, true}, {0x82, true}, {0x89, true},  {0x8A, true},
        {0x80, true}, {0x01, true}, {0x00, false}, {0x02, false},
    };
    auto client = connect();
    int skipped = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string payload = "frame-" + std::to_string(i);
        const std::string context = "first byte " + std::to_string(rows[i].firstByte);
        client->sendFrame(rows[i].firstByte, payload);
        // The marker's reply shows that the frame before it has been dealt with.
        client->sendFrame(0x81, "marker-" + std::to_string(i));
        if (rows[i].request)
            expectParseErrorReply(*client, context);
        else
            ++skipped;
        expectParseErrorReply(*client, context + " marker");
        EXPECT_EQ(logCount("[WebSocketHandler] Request: [" + payload + "]"),
                  rows[i].request ? 1 : 0)
            << context;
        EXPECT_EQ(logCount("\tE\t[WebSocketHandler] Received data is not a FRAME_TEXT\n"), skipped)
            << context;
    }
    // A ping is handled like any request: the only answer was the parse error.
    EXPECT_FALSE(client->readFrame(std::chrono::milliseconds(100)));
    EXPECT_FALSE(client->closed());
}

TEST_F(ConnectionTest, RequestIsTheExactPayloadBytes)
{
    auto client = connect();
    const std::string payload(" hello\0 \r\n\x01\xff\"\\\n", 15);
    client->sendFrame(0x81, payload);
    expectParseErrorReply(*client, "bytes");
    // Logged on one line, its control bytes and backslash escaped.
    EXPECT_EQ(logCount(R"([WebSocketHandler] Request: [ hello\x00 \x0d\x0a\x01)"
                       "\xff"
                       R"("\\\x0a])"
                       "\n"),
              1);
}

TEST_F(ConnectionTest, EmptyPayloadOrCloseEndsTheConnectionWithoutCloseFrame)
{
    const std::vector<std::pair<unsigned char, std::string>> cases = {
        {0x81, ""}, {0x89, ""}, {0x82, ""}, {0x88, std::string("\x03\xe8", 2)}, {0x88, ""},
    };
    int closedLines = 0;
    for (const auto& [firstByte, payload] : cases) {
        const std::string context = "first byte " + std::to_string(firstByte) + ", " +
                                    std::to_string(payload.size()) + " bytes";
        auto client = connect();
        client->sendFrame(firstByte, payload);
        EXPECT_FALSE(client->readFrame()) << context << ": the server answered a frame";
        EXPECT_TRUE(client->closed()) << context;
        EXPECT_TRUE(handlersBecome(0)) << context;
        EXPECT_EQ(logCount("\tI\t[WebSocketHandler] WebSocket connection closed\n"), ++closedLines)
            << context;
    }
    EXPECT_EQ(logCount("Request: ["), 0);
}

TEST_F(ConnectionTest, PayloadIsCappedAtOneMebibyte)
{
    auto client = connect();
    const std::string largest(WebSocketRequestHandler::kMaxPayloadSize, 'x');
    client->sendFrame(0x81, largest);
    // The grammar takes its time over a mebibyte under the sanitizers.
    const auto patience = std::chrono::seconds(30);
    // The log keeps the first KiB of it.
    const std::string logged = std::string(1024, 'x') + " ... (1048576 bytes)";
    EXPECT_TRUE(eventually([&] { return logCount("Request: [" + logged + "]") == 1; }, patience));

    // The header alone is refused: nothing of the payload needs to arrive.
    client->sendFrame(0x81, "", true, WebSocketRequestHandler::kMaxPayloadSize + 1);
    EXPECT_TRUE(client->waitClosed(patience));
    EXPECT_EQ(logCount("\tE\t[WebSocketHandler] Connection error: WebSocket Exception: "
                       "Payload too big\n"),
              1);
}

TEST_F(ConnectionTest, FinishedMessagesReachEveryConnectionAsNulTerminatedText)
{
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(connect());

    auto expectEveryClientGets = [&](const std::string& message) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const auto frame = clients[i]->readFrame();
            ASSERT_TRUE(frame) << "client " << i << ", message " << message;
            EXPECT_EQ(frame->firstByte, 0x81);
            EXPECT_EQ(frame->payload, message + std::string(1, '\0')) << "client " << i;
        }
    };
    fireFinished("finished:42,3,sleep");
    expectEveryClientGets("finished:42,3,sleep");
    fireFinished("");
    expectEveryClientGets("");

    // The real road: a child ends and the watcher announces it.
    const int pid = VpnService::ProcessMonitor::instance()->launchProcess({"/bin/true", {}}).id();
    expectEveryClientGets("finished:" + std::to_string(pid) + ",0,true");
}

// Reads frames on a thread of its own, after an optional pause, until told to stop.
class BackgroundReader {
public:
    BackgroundReader(WsClient& client, std::chrono::milliseconds pause)
        : m_thread([this, &client, pause] {
              std::this_thread::sleep_for(pause);
              while (!m_done && !client.closed()) {
                  auto frame = client.readFrame(std::chrono::milliseconds(50));
                  if (!frame) continue;
                  std::lock_guard<std::mutex> lock(m_mutex);
                  m_payloads.push_back(std::move(frame->payload));
              }
          })
    {
    }
    ~BackgroundReader()
    {
        m_done = true;
        m_thread.join();
    }
    std::vector<std::string> payloads()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_payloads;
    }

private:
    std::atomic<bool> m_done{false};
    std::mutex m_mutex;
    std::vector<std::string> m_payloads;  // guarded by m_mutex
    std::thread m_thread;                 // last: uses the members above
};

// Large numbered finished messages: a few of them fill a small connection's buffers.
std::string bigMessage(int number)
{
    return std::to_string(number) + ":" + std::string(64 * 1024, 'm');
}

TEST_F(ConnectionTest, StalledClientIsDroppedAfterTheSendTimeOutAndCostsOthersNothing)
{
    auto stalled = connect(4096);
    setServerSendBuffer(*stalled, 4096);
    auto slow = connect(4096);
    setServerSendBuffer(*slow, 4096);
    // Slow, but within the time-out: it must lose nothing and stay connected.
    BackgroundReader slowReader(*slow, std::chrono::milliseconds(2500));

    // The broadcast hands every frame over without waiting for either client.
    const int count = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) fireFinished(bigMessage(i));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    const std::string timeoutLine = "\tE\t[WebSocketHandler] SendFrame error: Timeout\n";
    ASSERT_TRUE(eventually([&] { return logCount(timeoutLine) == 1; }, std::chrono::seconds(15)));
    const auto dropAfter = std::chrono::steady_clock::now() - start;
    EXPECT_GE(dropAfter, std::chrono::milliseconds(4500)) << "dropped before the time-out";
    EXPECT_LT(dropAfter, std::chrono::seconds(10));
    EXPECT_TRUE(handlersBecome(1));

    // Everything, whole and in order, for the one that reads.
    ASSERT_TRUE(eventually([&] { return slowReader.payloads().size() == count; }))
        << slowReader.payloads().size() << " of " << count;
    const auto payloads = slowReader.payloads();
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(payloads[i], bigMessage(i) + std::string(1, '\0')) << "message " << i;

    // The stalled client, reading at last, finds its connection ended without a close frame.
    EXPECT_TRUE(stalled->waitClosed(std::chrono::seconds(10)));
    EXPECT_EQ(logCount("\tI\t[WebSocketHandler] WebSocket connection closed\n"), 1);
    EXPECT_EQ(logCount(timeoutLine), 1);
}

TEST_F(ConnectionTest, BacklogBeyondItsBoundDropsTheClientAtOnce)
{
    auto stalled = connect(4096);
    setServerSendBuffer(*stalled, 4096);
    const std::string fullLine = "\tE\t[WebSocketHandler] SendFrame error: send queue full\n";
    const auto start = std::chrono::steady_clock::now();
    // 4 MiB and a little more, far quicker than the time-out.
    for (int i = 0; i < 66 && logCount(fullLine) == 0; ++i) fireFinished(bigMessage(i));
    EXPECT_EQ(logCount(fullLine), 1);
    EXPECT_TRUE(handlersBecome(0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(stalled->waitClosed(std::chrono::seconds(10)));
    EXPECT_EQ(logCount("SendFrame error: Timeout"), 0);
}

int threadCount()
{
    int count = 0;
    for (Poco::DirectoryIterator it(std::string("/proc/self/task")), end; it != end; ++it) ++count;
    return count;
}

TEST_F(ConnectionTest, HandlerReleasesTheMonitorItSubscribedToAndCreatesNoOther)
{
    auto client = connect();
    std::weak_ptr<VpnService::ProcessMonitor> subscribed = VpnService::ProcessMonitor::instance();
    VpnService::ProcessMonitor::shutdown();
    EXPECT_FALSE(subscribed.expired()) << "the handler keeps its monitor";

    // After the drain has shut the monitor down, finished messages still reach this client.
    std::string message = "finished:7,0,x";
    subscribed.lock()->eventProcessFinished().notify(nullptr, message);
    ASSERT_TRUE(client->readFrame());

    // The handler's end takes the old monitor's watcher with it (and its own writer) and
    // starts no new one.
    const int threads = threadCount();
    client.reset();
    EXPECT_TRUE(handlersBecome(0));
    EXPECT_TRUE(eventually([&] { return subscribed.expired(); }));
    EXPECT_TRUE(eventually([&] { return threadCount() == threads - 2; }))
        << threads << " threads before, " << threadCount() << " after";
}

}  // namespace
