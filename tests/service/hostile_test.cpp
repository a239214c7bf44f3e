// Hostile input against the real binary, byte by byte through the raw client: broken
// handshakes, garbage instead of HTTP, oversized heads, odd frame headers and lengths,
// requests with every byte value and of the largest size. Each case must get its own
// answer and leave the service serving everyone else.
#include <Poco/Base64Encoder.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "reliability.h"
#include "serviceprocess.h"
#include "tests/support/wsclient.h"

using namespace servicetest;
using VpnTest::WsClient;

namespace {

const Poco::Net::SocketAddress kService("127.0.0.1", 6457);
const int kMaxPayload = 1024 * 1024;

// "<count> tried: <outcome> (<n>), ..." from the outcomes seen.
std::string summary(const std::map<std::string, int>& outcomes)
{
    int total = 0;
    std::string text;
    for (const auto& [outcome, count] : outcomes) {
        total += count;
        text += (text.empty() ? "" : ", ") + outcome + " (" + std::to_string(count) + ")";
    }
    return std::to_string(total) + " tried: " + text;
}

// The message text of the next frame (without its NUL); "" when none came.
std::string nextText(WsClient& ws, std::chrono::milliseconds timeout = 20s)
{
    const auto frame = ws.readFrame(timeout);
    if (!frame || frame->payload.empty()) return "";
    return frame->payload.substr(0, frame->payload.size() - 1);
}

// Refused requests from 127.0.0.1 that the log tells of: its texts that contain `line`,
// and the counts of the summaries that stand for the rest.
int refusalsLogged(const std::string& line)
{
    static const std::regex summary(
        R"(\[HTTPRequestHandlerFactory\] (\d+) more refused requests from 127\.0\.0\.1 in the last second)");
    int count = 0;
    for (const std::string& text : logTexts()) {
        std::smatch match;
        if (std::regex_match(text, match, summary))
            count += std::stoi(match[1]);
        else if (text.find(line) != std::string::npos)
            ++count;
    }
    return count;
}

class Hostile : public ::testing::Test {
protected:
    // A failure shows the end of what the service said: a sanitizer's report ends it.
    void TearDown() override
    {
        if (!HasFailure()) return;
        const std::string said = service.standardError();
        std::cerr << "The service's last words:\n"
                  << said.substr(said.size() > 8000 ? said.size() - 8000 : 0);
    }

    void SetUp() override
    {
        // A send to a connection the service has ended must fail, not kill the test.
        ::signal(SIGPIPE, SIG_IGN);
        // A sanitizer build on a busy machine takes several seconds to start.
        ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
        witness = std::make_unique<Client>();
    }

    // The connected witness and a newcomer are both answered (finished messages of other
    // clients' children skipped).
    bool serving()
    {
        Client newcomer;
        for (Client* client : {witness.get(), &newcomer}) {
            client->send("stop: 99999");
            std::string reply;
            do {
                reply = client->receiveText(20s);  // a bound for a busy machine
            } while (finishedPid(reply) > 0);
            if (errorText(reply) != "process does not exist") return false;
        }
        return true;
    }

