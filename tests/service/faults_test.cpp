// Faults around the real binary: clients that vanish or stop reading, children killed from
// outside, a termination signal under load, a second instance. After each one the service
// must go on serving the other clients and lose none of their messages.
#include <Poco/Net/SocketAddress.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client.h"
#include "reliability.h"
#include "serviceprocess.h"
#include "tests/support/wsclient.h"

using namespace servicetest;
using Clock = std::chrono::steady_clock;

namespace {

const Poco::Net::SocketAddress kService("127.0.0.1", 6457);
// The service's bound on how long a message may wait to go out before its client is dropped.
const auto kSendTimeout = 5s;
// What a reader's start may take beside stalled clients: none of them holds it up.
const auto kPromptStart = 1s;

// True when the client is still served: a request gets its answer. Finished messages
// that come first are added to `finished`.
bool answers(Client& client, std::vector<std::string>* finished = nullptr)
{
    client.send("stop: 99999");
    for (;;) {
        const std::string reply = client.receiveText(20s);  // a bound for a busy machine
        if (finishedPid(reply) < 0) return errorText(reply) == "process does not exist";
        if (finished != nullptr) finished->push_back(reply);
    }
}

std::string seconds(Clock::duration duration)
{
    const long tenths =
        std::chrono::duration_cast<std::chrono::milliseconds>(duration).count() / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
}

class Faults : public ::testing::Test {
protected:
    // A sanitizer build on a busy machine takes several seconds to start.
    void SetUp() override { ASSERT_TRUE(service.waitServing(60s)) << service.standardError(); }

