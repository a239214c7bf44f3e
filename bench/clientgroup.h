#pragma once

#include <Poco/Net/SocketAddress.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/benchclient.h"

namespace VpnBench {

// What one timed batch of requests gave.
struct Batch {
    std::vector<double> samplesMs;  // request sent to reply read, one per request
    double wallSeconds = 0;         // from the common start to the last reply
    int requests = 0;
    int errors = 0;                            // "error:" replies, or an echo that differs
    std::vector<int> started;                  // pids named by "started:" replies
    std::vector<Clock::time_point> startedAt;  // when each of those replies was read
};

// N connections to one server, each driven by a thread of its own during a batch; in
// between, only the calling thread touches them. Every finished message a client reads,
// at any time, is kept with its arrival time, so that none is missed while the client
// waits for a reply.
class ClientGroup {
public:
    // Builds request i (0-based) of client c.
    using Request = std::function<std::string(int c, int i)>;

    // Connects `count` clients that wait for bytes as `wait` says. Throws what
    // BenchClient throws.
    ClientGroup(const Poco::Net::SocketAddress& server, int count,
                BenchClient::Wait wait = BenchClient::Wait::Poll);
    // Closes every connection.
    ~ClientGroup();

    int size() const { return static_cast<int>(m_members.size()); }
    // How long a reply may take before run() and its kind give up (10 s unless set).
    void setReplyTimeout(Clock::duration timeout) { m_replyTimeout = timeout; }

    // Every client sends perClient requests, one after another, all clients at once, and
    // waits for each reply (any message but a finished one). With expectFinished, the
    // children of "started:" replies are expected to be announced to every client.
    // Throws std::runtime_error when a reply does not come within 10 s.
    Batch run(int perClient, const Request& request, bool expectFinished);
    // The same, each client going on until `duration` has passed since the common start.
    Batch runFor(Clock::duration duration, const Request& request, bool expectFinished);
    // The same on client c alone, on the calling thread.
    Batch runOne(int c, int count, const Request& request, bool expectFinished);
    // Reads until every client holds the finished message of every expected child or
    // the time-out passes; returns the (client, child) pairs still missing.
    long drainFinished(std::chrono::milliseconds timeout);
    // The number of (client, child) pairs expected so far.
    long expectedFinished() const;

    // Arrival time of the finished message of `pid` at client c, if it has come.
    std::optional<Clock::time_point> finishedAt(int c, int pid) const;
    // Reads on every client at once until each has the finished messages of all the
    // pids or the deadline passes.
    void collectFinished(const std::vector<int>& pids, Clock::time_point deadline);

private:
    struct Member {
        std::unique_ptr<BenchClient> client;
        std::map<int, Clock::time_point> finished;  // pid -> arrival
    };

    // Sends up to `count` requests one after another on one client, none after `until`,
    // timing each reply, into *out.
    void requestLoop(Member& member, int c, int count, Clock::time_point until,
                     const Request& request, Batch* out) const;
    // run() and runFor() alike.
    Batch runUntil(int perClient, Clock::duration duration, const Request& request,
                   bool expectFinished);
    // Records a finished message; false for any other message.
    static bool noteFinished(Member& member, const BenchClient::Message& message);
    // Runs body(c) on one thread per client, all released together; rethrows the first
    // failure after every thread has ended. Returns the seconds from release to the end.
    double onEveryClient(const std::function<void(int)>& body);

    std::vector<Member> m_members;
    std::vector<int> m_expected;  // children whose finished message every client must get
    Clock::duration m_replyTimeout = std::chrono::seconds(10);
};

// The pid in "started:<pid>,..." or "finished:<pid>,...", or -1.
int pidOf(const std::string& message);

}  // namespace VpnBench
