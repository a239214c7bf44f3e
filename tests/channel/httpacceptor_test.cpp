// The service's HTTP server: it serves like the framework's HTTPServer, stops as it does,
// and sleeps while nobody connects.
#include "channel/httpacceptor.h"

#include <Poco/Event.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/ThreadPool.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/headwatch.h"
#include "core/logtext.h"
#include "tests/channel/channelserver.h"

namespace {

using namespace std::chrono_literals;

// Answers 200 "ok"; when gated, only after the test opens the gate.
class Handler : public Poco::Net::HTTPRequestHandler {
public:
    Handler(Poco::Event* entered, Poco::Event* gate) : m_entered(entered), m_gate(gate) {}
    void handleRequest(Poco::Net::HTTPServerRequest&,
                       Poco::Net::HTTPServerResponse& response) override
    {
        if (m_gate != nullptr) {
            m_entered->set();
            m_gate->wait();
        }
        response.setContentLength(2);
        response.send() << "ok";
    }

private:
    Poco::Event* m_entered;
    Poco::Event* m_gate;
};

class Factory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    Factory(Poco::Event* entered = nullptr, Poco::Event* gate = nullptr)
        : m_entered(entered), m_gate(gate)
    {
    }
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest& request) override
    {
        if (request.getURI() == "/none") return nullptr;  // the server answers 501
        return new Handler(m_entered, m_gate);
    }

private:
    Poco::Event* m_entered;
    Poco::Event* m_gate;
};

// A GET through a fresh connection: the body, or "" when no answer came in time.
std::string get(const Poco::Net::SocketAddress& address, std::chrono::milliseconds timeout = 20s)
{
    try {
        Poco::Net::HTTPClientSession session(address);
        session.setTimeout(Poco::Timespan(std::chrono::microseconds(timeout).count()));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/");
        session.sendRequest(request);
        Poco::Net::HTTPResponse response;
        std::ostringstream body;
        Poco::StreamCopier::copyStream(session.receiveResponse(response), body);
        return body.str();
    } catch (const Poco::Exception&) {
        return "";
    }
}

std::set<int> threadIds()
{
    std::set<int> ids;
    DIR* tasks = opendir("/proc/self/task");
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] != '.') ids.insert(std::stoi(entry->d_name));
    }
    closedir(tasks);
    return ids;
}

// Voluntary context switches of the threads not in `earlier`: how often they went to
// sleep.
long long sleepsOfThreadsSince(const std::set<int>& earlier)
{
    long long total = 0;
    for (const int id : threadIds()) {
        if (earlier.count(id) != 0) continue;
        std::ifstream status("/proc/self/task/" + std::to_string(id) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stoll(line.substr(24));
        }
    }
    return total;
}

Poco::Net::HTTPServerParams::Ptr params(int maxThreads = 0)
{
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    if (maxThreads > 0) params->setMaxThreads(maxThreads);  // 0: as many as the pool holds
    return params;
}

struct Server {
    explicit Server(Factory* factory, std::chrono::seconds headTimeout = 10s,
                    Poco::Net::HTTPServerParams::Ptr serverParams = params())
        : socket(Poco::Net::SocketAddress("127.0.0.1", 0)),
          acceptor(factory, socket, serverParams, headTimeout)
    {
    }
    // A worker goes on for a moment after its connection, releasing the framework's
    // per-connection objects: the test must not end, and run the framework's static
    // destructors, under it (the service's own drain waits for the pool likewise).
    ~Server()
    {
        acceptor.stop();
        Poco::ThreadPool::defaultPool().joinAll();
    }
    Poco::Net::ServerSocket socket;
    VpnService::HttpAcceptor acceptor;
};

const std::string kHead = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

TEST(HttpAcceptor, ServesEveryConnection)
{
    Server server(new Factory);
    server.acceptor.start();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(server.socket.address()), "ok") << "request " << i;
}

