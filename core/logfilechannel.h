#pragma once

#include <Poco/Channel.h>
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>

// The log file as a Poco channel that owns its descriptor. A line that cannot be written is
// dropped, never thrown: the log is a side channel and must not break the request, reply,
// broadcast or shutdown that logs. The first failure after a success is reported once on
// standard error with the path and the reason; then the file is tried again (reopened, and
// created when it is gone) at most once a second, so lines resume by themselves.
//
// The file is opened without following a symlink, must be a regular file, is created with
// mode 0644 whatever the umask, is appended to and is closed on exec. A file that was
// deleted or moved away is noticed at the next line and a new one is created.
//
// Thread safety: every member function may be called from any thread; m_mutex serialises
// them. Lock order: callers may hold their own locks (Log's); this one is taken after
// them, and only StandardError's lock beneath it (the failure report).
class LogFileChannel : public Poco::Channel {
public:
    explicit LogFileChannel(const std::string& path);

    // Nothing: the file is opened by the first line.
    void open() override;
    // Closes the descriptor; the next line opens the file again.
    void close() override;
    // Appends the message text and a newline. Never throws.
    void log(const Poco::Message& message) override;

    // Opens the file now unless it is open, regardless of the once-a-second retry. False
    // when it cannot be opened; that failure is not reported on standard error, it is the
    // caller's to report.
    bool openNow();
    // False when the last line did not reach the file.
    bool lastLineWritten() const;

    const std::string& path() const { return m_path; }

protected:
    ~LogFileChannel() override;

private:
    using Clock = std::chrono::steady_clock;

    // All below: call with m_mutex held.
    bool openFile(std::string& reason);
    bool replacedOrGone() const;
    bool writeAll(const std::string& bytes, std::string& reason);
    void closeFile();
    void fail(const std::string& reason, bool reportIt);

    const std::string m_path;
    mutable std::mutex m_mutex;
    int m_fd = -1;                    // guarded by m_mutex
    dev_t m_device = 0;               // guarded by m_mutex: identity of the open file
    ino_t m_inode = 0;                // guarded by m_mutex
    bool m_failing = false;           // guarded by m_mutex: reported, retrying
    bool m_lastWritten = false;       // guarded by m_mutex
    Clock::time_point m_lastAttempt;  // guarded by m_mutex: of the last failure
    // A line was cut short in this file (by a full disk, say): the next line written to the
    // same file starts with a newline so that it stands on its own.
    bool m_brokenLine = false;  // guarded by m_mutex
    dev_t m_brokenDevice = 0;   // guarded by m_mutex
    ino_t m_brokenInode = 0;    // guarded by m_mutex
};
