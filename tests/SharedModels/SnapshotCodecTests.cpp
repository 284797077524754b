#include "SharedModels/DecodingError.h"
#include "SharedModels/SnapshotCodec.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

using namespace joulix;
using Json = nlohmann::json;

namespace {

DrainSnapshot sampleSnapshot() {
    return DrainSnapshot{
        .timestamp = Date{786729600.25},
        .totalDischargeW = 9.5,
        .processes = {ProcessDrain{.pid = 812,
                                   .name = "worker",
                                   .bundleID = "com.example.worker",
                                   .drainW = 2.5,
                                   .energyShare = 0.25,
                                   .sourceFlags = {"powermetrics_cpu"}},
                      ProcessDrain{
                          .pid = 90, .name = "kernel_task", .drainW = 1, .energyShare = 0.1}},
        .hidden = {{HiddenDrainKind::dockerContainer, "web", 0.3}},
        .components = ComponentDrain{.cpuW = 3},
        .unattributedW = 1.2,
        .telemetry = SourceTelemetry{.powermetricsCommandOK = true},
        .powerContext = PowerUsageContext{true, 50},
        .batteryStatus = BatteryStatusSample{.levelPercent = 50, .cycleCount = 3}};
}

// Decoding the sample snapshot after `edit` fails with `kind` at `keyPath`.
struct FailureCase {
    const char* name;
    std::function<void(Json&)> edit;
    DecodingError::Kind kind;
    std::string keyPath;
};

DecodingError decodeFailure(const std::string& json) {
    try {
        SnapshotCodec::decode<DrainSnapshot>(json);
    } catch (const DecodingError& error) {
        return error;
    }
    ADD_FAILURE() << "decoded: " << json;
    return DecodingError::dataCorrupted("", "none");
}

}  // namespace

TEST(SnapshotCodec, SnapshotRoundTripsAndAbsentOptionalsAreLeftOut) {
    DrainSnapshot snapshot = sampleSnapshot();
    EXPECT_EQ(SnapshotCodec::decode<DrainSnapshot>(SnapshotCodec::encode(snapshot)), snapshot);

    snapshot.telemetry.reset();
    snapshot.powerContext.reset();
    snapshot.batteryStatus.reset();
    const std::string json = SnapshotCodec::encode(snapshot);
    for (const char* key :
         {"telemetry", "powerContext", "batteryStatus", "null", "parentPID", "\n", ": "}) {
        EXPECT_EQ(json.find(key), std::string::npos) << key;
    }
    EXPECT_EQ(json.rfind("{\"timestamp\":786729600.25,\"totalDischargeW\":9.5,", 0), 0u) << json;
    EXPECT_EQ(SnapshotCodec::decode<DrainSnapshot>(json), snapshot);
}

TEST(SnapshotCodec, DatesAndDoublesRoundTripBitForBit) {
    EXPECT_EQ(SnapshotCodec::encode(HiddenDrain{HiddenDrainKind::dockerContainer, "a", 0}),
              R"({"kind":"docker_container","identifier":"a","drainW":0})");
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.1 + 0.2,
                                  1e-300,
                                  5e-324,
                                  -978307200.5,
                                  1e22,
                                  9007199254740993.0,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::lowest(),
                                  786729600.123456789};
    std::mt19937_64 random(42);
    while (values.size() < 2000) {
        const double value = std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }
    for (const double value : values) {
        AttributionInput input{.timestamp = Date{value}, .totalDischargeW = value};
        const auto decoded = SnapshotCodec::decode<AttributionInput>(SnapshotCodec::encode(input));
        EXPECT_EQ(std::bit_cast<uint64_t>(decoded.timestamp.timeIntervalSinceReferenceDate),
                  std::bit_cast<uint64_t>(value))
            << value;
        EXPECT_EQ(std::bit_cast<uint64_t>(decoded.totalDischargeW), std::bit_cast<uint64_t>(value));
    }
}

