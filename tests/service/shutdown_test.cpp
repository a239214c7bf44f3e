// How the real binary stops: within its bounds whatever the clients do, for every
// termination signal, admitting nobody late and losing no at-exit launch; and what the
// signal state its parent left does to the children it watches.
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "serviceprocess.h"
#include "tests/support/wsclient.h"

using namespace servicetest;
using VpnTest::WsClient;

namespace {

using Clock = std::chrono::steady_clock;

// The README's bound on the exit after the at-exit pass; measured from the signal, which
// comes before the pass, where that leaves room.
const auto kStopBound = 7s;

const Poco::Net::SocketAddress kService("127.0.0.1", 6457);
const std::string kNormalClose("\x03\xe8", 2);

bool isCloseFrame(const std::optional<WsClient::Frame>& frame)
{
    return frame && frame->firstByte == 0x88 && frame->payload == kNormalClose;
}

class Shutdown : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::signal(SIGPIPE, SIG_IGN);  // a send to a connection the service ended must fail
        // A sanitizer build on a busy machine takes several seconds to start.
        ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
    }

    ServiceProcess service;
};

TEST_F(Shutdown, IdleHalfSentAndSilentClientsHoldTheExitFiveSecondsAtMost)
{
    WsClient idle(kService);  // connected, sends nothing
    WsClient halfHead(kService);
    halfHead.sendRaw("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr");
    WsClient silent(kService);  // never answers the close frame
    silent.handshake();
    ASSERT_TRUE(waitForLog("connection established", 20s));

    const auto signalled = Clock::now();
    service.signal(SIGTERM);
    // Connections without a handshake are closed when the stop begins, not after the wait.
    EXPECT_TRUE(idle.waitClosed(3s));
    EXPECT_TRUE(halfHead.waitClosed(3s));
    ASSERT_TRUE(isCloseFrame(silent.readFrame(10s)));
    // The stop has begun: a head completed now, or a new client, gets no upgrade.
    try {
        halfHead.sendRaw("ade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                         "Sec-WebSocket-Version: 13\r\n\r\n");
    } catch (const std::exception&) {
        // closed already
    }
    try {
        WsClient late(kService);
        EXPECT_NE(late.request(late.handshakeHeaders(), "/", "GET", 3s).status, 101);
    } catch (const std::exception&) {
        // refused, or closed without an answer
    }
    // The service ends the silent client's connection itself once the wait is over.
    EXPECT_TRUE(silent.waitClosed(10s));
    EXPECT_EQ(service.waitExit(10s), 0);
    EXPECT_LT(Clock::now() - signalled, kStopBound);
    const auto texts = logTexts();
    EXPECT_EQ(findLog(texts, "connection established", findLog(texts, "connection established") + 1),
              -1);  // the silent client's only
    EXPECT_GE(findLog(texts, "[HttpAcceptor] Stopping: closed 2 connections"), 0);
    EXPECT_GE(findLog(texts, "[Main] Clients did not close in time: ending 1 connections"), 0);
    EXPECT_EQ(findLog(texts, "Connection threads still running"), -1);  // all joined
    EXPECT_EQ(texts.back(), "[Main] Finished");
}

TEST_F(Shutdown, SixteenTricklingHeadsLockNobodyOutForLong)
{
    // Each holds a worker thread and sends one more byte of its head every 2 s, well
    // within any per-receive time-out.
    std::vector<std::unique_ptr<WsClient>> slow;
    for (int i = 0; i < 16; ++i) {
        slow.push_back(std::make_unique<WsClient>(kService));
        slow.back()->sendRaw("GET / HTTP/1.1\r\n");
    }
    // The seventeenth waits in the queue behind them, its whole head sent at once.
    WsClient late(kService);
    std::atomic<bool> answered{false};
    std::thread trickle([&] {
        for (int tick = 1; tick <= 160 && !answered; ++tick) {
            std::this_thread::sleep_for(100ms);
            if (tick % 20 != 0) continue;
            for (auto& client : slow) {
                try {
                    client->sendRaw("X");
                } catch (const std::exception&) {
                    // closed by the service
                }
            }
        }
    });
    const auto asked = Clock::now();
    std::optional<WsClient::Response> answer;
    std::string failure;
    try {
        answer = late.request(late.handshakeHeaders(), "/", "GET", 20s);
    } catch (const std::exception& e) {
        failure = e.what();  // closed without an answer: reported below, once joined
    }
    const auto waited = Clock::now() - asked;
    answered = true;
    trickle.join();
    ASSERT_TRUE(answer) << failure;
    EXPECT_EQ(answer->status, 101);
    EXPECT_LT(waited, 12s);
    for (auto& client : slow) EXPECT_TRUE(client->waitClosed(1s));
    // One line for each, written just after its close, or the summary of the second that
    // counts the lines past the first few.
    EXPECT_TRUE(waitFor(
        [] {
            static const std::regex summary(R"(\[HTTPRequestHandlerFactory\] (\d+) more refused )"
                                            R"(requests from 127\.0\.0\.1 in the last second)");
            int closed = 0;
            for (const std::string& text : logTexts()) {
                std::smatch match;
                if (std::regex_match(text, match, summary)) closed += std::stoi(match[1]);
                closed += text.rfind("[HttpAcceptor] Request head not complete within 10 s: "
                                     "closed 127.0.0.1:",
                                     0) == 0;
            }
            return closed == 16;
        },
        3s));
}

TEST_F(Shutdown, SecondSignalEndsTheWaitAtOnce)
{
    WsClient silent(kService);
    silent.handshake();
    ASSERT_TRUE(waitForLog("connection established", 20s));
    service.signal(SIGTERM);
    ASSERT_TRUE(isCloseFrame(silent.readFrame(10s)));

    const auto second = Clock::now();
    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(5s), 0);
    EXPECT_LT(Clock::now() - second, 2s);
    EXPECT_TRUE(silent.waitClosed(1s));
    const auto texts = logTexts();
    EXPECT_GE(findLog(texts, "[Main] Second termination signal: ending 1 connections"), 0);
    EXPECT_EQ(texts.back(), "[Main] Finished");
}

