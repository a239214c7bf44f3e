// Start-up of the real service binary: options, help, log checks and exit codes.
#include <Poco/Net/ServerSocket.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "client.h"
#include "serviceprocess.h"

using namespace servicetest;

namespace {

const std::string kFatal = "Fatal error, cannot open file: '/var/log/Sorvane/vpn-service.log'\n";
// Date, time with tenths and a tab.
const std::regex kLineHead(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\t)");

// True when `output` holds a line in the log's format whose priority letter, tab and text
// begin with `start`.
bool hasLogLine(const std::string& output, const std::string& start)
{
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch head;
        if (std::regex_search(line, head, kLineHead, std::regex_constants::match_continuous) &&
            head.suffix().str().rfind(start, 0) == 0)
            return true;
    }
    return false;
}

TEST(Startup, HelpPrintsOptionsAndWritesNoLog)
{
    for (const std::string option : {"--help", "-h"}) {
        ServiceProcess service({option});
        EXPECT_EQ(service.waitExit(), 0) << option;
        const std::string out = service.standardOutput();
        EXPECT_NE(out.find("Options:"), std::string::npos) << option << "\n" << out;
        for (const char* name : {"--help", "--configfile=config file", "--logfile=log file",
                                 "--daemon", "--umask", "--pidfile"}) {
            EXPECT_NE(out.find(name), std::string::npos) << option << ": " << name << "\n" << out;
        }
        // The directory is made by the set-up, but no line is written: no file.
        EXPECT_TRUE(fileExists("/var/log/Sorvane")) << option;
        EXPECT_FALSE(fileExists(kLogPath)) << option;
    }
}

// The reason is an error line in the log's format on standard error; no file is set up
// before the options are parsed.
TEST(Startup, BadCommandLineEndsWith78BeforeTheLogExists)
{
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{"--no-such-option"}, "Unknown option specified: no-such-option"},
        {{"--logfile=/tmp/a", "--logfile=/tmp/b"},
         "Option must not be given more than once: logfile"},
        {{"--configfile"}, "Missing option argument: configfile requires config file"},
    };
    for (const Case& c : cases) {
        ServiceProcess service(c.args);
        EXPECT_EQ(service.waitExit(), 78) << c.args[0];
        EXPECT_FALSE(fileExists(kLogPath)) << c.args[0];
        const std::string err = service.standardError();
        EXPECT_TRUE(hasLogLine(err, "E\t[ServiceApplication] Error: " + c.reason))
            << c.args[0] << "\n" << err;
    }
}

// Whatever ends a run that has set its log up, the reason is an error line of the log
// file and of standard error, and standard error holds nothing but log lines.
TEST(Startup, ReasonOfAFailedRunIsALogLine)
{
    const std::string dir = makeTempDir();
    writeFile(dir + "/service.conf", "some.key = 1\n");
    writeFile(dir + "/service.xml", "<config><unclosed></config>\n");
    struct Case {
        std::vector<std::string> args;
        bool takePort;
        int exitCode;
        std::string reason;
    };
    const Case cases[] = {
        {{}, true, 70, "Net Exception: Address already in use: 127.0.0.1:6457"},
        {{"--configfile=/nonexistent/service.properties"}, false, 78,
         "File not found: /nonexistent/service.properties"},
        {{"--configfile=" + dir + "/service.conf"}, false, 78,
         "Invalid argument: Unsupported configuration file type: conf"},
        {{"--configfile=" + dir + "/service.xml"}, false, 78,
         "SAXParseException: Tag mismatch in '" + dir + "/service.xml'"},
    };
    for (const Case& c : cases) {
        std::optional<Poco::Net::ServerSocket> holder;
        if (c.takePort) holder.emplace(Poco::Net::SocketAddress("127.0.0.1", 6457));
        ServiceProcess service(c.args);
        EXPECT_EQ(service.waitExit(), c.exitCode) << c.reason;
        const std::string line = "E\t[ServiceApplication] Error: " + c.reason;
        EXPECT_TRUE(hasLogLine(readFile(kLogPath), line)) << c.reason << "\n" << readFile(kLogPath);
        const std::string err = service.standardError();
        EXPECT_TRUE(hasLogLine(err, line)) << c.reason << "\n" << err;
        std::istringstream lines(err);
        for (std::string text; std::getline(lines, text);) {
            EXPECT_TRUE(std::regex_search(text, kLineHead, std::regex_constants::match_continuous))
                << c.reason << ": " << text;
        }
        ::unlink(kLogPath);
    }
}

