// Hand-written JSON of every record decodes to the expected value and re-encodes to the same
// JSON, keys in the same order.
#include "SharedModels/SnapshotCodec.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

using namespace joulix;

namespace {

std::string golden(const std::string& name) {
    std::ifstream in(std::string(JOULIX_FIXTURES) + "/records/" + name + ".json");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

template <typename Record> void expectGolden(const std::string& name, const Record& expected) {
    SCOPED_TRACE(name);
    const std::string json = golden(name);
    ASSERT_FALSE(json.empty());
    EXPECT_EQ(SnapshotCodec::decode<Record>(json), expected);
    // ordered_json compares objects key by key in order, and numbers by value (2 == 2.0).
    EXPECT_EQ(nlohmann::ordered_json::parse(SnapshotCodec::encode(expected)),
              nlohmann::ordered_json::parse(json));
}

const ProcessSample goldenSample{.pid = 812,
                                 .parentPID = 1,
                                 .responsiblePID = 640,
                                 .name = "worker",
                                 .bundleID = "com.example.worker",
                                 .powermetricsPackageW = 1.25,
                                 .powermetricsCPUW = 0.875,
                                 .powermetricsGPUW = 0.375,
                                 .powermetricsGPUFallbackAllocated = true,
                                 .residentMemoryBytes = 18446744073709551615ULL,
                                 .cpuPercent = 142.5,
                                 .cpuTimeDeltaNs = 2500000000ULL,
                                 .samplingIntervalMs = 1000.5,
                                 .gpuTimeMs = 12.25,
                                 .diskReadBytes = 4096,
                                 .diskWriteBytes = 8192.5,
                                 .networkSentBytes = 1500,
                                 .networkRecvBytes = 0.5};

const ComponentDrain goldenComponents{.screenW = 1.5,
                                      .usbW = 0.25,
                                      .cpuW = 3.125,
                                      .gpuW = 0.5,
                                      .aneW = 0,
                                      .dramW = 0.75,
                                      .memoryFabricW = 0.125,
                                      .ramW = 0.875,
                                      .pciW = 0.0625,
                                      .confidence = 0.9};

}  // namespace

TEST(SnapshotCodecGolden, EveryRecordMatchesItsHandWrittenJSON) {
    expectGolden("ProcessSample", goldenSample);
    expectGolden("HiddenWorkloadHostShare", HiddenWorkloadHostShare{.pid = 401, .share = 0.25});
    expectGolden("HiddenWorkloadMapping",
                 HiddenWorkloadMapping{.kind = HiddenDrainKind::cloudflaredTunnel,
                                       .identifier = "office-tunnel",
                                       .hostShares = {{401, 0.75}, {402, 0.25}}});
    expectGolden("HiddenDrain", HiddenDrain{HiddenDrainKind::launchdService, "backup-agent", 0.3});
    expectGolden("ProcessDrain", ProcessDrain{.pid = 812,
                                              .parentPID = 1,
                                              .name = "worker",
                                              .bundleID = "com.example.worker",
                                              .displayName = "Worker",
                                              .canonicalName = "worker",
                                              .processGroupKey = "com.example.worker",
                                              .drainW = 2.5,
                                              .energyShare = 0.4,
                                              .rawCPUPercent = 55.5,
                                              .cpuCapacityFraction = 0.0625,
                                              .cpuAttributedW = 2.25,
                                              .ramAttributedW = 0.25,
                                              .sourceFlags = {"powermetrics_cpu", "ps"}});
    expectGolden("ComponentDrain", goldenComponents);
    expectGolden("SourceTelemetry", SourceTelemetry{true, 37, true, false, false, true, false});
    expectGolden("PowerUsageContext", PowerUsageContext{true, 64.5});
    expectGolden("BatteryStatusSample",
                 BatteryStatusSample{.levelPercent = 64.5,
                                     .remainingWh = 38.25,
                                     .isCharging = false,
                                     .externalPowerConnected = false,
                                     .systemTimeRemainingMinutes = 212,
                                     .dischargeWatts = 9.75,
                                     .cycleCount = 143,
                                     .voltageMV = 12412,
                                     .amperageMa = -785,
                                     .temperatureCentiC = 3051,
                                     .designCapacityMah = 6075,
                                     .maxCapacityMah = 5610,
                                     .currentCapacityMah = 3618,
                                     .nominalChargeCapacityMah = 5702,
                                     .designCycleCount = 1000,
                                     .serialNumber = "F8Y2345ABC",
                                     .deviceName = "bq40z651",
                                     .fullyCharged = false,
                                     .isACPowered = false,
                                     .adapterWatts = 96,
                                     .adapterName = "96W USB-C Power Adapter"});

    ComponentDrain snapshotComponents = goldenComponents;
    snapshotComponents.confidence.reset();
    expectGolden("DrainSnapshot",
                 DrainSnapshot{.timestamp = Date{786729600.125},
                               .totalDischargeW = 12.5,
                               .processes = {ProcessDrain{.pid = 812,
                                                          .name = "worker",
                                                          .drainW = 2.5,
                                                          .energyShare = 0.4,
                                                          .sourceFlags = {"powermetrics_cpu"}},
                                             ProcessDrain{.pid = 90,
                                                          .parentPID = 1,
                                                          .name = "kernel_task",
                                                          .bundleID = "com.apple.kernel",
                                                          .drainW = 0.75,
                                                          .energyShare = 0.1,
                                                          .rawCPUPercent = 3.5}},
                               .hidden = {{HiddenDrainKind::dockerContainer, "web", 0.3}},
                               .components = snapshotComponents,
                               .unattributedW = 1.2,
                               .telemetry = SourceTelemetry{true, 2, true, true, false, true, true},
                               .powerContext = PowerUsageContext{true, 64.5},
                               .batteryStatus =
                                   BatteryStatusSample{.levelPercent = 64.5, .amperageMa = -785}});
    expectGolden("SamplingConfig", SamplingConfig(3, 45, true, SamplingMode::interactive, 25, 6, 2,
                                                  15, 600, 120, false));
    expectGolden(
        "AttributionInput",
        AttributionInput{.timestamp = Date{-3600.5},
                         .totalDischargeW = 8.25,
                         .processes = {ProcessSample{.pid = 812,
                                                     .name = "worker",
                                                     .residentMemoryBytes = 1048576,
                                                     .cpuPercent = 12.5,
                                                     .cpuTimeDeltaNs = 125000000,
                                                     .samplingIntervalMs = 1000}},
                         .hiddenMappings = {{HiddenDrainKind::dockerContainer, "db", {{812, 1}}}},
                         .screenModelW = 1.75,
                         .usbModelW = 0.5,
                         .developerMode = false});
}
