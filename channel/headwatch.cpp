#include "channel/headwatch.h"

#include <Poco/Format.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

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

bool same(const Poco::Net::StreamSocket& a, const Poco::Net::StreamSocket& b)
{
    return a.impl() == b.impl();
}

}  // namespace

HeadWatch::HeadWatch(std::chrono::seconds limit) : m_limit(limit), m_peek(kPeekBytes) {}

void HeadWatch::add(const Poco::Net::StreamSocket& socket, const std::string& peer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back({socket, peer, Clock::now() + m_limit});
}

bool HeadWatch::finish(const Poco::Net::StreamSocket& socket)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (std::list<Pending>* list : {&m_pending, &m_arrived}) {
        const auto it = std::find_if(list->begin(), list->end(),
                                     [&](const Pending& p) { return same(p.socket, socket); });
        if (it != list->end()) {
            list->erase(it);
            return true;
        }
    }
    return false;
}

int HeadWatch::expire()
{
    std::vector<std::string> closed;
    int wait = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        while (!m_pending.empty() && m_pending.front().deadline <= now) {
            if (headBuffered(m_pending.front().socket, m_peek.data(), m_peek.size())) {
                m_arrived.splice(m_arrived.end(), m_pending, m_pending.begin());
            } else {
                shutdownQuietly(m_pending.front().socket);
                closed.push_back(m_pending.front().peer);
                m_pending.pop_front();
            }
        }
        if (!m_pending.empty()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                m_pending.front().deadline - now);
            wait = static_cast<int>(left.count()) + 1;  // rounded up: no early wake-up
        }
    }
    for (const std::string& peer : closed) {
        Log::information(Poco::format("%s Request head not complete within %d s: closed %s",
                                m_objectName, static_cast<int>(m_limit.count()), peer));
    }
    return wait;
}

void HeadWatch::stop()
{
    m_stopping = true;
    int count = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (std::list<Pending>* list : {&m_pending, &m_arrived}) {
            for (const Pending& p : *list) shutdownQuietly(p.socket);
            count += static_cast<int>(list->size());
            list->clear();
        }
    }
    if (count > 0) {
        Log::information(Poco::format("%s Stopping: closed %d connections whose request had not been read",
                                m_objectName, count));
    }
}

bool HeadWatch::headBuffered(const Poco::Net::StreamSocket& socket, char* buffer,
                             std::size_t size)
{
    const ssize_t n = ::recv(socket.impl()->sockfd(), buffer, size, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return false;
    const char* begin = buffer;
    const char* end = buffer + n;
    for (const char* marker : {"\r\n\r\n", "\n\n"}) {
        if (std::search(begin, end, marker, marker + std::strlen(marker)) != end) return true;
    }
    return false;
}

}  // namespace VpnService