    ServiceProcess service;
    std::unique_ptr<Client> witness;
};

TEST_F(Hostile, BrokenHandshakesAndWebOriginsGetTheirAnswer)
{
    struct Case {
        const char* name;
        std::function<WsClient::Headers(const WsClient::Headers&)> headers;
        int status;
    };
    const auto without = [](const char* name) {
        return [name](const WsClient::Headers& h) { return WsClient::without(h, name); };
    };
    const auto with = [](const char* name, const char* value) {
        return [name, value](const WsClient::Headers& h) { return WsClient::with(h, name, value); };
    };
    const Case cases[] = {
        {"no key", without("Sec-WebSocket-Key"), 400},
        {"no version", without("Sec-WebSocket-Version"), 400},
        {"version 8", with("Sec-WebSocket-Version", "8"), 400},
        {"no upgrade token in Connection", with("Connection", "keep-alive"), 400},
        {"no Upgrade", without("Upgrade"), 501},
        {"Upgrade list", with("Upgrade", "websocket, foo"), 501},
        {"web page origin", with("Origin", "http://example.com"), 403},
        {"origin posing as loopback", with("Origin", "https://127.0.0.1.example.com"), 403},
        {"loopback origin", with("Origin", "http://127.0.0.1:8080"), 101},
        {"sandboxed frame's origin", with("Origin", "null"), 403},
    };
    std::map<std::string, int> outcomes;
    for (const Case& c : cases) {
        WsClient ws(kService);
        const auto response = ws.request(c.headers(ws.handshakeHeaders()), "/", "GET", 20s);
        EXPECT_EQ(response.status, c.status) << c.name;
        if (c.status == 400 && std::string(c.name) == "version 8") {
            EXPECT_EQ(response.header("Sec-WebSocket-Version").value_or(""), "13");
        }
        if (c.status != 101) {
            EXPECT_EQ(response.header("Content-Length").value_or("0"), "0") << c.name;
            // Closed after the answer, not held open for another request.
            EXPECT_TRUE(ws.waitClosed(3s)) << c.name << ": left open after the answer";
        }
        ++outcomes[std::to_string(response.status)];
        EXPECT_TRUE(serving()) << c.name;
    }
    recordFigure("hostile", "malformed handshakes and web pages' origins", summary(outcomes));
}

TEST_F(Hostile, GarbageAndOversizedHeadsEndOnlyTheirOwnConnection)
{
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) c = static_cast<char>(random());
    const std::string line = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    std::string manyHeaders = line;
    for (int i = 0; i < 200; ++i) manyHeaders += "X-" + std::to_string(i) + ": 1\r\n";
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"random bytes", noise},
        // The head is read in lines of up to 4 KiB: shorter garbage without a line end
        // waits for more, like a slow client.
        {"NUL bytes", std::string(8192, '\0')},
        {"a TLS client hello",
         std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + noise.substr(0, 500)},
        {"empty lines", "\r\n\r\n\r\n\r\n"},
        {"a truncated request line", "GET /"},
        {"a 64 KiB path", "GET /" + std::string(65536, 'a') + " HTTP/1.1\r\n\r\n"},
        {"a 64 KiB header value", line + "X-Big: " + std::string(65536, 'b') + "\r\n\r\n"},
        {"200 headers", manyHeaders + "\r\n"},
        {"a 1 MiB header line without end", line + "X-Endless: " + std::string(kMaxPayload, 'c')},
    };
    std::map<std::string, int> outcomes;
    for (const Case& c : cases) {
        WsClient ws(kService);
        try {
            ws.sendRaw(c.bytes);
        } catch (const std::exception&) {
            // The service ended the connection while the bytes were still going out.
        }
        // A truncated head waits for its end like any slow client; the client gives up.
        const bool truncated = c.bytes == "GET /";
        if (truncated) ws.reset();
        EXPECT_TRUE(truncated || ws.waitClosed(20s)) << c.name << ": connection left open";
        ++outcomes[truncated ? "client gave up" : "connection ended by the service"];
        EXPECT_TRUE(serving()) << c.name;
    }
    recordFigure("hostile", "garbage instead of HTTP, truncated and oversized heads",
                 summary(outcomes));
}

