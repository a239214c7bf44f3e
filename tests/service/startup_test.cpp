// Start-up of the real service binary: options, help, log checks and exit codes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serviceprocess.h"

using namespace servicetest;

namespace {

const std::string kFatal = "Fatal error, cannot open file: '/var/log/Sorvane/vpn-service.log'\n";

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

TEST(Startup, BadCommandLineEndsWith78BeforeTheLogExists)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--no-such-option"},
        {"--logfile=/tmp/a", "--logfile=/tmp/b"},
        {"--configfile"},
    };
    for (const auto& args : cases) {
        ServiceProcess service(args);
        EXPECT_EQ(service.waitExit(), 78) << args[0];
        EXPECT_FALSE(fileExists(kLogPath)) << args[0];
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

}  // namespace
