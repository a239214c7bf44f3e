// The log file channel against real file systems: a full tmpfs, files deleted or moved
// under it, and things planted at its path. Each case runs in its own process and mount
// namespace, as root.
#include "core/logfilechannel.h"

#include <Poco/AutoPtr.h>
#include <Poco/Message.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "tests/core/capture.h"

namespace {

using logtest::readFile;
using logtest::StderrCapture;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void logLine(LogFileChannel& channel, const std::string& text)
{
    channel.log(Poco::Message("test", text, Poco::Message::PRIO_INFORMATION));
}

int count(const std::string& text, const std::string& needle)
{
    int n = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

TEST(LogFileChannel, FullDiskDropsLinesReportsOnceAndResumesAfterASecond)
{
    const std::string dir = "/var/log/full";
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    const std::string path = dir + "/service.log";
    Poco::AutoPtr<LogFileChannel> channel(new LogFileChannel(path));
    logLine(*channel, "first");
    ASSERT_TRUE(channel->lastLineWritten());

    // Every page but the log file's own first one is taken.
    const int filler = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'f');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    ::close(filler);

    StderrCapture capture;
    Clock::time_point failedAt;
    int lines = 0;
    for (; lines < 1000; ++lines) {
        logLine(*channel, "line " + std::to_string(lines) + " " + std::string(90, 'x'));
        if (!channel->lastLineWritten()) {
            failedAt = Clock::now();
            break;
        }
    }
    ASSERT_LT(lines, 1000) << "the disk never filled";
    for (int i = 0; i < 100; ++i) logLine(*channel, "dropped " + std::to_string(i));
    EXPECT_FALSE(channel->lastLineWritten());

    ASSERT_EQ(::unlink((dir + "/filler").c_str()), 0);
    int resumed = 0;
    while (Clock::now() - failedAt < 5s) {
        logLine(*channel, "resume " + std::to_string(resumed++));
        if (channel->lastLineWritten()) break;
        std::this_thread::sleep_for(20ms);
    }
    const auto waited = Clock::now() - failedAt;
    capture.restore();

    EXPECT_TRUE(channel->lastLineWritten());
    // Tried again once a second: not before, and soon after.
    EXPECT_GE(waited, 950ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(count(capture.text(),
                    "Log file '" + path + "' cannot be written: " + std::strerror(ENOSPC)),
              1)
        << capture.text();
    // A line the full disk cut short does not swallow the next one.
    std::istringstream file(readFile(path));
    int fileLines = 0;
    for (std::string line; std::getline(file, line); ++fileLines) {
        EXPECT_TRUE(std::regex_match(line, std::regex("first|line \\d+ x{90}|line \\d+ x*|"
                                                      "resume \\d+")))
            << line;
    }
    EXPECT_EQ(readFile(path).find("dropped"), std::string::npos);
    EXPECT_GE(fileLines, 3);
}

TEST(LogFileChannel, FileDeletedOrMovedIsCreatedAgainWithTheNextLine)
{
    struct Case {
        const char* name;
        void (*act)(const std::string& dir, const std::string& path);
        const char* movedTo;  // where the first line is afterwards, or nullptr
    };
    const Case cases[] = {
        {"deleted", [](const std::string&, const std::string& p) { ::unlink(p.c_str()); }, nullptr},
        {"moved",
         [](const std::string&, const std::string& p) { ::rename(p.c_str(), (p + ".1").c_str()); },
         ".1"},
        {"directory removed",
         [](const std::string& d, const std::string& p) {
             ::unlink(p.c_str());
             ::rmdir(d.c_str());
         },
         nullptr},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string dir = "/tmp/case" + std::to_string(n++);
        ::mkdir(dir.c_str(), 0755);
        const std::string path = dir + "/service.log";
        Poco::AutoPtr<LogFileChannel> channel(new LogFileChannel(path));
        StderrCapture capture;
        logLine(*channel, "before");
        c.act(dir, path);
        logLine(*channel, "after");
        capture.restore();
        EXPECT_TRUE(channel->lastLineWritten()) << c.name;
        EXPECT_EQ(readFile(path), "after\n") << c.name;
        if (c.movedTo) {
            EXPECT_EQ(readFile(path + c.movedTo), "before\n") << c.name;
        }
        EXPECT_EQ(capture.text(), "") << c.name << ": no failure to report";
    }
}

TEST(LogFileChannel, RefusesWhatIsNotARegularFileAndFollowsNoSymlink)
{
    const std::string target = "/tmp/target";
    struct Case {
        const char* name;
        void (*plant)(const std::string& path);
    };
    const Case cases[] = {
        {"symlink to a file", [](const std::string& p) { ::symlink("/tmp/target", p.c_str()); }},
        {"dangling symlink", [](const std::string& p) { ::symlink("/tmp/nothing", p.c_str()); }},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }},
        {"directory", [](const std::string& p) { ::mkdir(p.c_str(), 0755); }},
        {"device", [](const std::string& p) { ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::ofstream(target) << "keep\n";
        const std::string path = "/tmp/planted" + std::to_string(n++) + ".log";
        c.plant(path);
        Poco::AutoPtr<LogFileChannel> channel(new LogFileChannel(path));
        StderrCapture capture;
        EXPECT_FALSE(channel->openNow()) << c.name;
        const std::string afterOpen = capture.text();
        logLine(*channel, "forged");  // neither blocks nor throws
        capture.restore();
        EXPECT_FALSE(channel->lastLineWritten()) << c.name;
        EXPECT_EQ(afterOpen, "") << c.name << ": the caller reports a failed openNow";
        EXPECT_EQ(readFile(target), "keep\n") << c.name;
        EXPECT_FALSE(std::ifstream("/tmp/nothing").good()) << c.name;
    }
}

TEST(LogFileChannel, CreatesModes0755And0644WhateverTheUmaskAndClosesOnExec)
{
    ::umask(0);
    const std::string path = "/tmp/new/dir/service.log";
    Poco::AutoPtr<LogFileChannel> channel(new LogFileChannel(path));
    logLine(*channel, "x");
    ASSERT_TRUE(channel->lastLineWritten());
    struct stat info;
    for (const char* dir : {"/tmp/new", "/tmp/new/dir"}) {
        ASSERT_EQ(::stat(dir, &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0755u) << dir;
    }
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    // The descriptor: append-only writes, and no child program inherits it.
    int fd = -1;
    for (int i = 3; i < 64 && fd < 0; ++i) {
        char link[256] = {};
        const std::string proc = "/proc/self/fd/" + std::to_string(i);
        if (::readlink(proc.c_str(), link, sizeof link - 1) > 0 && path == link) fd = i;
    }
    ASSERT_GE(fd, 0);
    const int flags = ::fcntl(fd, F_GETFL);
    EXPECT_EQ(flags & O_ACCMODE, O_WRONLY);
    EXPECT_NE(flags & O_APPEND, 0);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

}  // namespace
