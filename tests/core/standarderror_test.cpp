// Standard error's queue over real pipes: a stream that does not drain holds up no writer,
// loses lines only with a count, and takes every later line once it drains.
#include "core/standarderror.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kLineStart = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d\t)";

struct Pipe {
    Pipe() { EXPECT_EQ(::pipe(ends), 0); }
    ~Pipe()
    {
        for (int fd : ends)
            if (fd >= 0) ::close(fd);
    }
    // Fills the pipe until no byte more fits, leaving the descriptor blocking.
    void fill()
    {
        ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
        const std::string block(4096, 's');
        while (::write(ends[1], block.data(), block.size()) > 0) {
        }
        while (::write(ends[1], "s", 1) > 0) {
        }
        ::fcntl(ends[1], F_SETFL, 0);
    }
    // What the pipe holds now, without waiting for more.
    std::string drain()
    {
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<std::size_t>(n));
        return text;
    }
    int ends[2] = {-1, -1};
};

std::string line(int i) { return "line " + std::to_string(i) + " " + std::string(90, 'x') + "\n"; }

TEST(StandardError, StalledStreamDropsWithACountAndTakesLaterLinesOnceItDrains)
{
    Pipe pipe;
    pipe.fill();
    StandardError queue(pipe.ends[1], 1000);  // room for ten lines
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) queue.write(line(i));
    EXPECT_LT(Clock::now() - start, 1s) << "a writer waited for the stream";
    EXPECT_FALSE(queue.flush(200ms));

    // The reader comes back: the kept lines, then how many were lost, then what follows.
    std::string text;
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        const auto deadline = Clock::now() + 10s;
        while (text.find("after\n") == std::string::npos && Clock::now() < deadline) {
            text += pipe.drain();
            std::this_thread::sleep_for(5ms);
        }
    });
    EXPECT_TRUE(queue.flush(5s));
    queue.write("after\n");
    reader.join();
    const std::size_t first = text.find("line ");
    ASSERT_EQ(text.substr(0, first), std::string(first, 's'));  // what filled the pipe
    text.erase(0, first);
    // Each count stands where its lines are missing: the numbers of the lines around it
    // differ by the count plus one. Ten lines fit; more when the writer took some early.
    const std::regex countLine(kLineStart +
                               "W\t\\[Log\\] Standard error did not drain: (\\d+) lines were "
                               "dropped from it");
    std::istringstream lines(text);
    int next = 0;  // the number the next kept line must have
    int kept = 0;
    int counts = 0;
    std::string last;
    for (std::string got; std::getline(lines, got); last = got) {
        std::smatch match;
        if (std::regex_match(got, match, countLine)) {
            next += std::stoi(match[1]);
            ++counts;
        } else if (got != "after") {
            ASSERT_EQ(got + "\n", line(next)) << text;
            ++next;
            ++kept;
        }
    }
    EXPECT_EQ(next, 100) << text;
    EXPECT_GE(kept, 10) << text;
    EXPECT_GE(counts, 1) << text;
    EXPECT_EQ(last, "after") << text;
}

TEST(StandardError, WriterTakesNoSignalWhateverTheMaskOfTheThreadThatMadeIt)
{
    // A write to a pipe without a reader raises SIGPIPE in the writing thread, which ends
    // the process unless that thread blocks it; the framework's own start-up blocks it in
    // the main thread, so unblock it here first. Termination signals likewise: the writer
    // is made before the service blocks them.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    ASSERT_EQ(::pthread_sigmask(SIG_UNBLOCK, &pipeSignal, nullptr), 0);
    Pipe pipe;
    ::close(pipe.ends[0]);
    pipe.ends[0] = -1;
    StandardError queue(pipe.ends[1], 1000);
    queue.write("nobody reads this\n");
    EXPECT_TRUE(queue.flush(5s));
    queue.write("nor this\n");
    EXPECT_TRUE(queue.flush(5s));
}

TEST(StandardError, ExitWritesWhatIsQueuedButWaitsForAStalledStreamBriefly)
{
    struct Case {
        const char* name;
        bool stalled;
    };
    const int lines = 2000;  // three times what the pipe holds, less than the queue
    for (const Case& c : {Case{"drained", false}, Case{"stalled", true}}) {
        Pipe pipe;
        if (c.stalled) pipe.fill();
        const auto start = Clock::now();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(pipe.ends[1], STDERR_FILENO);
            for (int i = 0; i < lines; ++i) StandardError::instance().write(line(i));
            std::exit(0);  // runs the exit handlers, as a return from main does
        }
        ::close(pipe.ends[1]);
        pipe.ends[1] = -1;
        std::string text;
        if (!c.stalled) {
            char buffer[4096];
            // A reader that takes its time, well within the exit's wait.
            for (ssize_t n; (n = ::read(pipe.ends[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
                std::this_thread::sleep_for(1ms);
            }
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child) << c.name;
        EXPECT_EQ(status, 0) << c.name;
        // A ThreadSanitizer build sleeps a second at exit by itself.
        EXPECT_LT(Clock::now() - start, StandardError::kExitFlush + 2s) << c.name;
        if (!c.stalled) {
            std::string all;
            for (int i = 0; i < lines; ++i) all += line(i);
            EXPECT_TRUE(text == all) << c.name << ": " << text.size() << " of " << all.size();
        }
    }
}

}  // namespace
