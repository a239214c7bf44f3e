#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Runs the real service binary as a child of the test, with standard output and standard
// error captured in files. Tests that use it run inside their own namespaces (see
// tests/support/in-namespace.sh), so the service's port, log and killall are private.
namespace servicetest {

using namespace std::chrono_literals;

extern const char* const kLogPath;  // the service's log file inside the test namespace

class ServiceProcess {
public:
    // Starts `binary` with `args` (argv[0] is the binary path as given).
    explicit ServiceProcess(const std::vector<std::string>& args = {},
                            const std::string& binary = VPN_SERVICE_BINARY);
    // Kills and reaps the service if it still runs.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    int pid() const { return m_pid; }
    void signal(int signalNumber) const;
    // The exit code once the process has exited within the time-out; nullopt otherwise.
    // A death by signal is reported as 128 + the signal number.
    std::optional<int> waitExit(std::chrono::milliseconds timeout = 10s);
    bool running();
    std::string standardOutput() const;
    std::string standardError() const;
    // Waits until the service logs that it waits for termination (it serves by then).
    bool waitServing(std::chrono::milliseconds timeout = 10s) const;

private:
    int m_pid = -1;
    std::optional<int> m_exitCode;
    std::string m_outPath;
    std::string m_errPath;
};

std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
void writeFile(const std::string& path, const std::string& content, int mode = 0644);
// A new empty directory under /tmp.
std::string makeTempDir();
// Polls the condition every 10 ms until it holds or the time-out passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
// The text field (after the second tab) of every line of the service's log.
std::vector<std::string> logTexts();
// True once a log line's text contains `needle`, within the time-out.
bool waitForLog(const std::string& needle, std::chrono::milliseconds timeout = 5s);
// Index of the first log text containing `needle` at or after `from`; -1 if none.
int findLog(const std::vector<std::string>& texts, const std::string& needle, int from = 0);

}  // namespace servicetest
