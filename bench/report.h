#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "bench/measures.h"
#include "bench/stalls.h"
#include "bench/stats.h"

namespace VpnBench {

// Start latency at one concurrency, side by side with the floors measured with it.
struct Concurrency {
    int clients = 0;
    Summary floorA, floorB, floorC, service;
    Summary floorAB;  // a + b, percentile by percentile
    // The same floor (c) and service, driven by a synchronous client (1 client only;
    // count 0 otherwise): what remains of the ratio with a client that waits in recv(2).
    Summary syncFloorC, syncService;
    int syncServiceErrors = 0;
    double serviceStartsPerSecond = 0;
    double floorCStartsPerSecond = 0;
    int serviceRequests = 0;
    int serviceErrors = 0;
    long finishedExpected = 0;  // (client, child) pairs
    long finishedLost = 0;
    int passesAmongStarts = 0;  // watcher passes certainly within the service's steps
};

struct ScaleLevel {
    int children = 0;  // sleeping children supervised while measuring
    Summary start;
    Summary floorC;         // taken in turns with `start`, against drifting load
    double passMs = 0;      // service CPU per watcher pass (1 s), idle background included
    long finishedLost = 0;  // of the timed starts' children, (client, child) pairs
};

struct Target {
    std::string name;
    double value = 0;
    std::string relation;  // "<=" or "<"
    double limit = 0;
    bool met = false;
};

struct Results {
    std::string mode;  // "full" or "smoke"
    int rounds = 0;
    std::vector<Concurrency> concurrency;
    ExitNotice exitNotice;
    std::vector<ScaleLevel> scale;
    std::vector<StallLevel> stalls;
    Quiet idle;
    int idleClients = 0;
    int serviceExitCode = 0;
    std::vector<Target> targets;
};

// Fills results.targets from the figures.
void evaluateTargets(Results& results);
// The one table of every figure.
void printTable(const Results& results, std::ostream& out);
// The same figures as one JSON document.
void writeJson(const Results& results, std::ostream& out);

}  // namespace VpnBench
