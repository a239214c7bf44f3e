#include "tests/channel/channelserver.h"

#include <Poco/DirectoryIterator.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/ServerSocket.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "channel/requesthandlerfactory.h"
#include "channel/websocketrequesthandler.h"
#include "core/customlog.h"
#include "core/utils.h"
#include "process/processmonitor.h"

namespace ChannelTest {

namespace {

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { Log::initLog(Utils::appLogFileNamePath("channel_test", "")); }
    // Stops the watcher thread before static destruction.
    void TearDown() override { VpnService::ProcessMonitor::shutdown(); }
};
const auto* const kLogEnvironment = ::testing::AddGlobalTestEnvironment(new LogEnvironment);

}  // namespace

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string logText()
{
    std::ifstream file(Log::fileName(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

int logCount(const std::string& text)
{
    const std::string log = logText();
    int count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
        ++count;
    return count;
}

int serverSocketOf(const VpnTest::WsClient& client)
{
    const Poco::Net::SocketAddress peer = client.localAddress();
    for (Poco::DirectoryIterator it(std::string("/proc/self/fd")), end; it != end; ++it) {
        const int fd = std::atoi(it.name().c_str());
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
            address.ss_family == AF_INET &&
            Poco::Net::SocketAddress(reinterpret_cast<sockaddr*>(&address), length) == peer)
            return fd;
    }
    throw std::runtime_error("no server socket for " + peer.toString());
}

bool serverCanSendTo(const VpnTest::WsClient& client)
{
    pollfd entry{serverSocketOf(client), POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) != 0;
}

void setServerSendBuffer(const VpnTest::WsClient& client, int bytes)
{
    if (::setsockopt(serverSocketOf(client), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0)
        throw std::runtime_error("SO_SNDBUF failed");
}

void fireFinished(std::string message)
{
    VpnService::ProcessMonitor::instance()->eventProcessFinished().notify(nullptr, message);
}

void ServerTest::SetUp()
{
    // Address reuse only, as the service listens: no second socket may share the port.
    Poco::Net::ServerSocket socket;
    socket.bind(Poco::Net::SocketAddress("127.0.0.1", 0), true, false);
    socket.listen(64);
    m_address = socket.address();
    m_server = std::make_unique<Poco::Net::HTTPServer>(new VpnService::RequestHandlerFactory,
                                                       socket, new Poco::Net::HTTPServerParams);
    m_server->start();
}

void ServerTest::TearDown()
{
    EXPECT_TRUE(handlersBecome(0))
        << "handlers left: " << VpnService::WebSocketRequestHandler::activeCount();
    m_server->stop();
}

std::unique_ptr<VpnTest::WsClient> ServerTest::connect(int receiveBufferBytes)
{
    const int established = logCount("[WebSocketHandler] connection established");
    auto client = std::make_unique<VpnTest::WsClient>(m_address, receiveBufferBytes);
    client->handshake();
    // The line follows the registration, which itself follows the 101.
    EXPECT_TRUE(eventually(
        [&] { return logCount("[WebSocketHandler] connection established") == established + 1; }));
    return client;
}

bool ServerTest::handlersBecome(int count)
{
    return eventually(
        [count] { return VpnService::WebSocketRequestHandler::activeCount() == count; });
}

}  // namespace ChannelTest
