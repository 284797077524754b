// Encoding and decoding a 300-process DrainSnapshot, beside the JSON library's own dump and parse
// of the same bytes (the floor). Target: encode at most 2x the dump, decode at most 2x the parse.
#include "SharedModels/SnapshotCodec.h"

#include "bench/RatioReporter.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <string>

using namespace joulix;

namespace {

DrainSnapshot makeSnapshot() {
    DrainSnapshot snapshot{
        .timestamp = Date{786729600.123456},
        .totalDischargeW = 14.73125,
        .components = ComponentDrain{1.42, 0.31, 5.07, 1.9, 0.01, 0.66, 0.23, 0.89, 0.12, 0.82},
        .unattributedW = 2.193,
        .telemetry = SourceTelemetry{true, 287, true, true, false, true, true},
        .powerContext = PowerUsageContext{true, 71.5},
        .batteryStatus = BatteryStatusSample{.levelPercent = 71.5,
                                             .remainingWh = 41.7,
                                             .cycleCount = 143,
                                             .voltageMV = 12412,
                                             .amperageMa = -1187,
                                             .serialNumber = "F8Y2345ABC"}};
    for (int64_t i = 0; i < 300; ++i) {
        const double share = 1.0 / static_cast<double>(i + 3);
        snapshot.processes.push_back(ProcessDrain{
            .pid = 400 + i * 7,
            .parentPID = 1,
            .name = "process-" + std::to_string(i),
            .bundleID = i % 3 == 0
                            ? std::optional<std::string>("com.example.app" + std::to_string(i))
                            : std::nullopt,
            .displayName = "Process " + std::to_string(i),
            .canonicalName = "process-" + std::to_string(i),
            .processGroupKey = "group-" + std::to_string(i % 40),
            .drainW = 12.0 * share,
            .energyShare = share,
            .rawCPUPercent = 100.0 * share + 0.37,
            .cpuCapacityFraction = share / 10.0,
            .cpuAttributedW = 10.0 * share,
            .ramAttributedW = 2.0 * share,
            .sourceFlags = {"powermetrics_cpu", "ps"}});
    }
    snapshot.hidden = {{HiddenDrainKind::dockerContainer, "web", 0.41},
                       {HiddenDrainKind::launchdService, "backup-agent", 0.07}};
    return snapshot;
}

const DrainSnapshot& snapshot() {
    static const DrainSnapshot value = makeSnapshot();
    return value;
}
const std::string& bytes() {
    static const std::string value = SnapshotCodec::encode(snapshot());
    return value;
}

void setBytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes().size()));
}

void BM_Encode(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(SnapshotCodec::encode(snapshot()));
    setBytes(state);
}
void BM_FloorDump(benchmark::State& state) {
    const auto parsed = nlohmann::json::parse(bytes());
    for (auto _ : state)
        benchmark::DoNotOptimize(parsed.dump());
    setBytes(state);
}
void BM_Decode(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(SnapshotCodec::decode<DrainSnapshot>(bytes()));
    setBytes(state);
}
void BM_FloorParse(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(bytes()));
    setBytes(state);
}
BENCHMARK(BM_Encode);
BENCHMARK(BM_FloorDump);
BENCHMARK(BM_Decode);
BENCHMARK(BM_FloorParse);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    joulix::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto ratio = [&](const char* ours, const char* floor) {
        if (!reporter.times.count(ours) || !reporter.times.count(floor)) return;
        std::printf("%s / %s = %.2f (target <= 2)\n", ours, floor,
                    reporter.times[ours] / reporter.times[floor]);
    };
    std::printf("snapshot JSON: %zu bytes, %zu processes\n", bytes().size(),
                snapshot().processes.size());
    ratio("BM_Encode", "BM_FloorDump");
    ratio("BM_Decode", "BM_FloorParse");
    benchmark::Shutdown();
    return 0;
}
