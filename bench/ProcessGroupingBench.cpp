// Building a presentation context over 1,000 snapshots of 200 processes, beside copying the same
// processes into a vector (the floor); grouping one 500-process snapshot (target: under 1 ms),
// beside copying its processes.
#include "BenchSupport.h"
#include "SharedModels/ProcessAttributionPresentationService.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace joulix;
namespace Service = ProcessAttributionPresentationService;

namespace {

// A machine's processes: applications with helpers, system daemons, tools and kernel threads.
// Pids are stable across snapshots, except for a few short-lived tools.
DrainSnapshot makeSnapshot(int index, int processCount) {
    DrainSnapshot snapshot{.timestamp = Date{static_cast<double>(index)}};
    for (int i = 0; i < processCount; ++i) {
        const auto app = std::to_string(i % 25);
        ProcessDrain process{.pid = 100 + i, .parentPID = i % 5 == 0 ? 1 : 100 + (i / 5) * 5};
        switch (i % 5) {
        case 0:
            process.name = "/Applications/App" + app + ".app/Contents/MacOS/App" + app;
            process.bundleID = "com.vendor.app" + app;
            break;
        case 1:
            process.name = "/Applications/App" + app + ".app/Contents/Frameworks/Helper.app/" +
                           "Contents/MacOS/App" + app + " Helper (Renderer)";
            break;
        case 2:
            process.name = "/usr/libexec/xpcservice" + std::to_string(i % 7);
            break;
        case 3:
            process.name = "(kworker/" + std::to_string(i) + ")";
            break;
        default:
            process.name = "/usr/bin/tool" + std::to_string(i % 11);
            if (i % 20 == 4) process.pid = 10'000 + index * processCount + i;
        }
        process.drainW = 0.01 * (i % 13);
        process.energyShare = 0.001 * (i % 13);
        process.sourceFlags = {"ps"};
        snapshot.processes.push_back(std::move(process));
    }
    return snapshot;
}

const std::vector<DrainSnapshot>& window() {
    static const auto value = [] {
        std::vector<DrainSnapshot> snapshots;
        for (int i = 0; i < 1000; ++i)
            snapshots.push_back(makeSnapshot(i, 200));
        return snapshots;
    }();
    return value;
}

const DrainSnapshot& large() {
    static const auto value = makeSnapshot(0, 500);
    return value;
}

const ProcessPresentationContext& largeContext() {
    static const auto value = Service::makePresentationContext(std::span(&large(), 1));
    return value;
}

void buildContext() {
    benchmark::DoNotOptimize(Service::makePresentationContext(window()));
}
void copyWindow() {
    std::vector<ProcessDrain> all;
    for (const auto& snapshot : window())
        all.insert(all.end(), snapshot.processes.begin(), snapshot.processes.end());
    benchmark::DoNotOptimize(all);
}
void group() {
    benchmark::DoNotOptimize(Service::groupVisibleProcesses(large(), largeContext(), {}));
}
void copyLarge() {
    std::vector<ProcessDrain> all(large().processes.begin(), large().processes.end());
    benchmark::DoNotOptimize(all);
}

void BM_MakePresentationContext(benchmark::State& state) {
    for (auto _ : state)
        buildContext();
}
void BM_FloorCopyWindow(benchmark::State& state) {
    for (auto _ : state)
        copyWindow();
}
void BM_GroupVisibleProcesses(benchmark::State& state) {
    for (auto _ : state)
        group();
}
void BM_FloorCopySnapshot(benchmark::State& state) {
    for (auto _ : state)
        copyLarge();
}
BENCHMARK(BM_MakePresentationContext)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FloorCopyWindow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GroupVisibleProcesses)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorCopySnapshot)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto [contextUs, copyUs] = bench::fastestInterleaved(buildContext, copyWindow, 5, 1);
    std::printf("context over 1000 x 200 processes: %.1f ms, copying them %.1f ms, ratio %.2f\n",
                contextUs / 1000, copyUs / 1000, contextUs / copyUs);
    const auto [groupUs, copyLargeUs] = bench::fastestInterleaved(group, copyLarge, 20, 10);
    std::printf("grouping 500 processes: %.3f ms (target < 1 ms), copying them %.3f ms, "
                "ratio %.2f\n",
                groupUs / 1000, copyLargeUs / 1000, groupUs / copyLargeUs);
    return 0;
}
