// The command handlers through real connections: a real HTTP server on a loopback port
// with the service's handler factory, real WebSocket clients, real children and signals.

#include <Poco/Buffer.h>
#include <Poco/File.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/WebSocket.h>
#include <Poco/ThreadPool.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channel/activesockets.h"
#include "channel/requesthandlerfactory.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/logtext.h"
#include "core/utils.h"
#include "process/processmonitor.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using VpnService::WebSocketRequestHandler;

const std::string kOpenVpn = "/usr/sbin/openvpn";
// Keeps a real openvpn running with no peer, no device and no output.
const std::vector<std::string> kOpenVpnArgs = {"--dev",  "null", "--lport", "0",
                                               "--verb", "0",    "--log",   "/dev/null"};

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Log::initLog(Utils::appLogFileNamePath("commandhandlers_test", "")); }
};
const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

std::string readLogFile()
{
    std::ifstream file(Log::fileName(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// True when the log, from the given offset on, has a line "<letter>\t<text>".
bool logHas(std::string::size_type from, const std::string& letter, const std::string& text)
{
    std::istringstream stream(readLogFile().substr(from));
    for (std::string line; std::getline(stream, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos && line.substr(tab + 1) == letter + "\t" + text) return true;
    }
    return false;
}

// Whole seconds since the epoch from the clock the service reads; time() may lag it by
// a tick at a second's turn.
long long secondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string withNul(const std::string& text) { return text + std::string(1, '\0'); }

// The pid field of a started or finished message.
int pidOf(const std::string& message) { return std::stoi(message.substr(message.find(':') + 1)); }

// A frame must be "error:<seconds>,<text>" plus NUL, with seconds taken since `since`.
::testing::AssertionResult isError(const std::string& frame, const std::string& text,
                                   long long since)
{
    const auto comma = frame.find(',');
    if (frame.rfind("error:", 0) != 0 || comma == std::string::npos)
        return ::testing::AssertionFailure() << "not an error message: [" << frame << "]";
    const long long seconds = std::stoll(frame.substr(6, comma - 6));
    if (seconds < since || seconds > secondsNow())
        return ::testing::AssertionFailure() << "seconds out of range: [" << frame << "]";
    if (frame.substr(comma + 1) != withNul(text))
        return ::testing::AssertionFailure() << "[" << frame << "] does not carry [" << text << "]";
    return ::testing::AssertionSuccess();
}

// A WebSocket client of the service on loopback.
class Client {
public:
    explicit Client(Poco::UInt16 port)
        : m_session("127.0.0.1", port),
          m_request(Poco::Net::HTTPRequest::HTTP_GET, "/", Poco::Net::HTTPMessage::HTTP_1_1),
          m_socket(m_session, m_request, m_response)
    {
        m_socket.setReceiveTimeout(Poco::Timespan(10, 0));
    }

    void send(const std::string& text)
    {
        m_socket.sendFrame(text.data(), static_cast<int>(text.size()),
                           Poco::Net::WebSocket::FRAME_TEXT);
    }

    // The payload of the next frame; throws Poco::TimeoutException after ten seconds.
    std::string receive()
    {
        Poco::Buffer<char> buffer(0);
        int flags = 0;
        const int n = m_socket.receiveFrame(buffer, flags);
        return std::string(buffer.begin(), n > 0 ? static_cast<std::size_t>(n) : 0);
    }

    // Starts the closing handshake (status 1000).
    void sendClose() { m_socket.shutdown(); }

    // Sends a request that is always answered, and returns the answer. Any reply that
    // an earlier request wrongly produced arrives first and shows up here instead.
    std::string nextReplyAfterProbe()
    {
        send("probe");
        return receive();
    }

private:
    Poco::Net::HTTPClientSession m_session;
    Poco::Net::HTTPRequest m_request;
    Poco::Net::HTTPResponse m_response;
    Poco::Net::WebSocket m_socket;
};

// Spawns a child of the test itself; its pid.
pid_t spawn(const std::string& path, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int err = posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ);
    if (err != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(err));
    return pid;
}

// Waits up to five seconds for an own child to end; its raw wait status, or -1.
int waitForExit(pid_t pid)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) return status;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

// The child's command line. The spawn returns once the child's exec has switched to its
// new memory, a moment before the kernel records the arguments there, so an empty read is
// retried for up to five seconds.
std::string commandLineOf(int pid)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
        std::string line((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!line.empty() || Clock::now() >= deadline) return line;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Waits up to five seconds until the pid is a zombie or gone, without reaping it.
bool hasEnded(int pid)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        const auto nameEnd = stat.rfind(')');
        if (!file || nameEnd == std::string::npos || stat.compare(nameEnd, 3, ") Z") == 0)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

class CommandHandlers : public ::testing::Test {
protected:
    CommandHandlers()
        : m_serverSocket(Poco::Net::SocketAddress("127.0.0.1", 0)),
          m_server(new VpnService::RequestHandlerFactory, m_pool, m_serverSocket,
                   new Poco::Net::HTTPServerParams)
    {
        m_server.start();
    }

    // Clients are the test body's locals, gone by now: wait for every handler to end,
    // then shut the monitor down so that its watcher is joined before the process exits.
    void TearDown() override
    {
        waitForHandlers();
        m_server.stop();
        if (!m_monitorShutDown) VpnService::ProcessMonitor::shutdown();
    }

    std::unique_ptr<Client> connect()
    {
        return std::make_unique<Client>(m_serverSocket.address().port());
    }

    void waitForHandlers()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (WebSocketRequestHandler::activeCount() != 0 && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(0, WebSocketRequestHandler::activeCount());
    }

    // Runs the at-exit pass and drops the monitor singleton, as the shutdown drain does.
    void shutDownMonitor()
    {
        VpnService::ProcessMonitor::shutdown();
        m_monitorShutDown = true;
    }

private:
    Poco::ThreadPool m_pool{2, 16};  // outlives the server, which runs its connections on it
    Poco::Net::ServerSocket m_serverSocket;
    Poco::Net::HTTPServer m_server;
    bool m_monitorShutDown = false;
};

const std::string kProbeError = "parse command error";

TEST_F(CommandHandlers, StartDuplicateStopAndFinishedToEveryClient)
{
    auto a = connect();
    auto b = connect();
    const long long since = secondsNow();

    a->send("start: /bin/sleep 30");
    const std::string started = a->receive();
    const int pid = pidOf(started);
    EXPECT_EQ(withNul("started:" + std::to_string(pid) + ",0,sleep"), started);
    EXPECT_EQ(withNul("/bin/sleep") + withNul("30"), commandLineOf(pid));

    a->send("start: /bin/sleep 30");
    EXPECT_TRUE(isError(a->receive(), "process already running", since));

    // A stop from another connection: no reply to it, the finished message to both.
    const auto stopped = Clock::now();
    b->send("stop: " + std::to_string(pid));
    const std::string finished = withNul("finished:" + std::to_string(pid) + ",0,sleep");
    EXPECT_EQ(finished, b->receive());
    EXPECT_EQ(finished, a->receive());
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(3));
    EXPECT_TRUE(isError(b->nextReplyAfterProbe(), kProbeError, since));
    EXPECT_TRUE(isError(a->nextReplyAfterProbe(), kProbeError, since));

    // Once announced, the pid is no longer supervised.
    b->send("stop: " + std::to_string(pid));
    EXPECT_TRUE(isError(b->receive(), "process does not exist", since));
}

TEST_F(CommandHandlers, StopOfUnsupervisedPidsSignalsNothing)
{
    auto client = connect();
    const long long since = secondsNow();
    const pid_t own = spawn("/bin/sleep", {"30"});  // alive, but not the service's child

    // -1 would reach every process the service may signal.
    for (const std::string& pid :
         std::vector<std::string>{"99999", "-1", "4294967295", std::to_string(own)}) {
        SCOPED_TRACE("stop: " + pid);
        client->send("stop: " + pid);
        EXPECT_TRUE(isError(client->receive(), "process does not exist", since));
    }
    EXPECT_EQ(0, kill(own, 0));
    kill(own, SIGKILL);
    waitForExit(own);
}

// A child that has ended but is not yet announced: the stop gets no reply, and the
// finished message still comes, with the child's own exit code.
TEST_F(CommandHandlers, StopOfEndedChildBeforeItsAnnouncement)
{
    auto client = connect();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        client->send("start: /bin/false");
        const std::string started = client->receive();
        const int pid = pidOf(started);
        ASSERT_EQ(withNul("started:" + std::to_string(pid) + ",0,false"), started);
        ASSERT_TRUE(hasEnded(pid));
        client->send("stop: " + std::to_string(pid));
        client->send("probe");
        // Only once the watcher has announced the child may the stop learn that the pid
        // is unknown; before that it must answer nothing.
        const std::string finished = withNul("finished:" + std::to_string(pid) + ",1,false");
        bool sawFinished = false;
        bool sawProbeReply = false;
        for (int frames = 0; frames < 4 && !(sawFinished && sawProbeReply); ++frames) {
            const std::string frame = client->receive();
            if (frame == finished) {
                sawFinished = true;
            } else if (isError(frame, kProbeError, 0)) {
                sawProbeReply = true;
            } else {
                EXPECT_TRUE(sawFinished && isError(frame, "process does not exist", 0))
                    << "reply to the stop: " << frame;
            }
        }
        EXPECT_TRUE(sawFinished);
        EXPECT_TRUE(sawProbeReply);
    }
}

