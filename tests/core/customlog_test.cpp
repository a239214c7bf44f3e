// The log facade through its real channel chain: file first, then standard error.
// Each test case runs in its own process (and namespace), so the once-only set-up
// starts fresh in every case.
#include "core/customlog.h"

#include <Poco/DateTime.h>
#include <Poco/LocalDateTime.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "core/utils.h"
#include "tests/core/capture.h"

namespace {

using logtest::readFile;
using logtest::StderrCapture;

const std::string kLineStart = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\t)";

TEST(Log, WritesEachLineToFileThenStandardErrorWithItsLetter)
{
    const std::string path = Utils::appLogFileNamePath("logtest", "");
    StderrCapture capture;
    Log::initLog(path);
    Log::error("[T] e");
    Log::warning("[T] w");
    Log::information("[T] 100% done");
    Log::debug("two\nlines");
    capture.restore();

    const std::string expected = kLineStart + "E\t\\[T\\] e\n" + kLineStart + "W\t\\[T\\] w\n" +
                                 kLineStart + "I\t\\[T\\] 100% done\n" + kLineStart +
                                 "D\ttwo\nlines\n";
    const std::string file = readFile(path);
    EXPECT_TRUE(std::regex_match(file, std::regex(expected))) << file;
    EXPECT_EQ(capture.text(), file);
}

TEST(Log, TenthsDigitIsCutNotRounded)
{
    const std::string path = Utils::appLogFileNamePath("tenths", "");
    Log::initLog(path);
    Log::information("set up");  // opens the file
    Poco::Channel* chain = Poco::Logger::get("vpn-service log").getChannel();
    ASSERT_NE(chain, nullptr);
    struct Case {
        int second, millisecond;
        const char* shown;
    };
    for (const Case& c :
         {Case{9, 999, ":09.9\t"}, Case{10, 50, ":10.0\t"}, Case{0, 100, ":00.1\t"}}) {
        // Local time in the line: build the instant from a local date and time.
        Poco::LocalDateTime local(2024, 3, 5, 14, 7, c.second, c.millisecond);
        Poco::Message message("vpn-service log", "t", Poco::Message::PRIO_INFORMATION);
        message.setTime(local.utc().timestamp());
        chain->log(message);
        const std::string file = readFile(path);
        const std::string last = file.substr(file.rfind("2024-03-05"));
        EXPECT_EQ(last, std::string("2024-03-05 14:07") + c.shown + "I\tt\n") << c.shown;
    }
}

TEST(Log, EachLineReachesStandardErrorInOneWrite)
{
    // A datagram socket as standard error keeps each write apart: a text and its newline
    // written separately would let another writer's bytes come between them.
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    const int saved = ::dup(2);
    ::dup2(pair[0], 2);
    const std::string path = Utils::appLogFileNamePath("onewrite", "");
    Log::initLog(path);
    Log::information("[T] first");
    Log::warning("two\nlines");
    Log::error(std::string(3000, 'x'));
    logtest::flushStandardError();
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pair[0]);

    std::string records;
    char buffer[8192];
    for (int i = 0; i < 3; ++i) {
        const ssize_t n = ::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT);
        ASSERT_GT(n, 0) << i;
        const std::string record(buffer, static_cast<std::size_t>(n));
        EXPECT_TRUE(std::regex_match(record, std::regex(kLineStart + "[IWE]\t[^]*\n"))) << record;
        EXPECT_EQ(record.find('\n'), record.size() - 1 - (i == 1 ? 6 : 0)) << record;
        records += record;
    }
    EXPECT_EQ(::recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT), 0);  // no stray newline
    ::close(pair[1]);
    EXPECT_EQ(records, readFile(path));
}

TEST(Log, LocalTimeFollowsAChangedSystemTimeZoneWithinASecond)
{
    // UTC+9 all year; the mount stays inside this test's private namespace.
    const char* const zone = "/usr/share/zoneinfo/Etc/GMT-9";
    const std::string localtime = "/etc/localtime";
    if (::access(zone, R_OK) != 0) GTEST_SKIP() << "no " << zone;
    const std::string path = Utils::appLogFileNamePath("zone", "");
    Log::initLog(path);
    Log::information("[T] before");
    ASSERT_EQ(::mount(zone, localtime.c_str(), nullptr, MS_BIND, nullptr), 0) << errno;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));

    const std::time_t before = std::time(nullptr);
    Log::information("[T] after");
    const std::time_t after = std::time(nullptr);
    ::umount(localtime.c_str());
    const auto shown = [](std::time_t t) {
        t += std::time_t{9} * 3600;
        std::tm tm{};
        gmtime_r(&t, &tm);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
        return std::string(text);
    };
    const std::string file = readFile(path);
    const std::string last = file.substr(file.rfind('\n', file.size() - 2) + 1);
    EXPECT_TRUE(last.rfind(shown(before), 0) == 0 || last.rfind(shown(after), 0) == 0)
        << last << " expected " << shown(before);
}

