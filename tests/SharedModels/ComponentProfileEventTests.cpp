#include "SharedModels/ComponentProfileEvent.h"
#include "SharedModels/DecodingError.h"

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
    EXPECT_EQ(ComponentProfileEvent::fromJSON(minimalLine), minimalEvent());
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

TEST(ComponentProfileEvent, DecodingAcceptsEscapedSlashesAndNullOptionals) {
    std::string line(minimalLine);
    line.replace(line.find("daemon.sample.run"), 17, R"(a\/b)");
    line.insert(line.size() - 1, R"(,"sourceLine":null,"unknown":[1])");
    auto expected = minimalEvent();
    expected.component = "a/b";
    EXPECT_EQ(ComponentProfileEvent::fromJSON(line), expected);
}

TEST(ComponentProfileEvent, DecodingRequiresEveryNonOptionalKey) {
    for (const char* key :
         {"schemaVersion", "processKind", "processName", "pid", "component", "correlationID",
          "startedAtUnixMs", "durationMs", "threadLabel", "context"}) {
        auto json = nlohmann::json::parse(minimalLine);
        json.erase(key);
        try {
            ComponentProfileEvent::fromJSON(json.dump());
            ADD_FAILURE() << key << " was not required";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound);
            EXPECT_EQ(error.keyPath(), key);
        }
    }
}

TEST(ComponentProfileEvent, DecodingRejectsWrongValues) {
    struct Case {
        const char* key;
        nlohmann::json value;
        DecodingError::Kind kind;
        std::string keyPath;
    } cases[] = {
        {"processKind", "agent", DecodingError::Kind::dataCorrupted, "processKind"},
        {"pid", 4294967296, DecodingError::Kind::dataCorrupted, "pid"},
        {"pid", 1.5, DecodingError::Kind::typeMismatch, "pid"},
        {"durationMs", "1", DecodingError::Kind::typeMismatch, "durationMs"},
        {"sourceLine", true, DecodingError::Kind::typeMismatch, "sourceLine"},
        {"context", {{"n", 1}}, DecodingError::Kind::typeMismatch, "context.n"},
        {"queueLabel", 3, DecodingError::Kind::typeMismatch, "queueLabel"},
    };
    for (const auto& c : cases) {
        auto json = nlohmann::json::parse(minimalLine);
        json[c.key] = c.value;
        try {
            ComponentProfileEvent::fromJSON(json.dump());
            ADD_FAILURE() << c.key << " accepted " << c.value.dump();
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.key;
            EXPECT_EQ(error.keyPath(), c.keyPath);
        }
    }
    for (const char* text : {"", "[]", "{\"schemaVersion\":2", "null"}) {
        EXPECT_THROW(ComponentProfileEvent::fromJSON(text), DecodingError) << text;
    }
}

TEST(ComponentProfileEvent, FunctionCostLabelNamesTheLastPieceOfTheFile) {
    struct Case {
        std::optional<std::string> function, file;
        std::string label;
    } cases[] = {
        {"run()", "Daemon/Service.cpp", "run() [Service.cpp]"},
        {"run()", "Daemon/Service.cpp//", "run() [Service.cpp]"},
        {"run()", "///", "run() [///]"},
        {"run()", std::nullopt, "run()"},
        {std::nullopt, "Daemon/Service.cpp", "daemon.sample.run"},
    };
    for (const auto& c : cases) {
        auto event = minimalEvent();
        event.sourceFunction = c.function;
        event.sourceFileID = c.file;
        EXPECT_EQ(event.functionCostLabel(), c.label);
    }
}
