#include "SharedModels/BenchmarkComponent.h"
#include "SharedModels/BenchmarkFeature.h"
#include "SharedModels/BenchmarkTraceAnalyzer.h"
#include "SharedModels/ComponentProfiler.h"
#include "tests/Platform/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace joulix;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

class ComponentProfilerTest : public ::testing::Test {
  protected:
    std::unique_ptr<ComponentProfiler> makeProfiler(double interval = 3600, int64_t threshold = 24,
                                                    std::optional<bool> enabled = true) {
        return std::make_unique<ComponentProfiler>(BenchmarkProcessKind::daemon, "JoulixDaemon",
                                                   tracePath, interval, threshold, enabled);
    }
    // The number of trace lines once there are at least `count`, or when the time runs out.
    std::size_t waitForLines(std::size_t count, std::chrono::milliseconds timeout = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;; std::this_thread::sleep_for(2ms)) {
            std::ifstream file(tracePath);
            const auto lines = static_cast<std::size_t>(
                std::count(std::istreambuf_iterator<char>(file), {}, '\n'));
            if (lines >= count || std::chrono::steady_clock::now() >= deadline) return lines;
        }
    }
    joulix::testing::TemporaryDirectory temporary;
    fs::path directory = temporary.path();
    std::string tracePath = (directory / "trace.jsonl").string();
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
    auto profiler = makeProfiler(3600, 24, std::nullopt);
    setMainBundle(nullptr);
    EXPECT_FALSE(profiler->isEnabled());
    EXPECT_EQ(profiler->measure("app.test", std::nullopt, "c", {}, [] { return 42; }), 42);
    record(*profiler, 1);
    EXPECT_EQ(profiler->beginSpan("app.test", std::nullopt, "c"), std::nullopt);
    profiler.reset();
    EXPECT_EQ(fs::file_size(tracePath), 0u);
}

// Each step records some instants, then expects the trace to hold so many lines.
TEST_F(ComponentProfilerTest, WritesTheBatchAtTheThresholdOrOnTheTimer) {
    const std::tuple<double, int64_t, std::vector<std::pair<int, std::size_t>>> cases[] = {
        {3600, 24, {{23, 0}, {1, 24}}},  // the 24th event writes all 24
        {0.05, 24, {{23, 23}}},          // the timer writes what waits
        {3600, 0, {{1, 1}, {1, 2}}},     // a threshold of 0 writes every event
    };
    for (const auto& [interval, threshold, steps] : cases) {
        auto profiler = makeProfiler(interval, threshold);
        for (const auto& [events, lines] : steps) {
            record(*profiler, events);
            EXPECT_EQ(waitForLines(std::max<std::size_t>(lines, 1), lines ? 10s : 200ms), lines)
                << threshold;
        }
    }
}

TEST_F(ComponentProfilerTest, UIThreadMarkFollowsWhereTheSpanStartedAndEnded) {
    ASSERT_EQ(::gettid(), ::getpid()) << "the test body runs on the process's main thread";
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
        c.startOnMain ? begin() : std::thread(begin).join();
        c.endOnMain ? end() : std::thread(end).join();
    }
    profiler->flush();
    const auto written = BenchmarkTraceAnalyzer::loadEvents(tracePath);
    ASSERT_EQ(written.size(), std::size(cases));
    for (std::size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(written[i].context.count("uiThread") == 1, cases[i].marked);
        EXPECT_EQ(written[i].blocksUIThread(), cases[i].marked);
        const auto& label = written[i].threadLabel;
        EXPECT_TRUE(cases[i].endOnMain ? label == "main"
                                       : label.starts_with("thread-") &&
                                             label != "thread-" + std::to_string(::getpid()))
            << label;
    }
}

TEST_F(ComponentProfilerTest, EventsCarryEndContextQueueAndEndWhenTheBodyThrows) {
    auto profiler = makeProfiler();
    std::thread([&] {
        const auto span = profiler->beginSpan("app.a", "app.parent", "c", {{"k", "start"}});
        profiler->endSpan(span, {{"k", "end"}, {"extra", "x"}});
        EXPECT_THROW(profiler->measure("app.b", std::nullopt, "c", {},
                                       [] { throw std::runtime_error("body failed"); }),
                     std::runtime_error);
        profiler->measureSyncCall("app.c", std::nullopt, "c", {{"syncCall", "0"}}, [] {});
    }).join();
    SerialExecutor queue("test.queue");
    queue.sync([&] { profiler->recordInstant("app.d", std::nullopt, "c"); });
    profiler->flush();
    const auto written = BenchmarkTraceAnalyzer::loadEvents(tracePath);
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[0].parentComponent, "app.parent");
    EXPECT_EQ(written[0].context, (ProfileContext{{"k", "end"}, {"extra", "x"}}));
    EXPECT_EQ(written[0].sourceFileID, "SharedModels/ComponentProfilerTests.cpp");
    EXPECT_EQ(written[1].component, "app.b");
    EXPECT_EQ(written[2].context, (ProfileContext{{"syncCall", "1"}, {"uiThread", "1"}}));
    EXPECT_EQ(written[3].queueLabel, "test.queue");
    EXPECT_EQ(written[3].durationMs, 0);
    for (const auto& event : written) {
        EXPECT_EQ(event.processKind, BenchmarkProcessKind::daemon);
        EXPECT_EQ(event.pid, ::getpid());
    }
    EXPECT_EQ(written[0].queueLabel, std::nullopt);
}

