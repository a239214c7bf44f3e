#include "channel/sendqueue.h"

#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/customlog.h"

namespace VpnService {

namespace {

using Clock = std::chrono::steady_clock;

// Frames gathered into one system call by the writer.
const int kFramesPerWrite = 64;
// How often the writer looks at bytes the kernel holds for a client that takes nothing:
// no event reports the client's acknowledgements.
const std::chrono::milliseconds kWatchInterval{100};

// Bytes the kernel has taken from us but not yet sent: they wait for the client's window.
// 0 for a socket that is not TCP or has ended.
std::size_t unsentBytes(int fd)
{
    int bytes = 0;
    if (::ioctl(fd, SIOCOUTQNSD, &bytes) != 0 || bytes < 0) return 0;
    return static_cast<std::size_t>(bytes);
}

// Bytes the client has acknowledged so far: what it has really taken.
uint64_t ackedBytes(int fd)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return info.tcpi_bytes_acked;
}

// One non-blocking write; the number of bytes the socket took (0 when it is full).
std::size_t writeSome(int fd, const std::string& bytes)
{
    for (;;) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        throw std::system_error(errno, std::generic_category(), "send");
    }
}

// Waits until the socket takes more bytes. Throws Poco::TimeoutException at the deadline.
void waitWritable(int fd, Clock::time_point deadline)
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) throw Poco::TimeoutException("send time-out");
        pollfd entry{fd, POLLOUT, 0};
        // Rounded up, so that a remaining fraction of a millisecond is not a busy loop.
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()) + 1);
        if (ready > 0) return;  // writable, or an error that the next write reports
        if (ready < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
    }
}

// Ends both directions of a dropped connection. Its later close resets it: an orderly
// end would leave the kernel holding the unsent frames, the client that never takes them
// unaware, and a client whose own sends wait for our window would hear of the end only
// when the orphaned socket gives up, about 100 s later.
void endConnection(int fd)
{
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::shutdown(fd, SHUT_RDWR);  // fails only when the connection is gone already
}

}  // namespace

constexpr std::chrono::seconds SendQueue::kSendTimeout;
constexpr std::size_t SendQueue::kMaxQueuedBytes;
constexpr std::size_t SendQueue::kFrameOverhead;

SendQueue::SendQueue(int fd, std::string logTag) : m_fd(fd), m_logTag(std::move(logTag)) {}

SendQueue::~SendQueue()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_writer.joinable()) return;
        m_stopping = true;
        // A writer that waits for a client that does not read would hold up the join for
        // its whole time-out; the connection is ending anyway.
        if (m_writing) ::shutdown(m_fd, SHUT_RDWR);
    }
    m_changed.notify_all();
    m_writer.join();
}

void SendQueue::send(std::string frame)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_dropped) return;
    if (m_queue.empty() && !m_writing) {
        // Non-blocking, so holding m_mutex across it costs nobody a wait for the client.
        const std::size_t sent = writeSome(m_fd, frame);
        if (sent == frame.size()) {
            // Taken by the kernel is not taken by the client: one that has stopped reading
            // leaves it in the socket's buffer, where no deadline would run otherwise.
            if (unsentBytes(m_fd) > 0) watchUnsentLocked();
            return;
        }
        frame.erase(0, sent);  // the rest goes first, so frames stay whole and in order
    }
    enqueueLocked(std::move(frame));
}

void SendQueue::post(std::string frame)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_dropped) return;
    enqueueLocked(std::move(frame));
}

void SendQueue::enqueueLocked(std::string frame)
{
    const std::size_t cost = frameCost(frame);
    if (m_pendingCost + cost > kMaxQueuedBytes) {
        dropLocked();
        throw std::runtime_error("send queue full");
    }
    startWriterLocked();
    m_pendingCost += cost;
    m_queue.push_back(std::move(frame));
    m_changed.notify_all();
}

void SendQueue::startWriterLocked()
{
    // Started on first need: a connection that is only ever answered at once needs no
    // writer, and its set-up stays short.
    if (!m_writer.joinable()) m_writer = std::thread(&SendQueue::writeLoop, this);
}

void SendQueue::watchUnsentLocked()
{
    startWriterLocked();
    m_watchUnsent = true;
    m_changed.notify_all();
}

bool SendQueue::unsentStalled(UnsentWatch& watch) const
{
    if (unsentBytes(m_fd) == 0) {
        watch.active = false;
        return false;
    }
    const uint64_t acked = ackedBytes(m_fd);
    const Clock::time_point now = Clock::now();
    if (!watch.active || acked != watch.acked) {
        watch = {true, acked, now};
        return false;
    }
    return now - watch.since >= kSendTimeout;
}

