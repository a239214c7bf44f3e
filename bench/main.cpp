// The benchmark: the service binary against its physical floor, measured in one run. It
// must run inside private namespaces (scripts/bench.sh puts it there): it starts the
// service, which binds the fixed port and writes under /var/log.

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/clientgroup.h"
#include "bench/floorserver.h"
#include "bench/measures.h"
#include "bench/report.h"
#include "bench/serviceprocess.h"
#include "bench/stalls.h"

using namespace VpnBench;

namespace {

struct Counts {
    int rounds;        // floors and service alternate this often, against drifting load
    int single;        // requests per round with one client
    int perClient;     // requests per client per round with 16 clients
    int warmup;        // untimed requests per client before the rounds
    int exitChildren;  // children timed for the exit notice
    double idleSeconds;
    std::vector<int> levels;  // sleeping children for the scale figures
    int scaleRequests;
    double passSeconds;  // window over which the watcher's passes are costed
    // Length of each round's service step with 16 clients (0: perClient requests), so
    // that the watcher's passes over their ended children fall among the starts.
    double manySeconds;
    std::vector<int> stalled;  // clients that stop reading, beside one reader
    double stallSeconds;       // the reader's starts at each of those levels
};

const Counts kFull{10, 100, 20, 20, 20, 10.0, {0, 100, 1000}, 300, 5.0, 1.2, {1, 8, 15}, 8.0};
const Counts kSmoke{1, 20, 3, 2, 3, 1.0, {0, 10, 100}, 20, 1.0, 0, {1}, 1.0};
const int kClients = 16;
const std::chrono::seconds kDrainTimeout(5);
const char* const kServiceOutput = "/var/log/vpn-bench-service.out";
// Floor (c)'s log file, and where its lines go in place of the service's standard error
// (which kServiceOutput receives).
const char* const kFloorLog = "/var/log/vpn-bench-floor.log";
const char* const kFloorErrors = "/var/log/vpn-bench-floor.out";

struct Options {
    bool smoke = false;
    std::string json;
    std::string service = VPN_SERVICE_BINARY;
};

void usage(std::ostream& out)
{
    out << "usage: vpn-bench [--smoke] [--json=FILE] [--service=BINARY]\n"
           "  --smoke    tiny counts, only to check that the benchmark builds and runs\n"
           "  --json     where the figures go as JSON (default " VPN_BENCH_JSON_DIR
           "/bench[-smoke].json)\n"
           "  --service  the service binary (default " VPN_SERVICE_BINARY
           ")\n"
           "Runs only inside private namespaces: use scripts/bench.sh.\n";
}

// The request text for one start; every argument is unique in the run, so that no start
// is refused as a duplicate of a running child.
ClientGroup::Request trueStarts(const std::string& tag)
{
    return [tag](int c, int i) {
        return "start: /bin/true " + tag + "-" + std::to_string(c) + "-" + std::to_string(i);
    };
}

void append(std::vector<double>& all, const Batch& batch)
{
    all.insert(all.end(), batch.samplesMs.begin(), batch.samplesMs.end());
}

// The floor's own announcements are checked as the service's are: a floor that does less
// than its part would flatter every ratio.
void drainFloor(ClientGroup& floor)
{
    const long lost = floor.drainFinished(kDrainTimeout);
    if (lost != 0)
        throw std::runtime_error("floor (c) lost " + std::to_string(lost) + " finished messages");
}

// With `synchronous` (1 client only), the service and floor (c) are also driven by a
// client that sleeps in recv(2) on the calling thread, in the same rounds, so that the
// bench's own client's share of the ratio shows.
Concurrency measureConcurrency(int clients, const Counts& counts, const FloorServer& echo,
                               const FloorServer& spawner, ClientGroup& service,
                               ClientGroup* synchronous)
{
    ClientGroup echoClients(echo.address(), clients);
    ClientGroup spawnClients(spawner.address(), clients);
    std::unique_ptr<ClientGroup> syncFloor;
    if (synchronous != nullptr)
        syncFloor = std::make_unique<ClientGroup>(spawner.address(), 1, BenchClient::Wait::Block);
    const std::string n = "n" + std::to_string(clients);
    runSpawnFloor(clients, counts.warmup, "wa" + n);
    echoClients.run(counts.warmup, trueStarts("wb" + n), false);
    spawnClients.run(counts.warmup, trueStarts("wc" + n), true);
    service.run(counts.warmup, trueStarts("ws" + n), true);
    if (synchronous != nullptr) {
        syncFloor->runOne(0, counts.warmup, trueStarts("wyc" + n), true);
        synchronous->runOne(0, counts.warmup, trueStarts("wys" + n), true);
    }

    const int perClient = clients == 1 ? counts.single : counts.perClient;
    std::vector<double> a, b, c, s, yc, ys;
    double cSeconds = 0;
    double sSeconds = 0;
    Concurrency result;
    result.clients = clients;
    for (int round = 0; round < counts.rounds; ++round) {
        const std::string tag = n + "r" + std::to_string(round);
        std::vector<std::function<void()>> steps = {
            [&] { append(a, runSpawnFloor(clients, perClient, "a" + tag)); },
            [&] { append(b, echoClients.run(perClient, trueStarts("b" + tag), false)); },
            [&] {
                const Batch floorC = spawnClients.run(perClient, trueStarts("c" + tag), true);
                append(c, floorC);
                cSeconds += floorC.wallSeconds;
            },
            [&] {
                const bool timed = clients > 1 && counts.manySeconds > 0;
                const Batch started =
                    timed ? service.runFor(std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(counts.manySeconds)),
                                           trueStarts("s" + tag), true)
                          : service.run(perClient, trueStarts("s" + tag), true);
                append(s, started);
                sSeconds += started.wallSeconds;
                // Passes come once a second: a step of t seconds holds at least floor(t).
                result.passesAmongStarts += static_cast<int>(started.wallSeconds);
                result.serviceRequests += started.requests;
                result.serviceErrors += started.errors;
            },
        };
        if (synchronous != nullptr) {
            steps.emplace_back(
                [&] { append(yc, syncFloor->runOne(0, perClient, trueStarts("yc" + tag), true)); });
            steps.emplace_back([&] {
                const Batch started =
                    synchronous->runOne(0, perClient, trueStarts("ys" + tag), true);
                append(ys, started);
                result.syncServiceErrors += started.errors;
            });
        }
        // Every other round in reverse order, so that no figure always follows the same
        // neighbour (the service's announcements fall into whatever runs after it).
        const int count = static_cast<int>(steps.size());
        for (int i = 0; i < count; ++i) steps[round % 2 == 0 ? i : count - 1 - i]();
    }
    result.floorA = summarize(a);
    result.floorB = summarize(b);
    result.floorAB = addSummaries(result.floorA, result.floorB);
    result.floorC = summarize(c);
    result.service = summarize(s);
    result.syncFloorC = summarize(yc);
    result.syncService = summarize(ys);
    result.serviceStartsPerSecond = sSeconds > 0 ? result.serviceRequests / sSeconds : 0;
    result.floorCStartsPerSecond = cSeconds > 0 ? c.size() / cSeconds : 0;
    result.finishedLost = service.drainFinished(kDrainTimeout);
    result.finishedExpected = service.expectedFinished();
    if (synchronous != nullptr) {
        result.finishedLost += synchronous->drainFinished(kDrainTimeout);
        result.finishedExpected += synchronous->expectedFinished();
        drainFloor(*syncFloor);
    }
    drainFloor(spawnClients);
    return result;
}

