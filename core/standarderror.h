#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Standard error behind a bounded queue and a writer thread of its own. A stream that does
// not drain (a pipe nobody reads, a terminal after Ctrl-S, a stalled journal) blocks
// write(2) for as long as it likes; here only the writer waits there, holding no lock, so
// no thread that logs is held up. Each line (text and newline) goes out in one write, a
// partial one completed. A line that finds the queue full is dropped and counted; the next
// line that finds room is preceded by a warning line with the count, and so is the moment
// the writer runs out of lines.
//
// The descriptor's flags are left alone: O_NONBLOCK would belong to the open file
// description, which the terminal or the parent shares.
//
// Thread safety: every member function may be called from any thread. m_mutex guards the
// queue and the writer's state and is never held across a write; it is taken beneath Log's
// lock and LogFileChannel's, and nothing is taken beneath it.
class StandardError {
public:
    // The queue over descriptor 2, made with its writer by the first call (Log's set-up,
    // so the thread is there before the threads that log). Never destroyed: at exit its
    // writer may still be blocked in a write to a stalled stream, and the process ends under
    // it. A normal exit (return from main, exit()) closes it with kExitFlush. A fork does
    // not copy the writer: a child that logs must not be forked after the set-up.
    static StandardError& instance();

    // How long an exit waits for the queued lines to be written.
    static constexpr std::chrono::milliseconds kExitFlush{250};

    // A queue over `fd` holding at most `capacity` bytes of lines. The writer thread starts
    // with the first line.
    StandardError(int fd, std::size_t capacity);
    // Stops the writer once the write it is in has returned, dropping what is queued. No
    // other member may be running.
    ~StandardError();
    StandardError(const StandardError&) = delete;
    StandardError& operator=(const StandardError&) = delete;

    // Queues one line, which ends with its newline. Never blocks on the stream and never
    // throws: a line that does not fit, or finds no writer thread, is dropped and counted;
    // one that comes after close() is dropped.
    void write(std::string line);

    // Waits until every queued line and count has been written or `timeout` has passed; true
    // when nothing is left to write. Never throws.
    bool flush(std::chrono::milliseconds timeout);

    // Flushes for at most `timeout`, then takes no more lines. When everything was written
    // the writer is ended and joined (true); otherwise it is left in its write, with what is
    // still queued (false). For the end of the process. Never throws.
    bool close(std::chrono::milliseconds timeout);

private:
    bool startWriter();  // call with m_mutex held; false when no thread could be made
    void run();
    bool idle() const;        // call with m_mutex held
    std::string countLine();  // call with m_mutex held; resets m_dropped
    void writeAll(const std::string& line) const;

    const int m_fd;
    const std::size_t m_capacity;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;     // the writer waits on it for lines or m_stop
    std::condition_variable m_drained;  // flush() waits on it for idle()
    std::deque<std::string> m_lines;    // guarded by m_mutex
    std::size_t m_bytes = 0;            // guarded by m_mutex: of the lines in m_lines
    std::size_t m_dropped = 0;          // guarded by m_mutex: since the last count line
    bool m_writing = false;             // guarded by m_mutex: the writer is in a write
    bool m_started = false;             // guarded by m_mutex: m_writer runs
    bool m_closed = false;              // guarded by m_mutex: no more lines are taken
    bool m_stop = false;                // guarded by m_mutex: the writer is to end
    // Started under m_mutex; joined by close() or the destructor once m_closed is set.
    std::thread m_writer;
};