void SendQueue::dropForTimeoutLocked()
{
    dropLocked();
    m_watchUnsent = false;
    m_changed.notify_all();
    try {
        Log::error(Poco::format("%s SendFrame error: %s", m_logTag,
                                std::string(Poco::TimeoutException().what())));
    } catch (const std::exception&) {
        // Only building the line can fail (out of memory); the drop stands all the same.
    }
}

void SendQueue::flush(Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool settled = m_changed.wait_until(
        lock, deadline, [this] { return m_dropped || (m_queue.empty() && !m_writing); });
    if (settled) return;
    dropLocked();
    throw Poco::TimeoutException("send time-out");
}

void SendQueue::abort()
{
    // The writer's next write fails on the shut connection and discards its batch; what
    // is queued meanwhile goes with the queue.
    m_dropped = true;
    endConnection(m_fd);
}

void SendQueue::dropLocked()
{
    m_dropped = true;
    endConnection(m_fd);
    for (const std::string& frame : m_queue) m_pendingCost -= frameCost(frame);
    m_queue.clear();
}

void SendQueue::writeLoop()
{
    // Kept across batches: a batch that the kernel's buffer takes at once is no sign that
    // the client takes anything.
    UnsentWatch watch;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_stopping && m_queue.empty()) {
            if (!m_watchUnsent) {
                m_changed.wait(lock);
                continue;
            }
            if (!m_dropped && unsentStalled(watch)) {
                dropForTimeoutLocked();
                continue;
            }
            // Ended, or the kernel has sent everything: nothing left to watch.
            if (m_dropped || !watch.active) {
                m_watchUnsent = false;
                continue;
            }
            m_changed.wait_for(lock, kWatchInterval);
        }
        if (m_stopping) return;
        std::deque<std::string> batch;
        batch.swap(m_queue);
        std::size_t batchCost = 0;
        for (const std::string& frame : batch) batchCost += frameCost(frame);
        m_writing = true;
        lock.unlock();

        std::string failure;
        bool timedOut = false;
        try {
            writeBatch(batch);
        } catch (const Poco::TimeoutException& e) {
            failure = e.what();
            timedOut = true;
        } catch (const std::exception& e) {
            // A failed connection: the frames are lost, and the receive loop notices the
            // end on its own.
            failure = e.what();
        }

        lock.lock();
        m_writing = false;
        m_pendingCost -= batchCost;
        const bool quiet = m_stopping || m_dropped;  // the failure is an effect of the end
        if (timedOut && !m_dropped) dropLocked();
        if (failure.empty() && !quiet) {
            // What the batch left in the kernel is watched from here, and frames that keep
            // coming do not hold that watch off.
            m_watchUnsent = true;
            if (unsentStalled(watch)) {
                dropForTimeoutLocked();
                continue;
            }
        }
        m_changed.notify_all();
        if (!failure.empty() && !quiet) {
            try {
                Log::error(Poco::format("%s SendFrame error: %s", m_logTag, failure));
            } catch (const std::exception&) {
                // Only building the line can fail (out of memory), and that must not end
                // the writer: the frames after this failure still have to go out.
            }
        }
    }
}

void SendQueue::writeBatch(std::deque<std::string>& batch) const
{
    std::size_t offset = 0;  // bytes of the front frame already written
    Clock::time_point deadline = Clock::now() + kSendTimeout;
    while (!batch.empty()) {
        iovec parts[kFramesPerWrite];
        int count = 0;
        for (auto it = batch.begin(); it != batch.end() && count < kFramesPerWrite; ++it) {
            const std::size_t skip = count == 0 ? offset : 0;
            parts[count++] = {const_cast<char*>(it->data()) + skip, it->size() - skip};
        }
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = static_cast<std::size_t>(count);
        const ssize_t n = ::sendmsg(m_fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                throw std::system_error(errno, std::generic_category(), "send");
            waitWritable(m_fd, deadline);
            continue;
        }
        for (auto left = static_cast<std::size_t>(n); left > 0;) {
            const std::size_t rest = batch.front().size() - offset;
            if (left < rest) {
                offset += left;
                break;
            }
            left -= rest;
            offset = 0;
            batch.pop_front();
            deadline = Clock::now() + kSendTimeout;  // each frame has the whole time-out
        }
    }
}

}  // namespace VpnService
