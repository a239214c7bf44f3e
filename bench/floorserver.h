#pragma once

#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/ThreadPool.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/spawn.h"

namespace VpnBench {

// A minimal server with the service's framework and thread model (Poco HTTPServer, one
// pooled worker per WebSocket connection, blocking receive and send) on an ephemeral
// loopback port. Echo answers each frame with its own payload (floor b); Spawn launches
// the request's words as a child, peeks at it once and answers "started:<pid>,0,<name>"
// (floor c), with a sweeper that reaps once a second as the service's watcher does.
// Constructed and destroyed on one thread; the workers are its own.
class FloorServer {
public:
    enum class Kind { Echo, Spawn };

    explicit FloorServer(Kind kind);
    // Stops the server (open connections should be closed first) and reaps every child.
    ~FloorServer();
    FloorServer(const FloorServer&) = delete;
    FloorServer& operator=(const FloorServer&) = delete;

    Poco::Net::SocketAddress address() const { return m_address; }

private:
    void sweep();

    PendingChildren m_children;
    Poco::ThreadPool m_pool;  // the framework's default pool's capacities
    std::unique_ptr<Poco::Net::HTTPServer> m_server;
    Poco::Net::SocketAddress m_address;
    std::mutex m_mutex;  // guards m_stopping, with m_wake for the sweeper
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_sweeper;
};

}  // namespace VpnBench