// A symbolic link, a second hard link or a file of another user at the trace's name in /tmp may
// stand for a file the profiler must not empty: each is left as it is, and so is its target.
TEST_F(ComponentProfilerTest, APlantedLinkOrAnotherUsersFileIsNeitherEmptiedNorWritten) {
    const auto victim = directory / "victim";
    for (const char* planted : {"symbolic link", "hard link", "another user's file"}) {
        fs::remove(tracePath);
        std::ofstream(victim) << "precious\n";
        if (planted[0] == 's') {
            fs::create_symlink(victim, tracePath);
        } else if (planted[0] == 'h') {
            fs::create_hard_link(victim, tracePath);
        } else {
            if (::geteuid() != 0) continue;
            fs::copy_file(victim, tracePath);
            ASSERT_EQ(::chown(tracePath.c_str(), 65534, 65534), 0);
        }
        {
            auto profiler = makeProfiler(3600, 0);
            record(*profiler, 3);
            profiler->flush();
        }
        EXPECT_EQ(fs::is_symlink(tracePath), planted[0] == 's') << planted;
        EXPECT_EQ(joulix::testing::readFile(tracePath), "precious\n") << planted;
        EXPECT_EQ(joulix::testing::readFile(victim), "precious\n") << planted;
    }
}

TEST_F(ComponentProfilerTest, CorrelationIDsCountFromOneAndTheAnalyzerReadsTheTraceBack) {
    auto profiler = makeProfiler();
    const auto id = profiler->makeCorrelationID("pass");
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(id, "pass-" + pid + "-1");
    EXPECT_EQ(profiler->makeCorrelationID("pass"), "pass-" + pid + "-2");
    profiler->measure(BenchmarkComponent::daemonSampleRun, std::nullopt, id, {}, [&] {
        profiler->measure(BenchmarkComponent::daemonSampleEncode,
                          BenchmarkComponent::daemonSampleRun, id, {},
                          // Long enough that scheduling delays on a loaded machine cannot
                          // give the outer span more self time than this one.
                          [] { std::this_thread::sleep_for(25ms); });
        profiler->recordInstant(BenchmarkComponent::daemonSampleStoreSnapshot, std::nullopt, id);
        profiler->measureSyncCall(BenchmarkComponent::daemonXPCSampleNow, std::nullopt, id, {},
                                  [] {});
    });
    profiler->flush();
    const auto summary = BenchmarkTraceAnalyzer::summarize(tracePath, 10);
    EXPECT_EQ(summary.eventCount, 4);
    EXPECT_EQ(summary.syncCallCount, 1);
    EXPECT_EQ(summary.mainThreadEventCount, 3);
    const auto written = BenchmarkTraceAnalyzer::loadEvents(tracePath);
    ASSERT_EQ(written.size(), 4u);
    EXPECT_GE(written[0].durationMs, 25.0);
    EXPECT_EQ(written[3].sourceFunction, "TestBody");
    EXPECT_EQ(summary.topMainThreadBlockers.at(0).component,
              BenchmarkComponent::daemonSampleEncode);
}

TEST(BenchmarkFeature, EnvironmentDecidesBeforeTheInfoDictionary) {
    const std::tuple<Environment, std::optional<InfoValue>, bool> cases[] = {
        {{}, std::nullopt, false},
        {{{"DEBUG_BENCHMARK", "  Yes \n"}}, std::nullopt, true},
        {{{"DEBUG_BENCHMARK", "0"}}, true, false},
        {{{"DEBUG_BENCHMARK", "enabled"}}, true, false},
        {{}, true, true},
        {{}, std::string(" TRUE "), true},
        {{}, int64_t{0}, false},
        {{}, 0.5, true},
        {{}, InfoOther{}, false}};
    for (const auto& [environment, value, enabled] : cases) {
        std::optional<InfoDictionary> info;
        if (value) info = InfoDictionary{{"DEBUG_BENCHMARK", *value}};
        EXPECT_EQ(BenchmarkFeature::isEnabled(environment, info), enabled) << value.has_value();
    }
}

TEST(BenchmarkProcessKind, DaemonWhenTheProcessNameSaysSo) {
    EXPECT_EQ(benchmarkProcessKindForProcessName("JoulixDaemon"), BenchmarkProcessKind::daemon);
    EXPECT_EQ(benchmarkProcessKindForProcessName("my-DAEMON-2"), BenchmarkProcessKind::daemon);
    EXPECT_EQ(benchmarkProcessKindForProcessName("joulix"), BenchmarkProcessKind::app);
    EXPECT_EQ(currentBenchmarkProcessKind(), BenchmarkProcessKind::app);  // test_SharedModels
}
