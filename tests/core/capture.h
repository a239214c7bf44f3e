#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>

#include "core/standarderror.h"

// Helpers of the log tests, which look at the bytes the log leaves in files and on
// standard error.
namespace logtest {

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Lines reach standard error through its writer thread: waits until they have.
inline void flushStandardError() { StandardError::instance().flush(std::chrono::seconds(5)); }

// Captures what the process writes to standard error while it lives.
class StderrCapture {
public:
    StderrCapture() : m_path("/tmp/stderr-capture." + std::to_string(::getpid()))
    {
        m_saved = ::dup(2);
        const int fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const
    {
        if (m_saved >= 0) flushStandardError();
        return readFile(m_path);
    }
    // Gives standard error back; text() still reads what was captured.
    void restore()
    {
        if (m_saved < 0) return;
        flushStandardError();
        ::dup2(m_saved, 2);
        ::close(m_saved);
        m_saved = -1;
    }

private:
    std::string m_path;
    int m_saved = -1;
};

}  // namespace logtest
