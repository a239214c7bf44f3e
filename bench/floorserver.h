#pragma once

#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/ThreadPool.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/floorlog.h"
#include "bench/spawn.h"

namespace VpnBench {

// A minimal server with the service's framework and thread model (Poco HTTPServer, one
// pooled worker per WebSocket connection, blocking receive and send) on an ephemeral
// loopback port. Echo answers each frame with its own payload (floor b). Spawn does per
// start what any correct service must (floor c): it logs the request, launches its words
// as a child, peeks at it once, logs and sends "started:<pid>,0,<name>"; a sweeper reaps
// once a second, as the service's watcher does, logs each ended child and sends its
// "finished:<pid>,<code>,<name>" to every open connection.
// Constructed and destroyed on one thread; the workers and the sweeper are its own.
class FloorServer {
public:
    enum class Kind { Echo, Spawn };

    // One open WebSocket. Its send lock keeps the frames of the worker's replies and the
    // sweeper's broadcasts whole; it is held across a send because it guards nothing but
    // that socket (a blocked send holds up only the other sender to the same client, which
    // would wait for the socket anyway), and the socket's send time-out bounds it.
    struct Connection {
        explicit Connection(const Poco::Net::WebSocket& webSocket) : socket(webSocket) {}
        // Sends one text frame under the send lock. Throws the framework's exceptions.
        void send(const std::string& payload);

        Poco::Net::WebSocket socket;
        std::mutex sendMutex;
    };

    // A Spawn server logs to logPath and errorPath (see FloorLog); Echo ignores both.
    // Throws what the framework or FloorLog throws.
    FloorServer(Kind kind, const std::string& logPath = {}, const std::string& errorPath = {});
    // Stops the server (open connections should be closed first) and reaps every child.
    ~FloorServer();
    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    Poco::Net::SocketAddress address() const { return m_address; }

    // For the workers: an open connection hears of ended children until it is left.
    void enter(const std::shared_ptr<Connection>& connection);
    void leave(const std::shared_ptr<Connection>& connection);

private:
    void sweep();
    // Logs each ended child and sends its finished message to every open connection.
    void announce(const std::vector<EndedChild>& ended);

    std::unique_ptr<FloorLog> m_log;  // Spawn only
    PendingChildren m_children;
    std::mutex m_connectionsMutex;  // guards m_connections; never held across a send
    std::vector<std::shared_ptr<Connection>> m_connections;
    Poco::ThreadPool m_pool;  // the framework's default pool's capacities
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
    Poco::Net::SocketAddress m_address;
    std::mutex m_mutex;  // guards m_stopping, with m_wake for the sweeper
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_sweeper;
};

}  // namespace VpnBench
