#pragma once

#include <string>
#include <vector>

// Small text and path functions. Stateless and re-entrant: any thread may call them.
class Utils {
public:
    Utils() = delete;

    // The text between two added double quotes; nothing inside is escaped.
    static std::string quotedString(const std::string& text);
    // The text without one enclosing pair of double quotes (only when it has at least
    // three characters and begins and ends with one); otherwise an unchanged copy.
    static std::string unquotedString(const std::string& text);
    // The file name of an executable on this platform: the name unchanged.
    static std::string platformExecutable(const std::string& name);
    // name + ", POCO version " + the version of the Poco library in use.
    static std::string versionInfo(const std::string& name);
    // The version of the Poco library in use, as "major.minor.patch".
    static std::string libraryVersion();
    static std::string boolString(bool value);
    // Without leading and trailing POSIX white space (blank, \t, \n, \v, \f, \r).
    static std::string trim(const std::string& text);
    // The fields between occurrences of the delimiter; always one more than the
    // occurrences. Throws std::invalid_argument for an empty delimiter.
    static std::vector<std::string> split(const std::string& text, const std::string& delimiter);
    // The lines of the text without their line feeds; no empty entry after a final one.
    static std::vector<std::string> splitStringByNewLine(const std::string& text);

    // Creates a directory and its parents with mode 0755 whatever the umask, dropping
    // every failure; true when something exists at the path afterwards.
    static bool createPath(const std::string& path);
    // Why an existing directory is not safe to keep root's files in: "is owned by user N"
    // (another user than this process's) or "can be written by others"; empty when it is
    // safe or does not exist.
    static std::string untrustedDirectory(const std::string& path);
    // The directory that appLogFileNamePath puts the log into.
    static std::string logDirectory();
    // logDirectory() + "/<base name of path><suffix>.log"; creates the directory when
    // missing.
    static std::string appLogFileNamePath(const std::string& path, const std::string& suffix);
};
