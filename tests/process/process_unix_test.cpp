// Launching real children and learning how they ended.

#include "process/process_unix.h"

#include <Poco/Runnable.h>
#include <Poco/Thread.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using VpnService::Process;
using VpnService::ProcessHandle;
using VpnService::ProcessStartInfo;

// Inside the test namespace /var/log is a private tmpfs.
const std::string kScratch = "/var/log/process_unix_test";

ProcessStartInfo shell(const std::string& script, std::vector<std::string> extra = {})
{
    ProcessStartInfo info{"/bin/sh", {"-c", script, "sh"}};
    info.args.insert(info.args.end(), extra.begin(), extra.end());
    return info;
}

std::string errorText(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// Polls as the watcher does, until the child has ended; fails after five seconds.
int waitForRetCode(const ProcessHandle& handle)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        try {
            return Process::getRetCode(handle);
        } catch (const std::runtime_error& e) {
            if (std::string(e.what()) != "process was running") throw;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(handle.id(), SIGKILL);
            throw std::runtime_error("child did not end in time");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override { ::mkdir(kScratch.c_str(), 0755); }
};

TEST_F(ProcessTest, LaunchFailuresCarryTheSystemText)
{
    const std::string notExecutable = kScratch + "/plain-file";
    std::ofstream(notExecutable) << "#!/bin/sh\nexit 0\n";
    ::chmod(notExecutable.c_str(), 0644);

    struct Case {
        std::string path;
        std::string text;
    };
    const Case cases[] = {
        {"/nonexistent/openvpn", "create process error: No such file or directory"},
        {notExecutable, "create process error: Permission denied"},
        {kScratch, "create process error: Permission denied"},  // a directory
        {"", "create process error: No such file or directory"},
        // No PATH search: "true" names a file in the working directory, and there is none.
        {"true", "create process error: No such file or directory"},
        // A NUL would cut the path short: /bin/true would run.
        {std::string("/bin/true\0x", 11), "create process error: Invalid argument"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("path \"" + c.path + "\"");
        EXPECT_EQ(errorText([&] { Process::launch({c.path, {}}); }), c.text);
    }
    EXPECT_EQ(errorText([&] {
                  Process::launch({"/bin/echo", {"a", std::string("b\0c", 3)}});
              }),
              "create process error: Invalid argument");
    // Nothing was spawned or parked by any of them.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ProcessTest, ExitCodeOfEachWayToEnd)
{
    struct Case {
        std::string script;
        int code;
    };
    const Case cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        // SIGKILL is how the service stops children: reported as a clean end.
        {"kill -KILL $$", 0},
        // Any other signal is 128 + its number, never 0.
        {"kill -TERM $$", 128 + SIGTERM},
        {"ulimit -c 0; kill -SEGV $$", 128 + SIGSEGV},
        {"ulimit -c 0; kill -ABRT $$", 128 + SIGABRT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        const ProcessHandle handle = Process::launch(shell(c.script));
        EXPECT_EQ(waitForRetCode(handle), c.code);
    }
}

TEST_F(ProcessTest, CodeIsReturnedOnceThenTheChildIsUnknown)
{
    // An immediately ending child: whether launch() found it ended and parked it or not,
    // its code comes back exactly once.
    const ProcessHandle quick = Process::launch(shell("exit 3"));
    EXPECT_EQ(waitForRetCode(quick), 3);
    EXPECT_FALSE(Process::isProcessClosed(quick));
    EXPECT_EQ(errorText([&] { Process::getRetCode(quick); }),
              "process not child; error: No child processes");

    // The parked path made certain: a child reaped before anybody asked, as launch()
    // does for one that has already ended, is answered from the closed list.
    const ProcessHandle sleeper = Process::launch({"/bin/sleep", {"30"}});
    EXPECT_EQ(errorText([&] { Process::getRetCode(sleeper); }), "process was running");
    EXPECT_FALSE(Process::isProcessClosed(sleeper));
    ::kill(sleeper.id(), SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(sleeper.id(), &status, 0), sleeper.id());
    Process::addClosedProcess(sleeper, status);
    EXPECT_TRUE(Process::isProcessClosed(sleeper));
    EXPECT_EQ(Process::getRetCode(sleeper), 128 + SIGTERM);
    EXPECT_FALSE(Process::isProcessClosed(sleeper));
    EXPECT_EQ(errorText([&] { Process::getRetCode(sleeper); }),
              "process not child; error: No child processes");
}

TEST_F(ProcessTest, ExitCodeIfEndedIsEmptyWhileTheChildRunsThenAnswersOnce)
{
    const ProcessHandle sleeper = Process::launch({"/bin/sleep", {"30"}});
    EXPECT_EQ(Process::exitCodeIfEnded(sleeper), std::nullopt);
    EXPECT_EQ(Process::exitCodeIfEnded(sleeper), std::nullopt);  // asking reaps nothing
    ::kill(sleeper.id(), SIGTERM);
    std::optional<int> code;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(code = Process::exitCodeIfEnded(sleeper)) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(code, 128 + SIGTERM);
    EXPECT_EQ(errorText([&] { Process::exitCodeIfEnded(sleeper); }),
              "process not child; error: No child processes");
}

TEST_F(ProcessTest, ParkedStatusesOfOnePidAreTakenEarliestFirst)
{
    const ProcessHandle handle(999999);
    Process::addClosedProcess(handle, 1 << 8);
    Process::addClosedProcess(handle, 2 << 8);
    int status = -1;
    ASSERT_TRUE(Process::takeProcessClosed(&status, handle));
    EXPECT_EQ(status, 1 << 8);
    ASSERT_TRUE(Process::takeProcessClosed(&status, handle));
    EXPECT_EQ(status, 2 << 8);
    status = -1;
    EXPECT_FALSE(Process::takeProcessClosed(&status, handle));
    EXPECT_EQ(status, -1);
}

TEST_F(ProcessTest, ChildExitingWith127AtOnceIsNeverParked)
{
    // Whether the immediate check catches the end is a race; both outcomes are valid, but
    // a 127 found there is an exec failure and is never handed out or parked.
    try {
        const ProcessHandle handle = Process::launch(shell("exit 127"));
        EXPECT_FALSE(Process::isProcessClosed(handle));
        EXPECT_EQ(waitForRetCode(handle), 127);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "create process error: exec failed");
    }
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST_F(ProcessTest, ArgumentsArePassedUnchanged)
{
    const std::string out = kScratch + "/args";
    const ProcessHandle handle =
        Process::launch(shell("printf '%s|' \"$0\" \"$#\" \"$@\" > \"$1\"", {out, "a b", "", "*"}));
    ASSERT_EQ(waitForRetCode(handle), 0);
    EXPECT_EQ(readFile(out), "sh|4|" + out + "|a b||*|");
}

// What a child inherits, read from inside it: its descriptors and its signal state.
class ChildStateTest : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        // Bait: descriptors without close-on-exec and ignored signals, as a service has.
        ASSERT_EQ(::pipe(m_pipe), 0);
        m_file = ::open("/dev/null", O_RDONLY);
        ASSERT_GE(m_file, 0);
        m_oldPipe = ::signal(SIGPIPE, SIG_IGN);
        m_oldHup = ::signal(SIGHUP, SIG_IGN);
    }
    void TearDown() override
    {
        ::signal(SIGPIPE, m_oldPipe);
        ::signal(SIGHUP, m_oldHup);
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
        ::close(m_file);
    }

    // The child's descriptors and its SigBlk and SigIgn lines.
    static std::string childState(
        const std::function<ProcessHandle(const ProcessStartInfo&)>& launch)
    {
        const std::string out = kScratch + "/state";
        // The signal state is read first, with builtins only: once dash has waited for a
        // child (ls), it may exec its last command with every signal blocked, which would
        // read as the launcher's fault. "exec >" leaves no saved descriptor behind, as a
        // redirect of one command would.
        const ProcessHandle handle = launch(
            shell("exec > \"$1\"; signals=''; while IFS= read -r line; do case $line in"
                  " SigBlk:*|SigIgn:*) signals=\"$signals$line\n\";; esac; done < /proc/$$/status;"
                  " ls /proc/$$/fd; printf '%s' \"$signals\"",
                  {out}));
        EXPECT_EQ(waitForRetCode(handle), 0);
        return readFile(out);
    }

    int m_pipe[2] = {-1, -1};
    int m_file = -1;
    sighandler_t m_oldPipe = SIG_DFL;
    sighandler_t m_oldHup = SIG_DFL;
};

const char* const kCleanState = "0\n1\n2\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";

// Runs a launch on a framework thread, as the connection threads do.
class LaunchOnPocoThread : public Poco::Runnable {
public:
    explicit LaunchOnPocoThread(ProcessStartInfo info) : m_info(std::move(info)) {}
    void run() override
    {
        sigset_t mask;
        pthread_sigmask(SIG_BLOCK, nullptr, &mask);
        m_blockedTerm = sigismember(&mask, SIGTERM) == 1;
        try {
            m_handle = Process::launch(m_info).id();
        } catch (const std::exception& e) {
            m_error = e.what();
        }
    }

    ProcessStartInfo m_info;
    bool m_blockedTerm = false;
    int m_handle = -1;
    std::string m_error;
};

ProcessHandle launchOnPocoThread(const ProcessStartInfo& info, bool* blockedTerm = nullptr)
{
    LaunchOnPocoThread runnable(info);
    Poco::Thread thread;
    thread.start(runnable);
    thread.join();
    if (!runnable.m_error.empty()) throw std::runtime_error(runnable.m_error);
    if (blockedTerm) *blockedTerm = runnable.m_blockedTerm;
    return ProcessHandle(runnable.m_handle);
}

TEST_F(ChildStateTest, ChildFromFrameworkThreadGetsOnlyStdioAndCleanSignals)
{
    bool blockedTerm = false;
    EXPECT_EQ(childState([&](const ProcessStartInfo& info) {
                  return launchOnPocoThread(info, &blockedTerm);
              }),
              kCleanState);
    EXPECT_TRUE(blockedTerm)
        << "the framework thread should block SIGTERM, else this proves little";
}

TEST_F(ChildStateTest, ChildFromMainThreadBlockingTerminationSignalsGetsCleanState)
{
    sigset_t termination;
    sigemptyset(&termination);
    sigaddset(&termination, SIGINT);
    sigaddset(&termination, SIGQUIT);
    sigaddset(&termination, SIGTERM);
    sigset_t old;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &termination, &old), 0);
    const std::string state = childState(Process::launch);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(state, kCleanState);
}

TEST_F(ChildStateTest, ChildFromFrameworkThreadStopsOnSigterm)
{
    const ProcessHandle handle = launchOnPocoThread({"/bin/sleep", {"30"}});
    ASSERT_EQ(::kill(handle.id(), SIGTERM), 0);
    EXPECT_EQ(waitForRetCode(handle), 128 + SIGTERM);
}

}  // namespace
