#pragma once

#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>

#include <chrono>
#include <memory>
#include <thread>

namespace Poco::Net {
class TCPServerDispatcher;
}

namespace VpnService {

class HeadWatch;

// The HTTP server of the service: Poco::Net::HTTPServer's own parts (its request and
// response classes, dispatcher, the framework's default thread pool, queue and limits),
// with an acceptor thread that sleeps until a connection arrives or a request head is
// due. HTTPServer's acceptor wakes four times a second to poll its socket, which is most
// of what an idle service costs.
//
// Each connection carries one request. Its whole head must have been read within the
// head time-out, counted from the accept: the framework's time-out bounds each receive
// only, so a client sending a byte now and then would hold a worker thread for ever. A
// connection that waits in the queue behind busy workers while its head seems complete
// in the socket's buffer is not closed for it; once a worker takes it up, the reading
// has one more time-out (see HeadWatch). After the answer the connection closes,
// whatever the answer was; the WebSocket handler keeps its connection as long as it
// lives. The acceptor thread also writes the summaries of refused requests' log lines
// (RequestLog).
//
// Thread safety: start() and stop() belong to one thread (the main thread); the acceptor
// thread accepts, enqueues and closes overdue connections.
class HttpAcceptor {
public:
    static constexpr std::chrono::seconds kHeadTimeout{10};

    // Takes a share of the listening socket; accepts nothing before start(). Throws
    // Poco::SystemException when the acceptor's wake-up pipe, or the request log's
    // descriptor, cannot be made.
    HttpAcceptor(Poco::Net::HTTPRequestHandlerFactory::Ptr factory,
                 const Poco::Net::ServerSocket& socket,
                 const Poco::Net::HTTPServerParams::Ptr& params,
                 std::chrono::seconds headTimeout = kHeadTimeout);
    // stop(), then lets go of the dispatcher (worker threads that still serve a
    // connection keep it until they end). Never throws.
    ~HttpAcceptor();
    HttpAcceptor(const HttpAcceptor&) = delete;
    HttpAcceptor& operator=(const HttpAcceptor&) = delete;

    // Starts the acceptor thread. Throws std::system_error when it cannot be started.
    void start();
    // Stops accepting, closes every connection that has not sent its whole request head,
    // drops the connections queued for a worker, and answers 503 to a request whose head
    // is read from now on. Connections being served go on. Returns once the acceptor
    // thread has ended.
    void stop();

private:
    void run();  // acceptor thread

    Poco::Net::ServerSocket m_socket;
    // Shared with the connections, which may outlive the acceptor.
    std::shared_ptr<HeadWatch> m_watch;
    Poco::Net::TCPServerDispatcher* m_dispatcher;  // one reference, ours
    int m_wakeRead = -1;  // becomes readable when stop() asks the acceptor to end
    int m_wakeWrite = -1;
    std::thread m_thread;
};

}  // namespace VpnService