std::vector<ScaleLevel> measureScale(const Counts& counts, const FloorServer& spawner,
                                     const Poco::Net::SocketAddress& address, pid_t servicePid)
{
    ClientGroup one(address, 1);
    ClientGroup floor(spawner.address(), 1);
    std::vector<ScaleLevel> levels;
    int running = 0;
    long lostBefore = 0;  // drainFinished() counts over every level so far
    // The sleeping children outlive the service (it never stops its children); they end
    // with the namespace when this program exits.
    for (const int level : counts.levels) {
        const int first = running;
        const Batch sleepers = one.runOne(
            0, level - running,
            [first](int, int i) { return "start: /bin/sleep 3600 " + std::to_string(first + i); },
            false);
        if (sleepers.errors != 0) throw std::runtime_error("a sleeping child was refused");
        running = level;
        ScaleLevel result;
        result.children = level;
        const Quiet quiet = measureQuiet(servicePid, counts.passSeconds);
        result.passMs = quiet.cpuMs / quiet.seconds;  // one pass a second
        const std::string tag = "sc" + std::to_string(level);
        one.runOne(0, counts.warmup, trueStarts("w" + tag), true);
        // Levels are measured one after another, so the floor is taken beside each.
        std::vector<double> service, floorC;
        const int perRound = std::max(1, counts.scaleRequests / counts.rounds);
        for (int round = 0; round < counts.rounds; ++round) {
            const std::string roundTag = tag + "r" + std::to_string(round);
            const auto takeFloor = [&] {
                append(floorC, floor.runOne(0, perRound, trueStarts("c" + roundTag), false));
            };
            const auto takeService = [&] {
                append(service, one.runOne(0, perRound, trueStarts(roundTag), true));
            };
            if (round % 2 == 0) {
                takeFloor();
                takeService();
            } else {
                takeService();
                takeFloor();
            }
        }
        result.start = summarize(service);
        result.floorC = summarize(floorC);
        // Drained before the next window, so that no announcement falls into it.
        const long lost = one.drainFinished(kDrainTimeout);
        result.finishedLost = lost - lostBefore;
        lostBefore = lost;
        levels.push_back(result);
    }
    return levels;
}

