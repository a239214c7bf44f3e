#include "serviceprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace servicetest {

const char* const kLogPath = "/var/log/Sorvane/vpn-service.log";

ServiceProcess::ServiceProcess(const std::vector<std::string>& args, const std::string& binary)
{
    const std::string dir = makeTempDir();
    m_outPath = dir + "/stdout";
    m_errPath = dir + "/stderr";

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(binary.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    const int error = posix_spawn(&m_pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + binary);
}

ServiceProcess::~ServiceProcess()
{
    if (!m_exitCode && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
}

void ServiceProcess::signal(int signalNumber) const { ::kill(m_pid, signalNumber); }

std::optional<int> ServiceProcess::waitExit(std::chrono::milliseconds timeout)
{
    waitFor([this] { return !running(); }, timeout);
    return m_exitCode;
}

bool ServiceProcess::running()
{
    if (m_exitCode) return false;
    int status = 0;
    const pid_t result = ::waitpid(m_pid, &status, WNOHANG);
    if (result != m_pid) return true;
    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // The sanitizer presets make a report end the process with 66: show the report.
    if (*m_exitCode == 66) std::cerr << "service sanitizer report:\n" << standardError();
    return false;
}

std::string ServiceProcess::standardOutput() const { return readFile(m_outPath); }

std::string ServiceProcess::standardError() const { return readFile(m_errPath); }

bool ServiceProcess::waitServing(std::chrono::milliseconds timeout) const
{
    return waitForLog("Waitng for a termination...", timeout);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

void writeFile(const std::string& path, const std::string& content, int mode)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    ::chmod(path.c_str(), mode);
}

std::string makeTempDir()
{
    char pattern[] = "/tmp/servicetest.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::vector<std::string> logTexts()
{
    std::vector<std::string> texts;
    std::istringstream lines(readFile(kLogPath));
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find('\t');
        const auto second = first == std::string::npos ? first : line.find('\t', first + 1);
        texts.push_back(second == std::string::npos ? line : line.substr(second + 1));
    }
    return texts;
}

bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout)
{
    return waitFor([&] { return findLog(logTexts(), needle) >= 0; }, timeout);
}

int findLog(const std::vector<std::string>& texts, const std::string& needle, int from)
{
    for (int i = from; i < static_cast<int>(texts.size()); ++i) {
        if (texts[i].find(needle) != std::string::npos) return i;
    }
    return -1;
}

}  // namespace servicetest