TEST_F(Hostile, OddLengthsAreAnsweredAndBadFramesEndTheirConnection)
{
    const std::string request = "stop: 99999";
    struct Case {
        const char* name;
        std::function<void(WsClient&)> send;
        bool answered;  // otherwise the service ends the connection
    };
    const Case cases[] = {
        // No extension is agreed on: reserved bits are a protocol error.
        {"RSV1", [&](WsClient& ws) { ws.sendFrame(0xC1, request); }, false},
        {"RSV1-3", [&](WsClient& ws) { ws.sendFrame(0xF1, request); }, false},
        {"RSV3 on binary", [&](WsClient& ws) { ws.sendFrame(0x92, request); }, false},
        // The framework does not show the mask bit; the payload is taken as it came.
        {"unmasked", [&](WsClient& ws) { ws.sendFrame(0x81, request, false); }, true},
        {"16-bit length for 11 bytes",
         [&](WsClient& ws) {
             std::string frame("\x81\xfe\x00\x0b\x00\x00\x00\x00", 8);
             ws.sendRaw(frame + request);
         },
         true},
        {"64-bit length for 11 bytes",
         [&](WsClient& ws) {
             std::string frame("\x81\xff\x00\x00\x00\x00\x00\x00\x00\x0b\x00\x00\x00\x00", 14);
             ws.sendRaw(frame + request);
         },
         true},
        {"length 2^63", [&](WsClient& ws) { ws.sendFrame(0x81, request, true, 1ULL << 63); },
         false},
        {"length 2^64-1", [&](WsClient& ws) { ws.sendFrame(0x81, request, true, ~0ULL); }, false},
        {"length 1 MiB + 1 declared, nothing sent",
         [&](WsClient& ws) { ws.sendFrame(0x81, "", true, kMaxPayload + 1); }, false},
        {"1 MiB + 1 sent",
         [&](WsClient& ws) { ws.sendFrame(0x81, std::string(kMaxPayload + 1, 'x')); }, false},
    };
    std::map<std::string, int> outcomes;
    const int descriptors = descriptorCount(service.pid());  // the witness's connection only
    for (const Case& c : cases) {
        WsClient ws(kService);
        ws.handshake();
        try {
            c.send(ws);
        } catch (const std::exception&) {
            // Ended by the service before everything went out.
        }
        if (c.answered) {
            EXPECT_EQ(errorText(nextText(ws)), "process does not exist") << c.name;
            ++outcomes["answered"];
        } else {
            EXPECT_TRUE(ws.closed() || ws.waitClosed(20s)) << c.name << ": connection left open";
            ++outcomes["connection ended"];
        }
        EXPECT_TRUE(serving()) << c.name;
    }
    // A frame shorter than its length waits for the rest, like any slow client, until the
    // client goes away; its descriptor, and those of every case above, are released then.
    {
        WsClient ws(kService);
        ws.handshake();
        ws.sendFrame(0x81, request, true, 100);
        EXPECT_FALSE(ws.readFrame(300ms));
        EXPECT_FALSE(ws.closed());
    }
    EXPECT_TRUE(waitFor([&] { return descriptorCount(service.pid()) == descriptors; }, 20s));
    ++outcomes["waited for the rest until the client left"];
    EXPECT_TRUE(serving());
    recordFigure("hostile", "frames with reserved bits, odd and bad lengths, an oversized payload",
                 summary(outcomes));
}

TEST_F(Hostile, EveryByteValueAndOneMebibyteRequestsAreAnswered)
{
    WsClient ws(kService);
    ws.handshake();
    std::map<std::string, int> outcomes;
    int unanswered = 0;
    // The reply to one request, finished messages skipped; counted by its kind.
    const auto answer = [&](const std::string& request, std::chrono::milliseconds timeout) {
        ws.sendFrame(0x81, request);
        std::string reply;
        do {
            reply = nextText(ws, timeout);
        } while (finishedPid(reply) > 0);
        if (reply.empty()) ++unanswered;
        ++outcomes[startedPid(reply) > 0 ? "started"
                   : reply.empty()       ? "no answer"
                                         : errorText(reply)];
        return reply;
    };
    // A request of one byte is never a command.
    for (int byte = 0; byte < 256; ++byte) {
        EXPECT_EQ(errorText(answer(std::string(1, static_cast<char>(byte)), 20s)),
                  "parse command error")
            << byte;
    }
    // Every byte value inside an argument, and all of them in one request: the child runs,
    // but for NUL, which would cut the argument short.
    std::string all;
    for (int byte = 1; byte < 256; ++byte) {
        const std::string value(1, static_cast<char>(byte));
        EXPECT_GT(startedPid(answer("start: /bin/true x" + value + "y", 20s), "true"), 0) << byte;
        all += value;
    }
    EXPECT_GT(startedPid(answer("start: /bin/true " + all, 20s), "true"), 0);
    EXPECT_EQ(errorText(answer(std::string("start: /bin/true x\0y", 20), 20s)),
              "create process error: Invalid argument");
    // The largest request: a well-formed start too long for the kernel, and garbage. Each
    // is parsed whole, which takes a sanitizer build many seconds.
    const std::string prefix = "start: /bin/true ";
    EXPECT_EQ(errorText(answer(prefix + std::string(kMaxPayload - prefix.size(), 'a'), 60s)),
              "create process error: Argument list too long");
    EXPECT_EQ(errorText(answer(std::string(kMaxPayload, 'x'), 60s)), "parse command error");

    EXPECT_TRUE(serving());
    // Every child those requests started has ended and been reaped.
    EXPECT_TRUE(waitFor([&] { return childrenOf(service.pid()).empty(); }, 20s));
    recordFigure("hostile", "requests with every byte value, and of exactly 1 MiB",
                 summary(outcomes));
    recordFigure("lost", "answers to hostile requests", std::to_string(unanswered));
}

