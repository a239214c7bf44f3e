#include "channel/httpacceptor.h"

#include <Poco/ErrorHandler.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPServerRequestImpl.h>
#include <Poco/Net/HTTPServerResponseImpl.h>
#include <Poco/Net/HTTPServerSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/StreamSocketImpl.h>
#include <Poco/Net/TCPServerConnection.h>
#include <Poco/Net/TCPServerConnectionFactory.h>
#include <Poco/Net/TCPServerDispatcher.h>
#include <Poco/ThreadPool.h>
#include <Poco/Timespan.h>
#include <Poco/Timestamp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "channel/headwatch.h"
#include "channel/requestlog.h"

namespace VpnService {

namespace {

using Poco::Net::HTTPResponse;

// Bounds every blocking answer of the HTTP exchange (the upgrade among them) to a client
// that does not read; the WebSocket's own frames are bounded by its handler.
const int kAnswerSendTimeoutSeconds = 5;

void sendError(Poco::Net::HTTPServerSession& session, HTTPResponse::HTTPStatus status)
{
    Poco::Net::HTTPServerResponseImpl response(session);
    response.setVersion(Poco::Net::HTTPMessage::HTTP_1_1);
    response.setStatusAndReason(status);
    response.setKeepAlive(false);
    response.send();
}

// One request on one connection, as HTTPServerConnection serves it, with the head under
// the watch and no keep-alive: every answer of this service but the upgrade is an error,
// and a connection kept open for a next request would hold a worker thread for nothing.
class Connection : public Poco::Net::TCPServerConnection {
public:
    Connection(const Poco::Net::StreamSocket& socket, Poco::Net::HTTPServerParams::Ptr params,
               Poco::Net::HTTPRequestHandlerFactory::Ptr factory, std::shared_ptr<HeadWatch> watch)
        : TCPServerConnection(socket),
          m_params(std::move(params)),
          m_factory(std::move(factory)),
          m_watch(std::move(watch))
    {
    }

    ~Connection() override { m_watch->finish(socket()); }  // however the exchange ended

    void run() override
    {
        Poco::Net::HTTPServerSession session(socket(), m_params);
        socket().setSendTimeout(Poco::Timespan(kAnswerSendTimeoutSeconds, 0));
        // The head stays under the watch until the framework has parsed it: only the
        // parser knows where a head ends.
        if (!m_watch->begin(socket())) return;  // closed by its time, or by the stop
        bool headRead = false;
        try {
            Poco::Net::HTTPServerResponseImpl response(session);
            Poco::Net::HTTPServerRequestImpl request(response, session, m_params);
            headRead = true;
            // The watch closed it meanwhile (its time was up, or the stop began).
            if (!m_watch->finish(socket())) return;
            if (m_watch->stopping()) {
                sendError(session, HTTPResponse::HTTP_SERVICE_UNAVAILABLE);
                return;
            }
            response.setDate(Poco::Timestamp());
            response.setVersion(request.getVersion());
            response.setKeepAlive(false);
            if (!m_params->getSoftwareVersion().empty())
                response.set("Server", m_params->getSoftwareVersion());
            serve(session, request, response);
        } catch (const Poco::Net::NoMessageException&) {
            // Closed before a request came: by the client, the head bound or the stop.
        } catch (const Poco::Net::MessageException&) {
            // A malformed head, unless the watch closed the connection in the middle of it.
            if (!headRead && m_watch->finish(socket()))
                sendError(session, HTTPResponse::HTTP_BAD_REQUEST);
        }
    }

private:
    void serve(Poco::Net::HTTPServerSession& session, Poco::Net::HTTPServerRequestImpl& request,
               Poco::Net::HTTPServerResponseImpl& response)
    {
        try {
            std::unique_ptr<Poco::Net::HTTPRequestHandler> handler(
                m_factory->createRequestHandler(request));
            if (!handler) {
                sendError(session, HTTPResponse::HTTP_NOT_IMPLEMENTED);
                return;
            }
            if (request.getExpectContinue() && response.getStatus() == HTTPResponse::HTTP_OK)
                response.sendContinue();
            handler->handleRequest(request, response);
        } catch (const std::exception&) {
            // As HTTPServerConnection: answered if nothing was, then to the dispatcher,
            // which hands it to the framework's error handler. A handler that could not
            // be made because the service stops meanwhile is a refusal, not a fault.
            if (!response.sent()) {
                try {
                    sendError(session, m_watch->stopping()
                                           ? HTTPResponse::HTTP_SERVICE_UNAVAILABLE
                                           : HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
                } catch (const std::exception&) {
                    // The client is gone; the failure that matters is rethrown below.
                }
            }
            throw;
        }
    }

    Poco::Net::HTTPServerParams::Ptr m_params;
    Poco::Net::HTTPRequestHandlerFactory::Ptr m_factory;
    std::shared_ptr<HeadWatch> m_watch;
};

// The shorter of two poll time-outs, -1 meaning none.
int earliest(int a, int b)
{
    if (a < 0) return b;
    if (b < 0) return a;
    return std::min(a, b);
}

// The framework's accept leaves the descriptor open across exec; marking it afterwards
// would leave a window in which the support scripts' or the kill-all's shell inherits
// it, and a connection it holds stays open after the service has closed it.
Poco::Net::StreamSocket acceptCloseOnExec(int listener, Poco::Net::SocketAddress& peer)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd;
    do {
        length = sizeof address;
        fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw Poco::Net::NetException("accept failed", std::strerror(errno), errno);
    // The socket object owns the descriptor from here on.
    Poco::Net::StreamSocket socket(new Poco::Net::StreamSocketImpl(fd));
    peer = Poco::Net::SocketAddress(reinterpret_cast<const sockaddr*>(&address), length);
    return socket;
}

class ConnectionFactory : public Poco::Net::TCPServerConnectionFactory {
public:
    ConnectionFactory(Poco::Net::HTTPServerParams::Ptr params,
                      Poco::Net::HTTPRequestHandlerFactory::Ptr factory,
                      std::shared_ptr<HeadWatch> watch)
        : m_params(std::move(params)), m_factory(std::move(factory)), m_watch(std::move(watch))
    {
    }