struct ErrorCase {
    std::string request;
    std::string text;
    bool parseError;
};

TEST_F(CommandHandlers, FailuresAreAnsweredAndTheConnectionKeepsServing)
{
    const std::string noSuchFile = std::strerror(ENOENT);
    const std::vector<ErrorCase> cases = {
        {"start: /nonexistent/program", "create process error: " + noSuchFile, false},
        // The NUL stays in the argument, which no child could be given.
        {"start: <kill openvpn>" + std::string(1, '\0'),
         "create process error: " + std::string(std::strerror(EINVAL)), false},
        {"start: <kill openvpn> ", "create process error: " + noSuchFile, false},
        {"hello", kProbeError, true},
        {"start: ", kProbeError, true},
        {"stop: abc", kProbeError, true},
        {"stop: 0", kProbeError, true},
        {"START: /bin/ls", kProbeError, true},
    };
    auto client = connect();
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE("request [" + c.request + "]");
        const long long since = secondsNow();
        const auto logFrom = readLogFile().size();
        client->send(c.request);
        const std::string frame = client->receive();
        EXPECT_TRUE(isError(frame, c.text, since));

        const std::string logged = LogText::client(c.request);
        EXPECT_TRUE(logHas(logFrom, "I", "[WebSocketHandler] Request: [" + logged + "]"));
        EXPECT_TRUE(
            logHas(logFrom, "E",
                   "[WebSocketHandler] Process error: " + frame.substr(0, frame.size() - 1)));
        EXPECT_EQ(c.parseError,
                  logHas(logFrom, "E", "[WebSocketHandler] Parse error, request=" + logged));
        EXPECT_EQ(!c.parseError, logHas(logFrom, "I", "[WebSocketHandler] Exception"));
    }

    client->send("start: /bin/sleep 30");
    const std::string started = client->receive();
    EXPECT_EQ(withNul("started:" + std::to_string(pidOf(started)) + ",0,sleep"), started);
}