TEST_F(Hostile, HeadsBehindBlankLinesAreClosedInTimeAndLockNobodyOut)
{
    // The framework skips blank lines before a request. Each holds a worker thread (one
    // waits in the queue, the witness holds the sixteenth) and sends one more byte every
    // 2 or 3 s, well within any per-receive time-out.
    // Times are taken from before the first connects: none may be closed early.
    const auto connected = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<WsClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<WsClient>(kService));
        slow.back()->sendRaw("\n\n");
    }
    WsClient late(kService);
    // Until every one is closed; the slow clients are this thread's alone.
    std::vector<std::chrono::steady_clock::duration> closedAfter(slow.size(), 16s);
    std::thread trickle([&] {
        std::size_t open = slow.size();
        for (int tick = 1; tick <= 160 && open > 0; ++tick) {
            std::this_thread::sleep_for(100ms);
            for (std::size_t i = 0; i < slow.size(); ++i) {
                if (slow[i]->closed()) continue;
                if (slow[i]->waitClosed(1ms)) {
                    closedAfter[i] = std::chrono::steady_clock::now() - connected;
                    --open;
                    continue;
                }
                if (tick % (20 + 10 * static_cast<int>(i % 2)) != 0) continue;
                try {
                    slow[i]->sendRaw("X");
                } catch (const std::exception&) {
                    // closed by the service meanwhile
                }
            }
        }
    });
    const auto answer = late.request(late.handshakeHeaders(), "/", "GET", 20s);
    const auto waited = std::chrono::steady_clock::now() - connected;
    trickle.join();
    EXPECT_EQ(answer.status, 101);
    EXPECT_LT(waited, 12s);
    for (std::size_t i = 0; i < slow.size(); ++i) {
        EXPECT_GE(closedAfter[i], 9500ms) << i;
        EXPECT_LT(closedAfter[i], 12s) << i;
    }
    // One line for each, or a summary that counts it; the summary follows within a second.
    EXPECT_TRUE(waitFor(
        [] {
            return refusalsLogged(
                       "[HttpAcceptor] Request head not complete within 10 s: "
                       "closed 127.0.0.1:") == 16;
        },
        3s));
    EXPECT_TRUE(serving());
}

