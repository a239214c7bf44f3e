#include "core/customlog.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SplitterChannel.h>

#include <exception>

#include "core/logfilechannel.h"

Poco::FormattingChannel* Log::m_formattingChannel = nullptr;
LogFileChannel* Log::m_fileChannel = nullptr;
Poco::Logger* Log::m_logger = nullptr;
Poco::Mutex Log::m_mutex;
std::string Log::m_logFileName;

void Log::initLog(const std::string& fileName)
{
    if (m_formattingChannel != nullptr) return;

    Poco::AutoPtr<Poco::PatternFormatter> formatter(
        new Poco::PatternFormatter("%Y-%m-%d %H:%M:%S.%c\t%q\t%t"));
    formatter->setProperty("times", "local");

    m_logFileName = fileName;

    // File first, then the console; the file channel never throws, so the console gets
    // every line.
    Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
    Poco::AutoPtr<LogFileChannel> file(new LogFileChannel(m_logFileName));
    m_fileChannel = file.get();  // the splitter holds it
    splitter->addChannel(file);
    splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new Poco::ConsoleChannel));

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
