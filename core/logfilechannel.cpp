#include "core/logfilechannel.h"

#include <Poco/Message.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "core/standarderror.h"
#include "core/utils.h"

namespace {

const mode_t kFileMode = 0644;
const auto kRetryInterval = std::chrono::seconds(1);

// strerror() is not thread-safe, and other threads of the service call it.
std::string systemText(int error)
{
    char buffer[128];
    return strerror_r(error, buffer, sizeof buffer);  // the GNU variant returns the text
}

}  // namespace

LogFileChannel::LogFileChannel(const std::string& path) : m_path(path) {}

LogFileChannel::~LogFileChannel() { closeFile(); }

void LogFileChannel::open() {}

void LogFileChannel::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    closeFile();
}

void LogFileChannel::log(const Poco::Message& message)
{
    try {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastWritten = false;
        // Deleted or moved away while open: the lines would go to a file nobody sees.
        if (m_fd >= 0 && replacedOrGone()) closeFile();
        if (m_fd < 0) {
            if (m_failing && Clock::now() - m_lastAttempt < kRetryInterval) return;
            std::string reason;
            if (!openFile(reason)) {
                fail(reason, true);
                return;
            }
        }
        std::string line;
        if (m_brokenLine && m_brokenDevice == m_device && m_brokenInode == m_inode) line = "\n";
        line += message.getText();
        line += '\n';
        std::string reason;
        if (!writeAll(line, reason)) {
            closeFile();
            fail(reason, true);
            return;
        }
        m_brokenLine = false;
        m_failing = false;
        m_lastWritten = true;
    } catch (const std::exception&) {
        // Out of memory or a lock that failed: the line is lost, the caller goes on.
    }
}

bool LogFileChannel::openNow()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fd >= 0 && !replacedOrGone()) return true;
    closeFile();
    std::string reason;
    if (openFile(reason)) return true;
    fail(reason, false);
    return false;
}

bool LogFileChannel::lastLineWritten() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastWritten;
}

bool LogFileChannel::openFile(std::string& reason)
{
    // No symlink is followed (a planted one would make root append to its target), a FIFO
    // or device gives no hang (O_NONBLOCK) and no controlling terminal.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    int fd = -1;
    int error = 0;
    bool created = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        fd = ::open(m_path.c_str(), flags | O_CREAT | O_EXCL, kFileMode);
        if (fd >= 0) {
            created = true;
            break;
        }
        error = errno;
        if (error == EEXIST) {
            fd = ::open(m_path.c_str(), flags);
            error = errno;
            if (fd >= 0 || error != ENOENT) break;  // ENOENT: deleted just now, create it
        } else if (error == ENOENT && attempt == 0) {
            // The directory went too.
            const std::string::size_type slash = m_path.rfind('/');
            if (slash == std::string::npos || slash == 0) break;
            Utils::createPath(m_path.substr(0, slash));
        } else {
            break;
        }
    }
    if (fd < 0) {
        reason = systemText(error);
        return false;
    }

    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        reason = "not a regular file";
        return false;
    }
    // The umask would narrow or widen the mode; a client application reads the log.
    if (created) ::fchmod(fd, kFileMode);
    ::fcntl(fd, F_SETFL, O_APPEND);  // blocking again
    m_fd = fd;
    m_device = info.st_dev;
    m_inode = info.st_ino;
    return true;
}

bool LogFileChannel::replacedOrGone() const
{
    struct stat info;
    if (::lstat(m_path.c_str(), &info) != 0) return true;
    return info.st_dev != m_device || info.st_ino != m_inode;
}

bool LogFileChannel::writeAll(const std::string& bytes, std::string& reason)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = n < 0 ? systemText(errno) : "nothing written";
            if (done > 0) {
                m_brokenLine = true;
                m_brokenDevice = m_device;
                m_brokenInode = m_inode;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void LogFileChannel::closeFile()
{
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

void LogFileChannel::fail(const std::string& reason, bool reportIt)
{
    if (reportIt && !m_failing) {
        StandardError::instance().write(
            "Log file '" + m_path + "' cannot be written: " + reason +
            "; its lines go to standard error only, the file is tried again each second\n");
    }
    m_failing = true;
    m_lastAttempt = Clock::now();
}
