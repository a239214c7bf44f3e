#include "core/customlog.h"

#include <Poco/AutoPtr.h>
#include <Poco/Formatter.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/SplitterChannel.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <exception>
#include <mutex>
#include <utility>

#include "core/logfilechannel.h"
#include "core/standarderror.h"

namespace {

// "date time.tenths<TAB>priority letter<TAB>text" in local time. The framework's pattern
// formatter re-reads the time zone (a stat of the zone file) for every line; this one asks
// the C library to look again at most once a second, so a changed system time zone still
// shows within a second.
class LineFormatter : public Poco::Formatter {
public:
    void format(const Poco::Message& message, std::string& text) override
    {
        refreshZone();
        const std::string head = Log::lineHead(message.getTime(), message.getPriority());
        text.reserve(head.size() + message.getText().size());
        text.append(head);
        text.append(message.getText());
    }

private:
    using Clock = std::chrono::steady_clock;

    void refreshZone()
    {
        // The formatter may be reached past Log's lock (a channel chain that a
        // configuration file set up); this lock covers only the time of the last look.
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        if (m_looked && now - m_lastLook < std::chrono::seconds(1)) return;
        tzset();
        m_looked = true;
        m_lastLook = now;
    }

    std::mutex m_mutex;
    bool m_looked = false;         // guarded by m_mutex
    Clock::time_point m_lastLook;  // guarded by m_mutex
};

// Standard error through its queue (see StandardError), with each line (text and newline)
// in one write, so that lines of other writers to the same descriptor cannot come between a
// text and its newline, and a line costs one system call.
class StandardErrorChannel : public Poco::Channel {
public:
    void log(const Poco::Message& message) override
    {
        std::string line;
        line.reserve(message.getText().size() + 1);
        line += message.getText();
        line += '\n';
        StandardError::instance().write(std::move(line));
    }

protected:
    ~StandardErrorChannel() override = default;
};

}  // namespace

Poco::FormattingChannel* Log::m_formattingChannel = nullptr;
LogFileChannel* Log::m_fileChannel = nullptr;
Poco::Logger* Log::m_logger = nullptr;
Poco::Mutex Log::m_mutex;
std::string Log::m_logFileName;

void Log::initLog(const std::string& fileName)
{
    if (m_formattingChannel != nullptr) return;

    Poco::AutoPtr<Poco::Formatter> formatter(new LineFormatter);

    m_logFileName = fileName;
    StandardError::instance();

    // File first, then the console; the file channel never throws, so the console gets
    // every line.
    Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
    Poco::AutoPtr<LogFileChannel> file(new LogFileChannel(m_logFileName));
    m_fileChannel = file.get();  // the splitter holds it
    splitter->addChannel(file);
    splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new StandardErrorChannel));

    // The logger (held by the framework's registry) keeps the chain alive until exit.
    Poco::AutoPtr<Poco::FormattingChannel> formatting(
        new Poco::FormattingChannel(formatter, splitter));
    m_formattingChannel = formatting.get();
    m_formattingChannel->open();

    m_logger = &Poco::Logger::create("vpn-service log", formatting, Poco::Message::PRIO_DEBUG);
}

void Log::setUpIfNeeded()
{
    if (m_formattingChannel == nullptr) initLog(m_logFileName);
}

void Log::write(int priority, const std::string& text)
{
    try {
        Poco::ScopedLock<Poco::Mutex> lock(m_mutex);
        setUpIfNeeded();
        auto prio = static_cast<Poco::Message::Priority>(priority);
        if (m_logger->getLevel() >= priority && m_logger->getChannel()) {
            m_logger->getChannel()->log(Poco::Message(m_logger->name(), text, prio));
        }
    } catch (const std::exception&) {
        // A line that cannot be logged (no memory, a lock that failed, a channel that a
        // configuration file put in) is the log's loss; the caller's work goes on.
    }
}

void Log::error(const std::string& text) { write(Poco::Message::PRIO_ERROR, text); }

void Log::warning(const std::string& text) { write(Poco::Message::PRIO_WARNING, text); }

void Log::information(const std::string& text) { write(Poco::Message::PRIO_INFORMATION, text); }

void Log::debug(const std::string& text) { write(Poco::Message::PRIO_DEBUG, text); }

bool Log::opened()
{
    Poco::ScopedLock<Poco::Mutex> lock(m_mutex);
    setUpIfNeeded();
    if (m_logger->getLevel() < Poco::Message::PRIO_INFORMATION || !m_logger->getChannel()) {
        return true;
    }
    // The file is opened first so that a path that cannot be used gets no line at all.
    // A configuration file may have given the logger other channels; then only a throw
    // tells.
    const bool ownChain = m_logger->getChannel() == m_formattingChannel;
    if (ownChain && !m_fileChannel->openNow()) return false;
    try {
        m_logger->getChannel()->log(
            Poco::Message(m_logger->name(), "", Poco::Message::PRIO_INFORMATION));
    } catch (...) {
        // Any failure of the first write means the log cannot be used; the caller
        // reports it and ends the run.
        return false;
    }
    return !ownChain || m_fileChannel->lastLineWritten();
}

std::string Log::fileName() { return m_logFileName; }

std::string Log::lineHead(const Poco::Timestamp& time, int priority)
{
    static const char kLetters[] = "?FCEWNIDT";
    const std::time_t seconds = time.epochTime();
    const long tenths = static_cast<long>(time.epochMicroseconds() % 1000000) / 100000;
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) gmtime_r(&seconds, &local);
    char head[64];
    const int length = std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%ld\t%c\t",
                                     local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                     local.tm_hour, local.tm_min, local.tm_sec, tenths,
                                     priority >= 1 && priority <= 8 ? kLetters[priority] : '?');
    return std::string(head, static_cast<std::size_t>(length));
}

bool Log::flushStandardError()
{
    return StandardError::instance().flush(StandardError::kExitFlush);
}