    ServiceProcess service;
};

TEST_F(Faults, ClientThatVanishesMidRequestCostsTheOthersNothing)
{
    struct Case {
        const char* name;
        std::function<void(VpnTest::WsClient&)> before;  // what the client sends before its reset
    };
    const Case cases[] = {
        {"half a handshake",
         [](VpnTest::WsClient& ws) { ws.sendRaw("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr"); }},
        {"half a frame header",
         [](VpnTest::WsClient& ws) {
             ws.handshake();
             ws.sendRaw(std::string("\x81\xfe\x01", 3));
         }},
        {"half a frame payload",
         [](VpnTest::WsClient& ws) {
             ws.handshake();
             const std::string frame = "start: /bin/true half";
             ws.sendFrame(0x81, frame.substr(0, 10), true, frame.size());
         }},
        {"a start whose reply it never reads",
         [](VpnTest::WsClient& ws) {
             ws.handshake();
             ws.sendFrame(0x81, "start: /bin/sleep 0.2");
             ASSERT_TRUE(waitForLog("Request: [start: /bin/sleep 0.2]"));
         }},
    };
    Client witness;
    ASSERT_TRUE(answers(witness));
    std::vector<std::string> heard;  // finished messages the witness got
    const int descriptors = descriptorCount(service.pid());
    for (const Case& c : cases) {
        VpnTest::WsClient ws(kService);
        c.before(ws);
        ws.reset();
        const bool served = answers(witness, &heard);
        const bool released =
            waitFor([&] { return descriptorCount(service.pid()) == descriptors; }, 20s);
        EXPECT_TRUE(served) << c.name;
        EXPECT_TRUE(released) << c.name << ": " << descriptorCount(service.pid())
                              << " descriptors, " << descriptors << " before";
        recordFigure("faults", std::string("client resets its connection after ") + c.name,
                     std::string(served ? "the others served" : "the others NOT served") +
                         (released ? "; its descriptor released" : "; its descriptor kept"));
    }
    // The child of the vanished client is still supervised, and its end reaches the others.
    if (heard.empty()) heard.push_back(witness.receiveText(10s));
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_TRUE(finishedPid(heard[0]) > 0 && heard[0].find(",0,sleep") != std::string::npos)
        << heard[0];
    EXPECT_TRUE(childrenOf(service.pid()).empty());
    recordFigure("lost", "finished messages after client resets", HasFailure() ? "some" : "0");
}

TEST_F(Faults, ClientThatStopsReadingIsDroppedWithinTheSendTimeOut)
{
    // Send buffers of this test's own network namespace grow to 64 KiB at most (4 MiB by
    // default), so that the stalled connection fills up within a second or two.
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 16384 65536\n";
    ASSERT_EQ(readFile("/proc/sys/net/ipv4/tcp_wmem"), "4096\t16384\t65536\n");
    Client listener;
    Client starter;
    // A small receive window, and requests whose replies it never reads: its connection's
    // send blocks while the watcher also wants to send it every finished message.
    VpnTest::WsClient stalled(kService, 4096);
    stalled.handshake();
    // Sends until the service ends the connection; the time of that failure is the drop.
    ::signal(SIGPIPE, SIG_IGN);
    std::atomic<bool> flooding{true};
    std::atomic<bool> dropped{false};
    const auto stallBegin = Clock::now();
    Clock::duration dropAfter{};
    std::thread flood([&] {
        try {
            while (flooding) stalled.sendFrame(0x81, "hello");
        } catch (const std::exception&) {
            dropAfter = Clock::now() - stallBegin;
            dropped = true;
        }
    });

    // Meanwhile the other clients go on, until two seconds after the drop: no send of the
    // broadcast waits for the stalled client.
    std::vector<int> pids;
    Clock::duration slowest{};
    std::optional<Clock::time_point> busyUntil;
    for (int i = 0; !busyUntil || Clock::now() < *busyUntil; ++i) {
        const auto sent = Clock::now();
        starter.send("start: /bin/true stall" + std::to_string(i));
        std::string reply;
        do {
            reply = starter.receiveText(10s);
        } while (finishedPid(reply) > 0);
        slowest = std::max(slowest, Clock::now() - sent);
        ASSERT_GT(startedPid(reply, "true"), 0) << reply;
        pids.push_back(startedPid(reply, "true"));
        if (!busyUntil && dropped) busyUntil = Clock::now() + 2s;
        if (Clock::now() - stallBegin > 60s) break;
    }
    flooding = false;
    flood.join();
    ASSERT_TRUE(dropped) << "the stalled client was never dropped";
    // Once dropped, the connection carries out none of the requests still buffered for
    // it (at most the one under way when the drop came).
    const auto texts = logTexts();
    // Its unread replies end it either by the time-out or, when they pile up faster, by
    // the bound of its send queue.
    const int timeout = findLog(texts, "SendFrame error: Timeout");
    const int full = findLog(texts, "SendFrame error: send queue full");
    const int drop = timeout < 0 ? full : full < 0 ? timeout : std::min(timeout, full);
    ASSERT_GE(drop, 0);
    int carriedOutAfterDrop = 0;
    for (int i = drop; (i = findLog(texts, "Request: [hello]", i + 1)) >= 0;) ++carriedOutAfterDrop;
    EXPECT_LE(carriedOutAfterDrop, 1);
    // One send time-out, and the moment its buffers take to fill. A request takes several
    // times as long in a sanitizer's build, and beside the suite its threads starve: 8.0 and
    // 14.5 s measured under ASan there, so that build is held only under the old 30 s.
    EXPECT_LT(dropAfter, sanitizerBuild() ? 20s : kSendTimeout + 2s) << seconds(dropAfter);
    EXPECT_LT(slowest, kPromptStart) << seconds(slowest);
    EXPECT_TRUE(stalled.waitClosed(10s));

    // The listener heard of every one of those children.
    std::vector<int> heard;
    const auto deadline = Clock::now() + 20s;
    while (heard.size() < pids.size() && Clock::now() < deadline) {
        const int pid = finishedPid(listener.receiveText(1s));
        if (pid > 0) heard.push_back(pid);
    }
    std::sort(heard.begin(), heard.end());
    EXPECT_EQ(heard, pids);
    EXPECT_TRUE(answers(listener));

    recordFigure(
        "faults",
        "client stops reading while others start " + std::to_string(pids.size()) + " children",
        "dropped " + seconds(dropAfter) + " after it began; the others' slowest reply " +
            seconds(slowest));
    recordFigure("lost", "finished messages to the others while one client stalled",
                 std::to_string(pids.size() - std::min(pids.size(), heard.size())));
}

TEST_F(Faults, EightStalledClientsHoldUpNoStartOfAReader)
{
    // Send buffers of 4 KiB in this test's own namespace: the finished messages of a few
    // hundred children fill every stalled connection.
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 4096 4096\n";
    ASSERT_EQ(readFile("/proc/sys/net/ipv4/tcp_wmem"), "4096\t4096\t4096\n");
    Client reader;
    std::vector<int> pids;
    std::vector<std::string> finished;
    // 800 starts spread over about eight watcher passes, so that they meet the passes
    // whose broadcasts find the stalled connections full. Returns the reader's waits in
    // all, and the slowest.
    const int starts = 800;
    const auto startChildren = [&](const std::string& tag) {
        std::pair<Clock::duration, Clock::duration> waits{};
        for (int i = 0; i < starts; ++i) {
            const auto sent = Clock::now();
            reader.send("start: /bin/true " + tag + std::to_string(i));
            std::string reply;
            while (finishedPid(reply = reader.receiveText(20s)) > 0) finished.push_back(reply);
            const auto took = Clock::now() - sent;
            waits.first += took;
            waits.second = std::max(waits.second, took);
            const int pid = startedPid(reply, "true");
            if (pid <= 0) {
                ADD_FAILURE() << tag << " start " << i << ": " << reply;
                break;
            }
            pids.push_back(pid);
            std::this_thread::sleep_for(10ms);
        }
        return waits;
    };
    // The same reader alone first: what this machine's load makes of its starts now.
    const auto alone = startChildren("alone");
    std::vector<std::unique_ptr<VpnTest::WsClient>> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.push_back(std::make_unique<VpnTest::WsClient>(kService, 4096));
        stalled.back()->handshake();
    }
    const auto beside = startChildren("beside");
    ASSERT_FALSE(HasFailure());
    // A broadcast that waited for the stalled clients would cost it a send time-out at a
    // watcher pass, several times over.
    EXPECT_LT(beside.first, 2 * alone.first + 2s)
        << "beside them " << seconds(beside.first) << ", alone " << seconds(alone.first);
    EXPECT_LT(beside.second, kPromptStart) << seconds(beside.second);

