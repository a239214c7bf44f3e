#include "channel/httpacceptor.h"

#include <Poco/ErrorHandler.h>
#include <Poco/Exception.h>
#include <Poco/Net/HTTPServerConnectionFactory.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/Net/TCPServerDispatcher.h>
#include <Poco/ThreadPool.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

namespace VpnService {

HttpAcceptor::HttpAcceptor(Poco::Net::HTTPRequestHandlerFactory::Ptr factory,
                           const Poco::Net::ServerSocket& socket,
                           const Poco::Net::HTTPServerParams::Ptr& params)
    : m_socket(socket),
      m_dispatcher(new Poco::Net::TCPServerDispatcher(
          new Poco::Net::HTTPServerConnectionFactory(params, std::move(factory)),
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
    pollfd fds[2] = {{m_socket.impl()->sockfd(), POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            // EINTR, or out of kernel memory: try again, as HTTPServer does after a pause.
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (fds[1].revents != 0) return;
        if (fds[0].revents == 0) continue;
        try {
            Poco::Net::StreamSocket socket = m_socket.acceptConnection();
            socket.setNoDelay(true);  // as HTTPServer does: replies are small frames
            m_dispatcher->enqueue(socket);
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
