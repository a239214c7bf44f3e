#pragma once

#include <Poco/Util/ServerApplication.h>

#include <cstdint>
#include <string>
#include <vector>

namespace VpnService {

// The service's application object: options, start-up set-up, the server run and its
// exit codes. Exactly one exists, on the stack of the entry point; everything here runs
// on the main thread.
class ServiceApplication : public Poco::Util::ServerApplication {
public:
    ServiceApplication() = default;
    ~ServiceApplication() override;

    // Records argv[0] as the command path and runs the framework; returns the exit code.
    // The reason of a failed run is logged (see frameworkLogger()).
    int runService(int argc, char** argv);
    // Says that the working directory at launch could not be named and the process
    // changed to "/" (see leaveUnnamedWorkingDirectory()): the run warns about it, and
    // ends with 70 when the command path is relative. Call before runService.
    void setWorkingDirectoryLost();
    // True when help was requested; the entry then skips the shutdown drain.
    bool serviceCommand() const;
    void displayHelp();

    // The executable's directory with a trailing "/" (framework key application.dir).
    std::string applicationDir() const;
    // Binds the port on the loopback address and releases it; throws when it is taken.
    void checkPortUse(uint16_t port);
    void resetSettings();
    // Runs "<dir>/<script>" with the arguments through /bin/sh -c and waits for it without
    // a time limit; true on status 0. Leaves the service's signal dispositions alone.
    bool executeCommand(const std::string& script, const std::vector<std::string>& args);
    // Whole seconds since the Unix epoch, in decimal. Any thread.
    static std::string timestampToString();

protected:
    void initialize(Poco::Util::Application& self) override;
    void uninitialize() override;
    void defineOptions(Poco::Util::OptionSet& options) override;
    void handleOption(const std::string& name, const std::string& value) override;
    int main(const std::vector<std::string>& args) override;

private:
    uint16_t m_port = 6457;
    bool m_helpRequested = false;
    bool m_serviceCommand = false;
    bool m_workingDirectoryLost = false;
    const std::string m_objectName{"[ServiceApplication]"};
    std::string m_commandPath;
    std::string m_configFile;
    std::string m_logFile;
};

}  // namespace VpnService
