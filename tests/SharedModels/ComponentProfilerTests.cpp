#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/BenchmarkFeature.h"
#include "SharedModels/BenchmarkTraceAnalyzer.h"
#include "SharedModels/ComponentProfiler.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

using namespace joulix;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ComponentProfilerTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "jlx-profiler-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        tracePath = (directory / "trace.jsonl").string();
    }
    void TearDown() override { fs::remove_all(directory); }

    std::unique_ptr<ComponentProfiler> makeProfiler(double interval = 3600, int64_t threshold = 24,
                                                    std::optional<bool> enabled = true) {
        return std::make_unique<ComponentProfiler>(BenchmarkProcessKind::daemon, "JoulixDaemon",
                                                   tracePath, interval, threshold, enabled);
    }

    std::vector<std::string> lines() const {
        std::ifstream file(tracePath);
        std::vector<std::string> result;
        for (std::string line; std::getline(file, line);)
            result.push_back(line);
        return result;
    }

    // Polls until the trace holds at least `count` lines or the time runs out.
    std::size_t waitForLines(std::size_t count, std::chrono::milliseconds timeout = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (lines().size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(2ms);
        }
        return lines().size();
    }

    std::vector<ComponentProfileEvent> events() const {
        return BenchmarkTraceAnalyzer::loadEvents(tracePath);
    }

    fs::path directory;
    std::string tracePath;
};

void record(ComponentProfiler& profiler, int count) {
    for (int i = 0; i < count; ++i)
        profiler.recordInstant("app.test", std::nullopt, "c");
}

}  // namespace

TEST_F(ComponentProfilerTest, OffByDefaultRunsTheBodyAndLeavesAnEmptyTrace) {
    ::unsetenv("DEBUG_BENCHMARK");
    setMainBundle(std::make_shared<FixedMainBundle>(std::nullopt, std::nullopt));
    std::ofstream(tracePath) << "old trace\n";
    {
        auto profiler = makeProfiler(3600, 24, std::nullopt);
        EXPECT_FALSE(profiler->isEnabled());
        EXPECT_EQ(profiler->measure("app.test", std::nullopt, "c", {}, [] { return 42; }), 42);
        profiler->recordInstant("app.test", std::nullopt, "c");
        EXPECT_EQ(profiler->beginSpan("app.test", std::nullopt, "c"), std::nullopt);
    }
    setMainBundle(nullptr);
    ASSERT_TRUE(fs::exists(tracePath));
    EXPECT_EQ(fs::file_size(tracePath), 0u);
}

TEST_F(ComponentProfilerTest, TheThresholdEventWritesTheWholeBatch) {
    auto profiler = makeProfiler(3600, 24);
    record(*profiler, 23);
    EXPECT_EQ(waitForLines(1, 200ms), 0u);
    record(*profiler, 1);
    EXPECT_EQ(waitForLines(24), 24u);
}

TEST_F(ComponentProfilerTest, TheTimerWritesEventsBelowTheThreshold) {
    auto profiler = makeProfiler(0.05, 24);
    record(*profiler, 23);
    EXPECT_EQ(waitForLines(23), 23u);
}

TEST_F(ComponentProfilerTest, ThresholdZeroWritesEveryEvent) {
    auto profiler = makeProfiler(3600, 0);
    record(*profiler, 1);
    EXPECT_EQ(waitForLines(1), 1u);
    record(*profiler, 1);
    EXPECT_EQ(waitForLines(2), 2u);
}

