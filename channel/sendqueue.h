#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace VpnService {

// The outgoing side of one connection. Whole frames leave in the order they were handed
// over: written by the caller when nothing waits before them and the socket takes them
// at once, and otherwise by a writer thread of the queue's own, so that no caller ever
// waits for a client that reads slowly or not at all. A frame that cannot be written
// completely within kSendTimeout of reaching the front, bytes that wait in the socket's
// buffer while the client acknowledges nothing for kSendTimeout, or a backlog whose memory
// would pass kMaxQueuedBytes, end the connection at the TCP level (a drop): a client that
// stops reading costs the others nothing, and a client that reads loses nothing.
//
// Thread safety: every member may be called from any thread. m_mutex guards the queue and
// is held only for short steps that never wait for the socket. Lock order: the caller's
// own locks, then m_mutex, then the Log lock.
class SendQueue {
public:
    static constexpr std::chrono::seconds kSendTimeout{5};
    // The backlog's bound in memory, each frame counted by frameCost(): about 45,000
    // finished messages, far more than a reading client ever lags behind.
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{4} * 1024 * 1024;
    // What a queued frame costs beyond its buffer: its string in the queue and the
    // allocator's header and rounding. Counting bytes alone, a flood of 2-byte pongs
    // would hold some sixteen times the bound.
    static constexpr std::size_t kFrameOverhead = 64;

    // Does not own fd, which must stay open until the destructor has returned. logTag
    // begins each log line. The writer starts with the first frame that has to wait.
    SendQueue(int fd, std::string logTag);
    // Stops and joins the writer; frames not yet written are discarded.
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Writes the frame at once when nothing waits before it and the socket takes it
    // whole (a reply leaves without a thread hand-off); queues it (or its rest) for the
    // writer otherwise. After a drop it discards the frame and returns quietly: the drop
    // was reported once, when it came, and a caller must not log every frame after it.
    // Throws std::runtime_error "send queue full" when this frame would take the backlog
    // past kMaxQueuedBytes (the connection is dropped then), and std::system_error when
    // the connection has failed or the writer cannot be started.
    void send(std::string frame);
    // The same, always through the writer: a broadcast's many frames are written
    // together, and the broadcasting thread never makes a system call for them.
    void post(std::string frame);
    // Returns once every frame handed over so far has been written, or the connection
    // was dropped, or a write failed. Throws Poco::TimeoutException, after a drop, when
    // that has not happened by the deadline.
    void flush(std::chrono::steady_clock::time_point deadline);
    // Drops the connection without taking m_mutex, for a caller that must not wait even
    // that long; frames still queued are discarded.
    void abort();
    // True once the connection has been dropped.
    bool dropped() const { return m_dropped; }

private:
    // The memory a queued frame holds: its buffer (whole, also once its head has been
    // written) and kFrameOverhead.
    static std::size_t frameCost(const std::string& frame)
    {
        return frame.capacity() + kFrameOverhead;
    }

    // The writer's view of bytes the kernel holds unsent: since when the client has
    // acknowledged nothing more than `acked`.
    struct UnsentWatch {
        bool active = false;
        uint64_t acked = 0;
        std::chrono::steady_clock::time_point since{};
    };

    void writeLoop();  // the writer thread
    // m_mutex held: starts the writer unless it runs; throws std::system_error.
    void startWriterLocked();
    // m_mutex held: has the writer watch bytes that the kernel holds unsent.
    void watchUnsentLocked();
    // Writer only: true once the kernel has held unsent bytes for kSendTimeout without the
    // client acknowledging any; updates the watch.
    bool unsentStalled(UnsentWatch& watch) const;
    // m_mutex held: drops the connection and logs the time-out.
    void dropForTimeoutLocked();
    // Without m_mutex: writes every frame of the batch, each within kSendTimeout of
    // reaching the front. Throws Poco::TimeoutException or std::system_error.
    void writeBatch(std::deque<std::string>& batch) const;
    // m_mutex held: appends the frame and wakes the writer, or drops when the backlog
    // would grow too long.
    void enqueueLocked(std::string frame);
    // m_mutex held: ends both directions without a close frame, which would block again.
    void dropLocked();

    const int m_fd;
    const std::string m_logTag;
    std::mutex m_mutex;
    std::condition_variable m_changed;   // frames queued, a batch written, stop asked
    std::deque<std::string> m_queue;     // guarded by m_mutex: not yet taken by the writer
    std::size_t m_pendingCost = 0;       // guarded by m_mutex: frameCost() queued or being written
    bool m_writing = false;              // guarded by m_mutex: the writer holds a batch
    bool m_watchUnsent = false;          // guarded by m_mutex: the kernel may hold unsent bytes
    bool m_stopping = false;             // guarded by m_mutex
    std::atomic<bool> m_dropped{false};  // set under m_mutex or by abort(); read anywhere
    std::thread m_writer;                // guarded by m_mutex until it is joined
};

}  // namespace VpnService
