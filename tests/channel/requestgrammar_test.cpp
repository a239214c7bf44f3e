// The request grammar as a table: each request text with the command, launch record,
// pid and result that parseCommand must yield, and the log lines it must write.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/utils.h"

namespace {

using VpnService::ProcessStartInfo;
using Handler = VpnService::WebSocketRequestHandler;

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Log::initLog(Utils::appLogFileNamePath("requestgrammar_test", "")); }
};
const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

std::string readLogFile()
{
    std::ifstream file(Log::fileName(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// "<priority letter> <text>" for each line of a log excerpt, without the timestamp.
std::vector<std::string> logLines(const std::string& excerpt)
{
    std::vector<std::string> lines;
    std::istringstream stream(excerpt);
    for (std::string line; std::getline(stream, line);) {
        const auto firstTab = line.find('\t');
        const auto secondTab = line.find('\t', firstTab + 1);
        if (firstTab == std::string::npos || secondTab == std::string::npos) {
            lines.push_back("? " + line);
            continue;
        }
        lines.push_back(line.substr(firstTab + 1, secondTab - firstTab - 1) + " " +
                        line.substr(secondTab + 1));
    }
    return lines;
}

struct GrammarCase {
    std::string request;
    Handler::CommandType type;
    std::string path;
    std::vector<std::string> args;
    int pid;
    bool result;
    std::vector<std::string> log;  // what parseCommand writes, in order
};

std::string warning(const std::string& word) { return "W First arg is not a command, arg=" + word; }
std::string stoulError(const std::string& word) { return "E std::stoul error; s=" + word; }

const std::string kSpecial = "start: <kill openvpn>";

// Words that are no command word, each logged as warning("a").
std::string words(int n)
{
    std::string text;
    for (int i = 0; i < n; ++i) text += "ab ";
    return text;
}
std::vector<std::string> warnings(int n, const std::string& leftOut = "")
{
    std::vector<std::string> lines(n, warning("a"));
    if (!leftOut.empty()) lines.push_back("W First arg is not a command, " + leftOut);
    return lines;
}

// One row per case reads better than one field per line.
// clang-format off
const std::vector<GrammarCase> kCases = {
    // start and its words
    {"start: /bin/ls", Handler::Start, "/bin/ls", {}, 0, true, {}},
    {"start: /bin/echo a b c", Handler::Start, "/bin/echo", {"a", "b", "c"}, 0, true, {}},
    {"start: /bin/bash -c \"killall -9 openvpn\"", Handler::Start, "/bin/bash",
     {"-c", "killall -9 openvpn"}, 0, true, {}},
    {"start: /bin/bash -c 'killall -9 openvpn'", Handler::Start, "/bin/bash",
     {"-c", "'killall -9 openvpn'"}, 0, true, {}},
    {"start: /bin/bash --opt=\"a b\"", Handler::Start, "/bin/bash", {"--opt=\"a b\""}, 0, true, {}},
    {"start: /bin/echo a\"b c\"d", Handler::Start, "/bin/echo", {"a\"b c\"d"}, 0, true, {}},
    {"start: /bin/echo \"it's\" 'say \"hi\"'", Handler::Start, "/bin/echo",
     {"it's", "'say \"hi\"'"}, 0, true, {}},
    {"start: \"/opt/my app/run\" x", Handler::Start, "/opt/my app/run", {"x"}, 0, true, {}},
    {"start: /bin/echo \"\"", Handler::Start, "/bin/echo", {"\"\""}, 0, true, {}},
    {"start: /bin/echo \"a b", Handler::Start, "/bin/echo", {"\"a b"}, 0, true, {}},
    {"start: /bin/echo a  b ", Handler::Start, "/bin/echo", {"a", "b"}, 0, true, {}},
    {"start: /bin/echo a\tb\r\n", Handler::Start, "/bin/echo", {"a\tb\r\n"}, 0, true, {}},
    {" start: /bin/ls", Handler::Start, "/bin/ls", {}, 0, true, {}},
    {"start: ", Handler::Start, "", {}, 0, false, {}},
    {"start:    ", Handler::Start, "", {}, 0, false, {}},
    {"start:/bin/bash", Handler::None, "", {}, 0, false, {}},
    {kSpecial, Handler::Start, "<kill", {"openvpn>"}, 0, true, {}},
    {kSpecial + std::string(1, '\0'), Handler::Start, "<kill",
     {"openvpn>" + std::string(1, '\0')}, 0, true, {}},
    {kSpecial + "\n", Handler::Start, "<kill", {"openvpn>\n"}, 0, true, {}},
    // atexit and init
    {"atexit: /bin/bash x", Handler::AtExit, "/bin/bash", {"x"}, 0, true, {}},
    {"atexit: ", Handler::AtExit, "", {}, 0, false, {}},
    {"init: ", Handler::Init, "", {}, 0, true, {}},
    {"init: a b", Handler::Init, "", {}, 0, true, {}},
    {"init:", Handler::None, "", {}, 0, false, {}},
    // stop and the pid conversion
    {"stop: 731", Handler::Stop, "", {}, 731, true, {}},
    {"stop: 731 94", Handler::Stop, "", {}, 731, true, {}},
    {"stop: 731 94 ", Handler::Stop, "", {}, 94, true, {}},
    {"stop: 0 5", Handler::Stop, "", {}, 5, true, {}},
    {"stop: 0", Handler::Stop, "", {}, 0, false, {}},
    {"stop:   ", Handler::Stop, "", {}, 0, false, {}},
    {"stop: abc", Handler::Stop, "", {}, 0, false, {stoulError("abc")}},
    {"stop: abc 731", Handler::Stop, "", {}, 0, false, {stoulError("abc")}},
    {"stop: 731 abc", Handler::Stop, "", {}, 731, true, {}},
    {"stop: -1", Handler::Stop, "", {}, -1, true, {}},
    {"stop: +8", Handler::Stop, "", {}, 8, true, {}},
    {"stop: 12abc", Handler::Stop, "", {}, 12, true, {}},
    {"stop: 4294967297", Handler::Stop, "", {}, 1, true, {}},
    {"stop: 0x10", Handler::Stop, "", {}, 0, false, {}},
    {"stop: \t7", Handler::Stop, "", {}, 7, true, {}},
    {"stop: \"5\"", Handler::Stop, "", {}, 0, false, {stoulError("\"5\"")}},
    {"stop: 18446744073709551616", Handler::Stop, "", {}, 0, false,
     {stoulError("18446744073709551616")}},
    {"stop:731", Handler::None, "", {}, 0, false, {}},
    // command word search
    {"hello", Handler::None, "", {}, 0, false, {}},
    {"", Handler::None, "", {}, 0, false, {}},
    {"hello world", Handler::None, "", {}, 0, false, {warning("hell")}},
    {"xyz: start: /bin/bash", Handler::Start, "/bin/bash", {}, 0, true, {warning("xyz")}},
    {"START: /bin/bash", Handler::None, "", {}, 0, false, {warning("START")}},
    {"a stop: 9", Handler::Stop, "", {}, 9, true, {warning("")}},
    {"start; /bin/ls", Handler::Start, "/bin/ls", {}, 0, true, {}},
    // client text in the log: escaped, and few warnings for one request
    {"a\nb c", Handler::None, "", {}, 0, false, {warning("a\\x0a")}},
    {"stop: a\\\rb", Handler::Stop, "", {}, 0, false, {stoulError("a\\\\\\x0db")}},
    {words(8) + "stop: 7", Handler::Stop, "", {}, 7, true, warnings(8)},
    {words(9) + "stop: 7", Handler::Stop, "", {}, 7, true,
     warnings(8, "1 more words not logged")},
    {words(100), Handler::None, "", {}, 0, false, warnings(8, "92 more words not logged")},
};
// clang-format on

TEST(RequestGrammar, ParseCommandTable)
{
    for (const GrammarCase& c : kCases) {
        SCOPED_TRACE("request [" + c.request + "]");
        // Outputs in some earlier state: parseCommand must reset them.
        Handler::CommandType type = Handler::Stop;
        ProcessStartInfo startInfo{"/stale/path", {"stale"}};
        int pid = 42;

        const std::string::size_type logBefore = readLogFile().size();
        const bool result = Handler::parseCommand(type, startInfo, pid, c.request);
        const std::vector<std::string> written = logLines(readLogFile().substr(logBefore));

        EXPECT_EQ(c.result, result);
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.path, startInfo.path);
        EXPECT_EQ(c.args, startInfo.args);
        EXPECT_EQ(c.pid, pid);
        EXPECT_EQ(c.log, written);
    }
}

}  // namespace
