#include "app/serviceapplication.h"

#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/Net.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/SharedPtr.h>
#include <Poco/Timespan.h>
#include <Poco/Util/HelpFormatter.h>
#include <Poco/Util/Option.h>
#include <Poco/Util/OptionSet.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "app/frameworklog.h"
#include "app/signals.h"
#include "channel/activesockets.h"
#include "channel/requesthandlerfactory.h"
#include "core/customlog.h"
#include "core/standarderror.h"
#include "core/timestamp.h"
#include "channel/httpacceptor.h"
#include "core/utils.h"
#include "process/process_unix.h"

namespace VpnService {

namespace {

// The client application runs on this machine; nothing else may reach the service.
const char* const kListenAddress = "127.0.0.1";
const int kBacklog = 64;
const int kExitNoPermission = 77;
const int kExitSoftware = 70;

// Binds the loopback port with address reuse (so connections of a previous run in
// TIME-WAIT do not block a restart) but without port reuse (which would let a second
// socket share the port with a live listener).
void bindExclusive(Poco::Net::ServerSocket& socket, uint16_t port)
{
    socket.bind(Poco::Net::SocketAddress(kListenAddress, port), true, false);
}

void setCloseOnExec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Nothing the service has open beyond the standard streams is meant for the shells it
// runs. Called while the main thread is the only thread.
void setCloseOnExecAbove2()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > 2 && fd != ::dirfd(dir)) setCloseOnExec(fd);
    }
    ::closedir(dir);
}

// True for a command path that names the executable relative to the working directory.
bool relativeToWorkingDirectory(const std::string& commandPath)
{
    return !commandPath.empty() && commandPath[0] != '/' &&
           commandPath.find('/') != std::string::npos;
}

}  // namespace

ServiceApplication::~ServiceApplication() { Poco::Net::uninitializeNetwork(); }

int ServiceApplication::runService(int argc, char** argv)
{
    m_commandPath = argv[0];
    // Until the framework's own logging set-up replaces it, after which initialize()
    // gives it back: the framework reports a bad command line here.
    setLogger(frameworkLogger());
    restoreChildSignal();  // before the framework's daemon fork and before any child
    return Poco::Util::ServerApplication::run(argc, argv);
}

bool ServiceApplication::serviceCommand() const { return m_serviceCommand; }

void ServiceApplication::setWorkingDirectoryLost() { m_workingDirectoryLost = true; }

void ServiceApplication::defineOptions(Poco::Util::OptionSet& options)
{
    Poco::Util::ServerApplication::defineOptions(options);
    options.addOption(
        Poco::Util::Option("help", "h", "Display help information on command line arguments.")
            .required(false)
            .repeatable(false));
    options.addOption(Poco::Util::Option("configfile", "c", "Load config file from given file.")
                          .required(false)
                          .repeatable(false)
                          .argument("config file", true));
    options.addOption(Poco::Util::Option("logfile", "l", "Write log file to given file.")
                          .required(false)
                          .repeatable(false)
                          .argument("log file", true));
}

void ServiceApplication::handleOption(const std::string& name, const std::string& value)
{
    Poco::Util::Application::handleOption(name, value);
    if (name == "help") {
        m_helpRequested = true;
        m_serviceCommand = true;
    } else if (name == "configfile") {
        m_configFile = value;
    } else if (name == "logfile") {
        m_logFile = value;
    }
}

void ServiceApplication::displayHelp()
{
    Poco::Util::HelpFormatter helpFormatter(options());
    helpFormatter.setCommand(commandName());
    helpFormatter.setUsage("<options>");
    helpFormatter.setHeader("Options:");
    helpFormatter.format(std::cout);
}

void ServiceApplication::initialize(Poco::Util::Application& self)
{
    // The log always goes to the fixed path; a "logfile" value is accepted and ignored.
    m_logFile = Utils::appLogFileNamePath(m_commandPath, "");
    if (!m_logFile.empty()) Log::initLog(m_logFile);

    if (m_configFile.empty()) {
        loadConfiguration(PRIO_DEFAULT);
    } else {
        loadConfiguration(m_configFile, PRIO_DEFAULT);
        Log::information(Poco::format("%s Loaded configuation: %s", m_objectName, m_configFile));
    }
    Poco::Util::Application::initialize(self);
    // The framework's run reports the exception that ends it to the application's logger.
    setLogger(frameworkLogger());
    Poco::Net::initializeNetwork();
}

void ServiceApplication::uninitialize() { Poco::Util::Application::uninitialize(); }

