#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>

#include <thread>

namespace Poco::Net {
class TCPServerDispatcher;
}

namespace VpnService {

// The HTTP server of the service: Poco::Net::HTTPServer's own parts (its connection
// class, dispatcher, the framework's default thread pool, queue and limits), with an
// acceptor thread that sleeps until a connection arrives. HTTPServer's acceptor wakes
// four times a second to poll its socket, which is most of what an idle service costs.
//
// Thread safety: start() and stop() belong to one thread (the main thread); the acceptor
// thread only accepts and enqueues.
class HttpAcceptor {
public:
    // Takes a share of the listening socket; accepts nothing before start(). Throws
    // Poco::SystemException when the acceptor's wake-up pipe cannot be made.
    HttpAcceptor(Poco::Net::HTTPRequestHandlerFactory::Ptr factory,
                 const Poco::Net::ServerSocket& socket,
                 const Poco::Net::HTTPServerParams::Ptr& params);
    // stop(), then lets go of the dispatcher (worker threads that still serve a
    // connection keep it until they end). Never throws.
    ~HttpAcceptor();
    HttpAcceptor(const HttpAcceptor&) = delete;
    HttpAcceptor& operator=(const HttpAcceptor&) = delete;

    // Starts the acceptor thread. Throws std::system_error when it cannot be started.
    void start();
    // Stops accepting and drops the connections queued for a worker, as HTTPServer::stop
    // does; connections being served go on. Returns once the acceptor thread has ended.
    void stop();

private:
    void run();  // acceptor thread

    Poco::Net::ServerSocket m_socket;
    Poco::Net::TCPServerDispatcher* m_dispatcher;  // one reference, ours
    int m_wakeRead = -1;  // becomes readable when stop() asks the acceptor to end
    int m_wakeWrite = -1;
    std::thread m_thread;
};

}  // namespace VpnService
