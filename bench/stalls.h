#pragma once

#include <Poco/Net/SocketAddress.h>

#include <chrono>
#include <vector>

#include "bench/stats.h"

namespace VpnBench {

// One reader beside clients that stopped reading.
struct StallLevel {
    int stalled = 0;  // clients that stopped reading, with small receive buffers
    double seconds = 0;
    Summary start;           // the reader's start latency
    double noticeMaxMs = 0;  // the reader's started reply to its finished message, max
    double noticeMeanMs = 0;
    long lost = 0;    // the reader's children without a finished message
    int dropped = 0;  // stalled clients whose connection the service ended
};

// For each count of stalled clients: they connect and never read; one reader starts
// /bin/true children one after another for `seconds`, then waits for their finished
// messages. The namespace's TCP send buffers are 4 KiB meanwhile, so that a stalled
// connection fills after a few hundred starts, as it would after some thousand.
std::vector<StallLevel> measureStalls(const Poco::Net::SocketAddress& service,
                                      const std::vector<int>& stalledCounts, double seconds);

}  // namespace VpnBench
