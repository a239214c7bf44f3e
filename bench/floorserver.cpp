#include "bench/floorserver.h"

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Timespan.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

using Poco::Net::WebSocket;

namespace VpnBench {

namespace {

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> result;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        const std::string::size_type end = std::min(text.find(' ', start), text.size());
        if (end > start) result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::string nameOf(const std::string& path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    return name.substr(0, name.rfind('.'));
}

class FloorHandler : public Poco::Net::HTTPRequestHandler {
public:
    FloorHandler(FloorServer::Kind kind, PendingChildren& children)
        : m_kind(kind), m_children(children)
    {
    }

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override
    {
        try {
            WebSocket socket(request, response);
            socket.setReceiveTimeout(Poco::Timespan(86400, 0));
            socket.setSendTimeout(Poco::Timespan(5, 0));
            Poco::Buffer<char> buffer(0);
            for (;;) {
                buffer.resize(0);
                int flags = 0;
                const int n = socket.receiveFrame(buffer, flags);
                if (n <= 0 || (flags & WebSocket::FRAME_OP_BITMASK) == WebSocket::FRAME_OP_CLOSE)
                    break;
                const std::string text(buffer.begin(), static_cast<std::size_t>(n));
                const std::string reply = m_kind == FloorServer::Kind::Echo ? text : spawn(text);
                // The service's replies end in a NUL; the echo stays byte for byte.
                const int length =
                    static_cast<int>(reply.size()) + (m_kind == FloorServer::Kind::Echo ? 0 : 1);
                socket.sendFrame(reply.c_str(), length, WebSocket::FRAME_TEXT);
            }
        } catch (const std::exception&) {
            // The client went away: this connection is over, the server goes on.
        }
    }

private:
    // "start: <path> <args...>": the words after the command word are the child's argv.
    std::string spawn(const std::string& request)
    {
        std::vector<std::string> argv = words(request);
        if (argv.size() < 2) return "error:0,parse command error";
        argv.erase(argv.begin());
        try {
            bool reaped = false;
            const pid_t pid = spawnAndPeek(argv, &reaped);
            if (!reaped) m_children.add(pid);
            return "started:" + std::to_string(pid) + ",0," + nameOf(argv[0]);
        } catch (const std::exception& e) {
            return std::string("error:0,") + e.what();
        }
    }

    FloorServer::Kind m_kind;
    PendingChildren& m_children;
};

class FloorFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    FloorFactory(FloorServer::Kind kind, PendingChildren& children)
        : m_kind(kind), m_children(children)
    {
    }
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override
    {
        return new FloorHandler(m_kind, m_children);
    }

private:
    FloorServer::Kind m_kind;
    PendingChildren& m_children;
};

}  // namespace

FloorServer::FloorServer(Kind kind) : m_pool(2, 16, 60)
{
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0), 64);
    m_address = socket.address();
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setTimeout(Poco::Timespan(1, 0, 0, 0, 0));
    m_server = std::make_unique<Poco::Net::HTTPServer>(new FloorFactory(kind, m_children), m_pool,
                                                       socket, params);
    m_server->start();
    if (kind == Kind::Spawn) m_sweeper = std::thread(&FloorServer::sweep, this);
}

FloorServer::~FloorServer()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_sweeper.joinable()) m_sweeper.join();
    m_server->stopAll(true);
    m_pool.joinAll();
    m_children.reapAll();
}

void FloorServer::sweep()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; })) {
        m_children.reap();
    }
}

}  // namespace VpnBench