TEST(HttpAcceptor, StopEndsAcceptingWhileServedConnectionsGoOn)
{
    Poco::Event entered;
    Poco::Event gate;
    Server server(new Factory(&entered, &gate));
    server.acceptor.start();
    auto served = std::async(std::launch::async, [&] { return get(server.socket.address()); });
    ASSERT_TRUE(entered.tryWait(5000));

    const auto before = std::chrono::steady_clock::now();
    server.acceptor.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "stop waits for the next poll";
    gate.set();
    EXPECT_EQ(served.get(), "ok");

    // The listening socket is still open, so the kernel queues this one; nobody serves it.
    EXPECT_EQ(get(server.socket.address(), 500ms), "");
}

TEST(HttpAcceptor, IdleAcceptorDoesNotWakeUp)
{
    Server server(new Factory);
    // The framework's pool (and a sanitizer's helper) exist by now; the acceptor does not.
    const std::set<int> earlier = threadIds();
    server.acceptor.start();
    EXPECT_EQ(get(server.socket.address()), "ok");  // the workers have run once
    std::this_thread::sleep_for(100ms);
    const long long before = sleepsOfThreadsSince(earlier);
    std::this_thread::sleep_for(1200ms);
    // HTTPServer's acceptor polls every 250 ms: it would have slept four times or more.
    EXPECT_LE(sleepsOfThreadsSince(earlier) - before, 1);
}

// What the server sends until it closes the connection, followed by "<open>" when it has
// not closed it within the time-out.
std::string readUntilClosed(Poco::Net::StreamSocket& socket, std::chrono::milliseconds timeout)
{
    std::string bytes;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 ||
            !socket.poll(Poco::Timespan(left.count()), Poco::Net::Socket::SELECT_READ))
            return bytes + "<open>";
        int n = 0;
        try {
            n = socket.receiveBytes(buffer, sizeof buffer);
        } catch (const Poco::Exception&) {
            return bytes;  // reset
        }
        if (n <= 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

Poco::Net::StreamSocket connectTo(const Poco::Net::SocketAddress& address)
{
    Poco::Net::StreamSocket socket;
    socket.connect(address);
    return socket;
}

TEST(HttpAcceptor, WholeHeadMustArriveWithinTheBoundHoweverItTrickles)
{
    Server server(new Factory, 1s);
    server.acceptor.start();
    auto trickling = connectTo(server.socket.address());
    auto split = connectTo(server.socket.address());
    split.sendBytes(kHead.data(), 20);

    // A byte every 100 ms passes any per-receive time-out, never the bound.
    const auto begin = std::chrono::steady_clock::now();
    bool rest = false;
    std::string trickled = "<open>";
    while (trickled == "<open>" && std::chrono::steady_clock::now() - begin < 5s) {
        try {
            trickling.sendBytes("X", 1);
        } catch (const Poco::Exception&) {
        }
        trickled = readUntilClosed(trickling, 100ms);
        if (!rest && std::chrono::steady_clock::now() - begin > 500ms) {
            split.sendBytes(kHead.data() + 20, static_cast<int>(kHead.size() - 20));
            rest = true;
        }
    }
    const auto closedAfter = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(trickled, "");  // closed without an answer
    EXPECT_GE(closedAfter, 900ms);
    EXPECT_LT(closedAfter, 3s);
    EXPECT_TRUE(ChannelTest::eventually([] {  // written just after the close
        return ChannelTest::logCount(
                   "[HttpAcceptor] Request head not complete within 1 s: closed 127.0.0.1:") == 1;
    }));
    // The head that was whole in time is served.
    const std::string answer = readUntilClosed(split, 5s);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 2), "ok") << answer;
}

// Sends one byte every 300 ms to each client until the server has closed them all or the
// time-out passes; returns how long after the start each was closed (the time-out for one
// still open) and, in `answers`, what each received.
std::vector<std::chrono::milliseconds> trickleUntilClosed(
    std::vector<Poco::Net::StreamSocket>& clients, std::chrono::milliseconds timeout,
    std::vector<std::string>& answers)
{
    const auto begin = std::chrono::steady_clock::now();
    std::vector<std::chrono::milliseconds> closedAfter(clients.size(), timeout);
    std::vector<bool> open(clients.size(), true);
    answers.assign(clients.size(), "");
    while (std::chrono::steady_clock::now() - begin < timeout &&
           std::find(open.begin(), open.end(), true) != open.end()) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (!open[i]) continue;
            try {
                clients[i].sendBytes("X", 1);
            } catch (const Poco::Exception&) {
            }
        }
        std::this_thread::sleep_for(300ms);
        for (std::size_t i = 0; i < clients.size(); ++i) {
            if (!open[i]) continue;
            const std::string got = readUntilClosed(clients[i], 1ms);
            const bool stillOpen = got.size() >= 6 && got.substr(got.size() - 6) == "<open>";
            answers[i] += stillOpen ? got.substr(0, got.size() - 6) : got;
            if (!stillOpen) {
                open[i] = false;
                closedAfter[i] = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - begin);
            }
        }
    }
    return closedAfter;
}