    Poco::Net::TCPServerConnection* createConnection(const Poco::Net::StreamSocket& socket) override
    {
        return new Connection(socket, m_params, m_factory, m_watch);
    }

private:
    Poco::Net::HTTPServerParams::Ptr m_params;
    Poco::Net::HTTPRequestHandlerFactory::Ptr m_factory;
    std::shared_ptr<HeadWatch> m_watch;
};

}  // namespace

HttpAcceptor::HttpAcceptor(Poco::Net::HTTPRequestHandlerFactory::Ptr factory,
                           const Poco::Net::ServerSocket& socket,
                           const Poco::Net::HTTPServerParams::Ptr& params,
                           std::chrono::seconds headTimeout)
    : m_socket(socket),
      m_watch(std::make_shared<HeadWatch>(headTimeout)),
      m_dispatcher(new Poco::Net::TCPServerDispatcher(
          new ConnectionFactory(params, std::move(factory), m_watch),
          Poco::ThreadPool::defaultPool(), params))
{
    int fds[2];
    // Close-on-exec: the shells that the service runs must not hold it.
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        m_dispatcher->release();
        throw Poco::SystemException("cannot create the acceptor's pipe", errno);
    }
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
    try {
        RequestLog::wakeDescriptor();  // made here, so that its failure cannot end the thread
    } catch (...) {
        ::close(m_wakeRead);
        ::close(m_wakeWrite);
        m_dispatcher->release();
        throw;
    }
}

HttpAcceptor::~HttpAcceptor()
{
    try {
        stop();
    } catch (const std::exception&) {
        // stop() only throws when the dispatcher cannot queue its stop notices (out of
        // memory); the workers then end with their connections.
    }
    m_dispatcher->release();
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
}

void HttpAcceptor::start() { m_thread = std::thread(&HttpAcceptor::run, this); }

void HttpAcceptor::stop()
{
    if (!m_thread.joinable()) return;
    const char byte = 0;
    while (::write(m_wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    m_dispatcher->stop();
}

void HttpAcceptor::run()
{
    // This thread writes the summaries of refused requests' lines, when each is due.
    RequestLog::attachTimer();
    pollfd fds[3] = {{m_socket.impl()->sockfd(), POLLIN, 0},
                     {m_wakeRead, POLLIN, 0},
                     {RequestLog::wakeDescriptor(), POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 3, earliest(m_watch->expire(), RequestLog::flushDue())) < 0) {
            // EINTR, or out of kernel memory: try again, as HTTPServer does after a pause.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (fds[1].revents != 0) {
            m_watch->stop();
            RequestLog::detachTimer();
            return;
        }
        if (fds[0].revents == 0) continue;  // a head or a summary was due
        try {
            Poco::Net::SocketAddress peer;
            Poco::Net::StreamSocket socket = acceptCloseOnExec(m_socket.impl()->sockfd(), peer);
            socket.setNoDelay(true);  // as HTTPServer does: replies are small frames
            m_watch->add(socket, peer);
            const int refused = m_dispatcher->refusedConnections();
            m_dispatcher->enqueue(socket);
            // The queue was full: the dispatcher lets the connection go, and so must the watch.
            if (m_dispatcher->refusedConnections() != refused) m_watch->finish(socket);
            m_watch->letGo(socket);
        } catch (const Poco::Exception& e) {
            // As HTTPServer: a failed accept (the peer gave up, or out of descriptors)
            // is reported to the framework's error handler and the next one is tried,
            // after a pause so that a lasting failure does not spin.
            Poco::ErrorHandler::handle(e);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } catch (const std::exception& e) {
            Poco::ErrorHandler::handle(e);  // out of memory: the acceptor must not end
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

}  // namespace VpnService
