#include "bench/floorlog.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace VpnBench {

namespace {

int openForAppend(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
    return fd;
}

void writeWhole(int fd, const std::string& line)
{
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

FloorLog::FloorLog(const std::string& filePath, const std::string& errorPath)
    : m_file(openForAppend(filePath))
{
    try {
        m_error = openForAppend(errorPath);
    } catch (...) {
        ::close(m_file);
        throw;
    }
}

FloorLog::~FloorLog()
{
    ::close(m_file);
    ::close(m_error);
}

void FloorLog::information(const std::string& text) const
{
    timeval now{};
    gettimeofday(&now, nullptr);
    std::tm local{};
    const std::time_t seconds = now.tv_sec;
    if (localtime_r(&seconds, &local) == nullptr) gmtime_r(&seconds, &local);
    char head[64];
    const int length =
        std::snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%ld\tI\t",
                      local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, static_cast<long>(now.tv_usec / 100000));
    std::string line;
    line.reserve(static_cast<std::size_t>(length) + text.size() + 1);
    line.append(head, static_cast<std::size_t>(length));
    line.append(text);
    line.push_back('\n');
    writeWhole(m_file, line);
    writeWhole(m_error, line);
}

}  // namespace VpnBench
