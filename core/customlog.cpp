#include "core/customlog.h"

#include <Poco/AutoPtr.h>
#include <Poco/ConsoleChannel.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SplitterChannel.h>

Poco::FormattingChannel* Log::m_formattingChannel = nullptr;
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

    // File first: a line that cannot reach the file stops at the splitter and is not
    // shown on the console either.
    Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
    splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new Poco::FileChannel(m_logFileName)));
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
    Poco::ScopedLock<Poco::Mutex> lock(m_mutex);
    setUpIfNeeded();
    auto prio = static_cast<Poco::Message::Priority>(priority);
    if (m_logger->getLevel() >= priority && m_logger->getChannel()) {
        m_logger->getChannel()->log(Poco::Message(m_logger->name(), text, prio));
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
    try {
        m_logger->getChannel()->log(
            Poco::Message(m_logger->name(), "", Poco::Message::PRIO_INFORMATION));
    } catch (...) {
        // Any failure of the first write means the log cannot be used; the caller
        // reports it and ends the run.
        return false;
    }
    return true;
}

std::string Log::fileName() { return m_logFileName; }