TEST_F(ComponentProfilerTest, UIThreadMarkFollowsWhereTheSpanStartedAndEnded) {
    // The test body runs on the process's main thread.
    ASSERT_EQ(::gettid(), ::getpid());
    struct Case {
        bool startOnMain, endOnMain;
        ProfileContext context, endContext;
        bool marked;
    } cases[] = {
        {true, false, {}, {}, true},   {true, false, {}, {{"uiThread", "0"}}, true},
        {false, false, {}, {}, false}, {false, false, {{"uiThread", "1"}}, {}, true},
        {false, true, {}, {}, true},
    };
    auto profiler = makeProfiler();
    for (const auto& c : cases) {
        std::optional<ComponentProfileSpan> span;
        auto begin = [&] { span = profiler->beginSpan("app.test", std::nullopt, "c", c.context); };
        auto end = [&] { profiler->endSpan(span, c.endContext); };
        if (c.startOnMain)
            begin();
        else
            std::thread(begin).join();
        if (c.endOnMain)
            end();
        else
            std::thread(end).join();
    }
    profiler->flush();
    const auto written = events();
    ASSERT_EQ(written.size(), std::size(cases));
    for (std::size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(written[i].context.count("uiThread") == 1, cases[i].marked);
        EXPECT_EQ(written[i].blocksUIThread(), cases[i].marked);
        if (cases[i].endOnMain) {
            EXPECT_EQ(written[i].threadLabel, "main");
        } else {
            EXPECT_EQ(written[i].threadLabel.rfind("thread-", 0), 0u);
            EXPECT_NE(written[i].threadLabel, "thread-" + std::to_string(::getpid()));
        }
    }
}

TEST_F(ComponentProfilerTest, CorrelationIDsCountFromOne) {
    auto profiler = makeProfiler();
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(profiler->makeCorrelationID("sync"), "sync-" + pid + "-1");
    EXPECT_EQ(profiler->makeCorrelationID("sync"), "sync-" + pid + "-2");
}

TEST_F(ComponentProfilerTest, SpansRecordTheirEndContextAndEndWhenTheBodyThrows) {
    auto profiler = makeProfiler();
    std::thread([&] {
        const auto span = profiler->beginSpan("app.a", "app.parent", "c", {{"k", "start"}});
        profiler->endSpan(span, {{"k", "end"}, {"extra", "x"}});
        EXPECT_THROW(profiler->measure("app.b", std::nullopt, "c", {},
                                       [] { throw std::runtime_error("body failed"); }),
                     std::runtime_error);
        profiler->measureSyncCall("app.c", std::nullopt, "c", {{"syncCall", "0"}}, [] {});
    }).join();
    profiler->flush();
    const auto written = events();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].parentComponent, "app.parent");
    EXPECT_EQ(written[0].context, (ProfileContext{{"k", "end"}, {"extra", "x"}}));
    EXPECT_EQ(written[0].sourceFileID, "SharedModels/ComponentProfilerTests.cpp");
    EXPECT_EQ(written[1].component, "app.b");
    EXPECT_EQ(written[2].context, (ProfileContext{{"syncCall", "1"}, {"uiThread", "1"}}));
    for (const auto& event : written) {
        EXPECT_EQ(event.processKind, BenchmarkProcessKind::daemon);
        EXPECT_EQ(event.pid, ::getpid());
        EXPECT_EQ(event.queueLabel, std::nullopt);
    }
}

TEST_F(ComponentProfilerTest, EventsNameTheSerialExecutorTheyRanOn) {
    auto profiler = makeProfiler();
    SerialExecutor queue("test.queue");
    queue.sync([&] { profiler->recordInstant("app.test", std::nullopt, "c"); });
    profiler->flush();
    const auto written = events();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0].queueLabel, "test.queue");
    EXPECT_EQ(written[0].durationMs, 0);
}