// Both requests kill every openvpn, supervised or not, and answer nothing; a supervised
// one is announced with exit code 0.
TEST_F(CommandHandlers, InitAndSpecialRequestKillEveryOpenVpn)
{
    std::string startRequest = "start: " + kOpenVpn;
    for (const std::string& arg : kOpenVpnArgs) startRequest += " " + arg;
    const std::vector<std::pair<std::string, std::string>> requests = {
        {"init: ", "[WebSocketHandler] Handler for init stage"},
        {"start: <kill openvpn>",
         "[WebSocketHandler] Special request to terminate openvpn (if still he is running still)"},
    };
    auto client = connect();
    for (const auto& [request, logLine] : requests) {
        SCOPED_TRACE(request);
        const pid_t unsupervised = spawn(kOpenVpn, kOpenVpnArgs);
        client->send(startRequest);
        const std::string started = client->receive();
        const int supervised = pidOf(started);
        ASSERT_EQ(withNul("started:" + std::to_string(supervised) + ",0,openvpn"), started);

        const auto logFrom = readLogFile().size();
        client->send(request);
        const int status = waitForExit(unsupervised);
        EXPECT_TRUE(status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "status " << status;
        EXPECT_EQ(withNul("finished:" + std::to_string(supervised) + ",0,openvpn"),
                  client->receive());
        EXPECT_TRUE(isError(client->nextReplyAfterProbe(), kProbeError, 0));
        EXPECT_TRUE(logHas(logFrom, "I", logLine));
        EXPECT_TRUE(logHas(logFrom, "I", "[WebSocketHandler] Task finished with status 0"));
    }
}

TEST_F(CommandHandlers, AtExitIsQueuedWithoutReplyAndRunsAtShutdown)
{
    const std::string marker = "/var/log/Sorvane/atexit-ran";
    {
        auto client = connect();
        client->send("atexit: /bin/touch " + marker);
        EXPECT_TRUE(isError(client->nextReplyAfterProbe(), kProbeError, 0));
    }
    EXPECT_FALSE(Poco::File(marker).exists());
    waitForHandlers();
    shutDownMonitor();
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!Poco::File(marker).exists() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Poco::File(marker).exists());
}

}  // namespace

