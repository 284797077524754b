#include "MetricsCollectors/AppleSiliconPowerReader.h"

#include "Platform/MainBundle.h"
#include "SharedModels/AppConfiguration.h"
#include "SharedModels/Text.h"

#include <cmath>
#include <string>
#include <vector>

namespace joulix {

namespace {

constexpr std::string_view energyModelGroup = "Energy Model";

bool contains(std::string_view s, std::string_view part) {
    return s.find(part) != std::string_view::npos;
}

double joules(int64_t value, std::string_view unit) {
    const auto raw = static_cast<double>(value);
    if (unit == "mJ") return raw / 1000.0;
    if (unit == "uJ") return raw / 1'000'000.0;
    if (unit == "nJ") return raw / 1'000'000'000.0;
    return 0;
}

// A rate that is negative or not a number counts as 0 W.
double watts(double current, double previous, double dt) {
    const double rate = (current - previous) / dt;
    return std::isnan(rate) || rate < 0 ? 0 : rate;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

// This reader's logger: the running bundle's identifier, else the configured identifier prefix.
std::string loggerSubsystem() {
    if (auto identifier = mainBundle()->bundleIdentifier()) return *identifier;
    return AppConfiguration::bundleIdentifierPrefix();
}

}  // namespace

AppleSiliconPowerReader::AppleSiliconPowerReader(
    const std::shared_ptr<EnergyChannels>& energyChannels, std::shared_ptr<SystemLog> systemLog)
    : systemLog_(std::move(systemLog)), logSubsystem_(loggerSubsystem()),
      subscription_(energyChannels ? energyChannels->subscribe(energyModelGroup) : nullptr) {
    if (!subscription_) {
        unsupportedReason_ = energyChannels ? energyChannels->unavailableReason() : std::string();
        if (unsupportedReason_.empty()) unsupportedReason_ = "no energy counters on this machine";
    }
}

std::string AppleSiliconPowerReader::unsupportedReason() {
    std::lock_guard guard(lock_);
    return unsupportedReason_;
}

SystemPowerSnapshot AppleSiliconPowerReader::sample(Date now) {
    std::lock_guard guard(lock_);
    const auto channels = subscription_ ? subscription_->sample() : std::nullopt;
    if (!channels) {
        if (subscription_) unsupportedReason_ = "the energy counters could not be read";
        return SystemPowerSnapshot{};
    }
    if (subscription_) unsupportedReason_.clear();

    EnergyTotals sums;
    bool hasCPU = false;
    bool hasPackage = false;
    bool hasPlatform = false;
    std::optional<std::vector<std::string>> names;
    if (!hasLoggedChannelNames_) names.emplace();
    for (const auto& channel : *channels) {
        if (channel.group != energyModelGroup) continue;
        if (!channel.name || !channel.unitLabel) continue;
        if (names) names->push_back(*channel.name);
        const double channelJ = joules(channel.value, *channel.unitLabel);
        const std::string name = text::lowercased(*channel.name);
        if (name.ends_with("cpu energy")) {
            sums.cpuJ += channelJ;
            hasCPU = true;
        } else if (name.ends_with("gpu energy")) {
            sums.gpuJ += channelJ;
        } else if ((contains(name, "ane") && name.ends_with("energy")) || name.starts_with("ane")) {
            sums.aneJ += channelJ;
        } else if (name.starts_with("dcs")) {
            sums.displayJ += channelJ;
        } else if ((contains(name, "dram") && name.ends_with("energy")) ||
                   name.starts_with("dram")) {
            sums.dramJ += channelJ;
            if (!name.starts_with("package")) sums.dramOutsidePackageJ += channelJ;
        } else if (name.starts_with("amcc")) {
            sums.memoryFabricJ += channelJ;
        } else if (name.ends_with("energy") && contains(name, "pci")) {
            sums.pciJ += channelJ;
        } else if (name.starts_with("package") && name.ends_with("energy")) {
            sums.packageJ += channelJ;
            hasPackage = true;
        } else if (name == "psys energy") {
            sums.platformJ += channelJ;
            hasPlatform = true;
        }
    }
    if (names) {
        hasLoggedChannelNames_ = true;
        if (systemLog_) {
            systemLog_->writeDebug(logSubsystem_, "AppleSiliconPowerReader",
                                   "IOReport Energy Model channels: " + joined(*names));
        }
    }

    double dt = lastSampleAt_ ? now.timeIntervalSinceReferenceDate -
                                    lastSampleAt_->timeIntervalSinceReferenceDate
                              : 0;
    if (dt < 0) dt = 0;
    const auto previous = previousTotals_;
    previousTotals_ = sums;
    lastSampleAt_ = now;
    if (!previous || !(dt > 0)) {
        SystemPowerSnapshot baseline;
        baseline.intervalSeconds = dt;
        baseline.supported = true;
        return baseline;
    }

    SystemPowerSnapshot snapshot;
    snapshot.cpuW = watts(sums.cpuJ, previous->cpuJ, dt);
    snapshot.gpuW = watts(sums.gpuJ, previous->gpuJ, dt);
    snapshot.aneW = watts(sums.aneJ, previous->aneJ, dt);
    snapshot.dramW = watts(sums.dramJ, previous->dramJ, dt);
    snapshot.memoryFabricW = watts(sums.memoryFabricJ, previous->memoryFabricJ, dt);
    snapshot.pciW = watts(sums.pciJ, previous->pciJ, dt);
    snapshot.displayW = watts(sums.displayJ, previous->displayJ, dt);
    snapshot.ramW = snapshot.dramW + snapshot.memoryFabricW;
    if (hasPackage) {
        const double packagesW = watts(sums.packageJ, previous->packageJ, dt);
        snapshot.packageW =
            packagesW + watts(sums.dramOutsidePackageJ, previous->dramOutsidePackageJ, dt);
        if (!hasCPU) snapshot.cpuW = packagesW;
    }
    if (hasPlatform) snapshot.platformW = watts(sums.platformJ, previous->platformJ, dt);
    snapshot.intervalSeconds = dt;
    snapshot.supported = true;
    return snapshot;
}

}  // namespace joulix