TEST_F(ComponentProfilerTest, APlantedSymbolicLinkIsNeitherEmptiedNorWritten) {
    const auto victim = directory / "victim";
    std::ofstream(victim) << "precious\n";
    fs::create_symlink(victim, tracePath);
    {
        auto profiler = makeProfiler(3600, 0);
        record(*profiler, 3);
        profiler->flush();
    }
    EXPECT_TRUE(fs::is_symlink(tracePath));
    std::ifstream file(victim);
    std::string contents((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(contents, "precious\n");
}

TEST_F(ComponentProfilerTest, TheAnalyzerReadsBackWhatTheProfilerWrote) {
    auto profiler = makeProfiler();
    const auto id = profiler->makeCorrelationID("pass");
    profiler->measure(BenchmarkComponent::daemonSampleRun, std::nullopt, id, {}, [&] {
        profiler->measure(BenchmarkComponent::daemonSampleEncode,
                          BenchmarkComponent::daemonSampleRun, id, {},
                          [] { std::this_thread::sleep_for(2ms); });
        profiler->recordInstant(BenchmarkComponent::daemonSampleStoreSnapshot, std::nullopt, id);
        profiler->measureSyncCall(BenchmarkComponent::daemonXPCSampleNow, std::nullopt, id, {},
                                  [] {});
    });
    profiler->flush();
    const auto summary = BenchmarkTraceAnalyzer::summarize(tracePath, 10);
    EXPECT_EQ(summary.eventCount, 4);
    EXPECT_EQ(summary.syncCallCount, 1);
    EXPECT_EQ(summary.mainThreadEventCount, 3);
    const auto written = events();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[1].durationMs, 0);  // the instant
    EXPECT_GE(written[0].durationMs, 2.0);
    EXPECT_EQ(written[3].component, BenchmarkComponent::daemonSampleRun);
    EXPECT_EQ(written[3].sourceFunction, "TestBody");
    ASSERT_FALSE(summary.topMainThreadBlockers.empty());
    EXPECT_EQ(summary.topMainThreadBlockers.front().component,
              BenchmarkComponent::daemonSampleEncode);
}

TEST(BenchmarkFeature, EnvironmentDecidesBeforeTheInfoDictionary) {
    struct Case {
        Environment environment;
        std::optional<InfoValue> info;
        bool enabled;
    } cases[] = {
        {{}, std::nullopt, false},
        {{{"DEBUG_BENCHMARK", "  Yes \n"}}, std::nullopt, true},
        {{{"DEBUG_BENCHMARK", "on"}}, false, true},
        {{{"DEBUG_BENCHMARK", "0"}}, true, false},
        {{{"DEBUG_BENCHMARK", "enabled"}}, true, false},
        {{}, true, true},
        {{}, std::string(" TRUE "), true},
        {{}, std::string("no"), false},
        {{}, int64_t{0}, false},
        {{}, int64_t{2}, true},
        {{}, 0.5, true},
        {{}, InfoOther{}, false},
    };
    for (const auto& c : cases) {
        std::optional<InfoDictionary> info;
        if (c.info) info = InfoDictionary{{"DEBUG_BENCHMARK", *c.info}};
        EXPECT_EQ(BenchmarkFeature::isEnabled(c.environment, info), c.enabled)
            << (c.environment.empty() ? "info" : c.environment.begin()->second);
    }
}

TEST(BenchmarkProcessKind, DaemonWhenTheProcessNameSaysSo) {
    EXPECT_EQ(benchmarkProcessKindForProcessName("JoulixDaemon"), BenchmarkProcessKind::daemon);
    EXPECT_EQ(benchmarkProcessKindForProcessName("my-DAEMON-2"), BenchmarkProcessKind::daemon);
    EXPECT_EQ(benchmarkProcessKindForProcessName("joulix"), BenchmarkProcessKind::app);
    EXPECT_EQ(currentBenchmarkProcessKind(), BenchmarkProcessKind::app);  // test_SharedModels
}

TEST(BenchmarkComponent, NamesAreDistinctDottedPathsOfAppOrDaemon) {
    std::set<std::string_view> distinct(BenchmarkComponent::all.begin(),
                                        BenchmarkComponent::all.end());
    EXPECT_EQ(distinct.size(), 67u);
    for (const auto name : BenchmarkComponent::all) {
        EXPECT_TRUE(name.starts_with("app.") || name.starts_with("daemon.")) << name;
    }
}
