#include "SharedModels/BenchmarkTraceAnalyzer.h"
#include "SharedModels/DecodingError.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace joulix;
namespace fs = std::filesystem;

namespace {

ComponentProfileEvent event(std::string component, double start, double duration,
                            std::string thread = "main", std::string correlation = "c",
                            ProfileContext context = {}) {
    ComponentProfileEvent e;
    e.processKind = BenchmarkProcessKind::daemon;
    e.processName = "JoulixDaemon";
    e.pid = 7;
    e.component = std::move(component);
    e.correlationID = std::move(correlation);
    e.startedAtUnixMs = start;
    e.durationMs = duration;
    e.threadLabel = std::move(thread);
    e.context = std::move(context);
    return e;
}

using Times = std::map<std::string, double>;

// Self time of each component, summed over its UI-thread events (self 0 included).
Times selfTimes(const std::vector<ComponentProfileEvent>& events) {
    Times result;
    for (const auto& aggregate :
         BenchmarkTraceAnalyzer::summarize(events, "t", 100).topMainThreadBlockers) {
        result[aggregate.component] = aggregate.totalDurationMs;
    }
    return result;
}

const ProfileContext ui{{"uiThread", "1"}};

constexpr std::string_view minimalLine =
    R"({"schemaVersion":2,"processKind":"daemon","processName":"JoulixDaemon","pid":7,)"
    R"("component":"daemon.sample.run","correlationID":"c-7-1","startedAtUnixMs":1712.5,)"
    R"("durationMs":0.25,"threadLabel":"main","context":{}})";

ComponentProfileEvent minimalEvent() {
    return event("daemon.sample.run", 1712.5, 0.25, "main", "c-7-1");
}

}  // namespace

TEST(BenchmarkTraceAnalyzer, SelfTimeSubtractsOnlyDirectChildren) {
    const std::pair<std::vector<ComponentProfileEvent>, Times> cases[] = {
        // children and a grandchild
        {{event("top", 0, 10), event("a", 1, 3), event("b", 5, 4), event("b.inner", 6, 1)},
         {{"top", 3}, {"a", 3}, {"b", 3}, {"b.inner", 1}}},
        // children longer than the parent
        {{event("top", 0, 5), event("a", 0, 4), event("b", 1, 4)},
         {{"top", 0}, {"a", 4}, {"b", 4}}},
        // same start and duration: the earlier is the parent
        {{event("first", 0, 5), event("second", 0, 5)}, {{"first", 0}, {"second", 5}}},
        // the enclosing event sorts first, whatever the file order
        {{event("inner", 2, 1), event("outer", 2, 6)}, {{"inner", 1}, {"outer", 5}}},
        // other threads and correlations never nest
        {{event("top", 0, 10), event("thread", 1, 3, "thread-9", "c", ui),
          event("correlation", 1, 3, "main", "d")},
         {{"top", 10}, {"thread", 3}, {"correlation", 3}}},
        // starting at the end is not inside
        {{event("first", 0, 5), event("next", 5, 2)}, {{"first", 5}, {"next", 2}}},
        // correlation and thread are a pair: ("a|b", "c") and ("a", "b|c") never nest
        {{event("top", 0, 10, "c", "a|b", ui), event("other", 1, 3, "b|c", "a", ui)},
         {{"top", 10}, {"other", 3}}},
        // a negative duration counts as 0: the parent's self time stays within its duration
        {{event("top", 0, 5), event("negative", 1, -3)}, {{"top", 5}}},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(selfTimes(cases[i].first), cases[i].second) << i;
}

TEST(BenchmarkTraceAnalyzer, SummaryCountsSortsAndTrims) {
    const std::vector<ComponentProfileEvent> events = {
        event("render", 0, 8, "main"),
        event("render", 20, 2, "main"),
        event("layout", 30, 9, "thread-5", "c", ui),
        event("query", 40, 5, "thread-6", "c", {{"syncCall", "1"}}),
        event("instant", 50, 0, "main", "c", {{"syncCall", "1"}}),
        event("background", 60, 7, "thread-6"),
    };
    const auto summary = BenchmarkTraceAnalyzer::summarize(events, "trace", 10);
    EXPECT_EQ(summary.eventCount, 6);
    EXPECT_EQ(summary.mainThreadEventCount, 3);
    EXPECT_EQ(summary.syncCallCount, 1);
    EXPECT_EQ(summary.topMainThreadBlockers, (std::vector<BenchmarkTraceAggregate>{
                                                 {"layout", 1, 9, 9, 9}, {"render", 2, 10, 5, 8}}));
    EXPECT_EQ(summary.topSyncCalls, (std::vector<BenchmarkTraceAggregate>{{"query", 1, 5, 5, 5}}));
    ASSERT_EQ(summary.topFunctionSelfCost.size(), 4u);
    EXPECT_EQ(summary.topFunctionSelfCost[0].function, "render");
    EXPECT_EQ(summary.topFunctionSelfCost[0].averageSelfDurationMs, 5);
    EXPECT_EQ(summary.topFunctionSelfCost[0].mainThreadSelfDurationMs, 10);
    EXPECT_EQ(summary.topFunctionSelfCost[3].mainThreadSelfDurationMs, 0);
    EXPECT_EQ(summary.topBlockingFunctions.size(), 2u);
    for (const int64_t top : {0, -3}) {
        const auto trimmed = BenchmarkTraceAnalyzer::summarize(events, "trace", top);
        EXPECT_EQ(trimmed.topMainThreadBlockers.size(), 1u);
        EXPECT_EQ(trimmed.topFunctionSelfCost.size(), 1u);
    }
    EXPECT_EQ(BenchmarkTraceAnalyzer::summarize({}, "none", 5),
              BenchmarkTraceSummary::empty("none"));
}

TEST(BenchmarkTraceAnalyzer, LoadingReadsEveryLineOrFailsAsAWhole) {
    const auto path = (fs::temp_directory_path() / ("jlx-trace-" + std::to_string(::getpid())));
    EXPECT_TRUE(BenchmarkTraceAnalyzer::loadEvents(path.string()).empty());  // no file
    const auto good = event("a", 1, 2).jsonLine();
    std::ofstream(path) << good << "\n\n" << event("b", 3, 4).jsonLine() << "\r\n";
    const auto events = BenchmarkTraceAnalyzer::loadEvents(path.string());
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].component, "b");
    std::ofstream(path) << good << "\n{\"schemaVersion\":2}\n" << good << "\n";
    EXPECT_THROW(BenchmarkTraceAnalyzer::summarize(path.string(), 5), DecodingError);
    std::ofstream(path) << good << "\n\xff\n";
    EXPECT_THROW(BenchmarkTraceAnalyzer::loadEvents(path.string()), Error);
    fs::remove(path);
    EXPECT_THROW(BenchmarkTraceAnalyzer::loadEvents(fs::temp_directory_path().string()), Error);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // a FIFO without a writer fails instead of hanging
    EXPECT_THROW(BenchmarkTraceAnalyzer::loadEvents(path.string()), Error);
    fs::remove(path);
}