TEST_F(Shutdown, HangupRunsTheDrainWithItsAtExitRecords)
{
    const std::string dir = makeTempDir();
    Client client;
    client.send("atexit: /bin/sh -c \"echo ran > " + dir + "/ran\"");
    ASSERT_TRUE(waitForLog("Request: [atexit: /bin/sh"));
    service.signal(SIGHUP);
    const auto close = client.receive(10s);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->flags, 0x88);
    client.sendClose();
    EXPECT_EQ(service.waitExit(10s), 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir + "/ran") == "ran\n"; }, 5s));
    EXPECT_EQ(logTexts().back(), "[Main] Finished");
}

// A record queued after the at-exit pass is launched at once (the monitor's own tests show
// it), also when the client sends it after the close frame; every other request that
// arrives then is logged and not carried out.
TEST_F(Shutdown, AtExitRecordSentAfterTheCloseFrameRunsAndNothingElseDoes)
{
    const std::string dir = makeTempDir();
    Client client;
    service.signal(SIGTERM);
    const auto close = client.receive(10s);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->flags, 0x88);
    client.send("atexit: /bin/sh -c \"echo late > " + dir + "/late\"");
    client.send("stop: 99999");
    // Neither is answered; the client's close ends the drain.
    EXPECT_FALSE(client.receive(500ms));
    client.sendClose();
    EXPECT_EQ(service.waitExit(10s), 0);
    EXPECT_TRUE(waitFor([&] { return readFile(dir + "/late") == "late\n"; }, 5s));
    const auto texts = logTexts();
    EXPECT_GE(findLog(texts, "[WebSocketHandler] Request: [atexit: /bin/sh -c "), 0);
    EXPECT_GE(findLog(texts, "[WebSocketHandler] Request not carried out after the close frame: "
                             "[stop: 99999]"),
              0);
    EXPECT_EQ(findLog(texts, "Request: [stop: "), -1);
}

// A client queues its at-exit record behind an init, in one write, just before the stop:
// the init's kill-all (a shell, some milliseconds) is still running when the drain's close
// frame goes out, so the record is read after it.
TEST(AtExitAtTheStop, RecordWrittenWithInitJustBeforeTheSignalRuns)
{
    ::signal(SIGPIPE, SIG_IGN);
    // Masked as a client must, with a zero key, so that the payload reads as it is; under
    // 126 bytes.
    const auto frame = [](const std::string& text) {
        return std::string{'\x81', static_cast<char>(0x80 | text.size())} + std::string(4, '\0') +
               text;
    };
    const std::string dir = makeTempDir();
    for (int trial = 0; trial < 4; ++trial) {
        SCOPED_TRACE("signal " + std::to_string(trial) + " ms after the write");
        const std::string marker = dir + "/ran" + std::to_string(trial);
        std::remove(kLogPath);  // each run's lines only, the last run has exited
        ServiceProcess service;
        ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
        WsClient client(kService);
        client.handshake();
        ASSERT_TRUE(waitForLog("connection established", 20s));

        client.sendRaw(frame("init: ") + frame("atexit: /usr/bin/touch " + marker));
        std::this_thread::sleep_for(std::chrono::milliseconds(trial));
        service.signal(SIGTERM);
        ASSERT_TRUE(isCloseFrame(client.readFrame(10s)));
        client.sendFrame(0x88, kNormalClose);
        EXPECT_EQ(service.waitExit(10s), 0);
        EXPECT_TRUE(waitFor([&] { return fileExists(marker); }, 5s));
    }
}

