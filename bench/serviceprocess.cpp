#include "bench/serviceprocess.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bench/benchclient.h"

extern char** environ;

namespace VpnBench {

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Field `index` (1-based, as in proc(5)) of a /proc/<pid>/stat line; the command name
// in parentheses may hold blanks, so counting starts after its closing parenthesis.
long long statField(const std::string& stat, int index)
{
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= index; ++i) rest >> field;
    return std::stoll(field);
}

}  // namespace

ServiceProcess::ServiceProcess(const std::string& binary, const std::string& outputPath)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A service started from a shell gets default dispositions, whatever this program set.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all;
    std::memset(&all, 0xFF, sizeof all);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    char* argv[] = {const_cast<char*>(binary.c_str()), nullptr};
    const int error = posix_spawn(&m_pid, binary.c_str(), &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(error));
}

ServiceProcess::~ServiceProcess()
{
    if (m_reaped) return;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
}

bool ServiceProcess::exited(int* code)
{
    if (m_reaped) return true;
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
    m_reaped = true;
    *code = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return true;
}

bool ServiceProcess::waitServing(const Poco::Net::SocketAddress& address,
                                 std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        int code = 0;
        if (exited(&code)) return false;
        try {
            BenchClient probe(address);
            probe.close();
            return true;
        } catch (const std::exception&) {
            // Not listening yet: try again until the deadline.
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int ServiceProcess::stop(std::chrono::milliseconds timeout)
{
    int code = -1;
    if (exited(&code)) return code;
    ::kill(m_pid, SIGTERM);
    const Clock::time_point deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (exited(&code)) return code;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;  // the destructor kills it
}

Usage readUsage(pid_t pid)
{
    const std::string base = "/proc/" + std::to_string(pid);
    Usage usage;
    const std::string stat = readFile(base + "/stat");
    usage.ticks = statField(stat, 14) + statField(stat, 15);
    std::istringstream status(readFile(base + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, 6, "VmRSS:") == 0) usage.rssKiB = std::stoll(line.substr(6));
    }
    DIR* tasks = opendir((base + "/task").c_str());
    if (tasks == nullptr) throw std::runtime_error("cannot list " + base + "/task");
    long long nanoseconds = 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = base + "/task/" + entry->d_name;
        try {
            nanoseconds += std::stoll(readFile(task + "/schedstat"));
            std::istringstream lines(readFile(task + "/status"));
            for (std::string line; std::getline(lines, line);) {
                if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
                    usage.wakeups += std::stoll(line.substr(24));
            }
        } catch (const std::exception&) {
            // The thread ended while the list was read; its time is no longer counted.
        }
    }
    closedir(tasks);
    usage.cpuSeconds = static_cast<double>(nanoseconds) / 1e9;
    return usage;
}

long ticksPerSecond() { return sysconf(_SC_CLK_TCK); }

bool insidePrivateNamespaces()
{
    try {
        // /proc/net/dev: two header lines, then one line per interface.
        std::istringstream devices(readFile("/proc/net/dev"));
        std::string line;
        int interfaces = 0;
        for (int i = 0; std::getline(devices, line); ++i) {
            if (i < 2) continue;
            ++interfaces;
            if (line.find("lo:") == std::string::npos) return false;
        }
        if (interfaces != 1) return false;
        std::istringstream mounts(readFile("/proc/self/mounts"));
        while (std::getline(mounts, line)) {
            if (line.find(" /var/log tmpfs ") != std::string::npos) return true;
        }
    } catch (const std::exception&) {
    }
    return false;
}

}  // namespace VpnBench
