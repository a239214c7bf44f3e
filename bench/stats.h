#pragma once

#include <cstddef>
#include <vector>

namespace VpnBench {

// A latency distribution in milliseconds; all zero for no samples.
struct Summary {
    std::size_t count = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double mean = 0;
};

// Nearest-rank percentiles of the samples (milliseconds).
Summary summarize(std::vector<double> samples);
// Percentile by percentile, a + b: the floor of a request that is one spawn plus one
// round trip.
Summary addSummaries(const Summary& a, const Summary& b);
// value / base, or 0 when the base is 0.
double ratio(double value, double base);

}  // namespace VpnBench
