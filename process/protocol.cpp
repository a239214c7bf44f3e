#include "process/protocol.h"

#include <Poco/Path.h>

namespace VpnService {

std::string Protocol::itemSeparator() { return ","; }

std::string Protocol::replySeparator() { return ":"; }

std::string Protocol::fileNameToBaseName(const std::string& path)
{
    if (path.empty()) return std::string();
    // Native (Unix) parsing: "/" separates components, a backslash is a plain character.
    return Poco::Path(path).getBaseName();
}

std::string Protocol::startedMessage(int pid, const std::string& path)
{
    return "started" + replySeparator() + std::to_string(pid) + itemSeparator() + "0" +
           itemSeparator() + fileNameToBaseName(path);
}

std::string Protocol::finishedMessage(int pid, int exitCode, const std::string& path)
{
    return "finished" + replySeparator() + std::to_string(pid) + itemSeparator() +
           std::to_string(exitCode) + itemSeparator() + fileNameToBaseName(path);
}

}  // namespace VpnService