    // The reader hears of every child; the stalled clients, which never read, are dropped.
    const auto deadline = Clock::now() + 20s;
    while (finished.size() < pids.size() && Clock::now() < deadline) {
        const std::string text = reader.receiveText(1s);
        if (finishedPid(text) > 0) finished.push_back(text);
    }
    std::vector<int> heard;
    for (const std::string& text : finished) heard.push_back(finishedPid(text));
    std::sort(heard.begin(), heard.end());
    std::sort(pids.begin(), pids.end());
    EXPECT_EQ(heard, pids);
    // Counted in the log first: a stalled client that reads to find its end is no longer
    // stalled.
    const auto drops = [] {
        const auto texts = logTexts();
        return std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
            return text.find("SendFrame error: Timeout") != std::string::npos;
        });
    };
    EXPECT_TRUE(waitFor([&] { return drops() == 8; }, 15s)) << drops() << " dropped";
    int dropped = 0;
    for (auto& client : stalled) dropped += client->waitClosed(5s) ? 1 : 0;
    EXPECT_EQ(dropped, 8);

    recordFigure("faults",
                 "8 clients stop reading while one starts " + std::to_string(starts) + " children",
                 "its waits " + seconds(beside.first) + " in all (" + seconds(alone.first) +
                     " without them), slowest " + seconds(beside.second) +
                     "; stalled clients dropped: " + std::to_string(dropped));
    recordFigure("lost", "finished messages to a reader beside 8 stalled clients",
                 std::to_string(pids.size() - std::min(pids.size(), heard.size())));
}

// The descriptor of the client's own end of its connection, so that the test can read
// its bytes raw, at a pace of its own.
int ownSocketOf(const VpnTest::WsClient& client)
{
    const Poco::Net::SocketAddress local = client.localAddress();
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.ss_family == AF_INET &&
            Poco::Net::SocketAddress(reinterpret_cast<sockaddr*>(&address), length) == local)
            return fd;
    }
    return -1;
}