TEST(Startup, UnwritableLogGivesFatalMessageAnd77)
{
    // Root writes into any directory, so a plain file stands where the directory should be.
    writeFile("/var/log/Sorvane", "");
    ServiceProcess service;
    EXPECT_EQ(service.waitExit(), 77);
    // The drain's lines follow on standard error, which every line still reaches.
    const std::string err = service.standardError();
    EXPECT_EQ(err.rfind(kFatal, 0), 0u) << err;
    EXPECT_EQ(err.find("cannot be written"), std::string::npos) << err;
}

TEST(Startup, UnwritableLogWithConfigFileStillEndsWith77)
{
    // The line about the configuration file is the first to miss the file; it must not
    // end the run before the start-up check can.
    writeFile("/var/log/Sorvane", "");
    const std::string config = makeTempDir() + "/service.properties";
    writeFile(config, "some.key = 1\n");
    ServiceProcess service({"--configfile=" + config});
    EXPECT_EQ(service.waitExit(), 77);
    const std::string err = service.standardError();
    EXPECT_NE(err.find("\tI\t[ServiceApplication] Loaded configuation: " + config),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(kFatal), std::string::npos) << err;
}

TEST(Startup, LogPathThatIsNoRegularFileGives77AndIsLeftAlone)
{
    struct Case {
        const char* name;
        void (*plant)();
    };
    const Case cases[] = {
        {"symlink", [] { ::symlink("/tmp/target", kLogPath); }},
        {"dangling symlink", [] { ::symlink("/tmp/nothing", kLogPath); }},
        {"fifo", [] { ::mkfifo(kLogPath, 0644); }},
    };
    ::mkdir("/var/log/Sorvane", 0755);
    for (const Case& c : cases) {
        writeFile("/tmp/target", "precious\n");
        c.plant();
        ServiceProcess service;
        EXPECT_EQ(service.waitExit(), 77) << c.name;
        EXPECT_EQ(service.standardError().rfind(kFatal, 0), 0u) << c.name;
        EXPECT_EQ(readFile("/tmp/target"), "precious\n") << c.name;
        EXPECT_FALSE(fileExists("/tmp/nothing")) << c.name;
        ::unlink(kLogPath);
    }
}

