#include "bench/clientgroup.h"

#include <exception>
#include <future>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace VpnBench {

namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

int pidOf(const std::string& message)
{
    const std::string::size_type colon = message.find(':');
    if (colon == std::string::npos) return -1;
    try {
        return std::stoi(message.substr(colon + 1));
    } catch (const std::exception&) {
        return -1;
    }
}

ClientGroup::ClientGroup(const Poco::Net::SocketAddress& server, int count, BenchClient::Wait wait)
{
    m_members.resize(static_cast<std::size_t>(count));
    for (Member& member : m_members) member.client = std::make_unique<BenchClient>(server, 0, wait);
}

ClientGroup::~ClientGroup()
{
    for (Member& member : m_members) member.client->close();
}

bool ClientGroup::noteFinished(Member& member, const BenchClient::Message& message)
{
    if (!startsWith(message.text, "finished:")) return false;
    member.finished.emplace(pidOf(message.text), message.at);
    return true;
}

double ClientGroup::onEveryClient(const std::function<void(int)>& body)
{
    std::promise<void> release;
    std::shared_future<void> gate = release.get_future().share();
    std::mutex mutex;  // guards failure, written by whichever thread fails first
    std::string failure;
    std::vector<std::thread> threads;
    for (int c = 0; c < size(); ++c) {
        threads.emplace_back([&, c] {
            gate.wait();
            try {
                body(c);
            } catch (const std::exception& e) {
                std::lock_guard<std::mutex> lock(mutex);
                if (failure.empty()) failure = "client " + std::to_string(c) + ": " + e.what();
            }
        });
    }
    const Clock::time_point start = Clock::now();
    release.set_value();
    for (std::thread& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!failure.empty()) throw std::runtime_error(failure);
    return seconds;
}

void ClientGroup::requestLoop(Member& member, int c, int count, Clock::time_point until,
                              const Request& request, Batch* out) const
{
    for (int i = 0; i < count && Clock::now() < until; ++i) {
        const std::string text = request(c, i);
        const Clock::time_point sent = Clock::now();
        member.client->send(text);
        for (;;) {
            const auto message = member.client->receive(Clock::now() + m_replyTimeout);
            if (!message) {
                const auto seconds =
                    std::chrono::duration_cast<std::chrono::seconds>(m_replyTimeout).count();
                throw std::runtime_error("no reply to \"" + text + "\" in " +
                                         std::to_string(seconds) + " s");
            }
            if (noteFinished(member, *message)) continue;
            out->samplesMs.push_back(
                std::chrono::duration<double, std::milli>(message->at - sent).count());
            ++out->requests;
            if (startsWith(message->text, "started:")) {
                out->started.push_back(pidOf(message->text));
                out->startedAt.push_back(message->at);
            } else if (startsWith(message->text, "error:") || message->text != text) {
                ++out->errors;
            }
            break;
        }
    }
}

Batch ClientGroup::run(int perClient, const Request& request, bool expectFinished)
{
    return runUntil(perClient, Clock::duration::max(), request, expectFinished);
}

Batch ClientGroup::runFor(Clock::duration duration, const Request& request, bool expectFinished)
{
    return runUntil(std::numeric_limits<int>::max(), duration, request, expectFinished);
}

Batch ClientGroup::runUntil(int perClient, Clock::duration duration, const Request& request,
                            bool expectFinished)
{
    std::vector<Batch> perMember(m_members.size());
    Batch batch;
    // Set once the threads are released, so that the duration is counted from there.
    Clock::time_point until = Clock::time_point::max();
    std::once_flag released;
    batch.wallSeconds = onEveryClient([&](int c) {
        std::call_once(released, [&] {
            if (duration != Clock::duration::max()) until = Clock::now() + duration;
        });
        requestLoop(m_members[c], c, perClient, until, request, &perMember[c]);
    });
    for (const Batch& mine : perMember) {
        batch.samplesMs.insert(batch.samplesMs.end(), mine.samplesMs.begin(), mine.samplesMs.end());
        batch.started.insert(batch.started.end(), mine.started.begin(), mine.started.end());
        batch.startedAt.insert(batch.startedAt.end(), mine.startedAt.begin(), mine.startedAt.end());
        batch.requests += mine.requests;
        batch.errors += mine.errors;
    }
    if (expectFinished)
        m_expected.insert(m_expected.end(), batch.started.begin(), batch.started.end());
    return batch;
}

Batch ClientGroup::runOne(int c, int count, const Request& request, bool expectFinished)
{
    Batch batch;
    const Clock::time_point start = Clock::now();
    requestLoop(m_members[c], c, count, Clock::time_point::max(), request, &batch);
    batch.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (expectFinished)
        m_expected.insert(m_expected.end(), batch.started.begin(), batch.started.end());
    return batch;
}

long ClientGroup::expectedFinished() const { return static_cast<long>(m_expected.size()) * size(); }

long ClientGroup::drainFinished(std::chrono::milliseconds timeout)
{
    collectFinished(m_expected, Clock::now() + timeout);
    long missing = 0;
    for (const Member& member : m_members) {
        for (const int pid : m_expected) missing += member.finished.count(pid) == 0 ? 1 : 0;
    }
    return missing;
}

void ClientGroup::collectFinished(const std::vector<int>& pids, Clock::time_point deadline)
{
    onEveryClient([&](int c) {
        Member& member = m_members[c];
        std::size_t next = 0;  // pids before it have arrived
        for (;;) {
            while (next < pids.size() && member.finished.count(pids[next]) != 0) ++next;
            if (next == pids.size()) return;
            const auto message = member.client->receive(deadline);
            if (!message) return;
            noteFinished(member, *message);
        }
    });
}

std::optional<Clock::time_point> ClientGroup::finishedAt(int c, int pid) const
{
    const auto& finished = m_members[c].finished;
    const auto found = finished.find(pid);
    if (found == finished.end()) return std::nullopt;
    return found->second;
}

}  // namespace VpnBench