TEST(SnapshotCodec, StrictDecodingNamesTheFailingKey) {
    using Kind = DecodingError::Kind;
    const FailureCase cases[] = {
        {"hidden missing", [](Json& j) { j.erase("hidden"); }, Kind::keyNotFound, "hidden"},
        {"nested key missing", [](Json& j) { j["batteryStatus"].erase("levelPercent"); },
         Kind::keyNotFound, "batteryStatus.levelPercent"},
        {"pid as text", [](Json& j) { j["processes"][1]["pid"] = "90"; }, Kind::typeMismatch,
         "processes[1].pid"},
        {"fractional pid", [](Json& j) { j["processes"][0]["pid"] = 1.5; }, Kind::dataCorrupted,
         "processes[0].pid"},
        {"huge pid", [](Json& j) { j["processes"][0]["pid"] = 1e300; }, Kind::dataCorrupted,
         "processes[0].pid"},
        {"pid past Int", [](Json& j) { j["processes"][0]["pid"] = 9223372036854775808ULL; },
         Kind::dataCorrupted, "processes[0].pid"},
        {"required array null", [](Json& j) { j["processes"][0]["sourceFlags"] = nullptr; },
         Kind::typeMismatch, "processes[0].sourceFlags"},
        {"flag not text", [](Json& j) { j["processes"][0]["sourceFlags"][0] = 7; },
         Kind::typeMismatch, "processes[0].sourceFlags[0]"},
        {"unknown kind", [](Json& j) { j["hidden"][0]["kind"] = "virtual_machine"; },
         Kind::dataCorrupted, "hidden[0].kind"},
        {"components as array", [](Json& j) { j["components"] = Json::array(); },
         Kind::typeMismatch, "components"},
        {"number as boolean", [](Json& j) { j["telemetry"]["powermetricsCommandOK"] = 1; },
         Kind::typeMismatch, "telemetry.powermetricsCommandOK"},
        {"optional of wrong type", [](Json& j) { j["batteryStatus"]["cycleCount"] = "3"; },
         Kind::typeMismatch, "batteryStatus.cycleCount"},
        {"date as text", [](Json& j) { j["timestamp"] = "2025-12-06"; }, Kind::typeMismatch,
         "timestamp"},
        {"not an object", [](Json& j) { j = Json::array(); }, Kind::typeMismatch, ""},
    };
    const Json valid = Json::parse(SnapshotCodec::encode(sampleSnapshot()));
    for (const auto& c : cases) {
        Json edited = valid;
        c.edit(edited);
        const DecodingError error = decodeFailure(edited.dump());
        EXPECT_EQ(error.kind(), c.kind) << c.name;
        EXPECT_EQ(error.keyPath(), c.keyPath) << c.name;
        if (!c.keyPath.empty()) {
            EXPECT_NE(std::string(error.what()).find(c.keyPath), std::string::npos) << c.name;
        }
    }
    for (const char* bytes : {"", "{", "{\"timestamp\":1e400}", "\xff\xfe", "{} trailing"}) {
        EXPECT_EQ(decodeFailure(bytes).kind(), DecodingError::Kind::dataCorrupted) << bytes;
    }
}

TEST(SnapshotCodec, NullOptionalsDecodeAbsentAndIntegersMayBeWrittenAsWholeDoubles) {
    Json json = Json::parse(SnapshotCodec::encode(sampleSnapshot()));
    json["telemetry"] = nullptr;
    json["processes"][0]["bundleID"] = nullptr;
    json["processes"][1]["pid"] = 90.0;
    json["batteryStatus"]["cycleCount"] = -3e0;
    json["unknownKey"] = "ignored";
    const auto decoded = SnapshotCodec::decode<DrainSnapshot>(json.dump());
    EXPECT_FALSE(decoded.telemetry);
    EXPECT_FALSE(decoded.processes[0].bundleID);
    EXPECT_EQ(decoded.processes[1].pid, 90);
    EXPECT_EQ(decoded.batteryStatus->cycleCount, -3);
}

TEST(SnapshotCodec, UnsignedCountersKeepTheirRange) {
    const auto memory = [](const std::string& value) {
        return SnapshotCodec::decode<ProcessSample>(
                   R"({"pid":1,"name":"a","residentMemoryBytes":)" + value + "}")
            .residentMemoryBytes;
    };
    EXPECT_EQ(memory("18446744073709551615"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(memory("1.8e19"), 18000000000000000000ULL);
    for (const char* bad : {"-1", "1.8446744073709552e19", "0.5", "-0.5"}) {
        EXPECT_THROW(memory(bad), DecodingError) << bad;
    }
}

TEST(SnapshotCodec, ProcessSampleAndComponentDrainDecodeLeniently) {
    const auto minimal = SnapshotCodec::decode<ProcessSample>(R"({"pid":7,"name":"a"})");
    EXPECT_EQ(minimal, (ProcessSample{.pid = 7, .name = "a"}));
    EXPECT_EQ(
        SnapshotCodec::decode<ProcessSample>(
            R"({"pid":7,"name":"a","cpuPercent":null,"cpuTimeDeltaNs":null,"bundleID":null})"),
        minimal);
    EXPECT_THROW(SnapshotCodec::decode<ProcessSample>(R"({"pid":7})"), DecodingError);
    EXPECT_THROW(SnapshotCodec::decode<ProcessSample>(R"({"pid":7,"name":"a","cpuPercent":"5"})"),
                 DecodingError);

    EXPECT_EQ(SnapshotCodec::decode<ComponentDrain>("{}"), ComponentDrain{});
    EXPECT_EQ(SnapshotCodec::decode<ComponentDrain>(R"({"cpuW":null,"gpuW":2})"),
              ComponentDrain{.gpuW = 2});
    EXPECT_THROW(SnapshotCodec::decode<HiddenDrain>(R"({"identifier":"a","drainW":1})"),
                 DecodingError);
}

TEST(SnapshotCodec, EncodingRejectsNumbersJSONCannotHoldAndRepairsBadText) {
    DrainSnapshot snapshot = sampleSnapshot();
    snapshot.processes[1].drainW = std::numeric_limits<double>::quiet_NaN();
    try {
        SnapshotCodec::encode(snapshot);
        ADD_FAILURE() << "NaN was encoded";
    } catch (const EncodingError& error) {
        EXPECT_EQ(error.keyPath(), "processes[1].drainW");
    }
    snapshot = sampleSnapshot();
    snapshot.batteryStatus->dischargeWatts = -std::numeric_limits<double>::infinity();
    EXPECT_THROW(SnapshotCodec::encode(snapshot), EncodingError);

    snapshot = sampleSnapshot();
    snapshot.processes[0].name = "bad\xff";
    const auto decoded = SnapshotCodec::decode<DrainSnapshot>(SnapshotCodec::encode(snapshot));
    EXPECT_EQ(decoded.processes[0].name, "bad\xEF\xBF\xBD");
}
