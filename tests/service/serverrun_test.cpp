// The server run of the real binary: banner, port probe, support scripts, termination.
#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "client.h"
#include "serviceprocess.h"

using namespace servicetest;

namespace {

std::string binaryDir()
{
    const std::string binary = VPN_SERVICE_BINARY;
    return binary.substr(0, binary.rfind('/') + 1);
}

// A directory with a link to the service binary and the given support scripts, so that
// the service finds its scripts there (the link is not resolved).
struct ScriptDir {
    explicit ScriptDir(const std::string& name = "svc")
        : dir(makeTempDir() + "/" + name + "/"), binary(dir + "vpn-service")
    {
        std::system(("mkdir -p '" + dir + "'").c_str());
        EXPECT_EQ(::symlink(VPN_SERVICE_BINARY, binary.c_str()), 0);
    }
    // A script that records its arguments in <dir><name>.args, runs `first` and exits
    // with `code`.
    void addScript(const std::string& name, int code, const std::string& first = "")
    {
        writeFile(dir + name,
                  "#!/bin/sh\n" + first + "\necho \"$@\" > \"$(dirname \"$0\")/" + name +
                      ".args\"\n" + "ls -l /proc/$$/fd > \"$(dirname \"$0\")/" + name +
                      ".fds\"\nexit " + std::to_string(code) + "\n",
                  0755);
    }
    std::string args(const std::string& name) const { return readFile(dir + name + ".args"); }

