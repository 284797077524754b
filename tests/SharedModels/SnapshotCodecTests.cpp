#include "SharedModels/SnapshotCodec.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cfloat>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>

using namespace joulix;
using Json = nlohmann::json;

namespace {

constexpr std::nullopt_t none = std::nullopt;

// The value of records/DrainSnapshot.json, fields in declaration order as in the file.
DrainSnapshot sampleSnapshot() {
    using Flags = std::vector<std::string>;
    return DrainSnapshot{Date{786729600.125},
                         12.5,
                         {ProcessDrain{812, none, "worker", none, none, none, none, 2.5, 0.4, none,
                                       none, none, none, Flags{"powermetrics_cpu"}},
                          ProcessDrain{90, 1, "kernel_task", "com.apple.kernel", none, none, none,
                                       0.75, 0.1, 3.5, none, none, none, Flags{}}},
                         {HiddenDrain{HiddenDrainKind::dockerContainer, "web", 0.3}},
                         ComponentDrain{1.5, 0.25, 3.125, 0.5, 0, 0.75, 0.125, 0.875, 0.0625, none},
                         1.2,
                         SourceTelemetry{true, 2, true, true, false, true, true},
                         PowerUsageContext{true, 64.5},
                         BatteryStatusSample{.levelPercent = 64.5, .amperageMa = -785}};
}

template <typename Record> Record decode(const std::string& json) {
    return SnapshotCodec::decode<Record>(json);
}

template <typename Record> void expectGolden(const std::string& name, const Record& expected) {
    SCOPED_TRACE(name);
    std::ifstream in(std::string(JOULIX_FIXTURES) + "/records/" + name + ".json");
    const std::string json{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(json.empty());
    EXPECT_EQ(SnapshotCodec::decode<Record>(json), expected);
    // ordered_json compares objects key by key in order, and numbers by value (2 == 2.0).
    EXPECT_EQ(nlohmann::ordered_json::parse(SnapshotCodec::encode(expected)),
              nlohmann::ordered_json::parse(json));
}

}  // namespace

TEST(SnapshotCodec, DatesAndDoublesRoundTripBitForBit) {
    std::vector<double> values = {
        0.0,     -0.0,     0.30000000000000004, 1e-300, 5e-324, -978307200.5, 1e22,
        DBL_MAX, -DBL_MAX, 9007199254740993.0};
    std::mt19937_64 random(42);
    while (values.size() < 2000) {
        const double value = std::bit_cast<double>(random());
        if (std::isfinite(value)) values.push_back(value);
    }
    const auto bits = [](double value) { return std::bit_cast<uint64_t>(value); };
    for (const double value : values) {
        const auto decoded = decode<AttributionInput>(SnapshotCodec::encode(
            AttributionInput{.timestamp = Date{value}, .totalDischargeW = value}));
        EXPECT_EQ(bits(decoded.timestamp.timeIntervalSinceReferenceDate), bits(value)) << value;
        EXPECT_EQ(bits(decoded.totalDischargeW), bits(value));
    }
}

// Each case sets the value at a JSON pointer of the sample snapshot, or erases it (no value).
TEST(SnapshotCodec, StrictDecodingNamesTheFailingKey) {
    using Kind = DecodingError::Kind;
    const std::tuple<const char*, std::optional<Json>, Kind, const char*> cases[] = {
        {"/hidden", none, Kind::keyNotFound, "hidden"},
        {"/batteryStatus/isCharging", none, Kind::keyNotFound, "batteryStatus.isCharging"},
        {"/processes/1/pid", "90", Kind::typeMismatch, "processes[1].pid"},
        {"/processes/0/pid", 1.5, Kind::dataCorrupted, "processes[0].pid"},
        {"/processes/0/pid", 1e300, Kind::dataCorrupted, "processes[0].pid"},
        {"/processes/0/pid", 9223372036854775808ULL, Kind::dataCorrupted, "processes[0].pid"},
        {"/processes/0/sourceFlags", nullptr, Kind::typeMismatch, "processes[0].sourceFlags"},
        {"/processes/0/sourceFlags/0", 7, Kind::typeMismatch, "processes[0].sourceFlags[0]"},
        {"/hidden/0/kind", "virtual_machine", Kind::dataCorrupted, "hidden[0].kind"},
        {"/components", Json::array(), Kind::typeMismatch, "components"},
        {"/telemetry/powermetricsCommandOK", 1, Kind::typeMismatch,
         "telemetry.powermetricsCommandOK"},
        {"/batteryStatus/cycleCount", "3", Kind::typeMismatch, "batteryStatus.cycleCount"},
        {"/timestamp", "2025-12-06", Kind::typeMismatch, "timestamp"},
        {"", Json::array(), Kind::typeMismatch, ""},
    };
    for (const auto& [pointer, value, kind, keyPath] : cases) {
        Json json = Json::parse(SnapshotCodec::encode(sampleSnapshot()));
        const Json::json_pointer at(pointer);
        if (value)
            json[at] = *value;
        else
            json[at.parent_pointer()].erase(at.back());
        EXPECT_EQ(decodingFailure([&] { decode<DrainSnapshot>(json.dump()); }),
                  (DecodingFailure{kind, keyPath}));
    }
    for (const char* bytes : {"", "{", "{\"timestamp\":1e400}", "\xff\xfe", "{} trailing"})
        EXPECT_EQ(decodingFailure([&] { decode<DrainSnapshot>(bytes); }),
                  (DecodingFailure{Kind::dataCorrupted, ""}))
            << bytes;
}

TEST(SnapshotCodec, NullOptionalsAreAbsentAndNumbersDecodeWithinRange) {
    Json json = Json::parse(SnapshotCodec::encode(sampleSnapshot()));
    json["telemetry"] = nullptr;
    json["processes"][1]["bundleID"] = nullptr;
    json["processes"][1]["pid"] = 90.0;
    json["batteryStatus"]["cycleCount"] = -3e0;
    json["unknownKey"] = "ignored";
    const auto decoded = decode<DrainSnapshot>(json.dump());
    EXPECT_FALSE(decoded.telemetry);
    EXPECT_FALSE(decoded.processes[1].bundleID);
    EXPECT_EQ(decoded.processes[1].pid, 90);
    EXPECT_EQ(decoded.batteryStatus->cycleCount, -3);
    const ProcessSample minimal{.pid = 7, .name = "a"};
    EXPECT_EQ(decode<ProcessSample>(R"({"pid":7,"name":"a"})"), minimal);
    EXPECT_EQ(
        decode<ProcessSample>(
            R"({"pid":7,"name":"a","cpuPercent":null,"cpuTimeDeltaNs":null,"bundleID":null})"),
        minimal);
    EXPECT_EQ(decode<ComponentDrain>("{}"), ComponentDrain{});
    EXPECT_EQ(decode<ComponentDrain>(R"({"cpuW":null,"gpuW":2})"), ComponentDrain{.gpuW = 2});
    const auto memory = [](const std::string& value) {
        return decode<ProcessSample>(R"({"pid":1,"name":"a","residentMemoryBytes":)" + value + "}")
            .residentMemoryBytes;
    };
    EXPECT_EQ(memory("18446744073709551615"), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(memory("1.8e19"), 18000000000000000000ULL);
    for (const char* bad : {"-1", "1.8446744073709552e19", "0.5", "-0.5"})
        EXPECT_THROW(memory(bad), DecodingError) << bad;
}

TEST(SnapshotCodec, EncodingIsCompactLeavesOutAbsentOptionalsAndRejectsNaN) {
    DrainSnapshot snapshot = sampleSnapshot();
    snapshot.telemetry.reset();
    snapshot.powerContext.reset();
    snapshot.batteryStatus.reset();
    const std::string json = SnapshotCodec::encode(snapshot);
    for (const char* absent : {"telemetry", "powerContext", "batteryStatus", "null", "\n", ": "})
        EXPECT_EQ(json.find(absent), std::string::npos) << absent;
    EXPECT_EQ(decode<DrainSnapshot>(json), snapshot);
    EXPECT_EQ(SnapshotCodec::encode(HiddenDrain{HiddenDrainKind::dockerContainer, "a", 0}),
              R"({"kind":"docker_container","identifier":"a","drainW":0})");
    snapshot = sampleSnapshot();
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
    EXPECT_EQ(decode<DrainSnapshot>(SnapshotCodec::encode(snapshot)).processes[0].name,
              "bad\xEF\xBF\xBD");
}

// Hand-written JSON of every record decodes to the expected value and re-encodes to equal JSON,
// keys in order. Records with every field set are written positionally, as in their files.
TEST(SnapshotCodecGolden, EveryRecordMatchesItsHandWrittenJSON) {
    expectGolden("ProcessSample",
                 ProcessSample{812, 1, 640, "worker", "com.example.worker", 1.25, 0.875, 0.375,
                               true, 18446744073709551615ULL, 142.5, 2500000000ULL, 1000.5, 12.25,
                               4096, 8192.5, 1500, 0.5});
    expectGolden("HiddenWorkloadHostShare", HiddenWorkloadHostShare{401, 0.25});
    expectGolden("HiddenWorkloadMapping", HiddenWorkloadMapping{HiddenDrainKind::cloudflaredTunnel,
                                                                "office-tunnel",
                                                                {{401, 0.75}, {402, 0.25}}});
    expectGolden("HiddenDrain", HiddenDrain{HiddenDrainKind::launchdService, "backup-agent", 0.3});
    expectGolden("ProcessDrain",
                 ProcessDrain{812, 1, "worker", "com.example.worker", "Worker", "worker",
                              "com.example.worker", 2.5, 0.4, 55.5, 0.0625, 2.25, 0.25,
                              std::vector<std::string>{"powermetrics_cpu", "ps"}});
    expectGolden("ComponentDrain",
                 ComponentDrain{1.5, 0.25, 3.125, 0.5, 0, 0.75, 0.125, 0.875, 0.0625, 0.9});
    expectGolden("SourceTelemetry", SourceTelemetry{true, 37, true, false, false, true, false});
    expectGolden("PowerUsageContext", PowerUsageContext{true, 64.5});
    expectGolden(
        "BatteryStatusSample",
        BatteryStatusSample{
            64.5,  38.25,        false,      false, 212,   9.75, 143,
            12412, -785,         3051,       6075,  5610,  3618, 5702,
            1000,  "F8Y2345ABC", "bq40z651", false, false, 96,   "96W USB-C Power Adapter"});
    expectGolden("DrainSnapshot", sampleSnapshot());
    const DrainSnapshot range{.timestamp = Date{786000030},
                              .totalDischargeW = 12,
                              .components = {.screenW = 1, .usbW = 0.5},
                              .unattributedW = 7};
    expectGolden("DetailsPipelineOutput",
                 DetailsPipelineOutput{
                     .systemPowerPoints = {{Date{786000000}, -30, 12.25f}},
                     .componentPowerPoints = {{Date{786000030}, 0, 1.5f}},
                     .onBatteryPower = true,
                     .batteryDrainRatePerHour = -2.5,
                     .appPowerSeries = {{"foo", "Foo", {{Date{786000030}, 0, 0.75f}}}},
                     .processGroups = {{"12-Foo",
                                        "Foo",
                                        3.5,
                                        0.125,
                                        ProcessDrain{.pid = 12, .name = "Foo", .drainW = 3.5},
                                        {}}},
                     .hiddenDrains = {{HiddenDrainKind::dockerContainer, "db", 0.5}},
                     .hiddenTotalWhByID = {{"docker_container-db", 0.01}},
                     .componentAverages = {12, 3.5, 1, 0.5, 7},
                     .energySummary = {0.1, 0.1, 0.0083, 0},
                     .rangeSnapshot = range,
                     .metrics = {0.5, 0, 1, 2, 3.5},
                     .snapshotCount = 2,
                     .windowStart = Date{786000000},
                     .windowEnd = Date{786000030}});
    expectGolden("SamplingConfig", SamplingConfig(3, 45, true, SamplingMode::interactive, 25, 6, 2,
                                                  15, 600, 120, false));
    expectGolden(
        "AttributionInput",
        AttributionInput{Date{-3600.5},
                         8.25,
                         {ProcessSample{812, none, none, "worker", none, none, none, none, false,
                                        1048576, 12.5, 125000000, 1000, 0, 0, 0, 0, 0}},
                         {{HiddenDrainKind::dockerContainer, "db", {{812, 1}}}},
                         1.75,
                         0.5,
                         false});
}
