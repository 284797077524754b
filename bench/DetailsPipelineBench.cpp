// The presentation builders, each figure beside a baseline measured in the same run:
// - a rebuild of a 10,000-snapshot window of 50 processes each from scratch, beside the cached
//   engine's rebuild after one appended snapshot (target: the incremental rebuild costs at most
//   10 % of the full one);
// - fetchDetailsReadModel over 24 h of 5-second snapshots (17,280 of 50 processes each), beside
//   DetailsDataPipeline::rebuild over the same snapshots loaded with fetchWindowSnapshots.
#include "SharedModels/Presentation/CachedDetailsPipelineEngine.h"
#include "SharedModels/Presentation/DetailsDataPipeline.h"
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "tests/SharedModels/HistoryGenerator.h"

#include "bench/RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace joulix {
namespace {

constexpr int processCount = 50;

// 5-second snapshots of steady processes, named and keyed as the monitor publishes them.
std::vector<DrainSnapshot> publishedHistory(int count, testing::HistoryGenerator& generator) {
    std::vector<DrainSnapshot> history;
    history.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i)
        history.push_back(generator.next(i == 0 ? 0 : 5));
    const auto context = ProcessAttributionPresentationService::makeLatestOnlyPresentationContext(
        std::span(history).last(std::min<std::size_t>(history.size(), 10)));
    for (auto& snapshot : history) {
        snapshot = ProcessAttributionPresentationService::annotateSnapshot(snapshot, context);
    }
    return history;
}

const GraphPeriodSpec window10k{"10k", 10'000 * 5.0, 300};

void BM_FullRebuild(benchmark::State& state) {
    testing::HistoryGenerator generator(1, processCount, true);
    const auto history = publishedHistory(10'000, generator);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            GraphBuildEngine::rebuildDetailsOutput(history, {}, window10k, nullptr, std::nullopt));
    }
}

void BM_IncrementalRebuild(benchmark::State& state) {
    testing::HistoryGenerator generator(1, processCount, true);
    auto history = publishedHistory(10'000, generator);
    history.reserve(history.size() + 100'000);
    CachedDetailsPipelineEngine engine;
    engine.rebuild(history, {}, window10k);
    const auto context =
        ProcessAttributionPresentationService::makeLatestOnlyPresentationContext(history);
    for (auto _ : state) {
        state.PauseTiming();
        history.push_back(
            ProcessAttributionPresentationService::annotateSnapshot(generator.next(5), context));
        state.ResumeTiming();
        benchmark::DoNotOptimize(engine.rebuild(history, {}, window10k));
    }
    state.counters["fullPreparations"] = static_cast<double>(engine.fullPreparationCount());
}

struct DayStore {
    DayStore() {
        char pattern[] = "/tmp/jlx-details-bench-XXXXXX";
        directory = ::mkdtemp(pattern) ? pattern : "/tmp";
        store = std::make_unique<SQLiteSnapshotStore>(directory + "/day.sqlite",
                                                      SQLiteSnapshotStore::Mode::readWriteCreate);
        testing::HistoryGenerator generator(2, processCount, true);
        for (const auto& snapshot : publishedHistory(17'280, generator))
            store->insert(snapshot);
    }
    ~DayStore() {
        store.reset();
        std::filesystem::remove_all(directory);
    }
    std::string directory;
    std::unique_ptr<SQLiteSnapshotStore> store;
};

DayStore& dayStore() {
    static DayStore day;
    return day;
}

void BM_DetailsReadModelDay(benchmark::State& state) {
    auto& store = *dayStore().store;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store.fetchDetailsReadModel(86'400, 6, std::nullopt, {}));
    }
}

void BM_LoadAndPipelineDay(benchmark::State& state) {
    auto& store = *dayStore().store;
    for (auto _ : state) {
        auto snapshots = store.fetchWindowSnapshots(86'400, 10'000, std::nullopt);
        state.counters["snapshots"] = static_cast<double>(snapshots.size());
        benchmark::DoNotOptimize(
            DetailsDataPipeline::rebuild(std::move(snapshots), {}, 86'400, 300));
    }
}

BENCHMARK(BM_FullRebuild)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_IncrementalRebuild)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_DetailsReadModelDay)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadAndPipelineDay)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace joulix

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    joulix::bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto ratio = [&](const char* ours, const char* baseline, const char* target) {
        if (!reporter.times.count(ours) || !reporter.times.count(baseline)) return;
        std::printf("%s / %s = %.3f (%s)\n", ours, baseline,
                    reporter.times[ours] / reporter.times[baseline], target);
    };
    ratio("BM_IncrementalRebuild/iterations:50", "BM_FullRebuild/iterations:5", "target <= 0.10");
    ratio("BM_DetailsReadModelDay/iterations:5", "BM_LoadAndPipelineDay/iterations:3", "reported");
    benchmark::Shutdown();
    return 0;
}