    std::string dir;
    std::string binary;
};

TEST(ServerRun, LogsEveryStepInOrderAndStopsOnSigterm)
{
    const std::string dir = binaryDir();
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    service.signal(SIGTERM);
    ASSERT_EQ(service.waitExit(), 0);

    const std::vector<std::string> expected = {
        "",
        "[ServiceApplication] VPN service, POCO version 1.11.0",
        "[ServiceApplication] Log file: '/var/log/Sorvane/vpn-service.log'",
        "[ServiceApplication] Working directory '" + dir + "'",
        "[ServiceApplication] Network initialization",
        "[ServiceApplication] Checking network ports",
        "[ServiceApplication] Starting server",
        "[ServiceApplication] Resettings settings to default",
        "[ServiceApplication] Initialize environment with defauls settings",
        "[ServiceApplication] Execute command '\"" + dir + "killswitch\" disable all'",
        "[ServiceApplication] Command finished with status 0",
        "[ServiceApplication] Execute command '\"" + dir + "dns\" reset'",
        "[ServiceApplication] Command finished with status 0",
        "[ServiceApplication] Waitng for a termination...",
        "[ServiceApplication] Stopped",
        "[ProcessMonitor] At exit handler started",
        "[ProcessMonitor] Processes to launch: 0",
        "[ProcessMonitor] At exit handler finished",
        "[Main] Finished",
    };
    EXPECT_EQ(logTexts(), expected);
    EXPECT_EQ(service.standardOutput(), "killswitch: disable all\ndns: reset\n");
}

TEST(ServerRun, EveryTerminationSignalEndsTheRunWithZero)
{
    for (int signalNumber : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        ServiceProcess service;
        ASSERT_TRUE(service.waitServing()) << signalNumber;
        service.signal(signalNumber);
        EXPECT_EQ(service.waitExit(), 0) << signalNumber;
        ::unlink(kLogPath);
    }
}

TEST(ServerRun, SignalDuringAScriptStopsTheServiceOnceReady)
{
    // With a kill-all request as well: its shell runs on a connection thread while the
    // scripts run, and system() there set SIGINT and SIGQUIT to "ignored" in the whole
    // service, which discarded one that was pending until the service was ready to stop.
    const struct {
        int signalNumber;
        bool killAll;
    } cases[] = {
        {SIGINT, false}, {SIGQUIT, false}, {SIGTERM, false}, {SIGINT, true}, {SIGQUIT, true}};
    for (const auto& c : cases) {
        const std::string what =
            std::to_string(c.signalNumber) + (c.killAll ? " beside a kill-all" : "");
        ScriptDir scripts;
        scripts.addScript("killswitch", 0, "sleep 2");
        scripts.addScript("dns", 0);
        ServiceProcess service({}, scripts.binary);
        ASSERT_TRUE(waitForLog("Execute command '\"" + scripts.dir + "killswitch\"")) << what;
        if (c.killAll) {
            Client client;
            service.signal(c.signalNumber);
            client.send("init: ");
            ASSERT_TRUE(waitForLog("Task finished with status")) << what;
        } else {
            std::this_thread::sleep_for(500ms);
            service.signal(c.signalNumber);
        }
        // The script runs to its end, then the next one, then the service stops.
        EXPECT_EQ(service.waitExit(8s), 0) << what << "\n" << service.standardError();
        const auto texts = logTexts();
        const int stopped = findLog(texts, "[ServiceApplication] Stopped");
        EXPECT_GT(stopped, findLog(texts, "Execute command '\"" + scripts.dir + "dns\" reset'"))
            << what;
        ::unlink(kLogPath);
    }
}

TEST(ServerRun, SignalWhileTheConfigurationLoadsStopsTheServiceOnceReady)
{
    // Loading a configuration file that is a FIFO waits for a writer.
    const std::string config = makeTempDir() + "/service.properties";
    ASSERT_EQ(::mkfifo(config.c_str(), 0644), 0);
    ServiceProcess service({"--configfile=" + config});
    ASSERT_TRUE(waitFor([] { return fileExists("/var/log/Sorvane"); }, 5s));
    std::this_thread::sleep_for(200ms);
    service.signal(SIGTERM);
    std::ofstream(config) << "some.key = 1\n";
    EXPECT_EQ(service.waitExit(), 0);
    const auto texts = logTexts();
    EXPECT_GT(findLog(texts, "[ServiceApplication] Stopped"),
              findLog(texts, "[ServiceApplication] Waitng for a termination..."));
}

TEST(ServerRun, TakenPortEndsWith70BeforeAnyScriptRuns)
{
    for (const char* address : {"127.0.0.1", "0.0.0.0"}) {
        Poco::Net::ServerSocket holder(Poco::Net::SocketAddress(address, 6457));
        ServiceProcess service;
        EXPECT_EQ(service.waitExit(), 70) << address;
        const auto texts = logTexts();
        EXPECT_GE(findLog(texts, "Checking network ports"), 0) << address;
        EXPECT_EQ(findLog(texts, "Starting server"), -1) << address;
        EXPECT_EQ(findLog(texts, "Execute command"), -1) << address;
        EXPECT_EQ(texts.back(), "[Main] Finished") << address;
        EXPECT_EQ(service.standardOutput(), "") << address;
        ::unlink(kLogPath);
    }
}

TEST(ServerRun, ScriptsRunInOrderWithTheirArgumentsAndRawStatus)
{
    ScriptDir scripts("dir with blank");
    scripts.addScript("killswitch", 1);
    scripts.addScript("dns", 0);
    ServiceProcess service({}, scripts.binary);
    ASSERT_TRUE(service.waitServing());
    EXPECT_EQ(scripts.args("killswitch"), "disable all\n");
    EXPECT_EQ(scripts.args("dns"), "reset\n");
    // The shell holds neither the listening socket nor the log file.
    for (const char* name : {"killswitch", "dns"}) {
        const std::string fds = readFile(scripts.dir + name + ".fds");
        EXPECT_EQ(fds.find("socket:"), std::string::npos) << name << "\n" << fds;
        EXPECT_EQ(fds.find(".log"), std::string::npos) << name << "\n" << fds;
    }
    const auto texts = logTexts();
    const int killswitch =
        findLog(texts, "Execute command '\"" + scripts.dir + "killswitch\" disable all'");
    ASSERT_GE(killswitch, 0);
    EXPECT_EQ(texts[killswitch + 1], "[ServiceApplication] Command finished with status 256");
    const int dns = findLog(texts, "Execute command '\"" + scripts.dir + "dns\" reset'");
    EXPECT_EQ(dns, killswitch + 2);
    EXPECT_EQ(texts[dns + 1], "[ServiceApplication] Command finished with status 0");
}

TEST(ServerRun, MissingScriptsAreWarnedAboutAndTheRunGoesOn)
{
    ScriptDir scripts;
    ServiceProcess service({}, scripts.binary);
    ASSERT_TRUE(service.waitServing());
    const auto texts = logTexts();
    const int first =
        findLog(texts, "[ServiceApplication] File '" + scripts.dir + "killswitch' does not exist!");
    ASSERT_GE(first, 0);
    EXPECT_EQ(texts[first + 1],
              "[ServiceApplication] File '" + scripts.dir + "dns' does not exist!");
    EXPECT_NE(readFile(kLogPath).find("\tW\t[ServiceApplication] File '"), std::string::npos);
    EXPECT_TRUE(canConnect("127.0.0.1"));
}

TEST(ServerRun, ListensOnLoopbackOnly)
{
    // A second address on this namespace's own loopback device.
    ASSERT_EQ(std::system("ip addr add 10.11.12.13/32 dev lo"), 0);
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing());
    EXPECT_TRUE(canConnect("127.0.0.1"));
    EXPECT_FALSE(canConnect("10.11.12.13"));
}

TEST(ServerRun, NoSocketCanShareThePortWhileItRuns)
{
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing());
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(6457);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);

    ServiceProcess second;
    EXPECT_EQ(second.waitExit(), 70);
    EXPECT_TRUE(service.running());
    Client client;  // the first one still serves
}

TEST(ServerRun, RestartsAtOnceAfterClientsWereConnected)
{
    {
        ServiceProcess service;
        ASSERT_TRUE(service.waitServing());
        Client client;
        service.signal(SIGTERM);
        // The service closes first, so its side of the connection lingers in TIME-WAIT.
        const auto close = client.receive();
        ASSERT_TRUE(close);
        EXPECT_EQ(close->flags, 0x88);
        client.sendClose();
        ASSERT_EQ(service.waitExit(), 0);
    }
    ::unlink(kLogPath);
    ServiceProcess again;
    ASSERT_TRUE(again.waitServing()) << again.standardError();
    EXPECT_TRUE(again.running());
}

}  // namespace