TEST_F(Faults, SixteenPingFloodsThatReadSlowlyStayWithinTheBacklogBound)
{
    // Send buffers of 4 KiB in this test's own namespace, and small receive buffers: the
    // pongs wait in the service's queues rather than in the kernel's buffers.
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 4096 4096\n";
    ASSERT_EQ(readFile("/proc/sys/net/ipv4/tcp_wmem"), "4096\t4096\t4096\n");
    const int kClients = 16;
    std::vector<std::unique_ptr<VpnTest::WsClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<VpnTest::WsClient>(kService, 4096));
        clients.back()->handshake();
        ASSERT_GE(ownSocketOf(*clients.back()), 0);
    }
    ASSERT_TRUE(waitFor(
        [] {
            const auto texts = logTexts();
            return std::count_if(texts.begin(), texts.end(), [](const std::string& text) {
                       return text.find("connection established") != std::string::npos;
                   }) == kClients;
        },
        20s));
    const long idle = residentKiB(service.pid());

    // Each sends empty pings as fast as it can and reads about 400 KB/s of their pongs:
    // enough that no send times out, far too little to keep up.
    ::signal(SIGPIPE, SIG_IGN);
    std::string pings;
    for (int i = 0; i < 4096; ++i) pings.append("\x89\x80\0\0\0\0", 6);  // masked, empty
    std::atomic<bool> flooding{true};
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
    for (auto& client : clients) {
        VpnTest::WsClient* ws = client.get();
        threads.emplace_back([ws, &pings, &flooding, &ended] {
            try {
                while (flooding) ws->sendRaw(pings);
            } catch (const std::exception&) {
                ++ended;  // the service ended the connection
            }
        });
        threads.emplace_back([ws, &flooding] {
            const int fd = ownSocketOf(*ws);
            char buffer[4000];
            while (flooding && ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) != 0)
                std::this_thread::sleep_for(10ms);
        });
    }
    // Until every connection has been dropped, or the memory is past the bound (which a
    // sanitizer's own memory passes by itself). A loaded machine floods more slowly, and
    // the last queues take a while to fill.
    const long boundKiB = kClients * 8 * 1024;
    const bool bounded = !sanitizerBuild();
    long peak = idle;
    const auto start = Clock::now();
    while (ended < kClients && (!bounded || peak - idle < boundKiB) && Clock::now() - start < 60s) {
        peak = std::max(peak, residentKiB(service.pid()));
        std::this_thread::sleep_for(20ms);
    }
    peak = std::max(peak, residentKiB(service.pid()));
    flooding = false;
    for (auto& thread : threads) thread.join();

    const long growthMiB = (peak - idle) / 1024;
    if (bounded) {
        EXPECT_LT(peak - idle, boundKiB) << "resident memory " << idle / 1024 << " MiB idle, "
                                         << peak / 1024 << " MiB at the peak";
    }
    // Each is dropped by the bound of its queue, none by the time-out.
    EXPECT_EQ(ended.load(), kClients);
    const auto texts = logTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& text) {
                                return text.find("SendFrame error: send queue full") !=
                                       std::string::npos;
                            }),
              kClients);
    Client witness;
    EXPECT_TRUE(answers(witness));
    recordFigure("faults", "16 clients flood empty pings and read about 400 KB/s",
                 "resident memory grew " + std::to_string(growthMiB) + " MiB; " +
                     std::to_string(ended.load()) + " of 16 dropped by the queue's bound");
}

