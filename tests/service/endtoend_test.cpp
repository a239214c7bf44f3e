// The whole service end to end: real binary, real WebSocket clients, real children
// (Debian's openvpn among them), real signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "client.h"
#include "serviceprocess.h"

extern char** environ;

using namespace servicetest;

namespace {

// One watcher pass (once a second), with room for sanitizer builds on a busy machine.
const auto kAboutASecond = 2500ms;

const std::string kOpenvpn = "/usr/sbin/openvpn --dev null --lport 0 --verb 0";

// Running, and not a zombie waiting to be reaped.
bool alive(int pid)
{
    return ::kill(pid, 0) == 0 &&
           readFile("/proc/" + std::to_string(pid) + "/stat").find(") Z") == std::string::npos;
}

// The pid in "started:<pid>,0,<name>", or -1.
int startedPid(const std::string& message, const std::string& name)
{
    std::smatch match;
    if (!std::regex_match(message, match, std::regex("started:(\\d+),0," + name))) return -1;
    return std::stoi(match[1]);
}

// The failure text of "error:<seconds>,<text>", checking that the seconds are now.
std::string errorText(const std::string& message)
{
    std::smatch match;
    if (!std::regex_match(message, match, std::regex("error:(\\d+),(.*)")))
        return "<" + message + ">";
    const long seconds = std::stol(match[1]);
    if (std::labs(seconds - static_cast<long>(std::time(nullptr))) > 5) return "<stale seconds>";
    return match[2];
}

// An openvpn the service did not start.
int spawnStrangerOpenvpn()
{
    const char* argv[] = {
        "/usr/sbin/openvpn", "--dev", "null", "--lport", "0", "--verb", "0", nullptr};
    int pid = -1;
    posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ);
    return pid;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.waitServing()) << service.standardError(); }

    ServiceProcess service;
};

TEST_F(EndToEnd, StartDuplicateStopAndFinishedToEveryClient)
{
    Client a;
    Client b;
    a.send("start: " + kOpenvpn);
    const int pid = startedPid(a.receiveText(), "openvpn");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(alive(pid));

    a.send("start: " + kOpenvpn);
    EXPECT_EQ(errorText(a.receiveText()), "process already running");

    b.send("stop: " + std::to_string(pid));
    const std::string finished = "finished:" + std::to_string(pid) + ",0,openvpn";
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(a.receiveText(), finished);
    EXPECT_EQ(b.receiveText(), finished);  // and no reply to the stop before it
    EXPECT_LT(std::chrono::steady_clock::now() - begin, kAboutASecond);
    EXPECT_FALSE(alive(pid));

    // Once announced, the same record can be started again.
    a.send("start: " + kOpenvpn);
    EXPECT_GT(startedPid(a.receiveText(), "openvpn"), 0);
}

TEST_F(EndToEnd, IdenticalStartsSentTogetherLaunchOneChild)
{
    const int kClients = 16;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>());
    const std::string dir = makeTempDir();
    for (int round = 0; round < 20; ++round) {
        // Each child notes its start in the round's file, then runs until it is stopped.
        const std::string file = dir + "/" + std::to_string(round);
        const std::string start = "start: /bin/sh -c \"echo >> " + file + "; exec sleep 30\"";
        std::atomic<int> ready{0};
        std::atomic<bool> go{false};
        std::vector<std::string> replies(kClients);
        std::vector<std::thread> senders;
        for (int i = 0; i < kClients; ++i) {
            senders.emplace_back([&, i] {
                ++ready;
                while (!go) std::this_thread::yield();
                try {
                    clients[i]->send(start);
                    // Finished messages of the rounds before may come first.
                    do {
                        replies[i] = clients[i]->receiveText(10s);
                    } while (replies[i].rfind("finished:", 0) == 0);
                } catch (const std::exception& e) {
                    replies[i] = e.what();
                }
            });
        }
        while (ready < kClients) std::this_thread::yield();
        go = true;
        for (auto& sender : senders) sender.join();

        std::vector<int> pids;
        int refused = 0;
        for (const std::string& reply : replies) {
            const int pid = startedPid(reply, "sh");
            if (pid > 0) pids.push_back(pid);
            refused += errorText(reply) == "process already running";
        }
        // Every child launched has written its line before it is stopped.
        const std::string lines(pids.size(), '\n');
        EXPECT_TRUE(waitFor([&] { return readFile(file) == lines; }, 5s)) << "round " << round;
        for (int pid : pids) clients[0]->send("stop: " + std::to_string(pid));
        ASSERT_EQ(pids.size(), 1u) << "round " << round;
        EXPECT_EQ(refused, kClients - 1) << "round " << round;
    }
}

