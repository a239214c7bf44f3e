#include "core/utils.h"

#include <Poco/Environment.h>
#include <Poco/File.h>
#include <Poco/Format.h>
#include <Poco/Path.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace {

const char kQuote = '"';
const char* const kLogDirectoryRoot = "/var/log";
const char* const kLogDirectoryName = "Sorvane";
// A client application running as an ordinary user reads the log to show it.
const mode_t kDirectoryMode = 0755;

bool isPosixSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::string Utils::quotedString(const std::string& text) { return kQuote + text + kQuote; }

std::string Utils::unquotedString(const std::string& text)
{
    // Three, not two: a text of just two quotes stays as it is.
    if (text.size() < 3 || text.front() != kQuote || text.back() != kQuote) return text;
    return text.substr(1, text.size() - 2);
}

std::string Utils::platformExecutable(const std::string& name) { return name + ""; }

std::string Utils::versionInfo(const std::string& name)
{
    return name + ", POCO version " + libraryVersion();
}

std::string Utils::libraryVersion()
{
    const Poco::UInt32 version = Poco::Environment::libraryVersion();
    return Poco::format("%d.%d.%d", static_cast<int>(version >> 24),
                        static_cast<int>((version >> 16) & 0xFF),
                        static_cast<int>((version >> 8) & 0xFF));
}

std::string Utils::boolString(bool value) { return value ? "true" : "false"; }

std::string Utils::trim(const std::string& text)
{
    std::string::size_type start = 0;
    while (start < text.size() && isPosixSpace(text[start])) ++start;
    if (start == text.size()) return std::string();
    std::string::size_type end = text.size() - 1;
    while (end > start && isPosixSpace(text[end])) --end;
    return text.substr(start, end - start + 1);
}

std::vector<std::string> Utils::split(const std::string& text, const std::string& delimiter)
{
    if (delimiter.empty()) throw std::invalid_argument("Utils::split: empty delimiter");
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (auto pos = text.find(delimiter, start); pos != std::string::npos;
         pos = text.find(delimiter, start)) {
        fields.push_back(text.substr(start, pos - start));
        start = pos + delimiter.size();
    }
    fields.push_back(text.substr(start));
    return fields;
}

std::vector<std::string> Utils::splitStringByNewLine(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool Utils::createPath(const std::string& path)
{
    // Each missing directory from the top down, so that every one made here gets 0755
    // whatever the umask. Failures are reported through the result: the caller learns
    // of them when the log cannot open.
    for (std::string::size_type end = path.find('/', 1);; end = path.find('/', end + 1)) {
        const std::string prefix = path.substr(0, end);
        if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) == 0)
            ::chmod(prefix.c_str(), kDirectoryMode);
        if (end == std::string::npos) break;
    }
    return Poco::File(path).exists();
}

std::string Utils::untrustedDirectory(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return std::string();
    if (info.st_uid != ::geteuid()) {
        return Poco::format("is owned by user %u", static_cast<unsigned>(info.st_uid));
    }
    if ((info.st_mode & S_IWOTH) != 0) return "can be written by others";
    return std::string();
}

std::string Utils::logDirectory()
{
    return std::string(kLogDirectoryRoot) + "/" + kLogDirectoryName;
}

std::string Utils::appLogFileNamePath(const std::string& path, const std::string& suffix)
{
    const std::string baseName = Poco::Path(path).getBaseName();
    const std::string directory = logDirectory();
    createPath(directory);
    return directory + "/" + baseName + suffix + ".log";
}