TEST(Startup, LogDirectoryAndFileModesDoNotFollowTheUmask)
{
    ::umask(0);  // the service inherits it
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    struct stat info;
    ASSERT_EQ(::stat("/var/log/Sorvane", &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat(kLogPath, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(findLog(logTexts(), "Log directory"), -1);
}

TEST(Startup, LogDirectoryOthersCanWriteToIsWarnedAbout)
{
    struct Case {
        int mode;
        unsigned owner;
        const char* warning;
    };
    const Case cases[] = {
        {01777, 0,
         "[ServiceApplication] Log directory '/var/log/Sorvane' can be written by others"},
        {0755, 1234, "[ServiceApplication] Log directory '/var/log/Sorvane' is owned by user 1234"},
    };
    for (const Case& c : cases) {
        ::mkdir("/var/log/Sorvane", 0755);
        ::chmod("/var/log/Sorvane", static_cast<mode_t>(c.mode));
        ASSERT_EQ(::chown("/var/log/Sorvane", c.owner, 0), 0);
        ServiceProcess service;
        ASSERT_TRUE(service.waitServing()) << service.standardError();
        service.signal(SIGTERM);
        EXPECT_EQ(service.waitExit(), 0);
        const auto texts = logTexts();
        EXPECT_GE(findLog(texts, c.warning), 0) << c.warning;
        EXPECT_EQ(findLog(texts, "Log directory"), findLog(texts, c.warning)) << "only one";
        // The warning is a W line.
        EXPECT_NE(readFile(kLogPath).find("\tW\t" + std::string(c.warning)), std::string::npos);
        ::unlink(kLogPath);
        ::rmdir("/var/log/Sorvane");
    }
}

TEST(Startup, HelpWithUnwritableLogStillPrintsHelp)
{
    writeFile("/var/log/Sorvane", "");
    ServiceProcess service({"-h"});
    EXPECT_EQ(service.waitExit(), 0);
    EXPECT_NE(service.standardOutput().find("Options:"), std::string::npos);
}

TEST(Startup, ConfigFileIsLoadedAndLoggedBeforeHelp)
{
    const std::string config = makeTempDir() + "/service.properties";
    writeFile(config, "some.key = 1\n");
    ServiceProcess service({"--configfile=" + config, "--help"});
    EXPECT_EQ(service.waitExit(), 0);
    const auto texts = logTexts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0], "[ServiceApplication] Loaded configuation: " + config);
}

TEST(Startup, MissingConfigFileEndsWith78WithoutHelp)
{
    ServiceProcess service({"--configfile=/nonexistent/service.properties", "--help"});
    EXPECT_EQ(service.waitExit(), 78);
    EXPECT_EQ(service.standardOutput().find("Options:"), std::string::npos);
}

TEST(Startup, LogFileOptionIsAcceptedAndIgnored)
{
    ServiceProcess service({"--logfile=/tmp/elsewhere.log"});
    ASSERT_TRUE(service.waitServing()) << service.standardError();
    service.signal(SIGTERM);
    EXPECT_EQ(service.waitExit(), 0);
    EXPECT_FALSE(fileExists("/tmp/elsewhere.log"));
    const auto texts = logTexts();
    ASSERT_FALSE(texts.empty());
    // The log of a run starts with the empty line of the start-up test.
    EXPECT_EQ(texts[0], "");
    EXPECT_GE(findLog(texts, "[ServiceApplication] Log file: '/var/log/Sorvane/vpn-service.log'"),
              0);
}

TEST(Startup, EveryLineGoesToTheFileAndToStandardError)
{
    ServiceProcess service;
    ASSERT_TRUE(service.waitServing());
    service.signal(SIGTERM);
    ASSERT_EQ(service.waitExit(), 0);
    EXPECT_EQ(readFile(kLogPath), service.standardError());
}

TEST(Startup, DeletedWorkingDirectoryIsLeftForTheRoot)
{
    const std::string gone = makeTempDir() + "/gone";
    const std::string binary = VPN_SERVICE_BINARY;
    const std::string binaryDir = binary.substr(0, binary.rfind('/') + 1);
    // The same binary by a path relative to the deleted directory ("../../.." is "/"):
    // that no longer says where the support scripts are.
    const std::string relative = "../../.." + binary;
    for (const std::string& command : {binary, relative}) {
        ASSERT_EQ(::mkdir(gone.c_str(), 0755), 0);
        ServiceProcess service(
            {"-c", "cd '" + gone + "' && rmdir '" + gone + "' && exec '" + command + "'"},
            "/bin/sh");
        if (command == binary) {
            ASSERT_TRUE(service.waitServing()) << service.standardError();
            service.signal(SIGTERM);
            EXPECT_EQ(service.waitExit(), 0);
            const std::string log = readFile(kLogPath);
            EXPECT_TRUE(hasLogLine(
                log, "W\t[ServiceApplication] Working directory at launch cannot be named: "
                     "changed to '/'"))
                << log;
            EXPECT_TRUE(hasLogLine(log, "I\t[ServiceApplication] Working directory '" +
                                            binaryDir + "'"));
        } else {
            EXPECT_EQ(service.waitExit(), 70) << service.standardError();
            EXPECT_TRUE(hasLogLine(readFile(kLogPath),
                                   "E\t[ServiceApplication] Error: the command path '" + relative +
                                       "' is relative to a working directory that cannot be named"))
                << readFile(kLogPath);
            EXPECT_EQ(findLog(logTexts(), "Execute command"), -1);
        }
        ::unlink(kLogPath);
    }
}

// True when the next message but finished announcements is the reply to a request that
// is no command.
bool repliesParseError(Client& client)
{
    std::string reply;
    do {
        reply = client.receiveText();
    } while (reply.rfind("finished:", 0) == 0);
    return std::regex_match(reply, std::regex(R"(error:\d+,parse command error)"));
}

// Started with standard descriptors closed, and the log's file system full for a moment
// (which closes the log file): each line reaches the file once, no client receives a
// byte of the log, and children get valid standard descriptors.
TEST(Startup, ClosedStandardDescriptorsAreOpenedOnDevNull)
{
    const std::string logDir = "/var/log/Sorvane";
    for (const std::string closed : {"2>&-", "<&- >&- 2>&-"}) {
        ASSERT_EQ(::mkdir(logDir.c_str(), 0755), 0);
        ASSERT_EQ(::mount("tmpfs", logDir.c_str(), "tmpfs", 0, "size=64k"), 0);
        ServiceProcess service({"-c", "exec '" + std::string(VPN_SERVICE_BINARY) + "' " + closed},
                               "/bin/sh");
        ASSERT_TRUE(service.waitServing()) << closed;
        Client a;
        // Not the shell's last command, so the redirection is readlink's, not the shell's.
        a.send("start: /bin/sh -c \"readlink /proc/$$/fd/0 /proc/$$/fd/1 /proc/$$/fd/2 > "
               "/tmp/child-fds; true\"");
        EXPECT_EQ(a.receiveText().rfind("started:", 0), 0u) << closed;
        // readlink fails for a closed descriptor: then fewer than three lines.
        const auto childFds = [] { return readFile("/tmp/child-fds"); };
        EXPECT_TRUE(waitFor([&] { return !childFds().empty(); }, 3s)) << closed;
        const std::string fds = childFds();
        EXPECT_EQ(std::count(fds.begin(), fds.end(), '\n'), 3) << closed << "\n" << fds;
        EXPECT_EQ(fds.substr(fds.rfind('\n', fds.size() - 2) + 1), "/dev/null\n") << fds;

        std::system(("cat /dev/zero > " + logDir + "/filler 2>/dev/null").c_str());
        // The log file's last page still takes lines: until one write fails.
        bool failed = false;
        for (int i = 0; i < 200 && !failed; ++i) {
            const std::size_t size = readFile(kLogPath).size();
            a.send("while-full-" + std::to_string(i));
            ASSERT_TRUE(repliesParseError(a)) << closed;
            failed = readFile(kLogPath).size() == size;
        }
        ASSERT_TRUE(failed) << closed << ": the disk did not fill";
        Client b;  // the first connection accepted after the failed write
        ASSERT_EQ(::unlink((logDir + "/filler").c_str()), 0);
        int n = 0;
        EXPECT_TRUE(waitFor(
            [&] {
                b.send("after-" + std::to_string(n++));
                EXPECT_TRUE(repliesParseError(b)) << closed;
                return readFile(kLogPath).find("Request: [after-") != std::string::npos;
            },
            3s))
            << closed;
        const auto stray = b.receive(300ms);
        EXPECT_TRUE(!stray || stray->payload.rfind("finished:", 0) == 0)
            << closed << ": nothing but replies and announcements";

        service.signal(SIGTERM);
        for (Client* client : {&a, &b}) {
            auto frame = client->receive();
            while (frame && frame->payload.rfind("finished:", 0) == 0) frame = client->receive();
            ASSERT_TRUE(frame) << closed;
            EXPECT_EQ(frame->flags, 0x88) << closed;
            client->sendClose();
        }
        EXPECT_EQ(service.waitExit(), 0) << closed;
        const auto texts = logTexts();
        std::set<std::string> requests;
        for (const std::string& text : texts) {
            if (text.find("Request: [") == std::string::npos) continue;
            EXPECT_TRUE(requests.insert(text).second) << closed << ": twice: " << text;
        }
        EXPECT_GE(findLog(texts, "[Main] Finished"), 0) << closed;
        ::umount(logDir.c_str());
        ::rmdir(logDir.c_str());
        ::unlink("/tmp/child-fds");
    }
}

}  // namespace
