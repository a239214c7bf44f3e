#pragma once

#include <string>

namespace VpnService {

// The texts of the status messages that tell clients about children. Stateless: any
// thread may call any function. Nothing is caught: a Poco::Path exception propagates.
class Protocol {
public:
    Protocol() = delete;

    static std::string itemSeparator();   // ","
    static std::string replySeparator();  // ":"
    // Last path component without its last extension; empty for an empty path.
    static std::string fileNameToBaseName(const std::string& path);
    // "started:<pid>,0,<base name>"
    static std::string startedMessage(int pid, const std::string& path);
    // "finished:<pid>,<exit code>,<base name>"
    static std::string finishedMessage(int pid, int exitCode, const std::string& path);
};

}  // namespace VpnService
