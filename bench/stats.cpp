#include "bench/stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace VpnBench {

namespace {

double rank(const std::vector<double>& sorted, double fraction)
{
    const auto index = static_cast<std::size_t>(std::ceil(fraction * sorted.size()));
    return sorted[index == 0 ? 0 : index - 1];
}

}  // namespace

Summary summarize(std::vector<double> samples)
{
    Summary summary;
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    summary.count = samples.size();
    summary.p50 = rank(samples, 0.50);
    summary.p99 = rank(samples, 0.99);
    summary.max = samples.back();
    summary.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / samples.size();
    return summary;
}

Summary addSummaries(const Summary& a, const Summary& b)
{
    Summary sum;
    sum.count = std::min(a.count, b.count);
    sum.p50 = a.p50 + b.p50;
    sum.p99 = a.p99 + b.p99;
    sum.max = a.max + b.max;
    sum.mean = a.mean + b.mean;
    return sum;
}

double ratio(double value, double base) { return base > 0 ? value / base : 0; }

}  // namespace VpnBench