namespace {

// A connection still open while the drain shuts the monitor down keeps being served by
// the monitor it subscribed to: its stop reaches the child it was told about, and the
// finished message still reaches it.
TEST_F(CommandHandlers, StopDuringTheDrainReachesTheConnectionsChildren)
{
    auto client = connect();
    client->send("start: /bin/sleep 30");
    const std::string started = client->receive();
    const int pid = pidOf(started);
    ASSERT_EQ(withNul("started:" + std::to_string(pid) + ",0,sleep"), started);

    shutDownMonitor();
    client->send("stop: " + std::to_string(pid));
    EXPECT_EQ(withNul("finished:" + std::to_string(pid) + ",0,sleep"), client->receive());
    EXPECT_TRUE(isError(client->nextReplyAfterProbe(), kProbeError, 0));
}

// After the drain's close frame a connection's at-exit record is launched at once, since
// the stop is under way; every other request is logged, and neither carried out nor
// answered.
TEST_F(CommandHandlers, AfterTheCloseFrameOnlyAnAtExitRecordIsCarriedOut)
{
    const std::string startMarker = "/var/log/Sorvane/started";
    const std::string atExitMarker = "/var/log/Sorvane/atexit-ran";
    auto client = connect();
    client->send("start: /bin/sleep 30");
    const int pid = pidOf(client->receive());

    shutDownMonitor();
    VpnService::ActiveSockets::instance().deleteSockets();
    ASSERT_EQ(std::string("\x03\xe8", 2), client->receive());
    const auto logFrom = readLogFile().size();
    const std::vector<std::string> refused = {
        "start: /bin/touch " + startMarker, "stop: " + std::to_string(pid), "init: ",
        "start: <kill openvpn>", "hello"};
    for (const std::string& request : refused) client->send(request);
    client->send("atexit: /bin/touch " + atExitMarker);
    client->sendClose();
    // Not echoed: the connection's end is all that follows.
    EXPECT_EQ("", client->receive());

    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!Poco::File(atExitMarker).exists() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(Poco::File(atExitMarker).exists());
    for (const std::string& request : refused) {
        EXPECT_TRUE(logHas(logFrom, "W",
                           "[WebSocketHandler] Request not carried out after the close frame: [" +
                               request + "]"))
            << request;
    }
    EXPECT_FALSE(logHas(logFrom, "I", "[WebSocketHandler] Handler for init stage"));
    EXPECT_FALSE(Poco::File(startMarker).exists());
    EXPECT_EQ(0, ::kill(pid, 0)) << "the stop was carried out";
    ::kill(pid, SIGKILL);
}

}  // namespace
