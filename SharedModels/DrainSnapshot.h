#pragma once
// The published result of one attribution: total watts and their split over processes, hidden
// workloads and hardware components, with the sources' diagnostics and the battery reading.
// Every member starts zero, empty or absent, so designated initializers name only what they set.
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/Date.h"
#include "SharedModels/HiddenDrain.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

// Power attributed to one process in one snapshot.
struct ProcessDrain {
    int64_t pid = 0;
    std::optional<int64_t> parentPID{};
    std::string name{};
    std::optional<std::string> bundleID{};
    std::optional<std::string> displayName{};
    std::optional<std::string> canonicalName{};
    std::optional<std::string> processGroupKey{};
    double drainW = 0;
    double energyShare = 0;
    std::optional<double> rawCPUPercent{};
    std::optional<double> cpuCapacityFraction{};
    std::optional<double> cpuAttributedW{};
    std::optional<double> ramAttributedW{};
    std::vector<std::string> sourceFlags{};

    // The decimal pid, "-", the name: "812-worker".
    std::string id() const;
    // Some source flag begins with "powermetrics".
    bool hasPowermetricsSourceFlag() const;

    // Naming for presentation (ProcessDrainNaming.cpp). The display name: the stored one when
    // not blank, else the name of the outermost application bundle, or the name or its last
    // path component, normalized.
    std::string processDisplayName() const;
    // The bundle path, the executable path, the bundle identifier or the raw name, whichever
    // says more than the display name.
    std::optional<std::string> processSubtitleText() const;
    // The name when it is a path.
    std::optional<std::string> processExecutablePath() const;
    // 20 for a path inside an application bundle, 10 for a path, 3 for a bundle identifier,
    // 1 for a positive pid, summed.
    int64_t processPresentationScore() const;
    // AppleProcessDetector over (name, bundleID, processDisplayName).
    bool isAppleSystemProcess() const;

    // "/" and the path's pieces up to the outermost one ending in ".app"; absent without one.
    static std::optional<std::string> topLevelAppBundlePath(std::string_view path);
    // The text inside "(...)", or the leaf of a reverse-DNS identifier, or the trimmed text.
    static std::string normalizedDisplayName(std::string_view raw);
    // The last piece of "com.acme.sync"-like text with at least three pieces and a known
    // top-level first piece.
    static std::optional<std::string> reverseDNSLeafIdentifier(std::string_view text);

    friend bool operator==(const ProcessDrain&, const ProcessDrain&) = default;
};

// Hardware component power in one snapshot.
struct ComponentDrain {
    double screenW = 0;
    double usbW = 0;
    double cpuW = 0;
    double gpuW = 0;
    double aneW = 0;
    double dramW = 0;
    double memoryFabricW = 0;
    double ramW = 0;
    double pciW = 0;
    std::optional<double> confidence{};

    double displayPlusUsbW() const { return screenW + usbW; }

    friend bool operator==(const ComponentDrain&, const ComponentDrain&) = default;
};

// Which sources contributed to a snapshot.
struct SourceTelemetry {
    bool powermetricsCommandOK = false;
    int64_t powermetricsParsedProcessCount = 0;
    bool powermetricsHasPackagePower = false;
    bool powermetricsHasSystemPower = false;
    bool usedEstimatedTotalPower = false;
    bool screenModelAvailable = false;
    bool usbModelAvailable = false;

    bool powermetricsAttributionAvailable() const { return powermetricsHasPackagePower; }

    friend bool operator==(const SourceTelemetry&, const SourceTelemetry&) = default;
};

struct PowerUsageContext {
    bool onBatteryPower = false;
    std::optional<double> batteryLevelPercent{};

    friend bool operator==(const PowerUsageContext&, const PowerUsageContext&) = default;
};

struct DrainSnapshot {
    Date timestamp{};
    double totalDischargeW = 0;
    std::vector<ProcessDrain> processes{};
    std::vector<HiddenDrain> hidden{};
    ComponentDrain components{};
    // Power not attributed to any process, hidden workload or display/USB.
    double unattributedW = 0;
    std::optional<SourceTelemetry> telemetry{};
    std::optional<PowerUsageContext> powerContext{};
    std::optional<BatteryStatusSample> batteryStatus{};

    // The total is an estimate, not a measurement: assembled off battery (telemetry
    // usedEstimatedTotalPower) from nothing but the display and USB estimates, since no package
    // power was measured.
    bool totalIsEstimateOnly() const;

    friend bool operator==(const DrainSnapshot&, const DrainSnapshot&) = default;
};

// Dictionary key of a process across snapshots.
struct ProcessIdentity {
    int64_t pid = 0;
    std::string name{};

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

}  // namespace joulix

template <> struct std::hash<joulix::ProcessIdentity> {
    std::size_t operator()(const joulix::ProcessIdentity& identity) const noexcept {
        const std::size_t pidHash = std::hash<int64_t>{}(identity.pid);
        return std::hash<std::string>{}(identity.name) ^ (pidHash * 0x9e3779b97f4a7c15ULL);
    }
};
