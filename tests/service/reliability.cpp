#include "reliability.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "serviceprocess.h"

namespace servicetest {

int descriptorCount(int pid)
{
    const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = ::opendir(fdDir.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        // The framework opens and closes an epoll set around each wait on a socket, so
        // how many exist at one moment depends only on which threads are waiting.
        char target[64] = {};
        const std::string link = fdDir + "/" + entry->d_name;
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
            std::string(target) == "anon_inode:[eventpoll]") {
            continue;
        }
        ++count;
    }
    ::closedir(dir);
    return count;
}

long residentKiB(int pid)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::vector<ChildProcess> childrenOf(int pid)
{
    std::vector<ChildProcess> children;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) return children;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        // "<pid> (<comm>) <state> <ppid> ...": the command may hold blanks and parentheses,
        // so the fields are counted from the last ')'.
        const std::string stat = readFile("/proc/" + name + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 1));
        char state = '?';
        int parent = -1;
        fields >> state >> parent;
        if (parent == pid) children.push_back({std::stoi(name), state});
    }
    ::closedir(dir);
    return children;
}

int startedPid(const std::string& message, const std::string& name)
{
    static const std::regex pattern("started:(\\d+),0,(.*)");
    std::smatch match;
    if (!std::regex_match(message, match, pattern)) return -1;
    if (!name.empty() && match[2] != name) return -1;
    return std::stoi(match[1]);
}

int finishedPid(const std::string& message)
{
    static const std::regex pattern("finished:(\\d+),-?\\d+,.*");
    std::smatch match;
    if (!std::regex_match(message, match, pattern)) return -1;
    return std::stoi(match[1]);
}

std::string errorText(const std::string& message)
{
    static const std::regex pattern("error:(\\d+),([\\s\\S]*)");
    std::smatch match;
    if (!std::regex_match(message, match, pattern)) return "<" + message + ">";
    const long seconds = std::stol(match[1]);
    if (std::labs(seconds - static_cast<long>(std::time(nullptr))) > 5) return "<" + message + ">";
    return match[2];
}

bool sanitizerBuild() { return !sanitizerName().empty(); }

std::string sanitizerName() { return VPN_SANITIZER; }

int environmentInt(const char* name, int fallback)
{
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return fallback;
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    return *end == '\0' && number > 0 ? static_cast<int>(number) : fallback;
}

void recordFigure(const std::string& section, const std::string& what, const std::string& value)
{
    static bool first = true;
    try {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name =
            test == nullptr ? "unknown" : std::string(test->test_suite_name()) + "." + test->name();
        for (char& c : name) {
            if (c == '/') c = '_';
        }
        const std::filesystem::path dir(VPN_FIGURES_DIR);
        std::filesystem::create_directories(dir);
        std::ofstream out(dir / (name + ".tsv"), first ? std::ios::trunc : std::ios::app);
        first = false;
        out << section << '\t' << what << '\t' << value << '\n';
    } catch (const std::exception&) {
        // The figure is lost, the test's verdict is not.
    }
}

}  // namespace servicetest
