#pragma once

#include <Poco/Mutex.h>
#include <Poco/Timestamp.h>

#include <string>

namespace Poco {
class FormattingChannel;
class Logger;
}  // namespace Poco

class LogFileChannel;

// The service's one log: every line goes to the log file first, then to standard error,
// formatted as "date time.tenths<TAB>priority letter<TAB>text" in local time. A line that
// cannot reach the file still reaches standard error, and no writer ever throws: a full
// disk or a lost file must not stop what is being logged (see LogFileChannel). Standard
// error is written by a thread of its own (see StandardError): one that does not drain
// loses lines, counted, and holds up no writer.
//
// Thread safety: every writer and opened() serialise on one process-wide recursive lock,
// which is the innermost lock of the whole service, so callers may log while holding
// locks of their own; beneath it only the log's own channels lock (LogFileChannel, then
// StandardError), and they call nothing that locks. initLog() and fileName() take no
// lock: they run on the main thread before any other thread exists.
class Log {
public:
    Log() = delete;

    // Sets the facade up once per process; later calls change nothing. Touches no file:
    // the file is opened by the first line written.
    static void initLog(const std::string& fileName);

    // Write one finished text at error, warning, information or debug priority. Never
    // throw; text a client chose must have gone through LogText first.
    static void error(const std::string& text);
    static void warning(const std::string& text);
    static void information(const std::string& text);
    static void debug(const std::string& text);

    // Writes one information line with empty text; false when it did not reach the file,
    // which is how an unwritable log file shows up at start-up. A file that cannot be
    // opened (a symlink or another non-regular file at the path included) gets no line,
    // not even on standard error.
    static bool opened();

    // The file name the set-up received.
    static std::string fileName();

    // "date time.tenths<TAB>priority letter<TAB>" of a line at `time` and `priority`, in
    // local time. Touches none of Log's members, so it may be called at any time.
    static std::string lineHead(const Poco::Timestamp& time, int priority);

    // Waits, at most StandardError::kExitFlush, until the lines queued for standard error
    // have been written; false when some were not. For an exit that runs no exit handlers
    // (std::_Exit); a normal exit does the same by itself.
    static bool flushStandardError();

private:
    static void write(int priority, const std::string& text);
    static void setUpIfNeeded();  // call with m_mutex held

    static Poco::FormattingChannel* m_formattingChannel;  // guarded by m_mutex after start-up
    static LogFileChannel* m_fileChannel;                 // guarded by m_mutex after start-up
    static Poco::Logger* m_logger;                        // guarded by m_mutex after start-up
    static Poco::Mutex m_mutex;
    static std::string m_logFileName;
};
