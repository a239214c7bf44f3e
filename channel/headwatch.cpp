#include "channel/headwatch.h"

#include <Poco/Ascii.h>
#include <Poco/Format.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "channel/requestlog.h"
#include "core/customlog.h"

namespace VpnService {

namespace {

// A head larger than this that waits in the queue when its time is up is closed; heads of
// real clients are a few hundred bytes.
const std::size_t kPeekBytes = std::size_t{64} * 1024;

void shutdownQuietly(const Poco::Net::StreamSocket& socket)
{
    // Wakes a connection thread that waits in a receive on it; a socket the peer has
    // reset already reports an error, which changes nothing.
    ::shutdown(socket.impl()->sockfd(), SHUT_RDWR);
}

}  // namespace

HeadWatch::HeadWatch(std::chrono::seconds limit) : m_limit(limit), m_peek(kPeekBytes) {}

HeadWatch::List::iterator HeadWatch::find(const Poco::Net::StreamSocket& socket)
{
    return std::find_if(m_pending.begin(), m_pending.end(),
                        [&](const Pending& p) { return p.socket.impl() == socket.impl(); });
}

void HeadWatch::rearm(List::iterator it, Clock::time_point now)
{
    it->deadline = now + m_limit;
    m_pending.splice(m_pending.end(), m_pending, it);
}

void HeadWatch::add(const Poco::Net::StreamSocket& socket, const Poco::Net::SocketAddress& peer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back({socket, peer, Clock::now() + m_limit});
}

void HeadWatch::letGo(Poco::Net::StreamSocket& share)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    share = Poco::Net::StreamSocket();  // no descriptor until it connects, which it never does
}

bool HeadWatch::begin(const Poco::Net::StreamSocket& socket)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = find(socket);
    if (it == m_pending.end()) return false;
    it->reading = true;
    // Its time was up while it waited, or may be about to be, with its head seemingly
    // whole: a client that waited behind busy workers must not lose its turn to a deadline
    // that runs out while its head is parsed, so the reading gets a bound of its own. A
    // later deadline needs no wake-up: the acceptor wakes by the earlier one, and plans
    // again.
    if (it->arrived || headBuffered(socket)) rearm(it, Clock::now());
    return true;
}

bool HeadWatch::finish(const Poco::Net::StreamSocket& socket)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = find(socket);
    if (it == m_pending.end()) return false;
    m_pending.erase(it);
    return true;
}

int HeadWatch::expire()
{
    std::vector<Poco::Net::SocketAddress> closed;
    int wait = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        while (!m_pending.empty() && m_pending.front().deadline <= now) {
            const auto it = m_pending.begin();
            if (!it->reading && headBuffered(it->socket)) {
                // Waits in the queue behind busy workers; checked again after one more limit.
                it->arrived = true;
                rearm(it, now);
            } else {
                shutdownQuietly(it->socket);
                closed.push_back(it->peer);
                m_pending.erase(it);
            }
        }
        if (!m_pending.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_pending.front().deadline - now);
            wait = static_cast<int>(left.count()) + 1;  // rounded up: no early wake-up
        }
    }
    for (const Poco::Net::SocketAddress& peer : closed) {
        RequestLog::refused(peer, [&] {
            Log::information(Poco::format("%s Request head not complete within %d s: closed %s",
                                          m_objectName, static_cast<int>(m_limit.count()),
                                          peer.toString()));
        });
    }
    return wait;
}

void HeadWatch::stop()
{
    m_stopping = true;
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Pending& p : m_pending) shutdownQuietly(p.socket);
        count = static_cast<int>(m_pending.size());
        m_pending.clear();
    }
    if (count > 0) {
        Log::information(
            Poco::format("%s Stopping: closed %d connections whose request had not been read",
                         m_objectName, count));
    }
}

bool HeadWatch::headBuffered(const Poco::Net::StreamSocket& socket)
{
    const ssize_t n =
        ::recv(socket.impl()->sockfd(), m_peek.data(), m_peek.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return false;
    const char* end = m_peek.data() + n;
    const char* begin = std::find_if_not(static_cast<const char*>(m_peek.data()), end, [](char c) {
        return Poco::Ascii::isSpace(static_cast<unsigned char>(c));
    });
    for (const char* marker : {"\r\n\r\n", "\n\n"}) {
        if (std::search(begin, end, marker, marker + std::strlen(marker)) != end) return true;
    }
    return false;
}

}  // namespace VpnService