TEST(HttpAcceptor, NoLeadingBytesStretchTheHeadBound)
{
    Server server(new Factory, 1s);
    server.acceptor.start();
    // The framework skips leading blank lines, and white space of any kind after the
    // method and the path: none of these ends a head, whatever line ends they hold.
    const std::vector<std::string> prefixes = {"\n\n", "GET\n\n", "GET /\n\n"};
    std::vector<Poco::Net::StreamSocket> clients;
    for (const std::string& prefix : prefixes) {
        clients.push_back(connectTo(server.socket.address()));
        clients.back().sendBytes(prefix.data(), static_cast<int>(prefix.size()));
    }
    std::vector<std::string> answers;
    const auto closedAfter = trickleUntilClosed(clients, 5s, answers);
    for (std::size_t i = 0; i < prefixes.size(); ++i) {
        EXPECT_EQ(answers[i], "") << LogText::escaped(prefixes[i]);
        EXPECT_GE(closedAfter[i], 900ms) << LogText::escaped(prefixes[i]);
        EXPECT_LT(closedAfter[i], 3s) << LogText::escaped(prefixes[i]);
    }
    EXPECT_TRUE(ChannelTest::eventually([&] {
        return ChannelTest::logCount("[HttpAcceptor] Request head not complete within 1 s") ==
               static_cast<int>(prefixes.size());
    }));
}

TEST(HttpAcceptor, QueuedConnectionWhoseHeadHasArrivedOutlivesTheBound)
{
    Poco::Event entered;
    Poco::Event gate(Poco::Event::EVENT_MANUALRESET);  // stays open for the queued one too
    Server server(new Factory(&entered, &gate), 1s, params(1));  // one worker
    server.acceptor.start();
    auto busy = std::async(std::launch::async, [&] { return get(server.socket.address()); });
    ASSERT_TRUE(entered.tryWait(5000));

    auto queued = connectTo(server.socket.address());
    queued.sendBytes(kHead.data(), static_cast<int>(kHead.size()));
    // Seems whole in the buffer as well, but the framework reads on after the method.
    auto seemsWhole = connectTo(server.socket.address());
    seemsWhole.sendBytes("GET\n\n", 5);
    std::this_thread::sleep_for(2500ms);  // well past the bound, still in the queue
    gate.set();
    EXPECT_EQ(busy.get(), "ok");
    const std::string answer = readUntilClosed(queued, 5s);
    EXPECT_EQ(answer.substr(answer.size() < 2 ? 0 : answer.size() - 2), "ok") << answer;
    // Taken up next, it has one more bound for its reading.
    const auto takenUp = std::chrono::steady_clock::now();
    EXPECT_EQ(readUntilClosed(seemsWhole, 5s), "");
    EXPECT_LT(std::chrono::steady_clock::now() - takenUp, 2500ms);
}

// A worker took up, just before its time ran out, a connection that had waited in the queue
// with its whole head; the deadline then passed while the head was parsed (seen under ASan).
TEST(HeadWatch, HeadTakenUpWholeJustBeforeItsTimeIsNotClosedWhileParsed)
{
    Poco::Net::ServerSocket listener(Poco::Net::SocketAddress("127.0.0.1", 0));
    VpnService::HeadWatch watch(1s);
    const struct {
        std::string sent;
        bool closed;
    } cases[] = {{kHead, false}, {"GET / HTTP/1.1\r\nHost: 127", true}};
    for (const auto& c : cases) {
        auto client = connectTo(listener.address());
        client.sendBytes(c.sent.data(), static_cast<int>(c.sent.size()));
        Poco::Net::SocketAddress peer;
        const Poco::Net::StreamSocket accepted = listener.acceptConnection(peer);
        watch.add(accepted, peer);
        std::this_thread::sleep_for(900ms);
        ASSERT_TRUE(watch.begin(accepted));
        std::this_thread::sleep_for(300ms);  // past the first deadline, still being parsed
        watch.expire();
        EXPECT_EQ(watch.finish(accepted), !c.closed) << c.sent;
    }
}

