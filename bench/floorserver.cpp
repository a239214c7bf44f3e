#include "bench/floorserver.h"

#include <Poco/Buffer.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/Timespan.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
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

// The exit code a finished message carries: the service's own rule (the code of a normal
// exit, 128 + the signal for a death by any signal but SIGKILL, 0 for SIGKILL).
int exitCodeOf(int status)
{
    if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGKILL ? 0 : 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

const char* const kHandlerTag = "[WebSocketHandler] ";

class FloorHandler : public Poco::Net::HTTPRequestHandler {
public:
    FloorHandler(FloorServer::Kind kind, FloorServer& server, PendingChildren& children,
                 const FloorLog* log)
        : m_kind(kind), m_server(server), m_children(children), m_log(log)
    {
    }

    void handleRequest(Poco::Net::HTTPServerRequest& request,
                       Poco::Net::HTTPServerResponse& response) override
    {
        std::shared_ptr<FloorServer::Connection> connection;
        try {
            connection = std::make_shared<FloorServer::Connection>(WebSocket(request, response));
            WebSocket& socket = connection->socket;
            socket.setReceiveTimeout(Poco::Timespan(86400, 0));
            socket.setSendTimeout(Poco::Timespan(5, 0));
            if (m_kind == FloorServer::Kind::Spawn) m_server.enter(connection);
            Poco::Buffer<char> buffer(0);
            for (;;) {
                buffer.resize(0);
                int flags = 0;
                const int n = socket.receiveFrame(buffer, flags);
                if (n <= 0 || (flags & WebSocket::FRAME_OP_BITMASK) == WebSocket::FRAME_OP_CLOSE)
                    break;
                const std::string text(buffer.begin(), static_cast<std::size_t>(n));
                if (m_kind == FloorServer::Kind::Echo) {
                    // Byte for byte, without the service's final NUL.
                    socket.sendFrame(text.data(), static_cast<int>(text.size()),
                                     WebSocket::FRAME_TEXT);
                } else {
                    connection->send(spawn(text));
                }
            }
        } catch (const std::exception&) {
            // The client went away: this connection is over, the server goes on.
        }
        if (connection) m_server.leave(connection);
    }

private:
    // "start: <path> <args...>": the words after the command word are the child's argv.
    // Logged as the service logs a start: the request, then the started message.
    std::string spawn(const std::string& request)
    {
        m_log->information(kHandlerTag + ("Request: [" + request + "]"));
        std::vector<std::string> argv = words(request);
        if (argv.size() < 2) return "error:0,parse command error";
        argv.erase(argv.begin());
        try {
            bool reaped = false;
            int status = 0;
            const pid_t pid = spawnAndPeek(argv, &reaped, &status);
            const std::string name = nameOf(argv[0]);
            if (reaped)
                m_children.addEnded({pid, status, name});
            else
                m_children.add(pid, name);
            const std::string started = "started:" + std::to_string(pid) + ",0," + name;
            m_log->information(kHandlerTag + ("Started (" + started + ")"));
            return started;
        } catch (const std::exception& e) {
            return std::string("error:0,") + e.what();
        }
    }

    FloorServer::Kind m_kind;
    FloorServer& m_server;
    PendingChildren& m_children;
    const FloorLog* m_log;  // Spawn only
};

class FloorFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    FloorFactory(FloorServer::Kind kind, FloorServer& server, PendingChildren& children,
                 const FloorLog* log)
        : m_kind(kind), m_server(server), m_children(children), m_log(log)
    {
    }
    Poco::Net::HTTPRequestHandler* createRequestHandler(
        const Poco::Net::HTTPServerRequest&) override
    {
        return new FloorHandler(m_kind, m_server, m_children, m_log);
    }

private:
    FloorServer::Kind m_kind;
    FloorServer& m_server;
    PendingChildren& m_children;
    const FloorLog* m_log;
};

}  // namespace

void FloorServer::Connection::send(const std::string& payload)
{
    // The service's messages end in a NUL.
    std::lock_guard<std::mutex> lock(sendMutex);
    socket.sendFrame(payload.c_str(), static_cast<int>(payload.size()) + 1, WebSocket::FRAME_TEXT);
}

FloorServer::FloorServer(Kind kind, const std::string& logPath, const std::string& errorPath)
    : m_pool(2, 16, 60)
{
    if (kind == Kind::Spawn) m_log = std::make_unique<FloorLog>(logPath, errorPath);
    Poco::Net::ServerSocket socket(Poco::Net::SocketAddress("127.0.0.1", 0), 64);
    m_address = socket.address();
    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    params->setTimeout(Poco::Timespan(1, 0, 0, 0, 0));
    m_server = std::make_unique<Poco::Net::HTTPServer>(
        new FloorFactory(kind, *this, m_children, m_log.get()), m_pool, socket, params);
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

void FloorServer::enter(const std::shared_ptr<Connection>& connection)
{
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.push_back(connection);
}

void FloorServer::leave(const std::shared_ptr<Connection>& connection)
{
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    m_connections.erase(std::remove(m_connections.begin(), m_connections.end(), connection),
                        m_connections.end());
}

void FloorServer::sweep()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, std::chrono::seconds(1), [this] { return m_stopping; })) {
        lock.unlock();
        announce(m_children.reap());
        lock.lock();
    }
}

void FloorServer::announce(const std::vector<EndedChild>& ended)
{
    if (ended.empty()) return;
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        connections = m_connections;
    }
    for (const EndedChild& child : ended) {
        const std::string finished = "finished:" + std::to_string(child.pid) + "," +
                                     std::to_string(exitCodeOf(child.status)) + "," + child.name;
        m_log->information("[ProcessMonitor] Finished (" + finished + ")");
        for (const auto& connection : connections) {
            try {
                connection->send(finished);
            } catch (const std::exception&) {
                // That client has gone; its worker leaves the list, the others still hear.
            }
        }
    }
}

}  // namespace VpnBench
