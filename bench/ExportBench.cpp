// `joulix export` costs.
//
// Exporter: `joulix export --interval 15` on this machine for a minute (four passes). Its CPU
// time, its child tools' included (wait4 gives both), divided by the wall time; target: at most
// 0.5 % of one core. Baseline, in the same minute: a shell running the pass's process listing
// (`ps`) on the same 15-second grid.
//
// Scrape: GET /metrics from the exporter's HTTP server while sampling passes run back to back
// in another thread at the exporter's lower priority (every scrape overlaps a pass; at least
// 2,000 scrapes and 20 passes), beside
// the same scrapes with no pass running; the 50th and 99th percentiles of each. Target: 99th
// percentile under 1 ms.
#include "Export/ApplicationPassSampler.h"
#include "Export/MetricsExporter.h"
#include "Export/PrometheusPowerMetrics.h"
#include "bench/BenchSupport.h"
#include "tests/cli/HttpGet.h"

#include <benchmark/benchmark.h>
#include <prometheus/exposer.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const std::string joulix = JOULIX_BINARY_DIR "/cli/joulix";

using joulix::bench::cpuSecondsOf;
using joulix::bench::startShell;

void ExporterAtFifteenSecondsForAMinute(benchmark::State& state) {
    const joulix::bench::PrivateSharedRoot sharedRoot;
    for (auto _ : state) {
        const auto start = Clock::now();
        const pid_t exporter = startShell("JLX_LOG_DISABLED=1 exec " + joulix +
                                          " export --listen 127.0.0.1:0 --interval 15 >/dev/null");
        const pid_t baseline = startShell("for i in 1 2 3 4; do /bin/ps -A -ww -o "
                                          "pid=,ppid=,%cpu=,%mem=,command= >/dev/null; sleep 15; "
                                          "done");
        std::this_thread::sleep_for(std::chrono::seconds(60));
        ::kill(exporter, SIGTERM);
        const double exporterCPU = cpuSecondsOf(exporter);
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double baselineCPU = cpuSecondsOf(baseline);
        state.counters["export_core_%"] = 100 * exporterCPU / wall;
        state.counters["ps_only_core_%"] = 100 * baselineCPU / wall;
        std::printf("joulix export: %.3f %% of one core (target <= 0.5 %%); ps alone on the same "
                    "grid: %.3f %%\n",
                    100 * exporterCPU / wall, 100 * baselineCPU / wall);
    }
}
BENCHMARK(ExporterAtFifteenSecondsForAMinute)->Iterations(1)->Unit(benchmark::kSecond);

struct Percentiles {
    double p50Ms = 0;
    double p99Ms = 0;
};

// Scrapes at least `scrapes` times, and on until `enough` says so.
Percentiles scrapeLatencies(int port, int scrapes, const std::function<bool()>& enough) {
    std::vector<double> ms;
    for (int i = 0; i < scrapes || !enough(); ++i) {
        const auto start = Clock::now();
        const auto response = joulix::testing::httpGet(port, "/metrics");
        if (!response || response->status != 200) continue;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    if (ms.empty()) return {};
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[ms.size() * 99 / 100]};
}

void ScrapeWhileAPassRuns(benchmark::State& state) {
    const joulix::bench::PrivateSharedRoot sharedRoot;
    auto metrics = std::make_shared<joulix::PrometheusPowerMetrics>("bench", 10);
    joulix::ApplicationPassSampler sampler;
    sampler.observeBaseline();
    metrics->recordPass(sampler.pass(), 0);
    prometheus::Exposer exposer("127.0.0.1:0");
    exposer.RegisterCollectable(metrics);
    const int port = exposer.GetListeningPorts().front();
    for (auto _ : state) {
        const Percentiles idle = scrapeLatencies(port, 2000, [] { return true; });
        std::atomic<bool> stop = false;
        std::atomic<int> passes = 0;
        std::thread passing([&] {
            joulix::yieldToScrapes();
            while (!stop) {
                const auto start = Clock::now();
                metrics->recordPass(sampler.pass(),
                                    std::chrono::duration<double>(Clock::now() - start).count());
                ++passes;
            }
        });
        const Percentiles busy = scrapeLatencies(port, 2000, [&] { return passes >= 20; });
        stop = true;
        passing.join();
        state.counters["busy_p99_ms"] = busy.p99Ms;
        state.counters["idle_p99_ms"] = idle.p99Ms;
        std::printf("scrape of /metrics while passes run (%d passes): p50 %.3f ms, p99 %.3f ms "
                    "(target < 1 ms); with no pass running: p50 %.3f ms, p99 %.3f ms\n",
                    passes.load(), busy.p50Ms, busy.p99Ms, idle.p50Ms, idle.p99Ms);
    }
}
BENCHMARK(ScrapeWhileAPassRuns)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