std::string tail(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    return all.size() > 2000 ? all.substr(all.size() - 2000) : all;
}

Results runBenchmark(const Options& options, const Counts& counts)
{
    Results results;
    results.mode = options.smoke ? "smoke" : "full";
    results.rounds = counts.rounds;
    const FloorServer echo(FloorServer::Kind::Echo);
    const FloorServer spawner(FloorServer::Kind::Spawn, kFloorLog, kFloorErrors);

    ServiceProcess service(options.service, kServiceOutput);
    const Poco::Net::SocketAddress address("127.0.0.1", 6457);
    if (!service.waitServing(address, std::chrono::seconds(10)))
        throw std::runtime_error("the service did not come up; its output:\n" +
                                 tail(kServiceOutput));
    {
        ClientGroup single(address, 1);
        ClientGroup synchronous(address, 1, BenchClient::Wait::Block);
        results.concurrency.push_back(
            measureConcurrency(1, counts, echo, spawner, single, &synchronous));
    }
    {
        ClientGroup many(address, kClients);
        results.concurrency.push_back(
            measureConcurrency(kClients, counts, echo, spawner, many, nullptr));
        results.exitNotice = measureExitNotice(many, counts.exitChildren);
        results.idleClients = many.size();
        results.idle = measureQuiet(service.pid(), counts.idleSeconds);
    }
    results.scale = measureScale(counts, spawner, address, service.pid());
    results.stalls = measureStalls(address, counts.stalled, counts.stallSeconds);
    results.serviceExitCode = service.stop(std::chrono::seconds(10));
    evaluateTargets(results);
    return results;
}

bool parse(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            options->smoke = true;
        } else if (arg.compare(0, 7, "--json=") == 0) {
            options->json = arg.substr(7);
        } else if (arg.compare(0, 10, "--service=") == 0) {
            options->service = arg.substr(10);
        } else {
            return false;
        }
    }
    if (options->json.empty())
        options->json = std::string(VPN_BENCH_JSON_DIR) +
                        (options->smoke ? "/bench-smoke.json" : "/bench.json");
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parse(argc, argv, &options)) {
        usage(std::cerr);
        return 2;
    }
    if (!insidePrivateNamespaces()) {
        std::cerr << "vpn-bench: not inside private namespaces; the service binds a fixed port "
                     "and writes under /var/log. Run scripts/bench.sh.\n";
        return 2;
    }
    // A client whose connection the server has ended must see an error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        const Results results = runBenchmark(options, options.smoke ? kSmoke : kFull);
        printTable(results, std::cout);
        std::ofstream json(options.json);
        writeJson(results, json);
        json.close();
        if (!json) throw std::runtime_error("cannot write " + options.json);
        std::cout << "\n  figures written to " << options.json << "\n";
    } catch (const std::exception& e) {
        std::cerr << "vpn-bench: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