TEST_F(Hostile, AFloodOfPlainRequestsGrowsTheLogByLittle)
{
    const auto logSize = [] { return static_cast<double>(readFile(kLogPath).size()); };
    const double before = logSize();
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> flooders;
    for (int t = 0; t < 4; ++t) {
        flooders.emplace_back([&] {
            while (!stop) {
                try {
                    WsClient plain(kService);
                    if (plain.request({{"Host", "127.0.0.1:6457"}}, "/", "GET", 5s).status == 501)
                        ++sent;
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                    return;
                }
            }
        });
    }
    const auto flood = 3s;
    std::this_thread::sleep_for(flood / 2);
    // Admitted amid the flood from the same address: its lines are all there.
    WsClient admitted(kService);
    try {
        admitted.handshake();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    std::this_thread::sleep_for(flood / 2);
    stop = true;
    for (std::thread& flooder : flooders) flooder.join();

    // The last second's summary comes by itself: no request follows it.
    EXPECT_TRUE(waitFor(
        [&] {
            return refusalsLogged("[HTTPRequestHandlerFactory] This socket is not a socket") ==
                   sent;
        },
        3s))
        << sent << " sent, "
        << refusalsLogged("[HTTPRequestHandlerFactory] This socket is not a socket") << " logged";
    const double perSecond = (logSize() - before) / std::chrono::duration<double>(flood).count();
    EXPECT_LT(perSecond, 10 * 1024.0) << sent << " requests";
    const auto texts = logTexts();
    const int from = findLog(
        texts, "[HTTPRequestHandlerFactory] Request from " + admitted.localAddress().toString());
    ASSERT_GE(from, 0);
    EXPECT_GE(findLog(texts, "[WebSocketHandler] connection established", from), 0);
    recordFigure("hostile", "log growth under a flood of plain requests from one address",
                 std::to_string(sent / 3) + " requests/s, " +
                     std::to_string(static_cast<int>(perSecond)) + " bytes/s");
    EXPECT_TRUE(serving());
}

TEST_F(Hostile, HandshakeFailureTextsReachTheLogEscapedAndCut)
{
    // An encoded word, which the framework decodes, that would begin a line of its own.
    const std::string forged =
        "\n2030-01-01 00:00:00.0\tI\t[ProcessMonitor] Finished (finished:4711,0,openvpn)";
    std::ostringstream base64;
    {
        Poco::Base64Encoder encoder(base64);
        encoder.rdbuf()->setLineLength(0);  // one header line
        encoder << forged;
    }
    const std::string controls("8\x1b]0;owned\x07\0\x7f", 13);
    const std::string big(8000, 'v');
    for (const std::string& version : {controls, "=?UTF-8?B?" + base64.str() + "?=", big}) {
        WsClient ws(kService);
        const auto response =
            ws.request(WsClient::with(ws.handshakeHeaders(), "Sec-WebSocket-Version", version), "/",
                       "GET", 20s);
        EXPECT_EQ(response.status, 400) << version.size() << " bytes";
        EXPECT_EQ(response.header("Sec-WebSocket-Version").value_or(""), "13");
    }
    const std::string failure = "WebSocket Exception: Unsupported WebSocket version requested: ";
    const std::string prefix = "[WebSocketHandler] Connection error: " + failure;
    ASSERT_TRUE(waitFor([&] { return refusalsLogged(prefix) == 3; }, 5s));
    const auto texts = logTexts();
    EXPECT_GE(findLog(texts, prefix + "8\\x1b]0;owned\\x07\\x00\\x7f"), 0);
    EXPECT_GE(findLog(texts, prefix + "\\x0a2030-01-01 00:00:00.0\\x09I\\x09[ProcessMonitor] "
                                      "Finished (finished:4711,0,openvpn)"),
              0);
    const int cut = findLog(texts, prefix + "vvvv");
    ASSERT_GE(cut, 0);
    EXPECT_LE(texts[cut].size(), 1200u);
    const std::string size = " ... (" + std::to_string(failure.size() + big.size()) + " bytes)";
    EXPECT_EQ(texts[cut].substr(texts[cut].size() - size.size()), size);
    // One line is one line: no control byte but the separators, and no forged line.
    const std::string log = readFile(kLogPath);
    for (const char c : log) {
        const auto byte = static_cast<unsigned char>(c);
        EXPECT_TRUE(byte == '\t' || byte == '\n' || (byte >= 0x20 && byte != 0x7f))
            << "byte " << static_cast<int>(byte);
    }
    EXPECT_EQ(log.find("\n2030-"), std::string::npos);
    EXPECT_TRUE(serving());
}

}  // namespace