TEST(Log, SetUpHappensOnceAndKeepsTheFirstName)
{
    const std::string first = Utils::appLogFileNamePath("first", "");
    const std::string second = Utils::appLogFileNamePath("second", "");
    Log::initLog(first);
    Log::initLog(second);
    Log::information("[T] x");
    EXPECT_EQ(Log::fileName(), first);
    EXPECT_NE(readFile(first).find("[T] x"), std::string::npos);
    EXPECT_FALSE(std::ifstream(second).good());
}

TEST(Log, WriteBeforeSetUpReachesStandardErrorAndLaterSetUpIsIgnored)
{
    StderrCapture capture;
    EXPECT_NO_THROW(Log::information("[T] early"));
    Log::initLog(Utils::appLogFileNamePath("late", ""));
    EXPECT_NO_THROW(Log::information("[T] later"));
    EXPECT_EQ(Log::fileName(), "");
    capture.restore();
    // The file that cannot be opened is reported once, the lines still shown.
    const std::string expected = "Log file '' cannot be written: .*\n" + kLineStart +
                                 "I\t\\[T\\] early\n" + kLineStart + "I\t\\[T\\] later\n";
    EXPECT_TRUE(std::regex_match(capture.text(), std::regex(expected))) << capture.text();
    EXPECT_FALSE(std::ifstream("/var/log/Sorvane/late.log").good());
}

TEST(Log, OpenedAppendsAnEmptyLineOnAWritablePath)
{
    const std::string path = Utils::appLogFileNamePath("opened", "");
    Log::initLog(path);
    ASSERT_TRUE(Log::opened());
    ASSERT_TRUE(Log::opened());
    const std::string file = readFile(path);
    EXPECT_TRUE(std::regex_match(file, std::regex(kLineStart + "I\t\n" + kLineStart + "I\t\n")))
        << file;
}

TEST(Log, OpenedIsFalseAndSilentWhenTheFileCannotBeWritten)
{
    // A plain file stands where the log directory should be.
    std::ofstream("/var/log/Sorvane").put('x');
    const std::string path = Utils::appLogFileNamePath("blocked", "");
    Log::initLog(path);
    StderrCapture capture;
    EXPECT_FALSE(Log::opened());
    EXPECT_FALSE(Log::opened());
    const std::string silent = capture.text();
    EXPECT_NO_THROW(Log::error("[T] shown"));
    capture.restore();
    EXPECT_EQ(silent, "");
    // The start-up test told already; a writer's line still reaches standard error.
    EXPECT_TRUE(std::regex_match(capture.text(), std::regex(kLineStart + "E\t\\[T\\] shown\n")))
        << capture.text();
}

TEST(Log, ExistingFileIsAppendedTo)
{
    const std::string path = Utils::appLogFileNamePath("append", "");
    std::ofstream(path) << "earlier run\n";
    Log::initLog(path);
    Log::information("[T] now");
    const std::string file = readFile(path);
    EXPECT_EQ(file.rfind("earlier run\n", 0), 0u) << file;
    EXPECT_NE(file.find("[T] now"), std::string::npos);
}

TEST(LogPath, IsTheBaseNameUnderTheFixedDirectory)
{
    struct Case {
        const char* path;
        const char* suffix;
        const char* expected;
    };
    const Case cases[] = {
        {"/usr/local/bin/agentd", "", "/var/log/Sorvane/agentd.log"},
        {"agent.beta.bin", "", "/var/log/Sorvane/agent.beta.log"},
        {"/opt/agentd", "-test", "/var/log/Sorvane/agentd-test.log"},
        {"", "", "/var/log/Sorvane/.log"},
        {"/opt/dir/", "", "/var/log/Sorvane/.log"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utils::appLogFileNamePath(c.path, c.suffix), c.expected) << c.path;
    }
    struct stat info;
    ASSERT_EQ(::stat("/var/log/Sorvane", &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
}

TEST(LogPath, CreatePathReportsWhetherSomethingExists)
{
    std::ofstream("/tmp/plain-file").put('x');
    EXPECT_TRUE(Utils::createPath("/tmp/a/b/c"));
    EXPECT_TRUE(Utils::createPath("/tmp/a/b/c"));
    EXPECT_TRUE(Utils::createPath("/tmp/plain-file"));
    EXPECT_FALSE(Utils::createPath("/tmp/plain-file/sub"));
}

}  // namespace