int ServiceApplication::main(const std::vector<std::string>& /*args*/)
{
    if (m_helpRequested) {
        displayHelp();
        return EXIT_OK;
    }
    if (!Log::opened()) {
        // Through the log's queue, so that a stalled standard error cannot hold up the exit.
        StandardError::instance().write(
            Poco::format("Fatal error, cannot open file: '%s'\n", Log::fileName()));
        return kExitNoPermission;
    }
    setCloseOnExecAbove2();

    Log::information(Poco::format("%s %s", m_objectName, Utils::versionInfo("VPN service")));
    Log::information(Poco::format("%s Log file: '%s'", m_objectName, m_logFile));
    const std::string logDirectory = Utils::logDirectory();
    const std::string untrusted = Utils::untrustedDirectory(logDirectory);
    if (!untrusted.empty()) {
        // Whoever may write there may replace the log file under the service.
        Log::warning(
            Poco::format("%s Log directory '%s' %s", m_objectName, logDirectory, untrusted));
    }
    if (m_workingDirectoryLost) {
        // The framework made the command path absolute against "/": wrong for a
        // relative one, and the support scripts would be looked up in the wrong place.
        if (relativeToWorkingDirectory(m_commandPath)) {
            Log::error(Poco::format(
                "%s Error: the command path '%s' is relative to a working directory that "
                "cannot be named",
                m_objectName, m_commandPath));
            return kExitSoftware;
        }
        Log::warning(Poco::format("%s Working directory at launch cannot be named: changed to '/'",
                                  m_objectName));
    }
    Log::information(Poco::format("%s Working directory '%s'", m_objectName,
                                  config().getString("application.dir")));
    Log::information(Poco::format("%s Network initialization", m_objectName));
    Poco::Net::initializeNetwork();
    Log::information(Poco::format("%s Checking network ports", m_objectName));
    checkPortUse(m_port);

    Poco::Net::HTTPServerParams::Ptr params = new Poco::Net::HTTPServerParams;
    // Bounds each receive of the HTTP exchange; the whole request head has the acceptor's
    // shorter bound, and the WebSocket sets its own idle time-out after the handshake.
    params->setTimeout(Poco::Timespan(1, 0, 0, 0, 0));
    // Every answer but the upgrade is an error; the connection closes after it.
    params->setKeepAlive(false);
    Poco::SharedPtr<Poco::Net::HTTPRequestHandlerFactory> factory(new RequestHandlerFactory);
    Poco::Net::ServerSocket socket;
    bindExclusive(socket, m_port);
    socket.listen(kBacklog);
    setCloseOnExec(socket.impl()->sockfd());
    HttpAcceptor server(factory, socket, params);

    Log::information(Poco::format("%s Starting server", m_objectName));
    server.start();

    Log::information(Poco::format("%s Resettings settings to default", m_objectName));
    resetSettings();

    Log::information(Poco::format("%s Waitng for a termination...", m_objectName));
    // Not the framework's wait, which leaves SIGHUP to end the process without the drain.
    waitForTerminationSignal();
    // The stop begins: from here no handshake completes (it is answered 503), the acceptor
    // ends, and connections still sending their request head are closed.
    ActiveSockets::instance().closeAdmission();
    server.stop();
    Log::information(Poco::format("%s Stopped", m_objectName));
    return EXIT_OK;
}

std::string ServiceApplication::timestampToString() { return VpnService::timestampToString(); }

std::string ServiceApplication::applicationDir() const
{
    return config().getString("application.dir");
}

void ServiceApplication::checkPortUse(uint16_t port)
{
    Poco::Net::ServerSocket probe;
    bindExclusive(probe, port);
    probe.impl()->close();
}

void ServiceApplication::resetSettings()
{
    Log::information(Poco::format("%s Initialize environment with defauls settings", m_objectName));
    executeCommand("killswitch", {"disable", "all"});
    executeCommand("dns", {"reset"});
}

bool ServiceApplication::executeCommand(const std::string& script,
                                        const std::vector<std::string>& args)
{
    const std::string path =
        config().getString("application.dir") + Utils::platformExecutable(script);
    if (!Poco::File(path).exists()) {
        Log::warning(Poco::format("%s File '%s' does not exist!", m_objectName, path));
        return false;
    }
    std::string command = Utils::quotedString(path);
    for (const std::string& arg : args) command += " " + arg;
    Log::information(Poco::format("%s Execute command '%s'", m_objectName, command));
    const int status = Process::runCommand(command);
    Log::information(Poco::format("%s Command finished with status %d", m_objectName, status));
    return status == 0;
}

}  // namespace VpnService
