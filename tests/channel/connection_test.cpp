// One connection through a real HTTP server and a raw client: handshake answers, the
// receive loop's frame rules, outgoing framing, the payload cap and the send time-out.

#include <Poco/DirectoryIterator.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel/activesockets.h"
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

// One step of a frame exchange: something the client does, or what it must see next.
struct Step {
    enum Kind { Send, Reply, Quiet, Drain, Ends } kind;
    unsigned char firstByte;
    std::string payload;  // Send: sent; Reply: the whole payload, or its beginning
    std::string suffix;   // Reply: how the payload ends, when only that is fixed
    bool exact;
    std::optional<uint64_t> declaredLength;
};

Step send(unsigned char firstByte, const std::string& payload)
{
    return {Step::Send, firstByte, payload, "", true, std::nullopt};
}
// A frame header that declares more than it carries.
Step sendHeader(unsigned char firstByte, uint64_t declaredLength)
{
    return {Step::Send, firstByte, "", "", true, declaredLength};
}
Step reply(unsigned char firstByte, const std::string& payload)
{
    return {Step::Reply, firstByte, payload, "", true, std::nullopt};
}
Step replyLike(const std::string& prefix, const std::string& suffix)
{
    return {Step::Reply, 0x81, prefix, suffix, false, std::nullopt};
}
Step parseError() { return replyLike("error:", "," + kParseError + std::string(1, '\0')); }
Step closeWith(const std::string& status) { return reply(0x88, status); }
Step only(Step::Kind kind) { return {kind, 0, "", "", true, std::nullopt}; }
// No frame for a moment, and the connection still open.
Step quiet() { return only(Step::Quiet); }
// The shutdown drain's close frames go out.
Step drain() { return only(Step::Drain); }
// The service ends the TCP connection.
Step ends() { return only(Step::Ends); }

const std::string kNormal("\x03\xe8", 2);         // 1000
const std::string kGoingAway("\x03\xe9", 2);      // 1001
const std::string kProtocolError("\x03\xea", 2);  // 1002
const std::string kTooBig("\x03\xf1", 2);         // 1009
const int kCap = WebSocketRequestHandler::kMaxPayloadSize;

// The pid of a "started:<pid>,0,<name>" frame.
int startedPid(const WsClient::Frame& frame) { return std::atoi(frame.payload.c_str() + 8); }

