// Ping round trip through the daemon (its transport, per-client worker and handler) beside
// org.freedesktop.DBus.Peer.Ping to the same daemon over the same private bus, which the bus
// library answers on its own: the transport's floor. Target: the ratio is at most 1.5.
#include "JoulixDaemon/BatteryMetricsClient.h"
#include "JoulixDaemon/BatteryMetricsService.h"
#include "JoulixDaemon/DBusListener.h"
#include "tests/JoulixDaemon/PrivateBus.h"

#include "bench/BenchSupport.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

namespace {

constexpr const char* busName = "com.joulix.bench.metricsd";

struct Daemon {
    joulix::testing::PrivateBus bus;
    joulix::BatteryMetricsService service;
    joulix::DBusListener listener{joulix::BusSelection::at(bus.address), busName};
    Daemon() {
        listener.setDelegate(service);
        listener.resume();
    }
};

std::unique_ptr<Daemon> running;
Daemon& daemon() {
    return *running;
}

// Each iteration makes one call of each kind, in turn, so that both see the same machine load.
struct Totals {
    double serviceSeconds = 0;
    double peerSeconds = 0;
    double iterations = 0;
} totals;

void BM_PingBesidePeerPing(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    joulix::BatteryMetricsClient client(joulix::BusSelection::at(daemon().bus.address), busName);
    double service = 0, peer = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(client.ping());
        const auto middle = Clock::now();
        client.peerPing();
        const auto end = Clock::now();
        service += std::chrono::duration<double>(middle - start).count();
        peer += std::chrono::duration<double>(end - middle).count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["service_us"] = service / n * 1e6;
    state.counters["peer_us"] = peer / n * 1e6;
    state.counters["ratio"] = service / peer;
    totals = {service, peer, n};
}
BENCHMARK(BM_PingBesidePeerPing)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    const joulix::bench::PrivateSharedRoot sharedRoot;
    benchmark::Initialize(&argc, argv);
    try {
        running = std::make_unique<Daemon>();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "cannot start the daemon on a private bus: %s\n", error.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    if (totals.iterations > 0) {
        std::printf("Ping through the daemon: %.1f us, Peer.Ping: %.1f us, ratio %.2f (target <= "
                    "1.5)\n",
                    totals.serviceSeconds / totals.iterations * 1e6,
                    totals.peerSeconds / totals.iterations * 1e6,
                    totals.serviceSeconds / totals.peerSeconds);
    }
    benchmark::Shutdown();
    running.reset();
    return 0;
}
