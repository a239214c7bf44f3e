// Start-up of the real service binary: options, help, log checks and exit codes.
#include <gtest/gtest.h>
#include <signal.h>

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
    EXPECT_EQ(service.standardError(), kFatal);
}

TEST(Startup, UnwritableLogWithConfigFileEndsWith78)
{
    writeFile("/var/log/Sorvane", "");
    const std::string config = makeTempDir() + "/service.properties";
    writeFile(config, "some.key = 1\n");
    ServiceProcess service({"--configfile=" + config});
    EXPECT_EQ(service.waitExit(), 78);
    EXPECT_EQ(service.standardError().find("Fatal error"), std::string::npos);
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
