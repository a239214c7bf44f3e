// The log under faults and hostile text, against the real binary: a full log file system,
// a log file deleted or moved, a standard error nobody reads, requests that would forge
// lines or fill the disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <regex>
#include <sstream>

#include "client.h"
#include "serviceprocess.h"

using namespace servicetest;

namespace {

const std::string kLogDir = "/var/log/Sorvane";

bool isError(const std::string& reply, const std::string& text)
{
    return std::regex_match(reply, std::regex("error:\\d+," + text));
}

int startedPid(const std::string& reply)
{
    std::smatch match;
    if (!std::regex_search(reply, match, std::regex("^started:(\\d+),0,"))) return -1;
    return std::stoi(match[1]);
}

int count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

// Fills the file system of `dir` with one file until no byte more fits.
void fill(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    const char byte = 'f';
    while (::write(fd, &byte, 1) > 0) {
    }
    ::close(fd);
}

// SIGTERM, each client answering its close frame: the service exits with 0 within the stop's
// bound and has run the at-exit record that touches /tmp/at-exit-ran.
void stopAnsweringCloseFrames(ServiceProcess& service, std::initializer_list<Client*> clients)
{
    const auto signalled = std::chrono::steady_clock::now();
    service.signal(SIGTERM);
    for (Client* client : clients) {
        const auto frame = client->receive();
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->flags, 0x88);
        client->sendClose();
    }
    EXPECT_EQ(service.waitExit(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 8s);
    EXPECT_TRUE(waitFor([] { return fileExists("/tmp/at-exit-ran"); }, 3s));
}

TEST(LogFaults, FullLogFileSystemStopsNoRequestReplyBroadcastOrShutdown)
{
    ASSERT_EQ(::mkdir(kLogDir.c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", kLogDir.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    Client a;
    Client b;
    a.send("atexit: /usr/bin/touch /tmp/at-exit-ran");
    ASSERT_TRUE(waitForLog("Request: [atexit:"));

    fill(kLogDir + "/filler");
    // The log file's last page still takes lines; requests are answered while it fills.
    for (int i = 0; i < 200; ++i) {
        const std::size_t size = readFile(kLogPath).size();
        a.send("hello");
        ASSERT_TRUE(isError(a.receiveText(), "parse command error"));
        if (readFile(kLogPath).size() == size) break;
    }
    a.send("start: /bin/sh -c \"sleep 0.5; exit 3\"");
    const int pid = startedPid(a.receiveText());
    ASSERT_GT(pid, 0);
    a.send("hello");
    EXPECT_TRUE(isError(a.receiveText(), "parse command error"));
    {
        Client late;  // a new handshake is answered with 101 (the constructor throws if not)
        late.send("stop: 99999");
        EXPECT_TRUE(isError(late.receiveText(), "process does not exist"));
    }
    const std::string finished = "finished:" + std::to_string(pid) + ",3,sh";
    EXPECT_EQ(a.receiveText(), finished);
    EXPECT_EQ(b.receiveText(), finished);
    const std::string whileFull = readFile(kLogPath);
    EXPECT_EQ(whileFull.find(finished), std::string::npos) << "the disk was not full";

    // Room again: lines resume by themselves within the retry's second, with a margin for a
    // sanitizer build.
    ASSERT_EQ(::unlink((kLogDir + "/filler").c_str()), 0);
    const auto freed = std::chrono::steady_clock::now();
    int n = 0;
    EXPECT_TRUE(waitFor(
        [&] {
            b.send("hello-after-" + std::to_string(n++));
            b.receiveText();
            return readFile(kLogPath).find("Request: [hello-after-") != std::string::npos;
        },
        3s));
    EXPECT_LT(std::chrono::steady_clock::now() - freed, 3s);

    stopAnsweringCloseFrames(service, {&a, &b});
    const std::string err = service.standardError();
    EXPECT_EQ(count(err, "Log file '" + std::string(kLogPath) +
                             "' cannot be written: " + std::strerror(ENOSPC)),
              1)
        << err;
    // Standard error got every line, also those the file missed.
    EXPECT_NE(err.find("[ProcessMonitor] Finished (" + finished + ")"), std::string::npos);
}

TEST(LogFaults, StandardErrorNobodyReadsHoldsUpNoRequestBroadcastOrStop)
{
    // A pipe that is full before the service starts and is never read: its first write to
    // standard error would block for good.
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    ASSERT_EQ(::dup2(pipeEnds[1], 9), 9);  // the shell below redirects one digit only
    ::close(pipeEnds[1]);
    ::fcntl(9, F_SETFL, O_NONBLOCK);
    const std::string block(4096, 's');
    while (::write(9, block.data(), block.size()) > 0) {
    }
    while (::write(9, block.data(), 1) > 0) {
    }
    ::fcntl(9, F_SETFL, 0);  // the open file description is shared with the service
    ServiceProcess service({"-c", "exec \"$0\" 2>&9 9>&-", VPN_SERVICE_BINARY}, "/bin/sh");
    ::close(9);
    ASSERT_TRUE(service.waitServing(60s)) << "stalled in start-up";

    Client a;
    Client b;
    a.send("atexit: /usr/bin/touch /tmp/at-exit-ran");
    const std::string padding(1000, 'x');
    const int requests = 1000;
    for (int i = 0; i < requests; ++i) {
        a.send("hello-" + std::to_string(i) + " " + padding);
        ASSERT_TRUE(isError(a.receiveText(), "parse command error")) << "request " << i;
    }
    a.send("start: /bin/sh -c \"exit 3\"");
    const int pid = startedPid(a.receiveText());
    ASSERT_GT(pid, 0);
    const std::string finished = "finished:" + std::to_string(pid) + ",3,sh";
    EXPECT_EQ(a.receiveText(), finished);
    EXPECT_EQ(b.receiveText(), finished);
    {
        Client late;
        late.send("stop: 99999");
        EXPECT_TRUE(isError(late.receiveText(), "process does not exist"));
    }

    stopAnsweringCloseFrames(service, {&a, &b});
    ::close(pipeEnds[0]);

    // The file has every line, the last one included.
    const std::string log = readFile(kLogPath);
    EXPECT_EQ(count(log, "Request: [hello-"), requests);
    EXPECT_EQ(count(log, "First arg is not a command, arg=hello-"), requests);
    EXPECT_EQ(count(log, "[ProcessMonitor] Finished (" + finished + ")"), 1);
    const auto texts = logTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "[Main] Finished");
}

TEST(LogFaults, LogFileDeletedOrMovedIsCreatedAgainWithTheNextLine)
{
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    Client client;
    ASSERT_TRUE(waitForLog("connection established"));  // logged just after the handshake
    struct Case {
        const char* name;
        void (*act)();
    };
    const Case cases[] = {
        {"deleted", [] { ::unlink(kLogPath); }},
        {"moved", [] { ::rename(kLogPath, "/var/log/Sorvane/vpn-service.log.1"); }},
    };
    for (const Case& c : cases) {
        c.act();
        client.send(std::string("hello-") + c.name);
        EXPECT_TRUE(isError(client.receiveText(), "parse command error")) << c.name;
        EXPECT_TRUE(waitForLog(std::string("Request: [hello-") + c.name + "]", 1s)) << c.name;
        EXPECT_EQ(logTexts().size(), 3u) << c.name << ": request, parse error, reply\n"
                                         << readFile(kLogPath);
    }
    EXPECT_NE(readFile("/var/log/Sorvane/vpn-service.log.1").find("Request: [hello-deleted]"),
              std::string::npos);
    EXPECT_EQ(service.standardError().find("cannot be written"), std::string::npos);
}

TEST(LogFaults, ClientTextForgesNoLine)
{
    const std::string forged =
        "2026-12-10 12:00:00.0\tI\t[ProcessMonitor] Finished (finished:1,0,openvpn)";
    // A program whose path holds a newline, so that its name does too.
    const std::string program = "/tmp/forge\n" + forged;
    writeFile(program, "#!/bin/sh\nexit 0\n", 0755);

    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    Client client;
    struct Case {
        std::string request;
        std::string reply;  // a regular expression
    };
    const Case cases[] = {
        {"hello\n" + forged, "error:\\d+,parse command error"},
        {"hello\r" + forged, "error:\\d+,parse command error"},
        {std::string("hello\0", 6) + forged, "error:\\d+,parse command error"},
        {"start: \"" + program + "\"", "started:\\d+,0,forge\n2026-12-10 12:00:00"},
        {"start: /bin/true \"x\n" + forged + "\"", "started:\\d+,0,true"},
        {"stop: \"1\n" + forged + "\"", "error:\\d+,parse command error"},
        {"stop: 1\r\n" + forged, "error:\\d+,parse command error"},
    };
    for (const Case& c : cases) {
        client.send(c.request);
        std::string reply;
        do {
            reply = client.receiveText();
        } while (reply.rfind("finished:", 0) == 0);
        // What goes to the client is not escaped.
        EXPECT_TRUE(std::regex_match(reply, std::regex(c.reply))) << c.request << "\n-> " << reply;
    }
    // Both children are announced and logged too.
    EXPECT_TRUE(waitFor([] { return count(readFile(kLogPath), "Finished (finished:") >= 2; }, 5s));

    const std::string log = readFile(kLogPath);
    EXPECT_EQ(log.find('\r'), std::string::npos);
    EXPECT_EQ(log.find('\0'), std::string::npos);
    const std::regex wellFormed(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\t[EWID]\t.*)");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(std::regex_match(line, wellFormed)) << line;
        EXPECT_NE(line, forged);
    }
    EXPECT_NE(log.find("Request: [hello\\x0a2026-12-10 12:00:00.0\\x09I\\x09[ProcessMonitor]"),
              std::string::npos);
    EXPECT_NE(log.find("First arg is not a command, arg=hello\\x0d2026-12-1\n"), std::string::npos);
    EXPECT_NE(log.find("std::stoul error; s=\"1\\x0a2026-12-10"), std::string::npos);
    EXPECT_NE(log.find(",0,forge\\x0a2026-12-10 12:00:00)"), std::string::npos);
}

TEST(LogFaults, OneMebibyteRequestGrowsTheLogByAFewKibibytes)
{
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    Client client;
    const std::size_t mebibyte = 1024 * 1024;
    std::string words;
    while (words.size() < mebibyte) words += "x ";
    struct Case {
        const char* name;
        std::string request;
    };
    const Case cases[] = {
        {"one-byte words", words},
        {"one word", std::string(mebibyte, 'x')},
    };
    for (const Case& c : cases) {
        const std::size_t before = readFile(kLogPath).size();
        client.send(c.request);
        // A sanitizer build takes its time over a mebibyte.
        EXPECT_TRUE(isError(client.receiveText(60s), "parse command error")) << c.name;
        const std::size_t grown = readFile(kLogPath).size() - before;
        EXPECT_LT(grown, 8u * 1024) << c.name;
    }
    // Eight of the words are named, the rest counted.
    const auto texts = logTexts();
    EXPECT_EQ(count(readFile(kLogPath), "First arg is not a command, arg=\n"), 8);
    EXPECT_GE(findLog(texts, "First arg is not a command, 524280 more words not logged"), 0);
    EXPECT_GE(findLog(texts, "Request: [x x x"), 0);
    EXPECT_GE(findLog(texts, " ... (1048576 bytes)]"), 0);
}

}  // namespace
