#include "Attribution/ReferenceAttribution.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

namespace joulix::ReferenceAttribution {

namespace {

// A figure that may be used: finite and not negative.
bool accepted(double value) {
    return std::isfinite(value) && value >= 0;
}

double acceptedOrZero(double value) {
    return accepted(value) ? value : 0;
}

std::optional<double> acceptedOrAbsent(const std::optional<double>& value) {
    return value && accepted(*value) ? value : std::nullopt;
}

ProcessDrain drainOf(const ProcessSample& sample) {
    return ProcessDrain{.pid = sample.pid,
                        .parentPID = sample.parentPID,
                        .name = sample.name,
                        .bundleID = sample.bundleID,
                        .rawCPUPercent = acceptedOrAbsent(sample.cpuPercent)};
}

std::optional<PowerUsageContext>
powerContextOf(const std::optional<SourceTelemetry>& telemetry,
               const std::optional<BatteryStatusSample>& batteryStatus) {
    if (batteryStatus) {
        std::optional<double> level;
        if (batteryStatus->levelPercent && accepted(*batteryStatus->levelPercent))
            level = batteryStatus->levelPercent;
        return PowerUsageContext{.onBatteryPower = !batteryStatus->isCharging &&
                                                   !batteryStatus->externalPowerConnected,
                                 .batteryLevelPercent = level};
    }
    if (telemetry) return PowerUsageContext{.onBatteryPower = !telemetry->usedEstimatedTotalPower};
    return std::nullopt;
}

}  // namespace

DrainSnapshot attribute(const AttributionInput& input,
                        const std::optional<SourceTelemetry>& telemetry,
                        const std::optional<BatteryStatusSample>& batteryStatus) {
    const double total = acceptedOrZero(input.totalDischargeW);
    DrainSnapshot snapshot{.timestamp = input.timestamp,
                           .totalDischargeW = total,
                           .telemetry = telemetry,
                           .powerContext = powerContextOf(telemetry, batteryStatus),
                           .batteryStatus = batteryStatus};
    snapshot.components.screenW = acceptedOrZero(input.screenModelW);
    snapshot.components.usbW = acceptedOrZero(input.usbModelW);
    const double pool = std::max(0.0, total - snapshot.components.displayPlusUsbW());

    // Powermetrics package watts first, scaled down only when they overflow the pool.
    double measuredW = 0;
    double cpuShareSum = 0;
    for (const ProcessSample& sample : input.processes) {
        if (const auto packageW = acceptedOrAbsent(sample.powermetricsPackageW))
            measuredW += *packageW;
        else
            cpuShareSum += acceptedOrZero(sample.cpuPercent);
    }
    const double measuredScale = measuredW > pool ? pool / measuredW : 1.0;
    const double leftW = std::max(0.0, pool - measuredW * measuredScale);

    std::vector<ProcessDrain> drains;
    for (const ProcessSample& sample : input.processes) {
        ProcessDrain drain = drainOf(sample);
        if (const auto packageW = acceptedOrAbsent(sample.powermetricsPackageW)) {
            drain.drainW = *packageW * measuredScale;
            drain.cpuAttributedW = acceptedOrAbsent(sample.powermetricsCPUW);
            drain.sourceFlags.emplace_back(powermetricsPackageFlag);
            if (measuredScale < 1.0) drain.sourceFlags.emplace_back(scaledToTotalFlag);
        } else if (cpuShareSum > 0) {
            drain.drainW = leftW * acceptedOrZero(sample.cpuPercent) / cpuShareSum;
            drain.cpuAttributedW = drain.drainW;
            drain.sourceFlags.emplace_back(cpuShareFlag);
        }
        if (drain.drainW > 0) drains.push_back(std::move(drain));
    }
    std::stable_sort(
        drains.begin(), drains.end(),
        [](const ProcessDrain& a, const ProcessDrain& b) { return a.drainW > b.drainW; });

    double processesW = 0;
    std::unordered_map<int64_t, double> drainByPid;
    for (ProcessDrain& drain : drains) {
        drain.energyShare = total > 0 ? drain.drainW / total : 0;
        processesW += drain.drainW;
        drainByPid[drain.pid] += drain.drainW;
    }
    snapshot.processes = std::move(drains);

    for (const HiddenWorkloadMapping& mapping : input.hiddenMappings) {
        double drainW = 0;
        for (const HiddenWorkloadHostShare& host : mapping.hostShares) {
            const auto found = drainByPid.find(host.pid);
            if (found != drainByPid.end())
                drainW += found->second * std::clamp(acceptedOrZero(host.share), 0.0, 1.0);
        }
        snapshot.hidden.push_back(HiddenDrain{mapping.kind, mapping.identifier, drainW});
    }

    snapshot.unattributedW =
        std::max(0.0, total - processesW - snapshot.components.displayPlusUsbW());
    return snapshot;
}

}  // namespace joulix::ReferenceAttribution
