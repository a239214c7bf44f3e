#include "bench/report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "bench/jsonwriter.h"

namespace VpnBench {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

void addTarget(Results& results, const std::string& name, double value, const char* relation,
               double limit)
{
    const bool met = std::string(relation) == "<" ? value < limit : value <= limit;
    results.targets.push_back({name, value, relation, limit, met});
}

std::string latencyRow(const char* name, int clients, const Summary& s)
{
    return format("  %-30s %3d %7zu %9.3f %9.3f %9.3f", name, clients, s.count, s.p50, s.p99,
                  s.max);
}

std::string ratios(const Summary& s, const Summary& base)
{
    return format("   %6.2f %6.2f %6.2f", ratio(s.p50, base.p50), ratio(s.p99, base.p99),
                  ratio(s.max, base.max));
}

void summaryJson(JsonWriter& json, const char* key, const Summary& s)
{
    json.beginObject(key);
    json.field("count", static_cast<long long>(s.count));
    json.field("p50_ms", s.p50);
    json.field("p99_ms", s.p99);
    json.field("max_ms", s.max);
    json.field("mean_ms", s.mean);
    json.endObject();
}

void ratioJson(JsonWriter& json, const char* key, const Summary& s, const Summary& base)
{
    json.beginObject(key);
    json.field("p50", ratio(s.p50, base.p50));
    json.field("p99", ratio(s.p99, base.p99));
    json.field("max", ratio(s.max, base.max));
    json.endObject();
}

}  // namespace

void evaluateTargets(Results& results)
{
    results.targets.clear();
    long lost = results.exitNotice.lost;
    for (const Concurrency& c : results.concurrency) {
        const std::string who =
            c.clients == 1 ? "1 client" : std::to_string(c.clients) + " clients";
        addTarget(results, "start p50 / floor (c) p50, " + who, ratio(c.service.p50, c.floorC.p50),
                  "<=", 1.3);
        addTarget(results, "start p99 / floor (c) p99, " + who, ratio(c.service.p99, c.floorC.p99),
                  "<=", 2.0);
        lost += c.finishedLost;
    }
    for (const ScaleLevel& s : results.scale) lost += s.finishedLost;
    for (const StallLevel& s : results.stalls) lost += s.lost;
    addTarget(results, "finished messages lost", static_cast<double>(lost), "<=", 0);
    addTarget(results, "exit notice max, ms", results.exitNotice.maxMs, "<=", 1100);
    if (results.scale.size() >= 2) {
        const ScaleLevel& none = results.scale.front();
        const ScaleLevel& most = results.scale.back();
        addTarget(results,
                  "start p50 with " + std::to_string(most.children) + " children / with " +
                      std::to_string(none.children),
                  ratio(most.start.p50, none.start.p50), "<=", 2.0);
    }
    if (!results.stalls.empty()) {
        const StallLevel& most = results.stalls.back();
        const std::string beside = " beside " + std::to_string(most.stalled) + " stalled, s";
        addTarget(results, "reader's start max" + beside, most.start.max / 1000, "<=", 6.0);
        addTarget(results, "reader's finished notice max" + beside, most.noticeMaxMs / 1000,
                  "<=", 7.0);
    }
    addTarget(results, "idle CPU, % of one core", results.idle.cpuPercent, "<", 0.1);
    addTarget(results, "idle resident memory, MiB", results.idle.rssKiB / 1024.0, "<", 16);
}

