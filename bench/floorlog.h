#pragma once

#include <string>

namespace VpnBench {

// The log a spawning floor server writes, line for line what the service writes per start:
// each line formatted once in the service's format ("date time.tenths<TAB>I<TAB>text",
// local time) and written, in one write(2) each, to a log file and then to a second file
// that stands where the service's standard error goes in the benchmark. Both are opened
// for appending, so lines from any number of threads stay whole without a lock.
class FloorLog {
public:
    // Opens (creates) both files. Throws std::runtime_error.
    FloorLog(const std::string& filePath, const std::string& errorPath);
    ~FloorLog();
    FloorLog(const FloorLog&) = delete;
    FloorLog& operator=(const FloorLog&) = delete;

    // One information line; never throws (a lost line must not stop a start). Any thread.
    void information(const std::string& text) const;

private:
    int m_file = -1;
    int m_error = -1;
};

}  // namespace VpnBench