TEST_F(Faults, ChildrenKilledFromOutsideAreAnnouncedToEveryClient)
{
    struct Case {
        int signal;
        int code;  // 0 for SIGKILL, as the service's own stop; 128 + signal otherwise
    };
    const Case cases[] = {
        {SIGKILL, 0}, {SIGTERM, 143}, {SIGSEGV, 139}, {SIGHUP, 129}, {SIGINT, 130}};
    Client a;
    Client b;
    int i = 0;
    std::string codes;
    for (const Case& c : cases) {
        a.send("start: /bin/sleep 60 0." + std::to_string(++i));
        const int pid = startedPid(a.receiveText(), "sleep");
        ASSERT_GT(pid, 0) << c.signal;
        ASSERT_EQ(::kill(pid, c.signal), 0);
        const std::string finished =
            "finished:" + std::to_string(pid) + "," + std::to_string(c.code) + ",sleep";
        const std::string toA = a.receiveText(10s);
        const std::string toB = b.receiveText(10s);
        EXPECT_EQ(toA, finished) << c.signal;
        EXPECT_EQ(toB, finished) << c.signal;
        codes += (codes.empty() ? "" : ", ") + (toA == finished && toB == finished
                                                    ? std::to_string(c.code)
                                                    : "wrong: " + toA + " / " + toB);
        // Gone from supervision: a stop now names a process that does not exist.
        a.send("stop: " + std::to_string(pid));
        EXPECT_EQ(errorText(a.receiveText()), "process does not exist") << c.signal;
    }
    EXPECT_TRUE(childrenOf(service.pid()).empty());
    recordFigure("faults",
                 "children killed from outside (SIGKILL, SIGTERM, SIGSEGV, SIGHUP, SIGINT)",
                 "every end announced to both clients, codes " + codes);
}

TEST_F(Faults, SigtermWhileSixteenClientsAreBusy)
{
    const int kClients = 16;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>());
        clients.back()->send("atexit: /bin/sh -c \"echo " + std::to_string(i) + " > /tmp/atexit" +
                             std::to_string(i) + "\"");
    }
    ASSERT_TRUE(waitFor(
        [] { return findLog(logTexts(), "Request: [atexit: /bin/sh -c \"echo 15") >= 0; }, 20s));

    // Each client starts children until its close frame comes; the last one answers it
    // only when told, to show that the service waits for it.
    std::vector<std::atomic<int>> starts(kClients);
    std::vector<std::atomic<bool>> closed(kClients);
    std::atomic<bool> releaseLast{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            try {
                Client& client = *clients[i];
                for (int n = 0;; ++n) {
                    client.send("start: /bin/true busy" + std::to_string(i) + "_" +
                                std::to_string(n));
                    for (;;) {
                        const auto frame = client.receive(10s);
                        if (!frame) return;
                        if (frame->flags == 0x88) {
                            closed[i] = frame->payload == std::string("\x03\xe8", 2);
                            if (i == kClients - 1) {
                                waitFor([&] { return releaseLast.load(); }, 20s);
                            }
                            client.sendClose();
                            return;
                        }
                        if (startedPid(frame->payload.substr(0, frame->payload.size() - 1)) > 0)
                            break;
                    }
                    ++starts[i];
                }
            } catch (const std::exception& e) {
                // The connection was ended under it; the counts below tell what was missed.
                ADD_FAILURE() << "client " << i << ": " << e.what();
            }
        });
    }
    ASSERT_TRUE(waitFor(
        [&] {
            return std::all_of(starts.begin(), starts.end(), [](const auto& n) { return n >= 5; });
        },
        20s));
    // Connections waiting in the queue meanwhile are dropped, never served after the drain.
    const int kQueued = 8;
    std::atomic<int> queuedServed{0};
    std::vector<std::thread> queued;
    for (int i = 0; i < kQueued; ++i) {
        auto ws = std::make_shared<VpnTest::WsClient>(kService);
        queued.emplace_back([ws, &queuedServed] {
            try {
                if (ws->request(ws->handshakeHeaders(), "/", "GET", 30s).status == 101)
                    ++queuedServed;
            } catch (const std::exception&) {
                // Dropped: no answer came.
            }
        });
    }
    service.signal(SIGTERM);

    EXPECT_TRUE(
        waitFor([&] { return std::count(closed.begin(), closed.end(), true) == kClients; }, 30s));
    // Every other client has answered; the service still waits for the last one.
    EXPECT_FALSE(service.waitExit(1s)) << readFile(kLogPath);
    releaseLast = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(service.waitExit(20s), 0);  // a bound: a sanitizer build exits slowly
    for (auto& thread : queued) thread.join();
    EXPECT_EQ(queuedServed.load(), 0);

    int ran = 0;
    for (int i = 0; i < kClients; ++i) {
        ran += readFile("/tmp/atexit" + std::to_string(i)) == std::to_string(i) + "\n";
    }
    EXPECT_EQ(ran, kClients);
    EXPECT_GE(findLog(logTexts(), "[ProcessMonitor] Processes to launch: 16"), 0);
    EXPECT_EQ(logTexts().back(), "[Main] Finished");
    const int closeFrames = static_cast<int>(std::count(closed.begin(), closed.end(), true));
    recordFigure("faults", "SIGTERM while 16 clients start children",
                 std::to_string(ran) + " of 16 at-exit records ran, " +
                     std::to_string(closeFrames) + " of 16 close frames, exit " +
                     std::to_string(service.waitExit(0s).value_or(-1)) +
                     " after the last client left; " + std::to_string(kQueued - queuedServed) +
                     " of " + std::to_string(kQueued) + " queued connections dropped");
    recordFigure("lost", "close frames at shutdown", std::to_string(kClients - closeFrames));
}