void printTable(const Results& r, std::ostream& out)
{
    out << format("vpn-service benchmark (%s: %d rounds; floors measured in the same run)\n\n",
                  r.mode.c_str(), r.rounds);
    out << format("  %-30s %3s %7s %9s %9s %9s   %-20s   %s\n", "start latency, ms", "N", "count",
                  "p50", "p99", "max", "ratio to (c)", "ratio to (a)+(b)");
    for (const Concurrency& c : r.concurrency) {
        out << latencyRow("floor (a) spawn + one waitpid", c.clients, c.floorA) << "\n";
        out << latencyRow("floor (b) WebSocket echo", c.clients, c.floorB) << "\n";
        out << latencyRow("floor (a) + (b)", c.clients, c.floorAB) << "\n";
        out << latencyRow("floor (c) WebSocket + spawn", c.clients, c.floorC) << "\n";
        out << latencyRow("service start: -> started:", c.clients, c.service)
            << ratios(c.service, c.floorC) << ratios(c.service, c.floorAB) << "\n";
        if (c.syncService.count == 0) continue;
        out << latencyRow("floor (c), synchronous client", c.clients, c.syncFloorC) << "\n";
        out << latencyRow("service, synchronous client", c.clients, c.syncService)
            << ratios(c.syncService, c.syncFloorC) << ratios(c.syncService, c.floorAB) << "\n";
    }
    for (const Concurrency& c : r.concurrency) {
        if (c.syncService.count == 0) continue;
        out << format(
            "\n  %d-client split, p50: start / floor (c) %.2f with the bench's client (poll, then "
            "read), %.2f with a synchronous one (recv)\n"
            "    service beyond floor (c): %.3f ms with the bench's client, %.3f ms with the "
            "synchronous one\n"
            "    the bench's client's own wait: %+.3f ms on floor (c), %+.3f ms on the service\n",
            c.clients, ratio(c.service.p50, c.floorC.p50),
            ratio(c.syncService.p50, c.syncFloorC.p50), c.service.p50 - c.floorC.p50,
            c.syncService.p50 - c.syncFloorC.p50, c.floorC.p50 - c.syncFloorC.p50,
            c.service.p50 - c.syncService.p50);
    }
    out << "\n  throughput and delivery\n";
    for (const Concurrency& c : r.concurrency) {
        out << format(
            "  %3d client(s): %d starts, %.0f starts/s (floor (c): %.0f/s), %d errors, "
            "finished lost %ld of %ld\n",
            c.clients, c.serviceRequests, c.serviceStartsPerSecond, c.floorCStartsPerSecond,
            c.serviceErrors, c.finishedLost, c.finishedExpected);
    }
    for (const Concurrency& c : r.concurrency) {
        if (c.clients > 1)
            out << format("  %3d clients: at least %d watcher passes fell among their starts\n",
                          c.clients, c.passesAmongStarts);
    }
    const ExitNotice& e = r.exitNotice;
    out << format(
        "\n  exit notice (child's exit -> finished: at each client): %d children x %d "
        "clients, mean %.1f ms, max %.1f ms, lost %ld\n",
        e.children, e.clients, e.meanMs, e.maxMs, e.lost);
    out << format("\n  %-30s %9s %9s %9s %9s %9s %9s   %s\n", "scale, 1 client", "children",
                  "p50 ms", "p99 ms", "max ms", "(c) p50", "p50/(c)", "watcher pass, ms CPU");
    for (const ScaleLevel& s : r.scale) {
        out << format("  %-30s %9d %9.3f %9.3f %9.3f %9.3f %9.2f   %.3f\n", "", s.children,
                      s.start.p50, s.start.p99, s.start.max, s.floorC.p50,
                      ratio(s.start.p50, s.floorC.p50), s.passMs);
    }
    out << format("\n  %-30s %9s %7s %9s %9s %9s %11s %11s %7s %7s\n", "one reader beside stalled",
                  "stalled", "starts", "p50 ms", "p99 ms", "max ms", "notice mean", "notice max",
                  "lost", "dropped");
    for (const StallLevel& s : r.stalls) {
        out << format("  %-30s %9d %7zu %9.3f %9.3f %9.3f %8.1f ms %8.1f ms %7ld %7d\n", "",
                      s.stalled, s.start.count, s.start.p50, s.start.p99, s.start.max,
                      s.noticeMeanMs, s.noticeMaxMs, s.lost, s.dropped);
    }
    out << format(
        "\n  idle, %d clients, %.1f s: CPU %.2f ms = %.4f %% of one core (ticks: %.0f "
        "ms), %.1f wake-ups/s, resident %.1f MiB\n",
        r.idleClients, r.idle.seconds, r.idle.cpuMs, r.idle.cpuPercent, r.idle.ticksMs,
        r.idle.wakeupsPerSecond, r.idle.rssKiB / 1024.0);
    out << "\n  targets\n";
    for (const Target& t : r.targets) {
        out << format("  [%s] %-48s %10.3f %-2s %.3f\n", t.met ? " met " : "MISSED", t.name.c_str(),
                      t.value, t.relation.c_str(), t.limit);
    }
    out << format("\n  service exit code after SIGTERM: %d\n", r.serviceExitCode);
}