TEST(HttpAcceptor, EveryAnswerClosesTheConnection)
{
    Server server(new Factory);
    server.acceptor.start();
    struct Case {
        std::string request;
        std::string status;
    };
    const Case cases[] = {
        {kHead, "HTTP/1.1 200 OK"},
        {"GET /none HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 501 Not Implemented"},
        {"NOT HTTP\r\n\r\n", "HTTP/1.1 400 Bad Request"},
    };
    for (const Case& c : cases) {
        auto socket = connectTo(server.socket.address());
        socket.sendBytes(c.request.data(), static_cast<int>(c.request.size()));
        // Closed at once after the answer, not held for a next request.
        const std::string answer = readUntilClosed(socket, 2s);
        EXPECT_EQ(answer.rfind(c.status + "\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("Connection: Close\r\n"), std::string::npos) << answer;
        EXPECT_EQ(answer.find("<open>"), std::string::npos) << answer;
    }
}

TEST(HttpAcceptor, StopClosesConnectionsThatHaveNotSentTheirHead)
{
    Server server(new Factory);
    server.acceptor.start();
    auto half = connectTo(server.socket.address());
    half.sendBytes(kHead.data(), 20);
    auto silent = connectTo(server.socket.address());
    // Accepted in order: once a later connection is answered, both are the server's.
    ASSERT_EQ(get(server.socket.address()), "ok");
    server.acceptor.stop();
    EXPECT_EQ(readUntilClosed(half, 1s), "");
    EXPECT_EQ(readUntilClosed(silent, 1s), "");
    EXPECT_TRUE(ChannelTest::eventually([] {
        return ChannelTest::logCount("[HttpAcceptor] Stopping: closed 2 connections") == 1;
    }));
}

// This process's descriptor of the server end of the connection whose client end is
// `client`, or -1.
int serverEndOf(const Poco::Net::SocketAddress& client)
{
    DIR* fds = opendir("/proc/self/fd");
    int found = -1;
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (fd > 2 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
            peer.ss_family == AF_INET &&
            Poco::Net::SocketAddress(reinterpret_cast<sockaddr*>(&peer), length) == client)
            found = fd;
    }
    closedir(fds);
    return found;
}

TEST(HttpAcceptor, ConnectionIsCloseOnExecBeforeItsRequestHeadIsComplete)
{
    Server server(new Factory);
    server.acceptor.start();
    // Half a request head: the worker still waits for the rest, long before any handler.
    auto client = connectTo(server.socket.address());
    client.sendBytes(kHead.data(), 20);
    int fd = -1;
    ASSERT_TRUE(ChannelTest::eventually([&] { return (fd = serverEndOf(client.address())) >= 0; }))
        << "the connection was not accepted";
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    // The worker ends with the connection, before the process's static destructors run.
    client.close();
    server.acceptor.stop();
    Poco::ThreadPool::defaultPool().joinAll();
}

TEST(HttpAcceptor, DestructorStopsAsStopDoes)
{
    {
        Server unstarted(new Factory);
    }
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0));
    Poco::Net::StreamSocket half;
    {
        // Not the fixture, which stops the acceptor itself.
        VpnService::HttpAcceptor acceptor(new Factory, socket, params());
        acceptor.start();
        half = connectTo(socket.address());
        half.sendBytes(kHead.data(), 20);
        ASSERT_EQ(get(socket.address()), "ok");  // accepted in order: half is the server's
    }
    EXPECT_EQ(readUntilClosed(half, 1s), "");
    EXPECT_TRUE(ChannelTest::eventually([] {
        return ChannelTest::logCount("[HttpAcceptor] Stopping: closed 1 connections") == 1;
    }));
    EXPECT_EQ(get(socket.address(), 500ms), "");  // nobody accepts any more
    Poco::ThreadPool::defaultPool().joinAll();
}

}  // namespace
