// The service's HTTP server: it serves like the framework's HTTPServer, stops as it does,
// and sleeps while nobody connects.
#include "channel/httpacceptor.h"

#include <Poco/Event.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>

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
        const Poco::Net::HTTPServerRequest&) override
    {
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

struct Server {
    explicit Server(Factory* factory)
        : socket(Poco::Net::SocketAddress("127.0.0.1", 0)),
          acceptor(factory, socket, new Poco::Net::HTTPServerParams)
    {
    }
    Poco::Net::ServerSocket socket;
    VpnService::HttpAcceptor acceptor;
};

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

TEST(HttpAcceptor, DestroyedWithoutStartOrStop)
{
    {
        Server unstarted(new Factory);
    }
    Server started(new Factory);
    started.acceptor.start();
    // The destructor stops it.
}

}  // namespace
