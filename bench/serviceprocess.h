#pragma once

#include <Poco/Net/SocketAddress.h>
#include <sys/types.h>

#include <chrono>
#include <string>

namespace VpnBench {

// The service binary running as this program's child, its output going to a file. Only
// ever started inside private namespaces (see insidePrivateNamespaces()). One thread.
class ServiceProcess {
public:
    // Spawns the binary with no arguments, standard input from /dev/null and standard
    // output and error appended to outputPath. Throws std::runtime_error.
    ServiceProcess(const std::string& binary, const std::string& outputPath);
    // Kills and reaps the service if it still runs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    pid_t pid() const { return m_pid; }
    // True once a WebSocket handshake with the service succeeds within the time-out;
    // false too when the service has exited meanwhile.
    bool waitServing(const Poco::Net::SocketAddress& address, std::chrono::milliseconds timeout);
    // SIGTERM, then waits for the exit: the exit code, 128 + signal for a death by
    // signal, or -1 when it had not ended within the time-out (it is killed then).
    int stop(std::chrono::milliseconds timeout);

private:
    bool exited(int* code);  // non-blocking

    pid_t m_pid = -1;
    bool m_reaped = false;
};

// CPU time and memory of a process, read from /proc.
struct Usage {
    double cpuSeconds = 0;  // sum over its live threads of /proc/<pid>/task/*/schedstat (ns)
    long long ticks = 0;    // utime + stime of /proc/<pid>/stat, in clock ticks
    long long rssKiB = 0;   // VmRSS of /proc/<pid>/status
    long long wakeups = 0;  // voluntary context switches summed over its live threads
};
// Throws std::runtime_error when the process is gone.
Usage readUsage(pid_t pid);
// Clock ticks per second (the unit of Usage::ticks).
long ticksPerSecond();

// True when this process has a network namespace of its own with loopback only and a
// private tmpfs on /var/log, as tests/support/in-namespace.sh sets up: the only place
// where the service may run.
bool insidePrivateNamespaces();

}  // namespace VpnBench