void writeJson(const Results& r, std::ostream& out)
{
    JsonWriter json(out);
    json.beginObject();
    json.field("mode", r.mode);
    json.field("rounds", r.rounds);
    json.beginArray("start_latency");
    for (const Concurrency& c : r.concurrency) {
        json.beginObject();
        json.field("clients", c.clients);
        summaryJson(json, "floor_a_spawn", c.floorA);
        summaryJson(json, "floor_b_echo", c.floorB);
        summaryJson(json, "floor_a_plus_b", c.floorAB);
        summaryJson(json, "floor_c_spawn_server", c.floorC);
        summaryJson(json, "service", c.service);
        ratioJson(json, "service_to_floor_c", c.service, c.floorC);
        ratioJson(json, "service_to_floor_a_plus_b", c.service, c.floorAB);
        json.field("service_requests", c.serviceRequests);
        json.field("service_errors", c.serviceErrors);
        json.field("service_starts_per_s", c.serviceStartsPerSecond);
        json.field("floor_c_starts_per_s", c.floorCStartsPerSecond);
        json.field("finished_expected", c.finishedExpected);
        json.field("finished_lost", c.finishedLost);
        json.field("watcher_passes_among_starts", c.passesAmongStarts);
        if (c.syncService.count > 0) {
            json.beginObject("synchronous_client");
            summaryJson(json, "floor_c_spawn_server", c.syncFloorC);
            summaryJson(json, "service", c.syncService);
            ratioJson(json, "service_to_floor_c", c.syncService, c.syncFloorC);
            json.field("service_errors", c.syncServiceErrors);
            json.endObject();
            json.beginObject("client_split_p50");
            json.field("ratio_bench_client", ratio(c.service.p50, c.floorC.p50));
            json.field("ratio_synchronous_client", ratio(c.syncService.p50, c.syncFloorC.p50));
            json.field("service_beyond_floor_c_ms_bench_client", c.service.p50 - c.floorC.p50);
            json.field("service_beyond_floor_c_ms_synchronous_client",
                       c.syncService.p50 - c.syncFloorC.p50);
            json.field("bench_client_wait_ms_floor_c", c.floorC.p50 - c.syncFloorC.p50);
            json.field("bench_client_wait_ms_service", c.service.p50 - c.syncService.p50);
            json.endObject();
        }
        json.endObject();
    }
    json.endArray();
    json.beginObject("exit_notice");
    json.field("children", r.exitNotice.children);
    json.field("clients", r.exitNotice.clients);
    json.field("samples", r.exitNotice.samples);
    json.field("mean_ms", r.exitNotice.meanMs);
    json.field("max_ms", r.exitNotice.maxMs);
    json.field("lost", r.exitNotice.lost);
    json.endObject();
    json.beginArray("scale");
    for (const ScaleLevel& s : r.scale) {
        json.beginObject();
        json.field("running_children", s.children);
        summaryJson(json, "start", s.start);
        summaryJson(json, "floor_c_spawn_server", s.floorC);
        json.field("watcher_pass_cpu_ms", s.passMs);
        json.endObject();
    }
    json.endArray();
    json.beginArray("stalled_clients");
    for (const StallLevel& s : r.stalls) {
        json.beginObject();
        json.field("stalled", s.stalled);
        json.field("seconds", s.seconds);
        summaryJson(json, "reader_start", s.start);
        json.field("reader_notice_mean_ms", s.noticeMeanMs);
        json.field("reader_notice_max_ms", s.noticeMaxMs);
        json.field("reader_finished_lost", s.lost);
        json.field("stalled_dropped", s.dropped);
        json.endObject();
    }
    json.endArray();
    json.beginObject("idle");
    json.field("clients", r.idleClients);
    json.field("seconds", r.idle.seconds);
    json.field("cpu_ms", r.idle.cpuMs);
    json.field("cpu_percent_of_core", r.idle.cpuPercent);
    json.field("cpu_ticks_ms", r.idle.ticksMs);
    json.field("wakeups_per_s", r.idle.wakeupsPerSecond);
    json.field("rss_kib", r.idle.rssKiB);
    json.endObject();
    json.field("service_exit_code", r.serviceExitCode);
    json.beginArray("targets");
    for (const Target& t : r.targets) {
        json.beginObject();
        json.field("name", t.name);
        json.field("value", t.value);
        json.field("relation", t.relation);
        json.field("limit", t.limit);
        json.field("met", t.met);
        json.endObject();
    }
    json.endArray();
    json.endObject();
}

}  // namespace VpnBench