TEST(ComponentProfileEvent, EncodesDeclaredKeysInOrderLeavingOutAbsentOptionals) {
    EXPECT_EQ(minimalEvent().jsonLine(), minimalLine);
    std::string line(minimalLine);
    line.insert(line.size() - 1, R"(,"sourceLine":null,"unknown":[1])");
    EXPECT_EQ(ComponentProfileEvent::fromJSON(line), minimalEvent());
}

TEST(ComponentProfileEvent, RoundTripsEveryFieldAndUnicodeLineBreaks) {
    auto event = minimalEvent();
    event.parentComponent = "daemon.xpc.sampleNow";
    event.queueLabel = "JLX.queue";
    event.sourceFileID = "MetricsCollectors/ProcessSampler.cpp";
    event.sourceFunction = "sampleProcesses(limit:includeAllProcesses:)";
    event.sourceLine = 42;
    event.startedAtUnixMs = 1733500000123.4567;
    event.durationMs = 0.1 + 0.2;
    event.context = {{"note", "a\u2028b\u0085c\nd"}, {"uiThread", "1"}};
    const auto line = event.jsonLine();
    EXPECT_EQ(line.find("\u2028"), std::string::npos);
    EXPECT_EQ(line.find("\u0085"), std::string::npos);
    EXPECT_EQ(ComponentProfileEvent::fromJSON(line), event);
}

TEST(ComponentProfileEvent, DecodingRequiresEveryNonOptionalKeyWithItsType) {
    using Kind = DecodingError::Kind;
    const auto decode = [](const nlohmann::json& json) {
        return decodingFailure([&] { ComponentProfileEvent::fromJSON(json.dump()); });
    };
    for (const char* key :
         {"schemaVersion", "processKind", "processName", "pid", "component", "correlationID",
          "startedAtUnixMs", "durationMs", "threadLabel", "context"}) {
        auto json = nlohmann::json::parse(minimalLine);
        json.erase(key);
        EXPECT_EQ(decode(json), (DecodingFailure{Kind::keyNotFound, key}));
    }
    const std::tuple<const char*, nlohmann::json, Kind, const char*> cases[] = {
        {"processKind", "agent", Kind::dataCorrupted, "processKind"},
        {"pid", 4294967296, Kind::dataCorrupted, "pid"},
        {"pid", 1.5, Kind::typeMismatch, "pid"},
        {"durationMs", "1", Kind::typeMismatch, "durationMs"},
        {"sourceLine", true, Kind::typeMismatch, "sourceLine"},
        {"context", {{"n", 1}}, Kind::typeMismatch, "context.n"},
        {"queueLabel", 3, Kind::typeMismatch, "queueLabel"},
    };
    for (const auto& [key, value, kind, keyPath] : cases) {
        auto json = nlohmann::json::parse(minimalLine);
        json[key] = value;
        EXPECT_EQ(decode(json), (DecodingFailure{kind, keyPath})) << key << " " << value;
    }
    for (const char* text : {"", "[]", "{\"schemaVersion\":2", "null"})
        EXPECT_THROW(ComponentProfileEvent::fromJSON(text), DecodingError) << text;
}

TEST(ComponentProfileEvent, FunctionCostLabelNamesTheLastPieceOfTheFile) {
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::string> cases[] =
        {{"run()", "Daemon/Service.cpp", "run() [Service.cpp]"},
         {"run()", "Daemon/Service.cpp//", "run() [Service.cpp]"},
         {"run()", "///", "run() [///]"},
         {"run()", std::nullopt, "run()"},
         {std::nullopt, "Daemon/Service.cpp", "daemon.sample.run"}};
    for (const auto& [function, file, label] : cases) {
        auto event = minimalEvent();
        event.sourceFunction = function;
        event.sourceFileID = file;
        EXPECT_EQ(event.functionCostLabel(), label);
    }
}