TEST_F(Faults, StalledClientCostsTheReadersAfterItNothingOfTheirCloseFrames)
{
    // Send buffers of 4 KiB in this test's own namespace: a few pongs fill the stalled
    // connection, and the rest wait in its queue when the stop comes.
    std::ofstream("/proc/sys/net/ipv4/tcp_wmem") << "4096 4096 4096\n";
    ASSERT_EQ(readFile("/proc/sys/net/ipv4/tcp_wmem"), "4096\t4096\t4096\n");
    // Registered first, so that the drain comes to it before the readers.
    VpnTest::WsClient stalled(kService, 4096);
    stalled.handshake();
    for (int i = 0; i < 1000; ++i) stalled.sendFrame(0x89, std::string(125, 'p'));
    stalled.sendFrame(0x81, "stop: 99999");  // logged once every ping before it is answered
    ASSERT_TRUE(waitForLog("Request: [stop: 99999]", 20s));
    std::vector<std::unique_ptr<Client>> readers;
    for (int i = 0; i < 5; ++i) {
        readers.push_back(std::make_unique<Client>());
        ASSERT_TRUE(answers(*readers.back())) << "reader " << i;
    }

    const auto signalled = Clock::now();
    service.signal(SIGTERM);
    Clock::duration slowest{};
    int closeFrames = 0;
    for (auto& reader : readers) {
        const auto frame = reader->receive(10s);
        slowest = std::max(slowest, Clock::now() - signalled);
        if (frame && frame->flags == 0x88 && frame->payload == std::string("\x03\xe8", 2))
            ++closeFrames;
        reader->sendClose();
    }
    EXPECT_EQ(closeFrames, 5);
    // Without the stalled client they arrive at once; beside it, no later. Waiting for the
    // stalled one's backlog would take a send time-out (5 s); a sanitizer's build beside the
    // suite took 2.0 s to stop and send them at all.
    EXPECT_LT(slowest, sanitizerBuild() ? 3s : 1s) << seconds(slowest);
    EXPECT_EQ(service.waitExit(20s), 0);
    recordFigure("faults", "SIGTERM with a stalled client registered before 5 readers",
                 std::to_string(closeFrames) + " of 5 readers' close frames, the last " +
                     seconds(slowest) + " after the signal");
}

TEST_F(Faults, SecondInstanceEndsWith70AndTheFirstKeepsServing)
{
    Client before;
    before.send("start: /bin/sleep 60");
    const int pid = startedPid(before.receiveText(), "sleep");
    ASSERT_GT(pid, 0);
    const int descriptors = descriptorCount(service.pid());

    ServiceProcess second;
    EXPECT_EQ(second.waitExit(30s), 70);

    // The first instance's client, child and listening socket are all still its own.
    before.send("stop: " + std::to_string(pid));
    const bool stopped = before.receiveText(10s) == "finished:" + std::to_string(pid) + ",0,sleep";
    EXPECT_TRUE(stopped);
    Client after;
    const bool served = answers(after);
    EXPECT_TRUE(served);
    EXPECT_EQ(descriptorCount(service.pid()), descriptors + 1);  // `after`'s connection
    recordFigure("faults", "second instance started while one runs",
                 "exit " + std::to_string(second.waitExit(0s).value_or(-1)) +
                     (stopped && served ? "; the first kept serving old and new clients"
                                        : "; the first did NOT keep serving"));
}

}  // namespace
