#include "core/standarderror.h"

#include <Poco/Message.h>
#include <Poco/Timestamp.h>
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>

#include "core/customlog.h"

namespace {

// Room for a few thousand lines: what a terminal held by Ctrl-S for a while would show.
const std::size_t kCapacity = std::size_t{256} * 1024;

}  // namespace

constexpr std::chrono::milliseconds StandardError::kExitFlush;

StandardError& StandardError::instance()
{
    // Leaked on purpose (see the header); the exit handler is registered once, with it.
    static StandardError* const queue = [] {
        auto* made = new StandardError(STDERR_FILENO, kCapacity);
        std::atexit([] { instance().close(kExitFlush); });
        std::lock_guard<std::mutex> lock(made->m_mutex);
        made->startWriter();  // failing, the first line tries again
        return made;
    }();
    return *queue;
}

StandardError::StandardError(int fd, std::size_t capacity) : m_fd(fd), m_capacity(capacity) {}

StandardError::~StandardError()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_stop = true;
    }
    m_work.notify_one();
    if (m_writer.joinable()) m_writer.join();
}

void StandardError::write(std::string line)
{
    bool wake = false;
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        if (!m_started && !startWriter()) {
            // No thread now (a limit reached): the line is counted, the next one tries again.
            ++m_dropped;
            return;
        }
        // The writer waits only when it has nothing to do; a wake-up costs a system call.
        wake = m_lines.empty() && !m_writing;
        if (m_bytes + line.size() > m_capacity) {
            ++m_dropped;
        } else {
            if (m_dropped > 0) {
                std::string count = countLine();
                m_bytes += count.size();
                m_lines.push_back(std::move(count));
            }
            m_bytes += line.size();
            m_lines.push_back(std::move(line));
        }
    } catch (const std::exception&) {
        // Out of memory: standard error loses the line, the caller goes on.
    }
    if (wake) m_work.notify_one();
}

bool StandardError::flush(std::chrono::milliseconds timeout)
{
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_drained.wait_for(lock, timeout, [this] { return idle(); });
    } catch (const std::exception&) {
        return false;  // a lock that failed: nothing is known
    }
}

bool StandardError::close(std::chrono::milliseconds timeout)
{
    try {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool drained = m_drained.wait_for(lock, timeout, [this] { return idle(); });
        m_closed = true;
        if (!drained || !m_started) return drained;
        // Once m_closed is set nothing else touches m_writer: it is joined without the lock.
        m_stop = true;
        m_started = false;
        lock.unlock();
        m_work.notify_one();
        m_writer.join();
        return true;
    } catch (const std::exception&) {
        return false;  // a lock or a join that failed: the exit goes on without them
    }
}

bool StandardError::idle() const
{
    // Without a writer a count cannot be written: it waits for the next line.
    return m_lines.empty() && !m_writing && (m_dropped == 0 || !m_started);
}

std::string StandardError::countLine()
{
    std::string line = Log::lineHead(Poco::Timestamp(), Poco::Message::PRIO_WARNING) +
                       "[Log] Standard error did not drain: " + std::to_string(m_dropped) +
                       " lines were dropped from it\n";
    m_dropped = 0;
    return line;
}

bool StandardError::startWriter()
{
    // The writer is made with every signal blocked, whatever the mask of the thread that
    // makes it (the service blocks its termination signals after the log's set-up): such a
    // signal must reach the thread that waits for it, not end the process here, and a
    // reader of standard error that has gone makes a write fail with EPIPE instead of
    // killing the process with SIGPIPE.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        m_writer = std::thread(&StandardError::run, this);
        m_started = true;
    } catch (const std::system_error&) {
        m_started = false;
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return m_started;
}

void StandardError::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_lines.empty() || m_dropped > 0; });
        if (m_stop) return;
        std::string line;
        try {
            if (m_lines.empty()) {
                line = countLine();
            } else {
                line = std::move(m_lines.front());
                m_lines.pop_front();
                m_bytes -= line.size();
            }
        } catch (const std::exception&) {
            m_dropped = 0;  // out of memory for the count's text: the count is lost
            continue;
        }
        m_writing = true;
        lock.unlock();
        writeAll(line);
        lock.lock();
        m_writing = false;
        if (idle()) m_drained.notify_all();
    }
}

void StandardError::writeAll(const std::string& line) const
{
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the stream is gone; the file has the line
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}