// A connection thread that never comes back from a command (here a kill-all that hangs)
// cannot be joined: the service exits all the same, without waiting for it.
TEST(StuckCommand, ConnectionThreadThatNeverEndsDoesNotHoldTheExit)
{
    const std::string bin = makeTempDir();
    writeFile(bin + "/killall", "#!/bin/sh\nexec sleep 60\n", 0755);
    ::setenv("PATH", (bin + ":" + std::getenv("PATH")).c_str(), 1);
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
    Client client;
    client.send("init: ");
    ASSERT_TRUE(waitForLog("Handler for init stage", 10s));

    service.signal(SIGTERM);
    // This exit uses nearly all of the bound, so it is measured from the pass itself.
    ASSERT_TRUE(waitForLog("[ProcessMonitor] At exit handler finished", 10s));
    const auto passEnd = Clock::now();
    EXPECT_EQ(service.waitExit(10s), 0);
    EXPECT_LT(Clock::now() - passEnd, kStopBound);
    const auto texts = logTexts();
    EXPECT_GE(findLog(texts, "[Main] Connection threads still running: exiting without them"), 0);
    EXPECT_EQ(texts.back(), "[Main] Finished");
    EXPECT_EQ(service.standardError(), readFile(kLogPath));  // the exit's lines there too
}

// Seconds of the day in the time stamp of the first line of `lines` that contains
// `needle` (the stamp ends in "HH:MM:SS.d" before the first tab); -1 if there is none.
double stampOf(const std::string& lines, const std::string& needle)
{
    const auto at = lines.find(needle);
    if (at == std::string::npos) return -1;
    const auto newline = lines.rfind('\n', at);
    const auto begin = newline == std::string::npos ? 0 : newline + 1;
    const auto tab = lines.find('\t', begin);
    if (tab == std::string::npos || tab < begin + 10) return -1;
    const std::string clock = lines.substr(tab - 10, 10);
    return std::stoi(clock.substr(0, 2)) * 3600 + std::stoi(clock.substr(3, 2)) * 60 +
           std::stod(clock.substr(6));
}

// A run that fails at start-up served nobody and launched nothing: its drain ends without
// waiting for a process watcher, which it never needed. Timed by the service's own
// stamps, from the drain's first line to its last, which standard error gets in each case.
TEST(FailedStartUp, DrainWaitsForNoWatcher)
{
    const auto drainOf = [](const std::string& what, const std::vector<std::string>& args,
                            int exitCode) {
        ServiceProcess service(args);
        EXPECT_EQ(service.waitExit(10s), exitCode) << what;
        const std::string err = service.standardError();
        const double begin = stampOf(err, "[ProcessMonitor] At exit handler started");
        const double end = stampOf(err, "[Main] Finished");
        ASSERT_GE(begin, 0) << what << "\n" << err;
        ASSERT_GE(end, begin) << what << "\n" << err;
        // A watcher's pause took a second, 0.9 or more in the stamps' tenths; anything
        // below that is the drain's own work, slow only on a loaded machine.
        EXPECT_LT(end - begin, 0.85) << what << "\n" << err;
    };
    writeFile("/var/log/Sorvane", "");  // where the log's directory should be
    drainOf("log not writable", {}, 77);
    ::unlink("/var/log/Sorvane");
    drainOf("bad option", {"--no-such-option"}, 78);
    Poco::Net::ServerSocket holder(kService);
    drainOf("port taken", {}, 70);
}

// Started through a shell that ignores SIGCHLD, which exec hands down to the service (bash
// does; dash does not pass an ignored SIGCHLD on).
TEST(ChildSignal, IgnoredByTheParentChildrenAreStillReapedAndAnnounced)
{
    ServiceProcess service({"-c", "trap '' CHLD; exec \"$0\"", VPN_SERVICE_BINARY}, "/bin/bash");
    ASSERT_TRUE(service.waitServing(60s)) << service.standardError();
    Client client;
    client.send("start: /bin/sh -c \"exit 3\"");
    std::smatch match;
    const std::string started = client.receiveText(10s);
    ASSERT_TRUE(std::regex_match(started, match, std::regex("started:(\\d+),0,sh"))) << started;
    EXPECT_EQ(client.receiveText(10s), "finished:" + match[1].str() + ",3,sh");
    // The support scripts' statuses were taken too, not lost to the kernel (-1).
    const auto texts = logTexts();
    const int first = findLog(texts, "Command finished with status ");
    ASSERT_GE(first, 0);
    EXPECT_EQ(texts[first], "[ServiceApplication] Command finished with status 0");
    EXPECT_EQ(texts[findLog(texts, "Command finished with status ", first + 1)],
              "[ServiceApplication] Command finished with status 0");
}

}  // namespace