TEST_F(EndToEnd, FailuresAreReportedToTheRequesterAndTheConnectionGoesOn)
{
    Client client;
    client.send("start: /nonexistent/program");
    EXPECT_EQ(errorText(client.receiveText()).rfind("create process error: ", 0), 0u);
    client.send("stop: 99999");
    EXPECT_EQ(errorText(client.receiveText()), "process does not exist");
    client.send("hello");
    EXPECT_EQ(errorText(client.receiveText()), "parse command error");
    client.send("start: /bin/sh -c \"exit 3\"");
    const int pid = startedPid(client.receiveText(), "sh");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(client.receiveText(), "finished:" + std::to_string(pid) + ",3,sh");
}

TEST_F(EndToEnd, InitAndTheSpecialRequestKillEveryOpenvpnWithoutReply)
{
    for (const std::string request : {"init: ", "start: <kill openvpn>"}) {
        Client client;
        client.send("start: " + kOpenvpn);
        const int supervised = startedPid(client.receiveText(), "openvpn");
        ASSERT_GT(supervised, 0) << request;
        const int stranger = spawnStrangerOpenvpn();
        ASSERT_TRUE(waitFor([&] { return alive(stranger); }, 2s));

        client.send(request);
        EXPECT_TRUE(waitFor([&] { return !alive(stranger) && !alive(supervised); }, 3s)) << request;
        // The only message is the supervised child's end.
        EXPECT_EQ(client.receiveText(), "finished:" + std::to_string(supervised) + ",0,openvpn")
            << request;
        EXPECT_FALSE(client.receive(300ms)) << request;
        int status = 0;
        ::waitpid(stranger, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << request;
    }
}

TEST_F(EndToEnd, AtExitRecordsRunInOrderBeforeClientsAreClosed)
{
    const std::string dir = makeTempDir();
    Client a;
    Client b;
    a.send("atexit: /bin/sh -c \"echo one > " + dir + "/one\"");
    ASSERT_TRUE(waitForLog("Request: [atexit: /bin/sh"));  // queued first
    b.send("atexit: /usr/bin/env sh -c \"echo two > " + dir + "/two\"");
    ASSERT_FALSE(a.receive(200ms));  // no reply to atexit
    ASSERT_TRUE(waitForLog("Request: [atexit: /usr/bin/env"));

    service.signal(SIGTERM);
    for (Client* client : {&a, &b}) {
        const auto frame = client->receive();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->flags, 0x88);
        EXPECT_EQ(frame->payload, std::string("\x03\xe8", 2));
    }
    // By the time the close frames arrive, both records have been launched, in order.
    const auto texts = logTexts();
    const int pass = findLog(texts, "[ProcessMonitor] Processes to launch: 2");
    ASSERT_GE(pass, 0);
    EXPECT_NE(texts[pass + 1].find("[ProcessMonitor] Started (started:"), std::string::npos);
    EXPECT_NE(texts[pass + 1].find(",0,sh)"), std::string::npos) << texts[pass + 1];
    EXPECT_NE(texts[pass + 2].find(",0,env)"), std::string::npos) << texts[pass + 2];
    EXPECT_EQ(texts[pass + 3], "[ProcessMonitor] At exit handler finished");
    EXPECT_TRUE(waitFor(
        [&] { return readFile(dir + "/one") == "one\n" && readFile(dir + "/two") == "two\n"; },
        3s));

    a.sendClose();
    b.sendClose();
    EXPECT_EQ(service.waitExit(), 0);
}

TEST_F(EndToEnd, ExitWaitsForEveryClientToClose)
{
    Client answering;
    Client silent;
    service.signal(SIGTERM);
    ASSERT_TRUE(answering.receive());
    answering.sendClose();
    ASSERT_TRUE(silent.receive());
    // The silent client keeps its connection: the service waits for it.
    EXPECT_FALSE(service.waitExit(1500ms));
    EXPECT_EQ(findLog(logTexts(), "[Main] Finished"), -1);
    silent.close();
    EXPECT_EQ(service.waitExit(3s), 0);
    EXPECT_EQ(logTexts().back(), "[Main] Finished");
}

TEST_F(EndToEnd, DrainWithoutClientsEndsWithinASecond)
{
    const auto begin = std::chrono::steady_clock::now();
    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(3s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, kAboutASecond);
    EXPECT_EQ(logTexts().back(), "[Main] Finished");
}

}  // namespace
