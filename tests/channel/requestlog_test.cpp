// The limit on refused requests' log lines: per address, the first few of a second, then
// one summary that no later request has to bring.
#include "channel/requestlog.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/channel/channelserver.h"

namespace {

using namespace std::chrono_literals;
using ChannelTest::logCount;
using VpnService::RequestLog;

const Poco::Net::SocketAddress kFirst("127.0.0.1", 40000);
const Poco::Net::SocketAddress kSecond("127.0.0.2", 40000);

// Refuses `count` requests from the client; returns how many had their lines logged.
int refuse(const Poco::Net::SocketAddress& client, int count)
{
    int logged = 0;
    for (int i = 0; i < count; ++i) RequestLog::refused(client, [&] { ++logged; });
    return logged;
}

std::string summary(int count, const std::string& host)
{
    return "\tW\t[HTTPRequestHandlerFactory] " + std::to_string(count) +
           " more refused requests from " + host + " in the last second\n";
}

bool readable(int fd)
{
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1;
}

TEST(RequestLog, PastFivePerAddressRefusalsAreSummedUpWhenTheirSecondIsOver)
{
    RequestLog::attachTimer();
    EXPECT_EQ(RequestLog::flushDue(), -1);
    EXPECT_EQ(refuse(kFirst, 8), RequestLog::kLoggedPerSecond);
    EXPECT_EQ(refuse(kSecond, 2), 2);  // each address has its own
    // The timer is woken, and told when the summary is due.
    EXPECT_TRUE(readable(RequestLog::wakeDescriptor()));
    const int wait = RequestLog::flushDue();
    EXPECT_FALSE(readable(RequestLog::wakeDescriptor()));
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 1001);
    EXPECT_EQ(logCount(summary(3, "127.0.0.1")), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    EXPECT_EQ(RequestLog::flushDue(), -1);
    EXPECT_EQ(logCount(summary(3, "127.0.0.1")), 1);
    EXPECT_EQ(logCount("more refused requests from 127.0.0.2"), 0);  // none held back

    // A new second logs its first five again; a refusal after it is over writes its
    // summary before the timer does.
    EXPECT_EQ(refuse(kFirst, 6), RequestLog::kLoggedPerSecond);
    std::this_thread::sleep_for(1100ms);
    EXPECT_EQ(refuse(kFirst, 1), 1);
    EXPECT_EQ(logCount(summary(1, "127.0.0.1")), 1);
    EXPECT_EQ(RequestLog::flushDue(), -1);
    EXPECT_EQ(logCount(summary(1, "127.0.0.1")), 1);
    RequestLog::detachTimer();
}

TEST(RequestLog, WithoutATimerNothingIsHeldBack)
{
    EXPECT_EQ(refuse(kFirst, 8), 8);
    RequestLog::attachTimer();
    EXPECT_EQ(refuse(kFirst, 7), RequestLog::kLoggedPerSecond);
    // The last timer's end writes what is open at once: nobody would later.
    RequestLog::detachTimer();
    EXPECT_EQ(logCount(summary(2, "127.0.0.1")), 1);
    EXPECT_EQ(refuse(kFirst, 8), 8);
}

}  // namespace