std::string commandLine(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST_F(ConnectionTest, FramesAreAnsweredAsTheWebSocketProtocolDefines)
{
    using Frames = std::vector<WsClient::Frame>;
    struct Row {
        std::string name;
        std::vector<Step> steps;
        std::string logLine = "";  // a line the row must add to the log, if any
        // Further checks, given the frames the steps read.
        std::function<void(WsClient&, const Frames&)> check = nullptr;
    };
    const std::string errorLine =
        "\tE\t[WebSocketHandler] Connection error: WebSocket protocol error: ";
    const std::vector<Row> rows = {
        {"ping",
         {send(0x89, "keep-alive"), reply(0x8A, "keep-alive"), send(0x81, "x"), parseError()}},
        {"empty ping", {send(0x89, ""), reply(0x8A, ""), send(0x81, "x"), parseError()}},
        {"pong", {send(0x8A, "unasked"), send(0x81, "x"), parseError(), quiet()}},
        {"close",
         {send(0x88, kNormal), closeWith(kNormal), ends()},
         "\tI\t[WebSocketHandler] WebSocket connection closed\n"},
        {"close with a reason", {send(0x88, kGoingAway + "bye"), closeWith(kGoingAway), ends()}},
        {"empty close", {send(0x88, ""), closeWith(""), ends()}},
        {"binary message", {send(0x82, "hello"), parseError()}, "Request: [hello]\n"},
        {"empty text message",
         {send(0x81, ""), parseError(), send(0x81, "x"), parseError()},
         "Request: []\n"},
        {"empty binary message", {send(0x82, ""), parseError()}, "Request: []\n"},
        {"fragments with a ping and an empty one between",
         {send(0x01, "hel"), send(0x89, "p"), reply(0x8A, "p"), send(0x00, ""), send(0x00, "l"),
          send(0x80, "o"), parseError()},
         "Request: [hello]\n"},
        {"fragments of a start",
         {send(0x02, "start: /bin/sl"), send(0x89, "p"), reply(0x8A, "p"), send(0x00, "eep 3"),
          send(0x80, "0"), replyLike("started:", std::string(",0,sleep\0", 9))},
         "",
         [](WsClient& client, const Frames& frames) {
             const int pid = startedPid(frames.at(1));
             EXPECT_TRUE(eventually([&] {
                 return commandLine(pid) == std::string(
                                                "/bin/sleep\0"
                                                "30\0",
                                                14);
             })) << commandLine(pid);
             // Stopped here, so that its finished message reaches no later row.
             client.sendFrame(0x81, "stop: " + std::to_string(pid));
             const auto finished = client.readFrame(std::chrono::seconds(10));
             ASSERT_TRUE(finished);
             EXPECT_EQ(finished->payload,
                       "finished:" + std::to_string(pid) + ",0,sleep" + std::string(1, '\0'));
         }},
        {"message over the cap across fragments",
         {send(0x01, std::string(kCap - 10, 'x')), send(0x80, std::string(11, 'y')),
          closeWith(kTooBig), ends()},
         errorLine + "message longer than 1 MiB\n"},
        {"frame over the cap, refused by its header",
         {sendHeader(0x81, kCap + 1), closeWith(kTooBig), ends()},
         "Connection error: WebSocket Exception: Payload too big\n"},
        {"RSV1",
         {send(0xC1, "x"), closeWith(kProtocolError), ends()},
         errorLine + "RSV bits set\n"},
        {"RSV2 on a ping",
         {send(0xA9, "x"), closeWith(kProtocolError), ends()},
         errorLine + "RSV bits set\n"},
        {"RSV3 on a fragment",
         {send(0x01, "x"), send(0x90, "y"), closeWith(kProtocolError), ends()},
         errorLine + "RSV bits set\n"},
        {"reserved data opcode",
         {send(0x83, "x"), closeWith(kProtocolError), ends()},
         errorLine + "reserved opcode\n"},
        {"reserved control opcode",
         {send(0x8B, "x"), closeWith(kProtocolError), ends()},
         errorLine + "reserved opcode\n"},
        {"continuation without a message",
         {send(0x80, "x"), closeWith(kProtocolError), ends()},
         errorLine + "continuation without a message\n"},
        {"empty non-final continuation without a message",
         {send(0x00, ""), closeWith(kProtocolError), ends()},
         errorLine + "continuation without a message\n"},
        {"new message inside a fragmented one",
         {send(0x01, "a"), send(0x81, "b"), closeWith(kProtocolError), ends()},
         errorLine + "new message inside a fragmented one\n"},
        {"control frame of 126 bytes",
         {send(0x89, std::string(126, 'p')), closeWith(kProtocolError), ends()},
         errorLine + "control frame longer than 125 bytes\n"},
        {"oversized ping inside a message near the cap",
         {send(0x01, std::string(kCap - 10, 'x')), send(0x89, std::string(200, 'p')),
          closeWith(kProtocolError), ends()},
         "Connection error: WebSocket Exception: Payload too big\n"},
        {"non-final ping",
         {send(0x09, "p"), closeWith(kProtocolError), ends()},
         errorLine + "fragmented control frame\n"},
        {"close of one byte",
         {send(0x88, "\x03"), closeWith(kProtocolError), ends()},
         errorLine + "close frame of one byte\n"},
        {"close with status 1005",
         {send(0x88, "\x03\xed"), closeWith(kProtocolError), ends()},
         errorLine + "close status 1005\n"},
        {"close with status 999",
         {send(0x88, "\x03\xe7"), closeWith(kProtocolError), ends()},
         errorLine + "close status 999\n"},
        // Only an at-exit record is still taken, here one whose fragments straddle a ping;
        // nothing is sent, not even a pong or the echo of the client's close.
        {"requests and pings after the drain's close frame",
         {drain(), closeWith(kNormal), send(0x81, "after\nclose"), send(0x01, "atexit: /bin/tr"),
          send(0x89, "p"), send(0x80, "ue"), quiet(), send(0x88, kNormal), ends()},
         "\tW\t[WebSocketHandler] Request not carried out after the close frame: "
         "[after\\x0aclose]\n",
         [](WsClient&, const Frames&) {
             EXPECT_EQ(logCount("Request: [after"), 0);
             EXPECT_EQ(logCount("\tI\t[WebSocketHandler] Request: [atexit: /bin/true]\n"), 1);
         }},
        {"a child that ends after the drain's close frame",
         {send(0x81, "start: /bin/sleep 1"), replyLike("started:", std::string(",0,sleep\0", 9)),
          drain(), closeWith(kNormal)},
         "",
         [](WsClient& client, const Frames& frames) {
             const std::string pid = std::to_string(startedPid(frames.at(0)));
             ASSERT_TRUE(
                 eventually([&] { return logCount("Finished (finished:" + pid + ",") == 1; }));
             EXPECT_FALSE(client.readFrame(std::chrono::milliseconds(300)))
                 << "a frame after the close frame";
             client.sendFrame(0x88, kNormal);
             EXPECT_TRUE(client.waitClosed());
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(handlersBecome(0));
        const int logLines = row.logLine.empty() ? 0 : logCount(row.logLine);
        auto client = connect();
        Frames frames;
        for (const Step& step : row.steps) {
            switch (step.kind) {
                case Step::Send:
                    client->sendFrame(step.firstByte, step.payload, true, step.declaredLength);
                    break;
                case Step::Reply: {
                    // A mebibyte takes the grammar its time under the sanitizers.
                    const auto frame = client->readFrame(std::chrono::seconds(30));
                    ASSERT_TRUE(frame) << "no frame";
                    EXPECT_EQ(frame->firstByte, step.firstByte);
                    if (step.exact) {
                        EXPECT_EQ(frame->payload, step.payload);
                    } else {
                        EXPECT_EQ(frame->payload.compare(0, step.payload.size(), step.payload), 0)
                            << frame->payload;
                        EXPECT_TRUE(
                            frame->payload.size() >= step.suffix.size() &&
                            frame->payload.compare(frame->payload.size() - step.suffix.size(),
                                                   std::string::npos, step.suffix) == 0)
                            << frame->payload;
                    }
                    frames.push_back(*frame);
                    break;
                }
                case Step::Quiet:
                    EXPECT_FALSE(client->readFrame(std::chrono::milliseconds(200)));
                    EXPECT_FALSE(client->closed());
                    break;
                case Step::Drain:
                    VpnService::ActiveSockets::instance().deleteSockets();
                    break;
                case Step::Ends:
                    EXPECT_TRUE(client->waitClosed(std::chrono::seconds(10)));
                    break;
            }
        }
        if (row.check) row.check(*client, frames);
        if (!row.logLine.empty()) {
            EXPECT_TRUE(eventually([&] { return logCount(row.logLine) == logLines + 1; }));
        }
    }
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

TEST_F(ConnectionTest, MessageOfExactlyTheCapIsOneRequestWholeOrInFragments)
{
    auto client = connect();
    const std::string largest(kCap, 'x');
    client->sendFrame(0x81, largest);
    client->sendFrame(0x01, largest.substr(0, kCap - 1));
    client->sendFrame(0x80, largest.substr(kCap - 1));
    // The grammar takes its time over a mebibyte under the sanitizers.
    const auto patience = std::chrono::seconds(60);
    // The log keeps the first KiB of each.
    const std::string logged = std::string(1024, 'x') + " ... (1048576 bytes)";
    EXPECT_TRUE(eventually([&] { return logCount("Request: [" + logged + "]") == 2; }, patience));
    EXPECT_FALSE(client->closed());
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

    // The broadcast hands every frame over without waiting for either client: well within
    // one send time-out (a ThreadSanitizer build beside other tests took 1.5 s once).
    const int count = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) fireFinished(bigMessage(i));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));

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

TEST_F(ConnectionTest, ClientThatStopsReadingIsDroppedWhileItsSocketBufferHasRoom)
{
    // Frames that trickle in: a large socket buffer would take them for minutes, though
    // the client takes none of them.
    struct Case {
        const char* name;
        std::function<void(WsClient&, int)> next;
    };
    const Case cases[] = {
        {"replies", [](WsClient& client, int) { client.sendFrame(0x81, "hello"); }},
        {"finished messages",
         [](WsClient&, int i) { fireFinished(std::to_string(i) + ":" + std::string(500, 'm')); }},
    };
    const std::string timeoutLine = "\tE\t[WebSocketHandler] SendFrame error: Timeout\n";
    for (const Case& c : cases) {
        const int before = logCount(timeoutLine);
        auto stalled = connect(4096);
        setServerSendBuffer(*stalled, 1024 * 1024);
        const auto start = std::chrono::steady_clock::now();
        const auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
        try {
            for (int i = 0; logCount(timeoutLine) == before && elapsed() < std::chrono::seconds(30);
                 ++i) {
                c.next(*stalled, i);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } catch (const std::exception&) {
            // The connection ended before its drop was seen in the log.
        }
        const auto dropAfter = elapsed();
        EXPECT_TRUE(eventually([&] { return logCount(timeoutLine) == before + 1; })) << c.name;
        EXPECT_GE(dropAfter, std::chrono::milliseconds(4500)) << c.name;
        EXPECT_LT(dropAfter, std::chrono::seconds(15)) << c.name;
        EXPECT_TRUE(stalled->waitClosed(std::chrono::seconds(10))) << c.name;
        EXPECT_TRUE(handlersBecome(0)) << c.name;
    }
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
