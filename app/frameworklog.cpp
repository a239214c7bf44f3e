#include "app/frameworklog.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <string>

#include "core/customlog.h"

namespace VpnService {

namespace {

const char* const kTag = "[ServiceApplication]";

class ForwardToLog : public Poco::Channel {
public:
    void log(const Poco::Message& message) override
    {
        const std::string& text = message.getText();
        const Poco::Message::Priority priority = message.getPriority();
        if (priority <= Poco::Message::PRIO_ERROR) {
            Log::error(Poco::format("%s Error: %s", std::string(kTag), text));
        } else if (priority == Poco::Message::PRIO_WARNING) {
            Log::warning(Poco::format("%s %s", std::string(kTag), text));
        } else {
            Log::information(Poco::format("%s %s", std::string(kTag), text));
        }
    }

protected:
    ~ForwardToLog() override = default;
};

}  // namespace

Poco::Logger& frameworkLogger()
{
    // Held by the framework's logger registry until exit.
    static Poco::Logger& logger = Poco::Logger::create(
        "vpn-service framework", Poco::AutoPtr<Poco::Channel>(new ForwardToLog));
    return logger;
}

}  // namespace VpnService
