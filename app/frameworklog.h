#pragma once

namespace Poco {
class Logger;
}  // namespace Poco

namespace VpnService {

// The logger to give the framework as the application's logger. The framework's run
// reports there the exception that ended it (a bad command line, a configuration file
// that cannot be loaded, a taken port); its lines go into the service's Log, so that the
// reason of a failed run reaches the log file and standard error in the log's format.
// A line at error priority or above is written as "[ServiceApplication] Error: <text>".
// Created on the first call, which must be on the main thread; the framework logs
// through it on the main thread only.
Poco::Logger& frameworkLogger();

}  // namespace VpnService
