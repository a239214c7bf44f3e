#include "bench/stalls.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bench/benchclient.h"
#include "bench/clientgroup.h"

namespace VpnBench {

namespace {

const char* const kSendBuffers = "/proc/sys/net/ipv4/tcp_wmem";

std::string readAll(const char* path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const char* path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    out.close();
    if (!out) throw std::runtime_error(std::string("cannot write ") + path);
}

// Caps the send buffers of connections made while it lives (only this network
// namespace's), and puts the old setting back.
class SmallSendBuffers {
public:
    SmallSendBuffers() : m_saved(readAll(kSendBuffers))
    {
        writeAll(kSendBuffers, "4096 4096 4096\n");
    }
    ~SmallSendBuffers()
    {
        try {
            writeAll(kSendBuffers, m_saved);
        } catch (const std::exception&) {
            // The namespace ends with the benchmark: nothing outside it depends on this.
        }
    }
    SmallSendBuffers(const SmallSendBuffers&) = delete;
    SmallSendBuffers& operator=(const SmallSendBuffers&) = delete;

private:
    const std::string m_saved;
};

// True once the service has ended the connection; reads (and so unstalls) the client.
bool endedByService(BenchClient& client)
{
    try {
        const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
        while (client.receive(deadline)) {
        }
        return false;
    } catch (const std::exception&) {
        return true;  // end of stream, close frame or reset
    }
}

StallLevel measureOne(const Poco::Net::SocketAddress& service, int stalledCount, double seconds)
{
    const SmallSendBuffers buffers;
    std::vector<std::unique_ptr<BenchClient>> stalled;
    for (int i = 0; i < stalledCount; ++i)
        stalled.push_back(std::make_unique<BenchClient>(service, 4096));
    ClientGroup reader(service, 1);
    // Long enough to measure a service that makes the reader wait out every stalled
    // client's send time-out in turn.
    reader.setReplyTimeout(std::chrono::seconds(120));

    const std::string tag = "stall" + std::to_string(stalledCount) + "-";
    const Batch batch = reader.runFor(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
        [tag](int, int i) { return "start: /bin/true " + tag + std::to_string(i); }, true);
    // Announced within a second, unless a stalled client holds the broadcast up.
    const long lost = reader.drainFinished(std::chrono::seconds(10));

    StallLevel level;
    level.stalled = stalledCount;
    level.seconds = batch.wallSeconds;
    level.start = summarize(batch.samplesMs);
    level.lost = lost;
    double sum = 0;
    int samples = 0;
    for (std::size_t i = 0; i < batch.started.size(); ++i) {
        const auto at = reader.finishedAt(0, batch.started[i]);
        if (!at) continue;
        // A child may be announced before its started reply is read: that counts as 0.
        const double ms = std::max(
            0.0, std::chrono::duration<double, std::milli>(*at - batch.startedAt[i]).count());
        level.noticeMaxMs = std::max(level.noticeMaxMs, ms);
        sum += ms;
        ++samples;
    }
    level.noticeMeanMs = samples > 0 ? sum / samples : 0;
    for (auto& client : stalled) level.dropped += endedByService(*client) ? 1 : 0;
    for (auto& client : stalled) client->close();
    return level;
}

}  // namespace

std::vector<StallLevel> measureStalls(const Poco::Net::SocketAddress& service,
                                      const std::vector<int>& stalledCounts, double seconds)
{
    std::vector<StallLevel> levels;
    for (const int count : stalledCounts) levels.push_back(measureOne(service, count, seconds));
    return levels;
}

}  // namespace VpnBench
