#include "SharedModels/ComponentProfileEvent.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace joulix;

namespace {

constexpr std::string_view minimalLine =
    R"({"schemaVersion":2,"processKind":"daemon","processName":"JoulixDaemon","pid":7,)"
    R"("component":"daemon.sample.run","correlationID":"c-7-1","startedAtUnixMs":1712.5,)"
    R"("durationMs":0.25,"threadLabel":"main","context":{}})";

ComponentProfileEvent minimalEvent() {
    ComponentProfileEvent event;
    event.processKind = BenchmarkProcessKind::daemon;
    event.processName = "JoulixDaemon";
    event.pid = 7;
    event.component = "daemon.sample.run";
    event.correlationID = "c-7-1";
    event.startedAtUnixMs = 1712.5;
    event.durationMs = 0.25;
    event.threadLabel = "main";
    return event;
}

}  // namespace

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
