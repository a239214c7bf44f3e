// The request grammar: a command word ending in one byte the client sets to ':', then
// blank-separated words, with single or double quotes grouping blanks into one word.
// Nothing is trimmed, folded or escaped; every byte value passes into the words.

#include <Poco/Format.h>

#include <cstdint>
#include <string>

#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/logtext.h"
#include "core/utils.h"

namespace VpnService {

namespace {

// Kills every openvpn with no reply; only an exact byte match counts.
const std::string kSpecialRequest = "start: <kill openvpn>";
const char kBlank = ' ';
// Warnings about words before the command word, for one request: each word of a request
// of one-byte words would otherwise log a line.
const int kMaxWordWarnings = 8;

// std::stoul (base 10, leading white space skipped, one sign, the rest after the digits
// ignored) truncated to the low 32 bits, so "-1" is -1 and "4294967297" is 1.
// Throws std::invalid_argument or std::out_of_range.
int toPid(const std::string& word)
{
    const unsigned long value = std::stoul(word, nullptr, 10);
    return static_cast<int>(static_cast<uint32_t>(value));
}

// Converts a word for a stop request; logs and returns false when it is not a number.
bool convertPid(const std::string& word, int& pid)
{
    try {
        pid = toPid(word);
    } catch (const std::exception&) {
        Log::error(Poco::format("std::stoul error; s=%s", LogText::client(word)));
        return false;
    }
    return true;
}

WebSocketRequestHandler::CommandType commandOf(const std::string& word)
{
    if (word == "start") return WebSocketRequestHandler::Start;
    if (word == "init") return WebSocketRequestHandler::Init;
    if (word == "atexit") return WebSocketRequestHandler::AtExit;
    if (word == "stop") return WebSocketRequestHandler::Stop;
    return WebSocketRequestHandler::None;
}

void addWord(ProcessStartInfo& startInfo, const std::string& word)
{
    if (startInfo.path.empty())
        startInfo.path = word;
    else
        startInfo.args.push_back(word);
}

// Once the search for the command word is over.
void logLeftOutWarnings(int wordWarnings)
{
    if (wordWarnings > kMaxWordWarnings) {
        Log::warning(Poco::format("First arg is not a command, %d more words not logged",
                                  wordWarnings - kMaxWordWarnings));
    }
}

// One word that an unquoted blank ended. False when the request must be rejected now.
bool processToken(WebSocketRequestHandler::CommandType& type, ProcessStartInfo& startInfo, int& pid,
                  int& wordWarnings, const std::string& token)
{
    if (token.empty()) return true;
    switch (type) {
        case WebSocketRequestHandler::Stop:
            return convertPid(token, pid);  // a later word replaces the pid
        case WebSocketRequestHandler::Start:
        case WebSocketRequestHandler::AtExit:
            addWord(startInfo, token);
            return true;
        case WebSocketRequestHandler::Init:
            return true;
        case WebSocketRequestHandler::None:
            break;
    }
    // The last byte is the client's ':' and is not looked at.
    const std::string word = token.substr(0, token.size() - 1);
    type = commandOf(word);
    if (type != WebSocketRequestHandler::None)
        logLeftOutWarnings(wordWarnings);
    else if (++wordWarnings <= kMaxWordWarnings)
        Log::warning(Poco::format("First arg is not a command, arg=%s", LogText::client(word)));
    return true;
}

}  // namespace

void WebSocketRequestHandler::parseRequest(const std::string& request)
{
    Log::information(Poco::format("%s Request: [%s]", m_objectName, LogText::client(request)));
    if (request == kSpecialRequest) {
        Log::information(
            Poco::format("%s Special request to terminate openvpn (if still he is running still)",
                         m_objectName));
        killAllOpenVpnProcesses();
        return;
    }

    CommandType type = None;
    ProcessStartInfo startInfo;
    int pid = 0;
    if (!parseCommand(type, startInfo, pid, request)) {
        Log::error(
            Poco::format("%s Parse error, request=%s", m_objectName, LogText::client(request)));
        onProcessError("parse command error");
        return;
    }
    switch (type) {
        case Init:
            handlerInit();
            break;
        case Start:
            handlerLaunchProcess(startInfo);
            break;
        case AtExit:
            handlerAddStartAtExit(startInfo);
            break;
        case Stop:
            handlerCloseProcess(pid);
            break;
        case None:
            break;  // parseCommand never accepts it
    }
}

bool WebSocketRequestHandler::parseCommand(CommandType& type, ProcessStartInfo& startInfo, int& pid,
                                           const std::string& request)
{
    type = None;
    startInfo.path.clear();
    startInfo.args.clear();
    pid = 0;

    bool inQuote = false;
    char quote = '\0';
    std::string::size_type tokenStart = 0;
    int wordWarnings = 0;
    for (std::string::size_type i = 0; i < request.size(); ++i) {
        const char byte = request[i];
        if (inQuote) {
            // Only the opening quote byte closes; it stays in the word either way.
            if (byte == quote) inQuote = false;
        } else if (byte == kBlank) {
            if (!processToken(type, startInfo, pid, wordWarnings,
                              request.substr(tokenStart, i - tokenStart)))
                return false;
            tokenStart = i + 1;
        } else if (byte == '\'' || byte == '"') {
            inQuote = true;
            quote = byte;
        }
    }

    if (type == None) logLeftOutWarnings(wordWarnings);

    // The tail is never tried as a command word, so a command word needs a blank after it.
    if (tokenStart < request.size()) {
        const std::string tail = request.substr(tokenStart);
        if (type == Start || type == AtExit) {
            addWord(startInfo, tail);
        } else if (type == Stop && pid == 0) {
            if (!convertPid(tail, pid)) return false;
        }
    }

    startInfo.path = Utils::unquotedString(startInfo.path);
    for (std::string& arg : startInfo.args) arg = Utils::unquotedString(arg);

    switch (type) {
        case Start:
        case AtExit:
            return !startInfo.path.empty();
        case Init:
            return true;
        case Stop:
            return pid != 0;
        case None:
            break;
    }
    return false;
}

}  // namespace VpnService
