#include "Platform/linux/PowercapEnergyChannels.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <set>
#include <system_error>
#include <unistd.h>

namespace joulix {

namespace {

constexpr std::string_view energyModelGroup = "Energy Model";

struct Zone {
    std::string counterPath;
    std::string channelName;
    int64_t maxEnergyRangeUJ = 0;  // the counter wraps to 0 after this value; 0 when unknown
    int64_t lastRawUJ = 0;
    int64_t wrappedUJ = 0;  // the counter's range times the wraps seen so far
};

// Presents each zone's counter unwrapped: a raw value below the previous one means the counter
// passed its range, which is added to every later value. A reading in which any zone cannot
// be read fails as a whole, so that no channel ever drops out of one reading and comes back in
// the next as a jump of its whole counter.
class PowercapSubscription final : public EnergyChannelSubscription {
  public:
    explicit PowercapSubscription(std::vector<Zone> zones) : zones_(std::move(zones)) {}

    std::optional<std::vector<EnergyChannelReading>> sample() override {
        std::vector<int64_t> raw;
        raw.reserve(zones_.size());
        for (const auto& zone : zones_) {
            const auto value = sysfs::readInteger(zone.counterPath);
            if (!value || *value < 0) return std::nullopt;
            raw.push_back(*value);
        }
        std::vector<EnergyChannelReading> readings;
        readings.reserve(zones_.size());
        for (std::size_t i = 0; i < zones_.size(); ++i) {
            Zone& zone = zones_[i];
            if (raw[i] < zone.lastRawUJ && zone.maxEnergyRangeUJ > 0 &&
                zone.wrappedUJ <= INT64_MAX - zone.maxEnergyRangeUJ - raw[i]) {
                zone.wrappedUJ += zone.maxEnergyRangeUJ;
            }
            zone.lastRawUJ = raw[i];
            readings.push_back(
                {std::string(energyModelGroup), zone.channelName, "uJ", zone.wrappedUJ + raw[i]});
        }
        return readings;
    }

  private:
    std::vector<Zone> zones_;
};

}  // namespace

std::string PowercapEnergyChannels::channelName(std::string_view zoneName) {
    if (zoneName == "core") return "CPU Energy";
    if (zoneName == "uncore") return "GPU Energy";
    if (zoneName == "dram") return "DRAM Energy";
    if (zoneName == "psys") return "PSYS Energy";
    constexpr std::string_view packagePrefix = "package-";
    if (zoneName.starts_with(packagePrefix)) {
        return "Package " + std::string(zoneName.substr(packagePrefix.size())) + " Energy";
    }
    return std::string(zoneName);
}

std::string PowercapEnergyChannels::channelName(std::string_view zoneName,
                                                std::string_view packageZoneName) {
    const std::string own = channelName(zoneName);
    if (packageZoneName.empty()) return own;
    const std::string package = channelName(packageZoneName);
    // "Package 0 Energy" + "CPU Energy" → "Package 0 CPU Energy".
    return package.substr(0, package.size() - std::string_view("Energy").size()) + own;
}

std::unique_ptr<EnergyChannelSubscription>
PowercapEnergyChannels::subscribe(std::string_view group) {
    if (group != energyModelGroup) return nullptr;
    unavailableReason_ = "no RAPL counters on this machine";
    std::error_code error;
    std::vector<std::string> zoneDirectories;
    for (std::filesystem::directory_iterator it(sysRoot_ + "/class/powercap", error), end;
         !error && it != end; it.increment(error)) {
        zoneDirectories.push_back(it->path().filename().string());
    }
    std::sort(zoneDirectories.begin(), zoneDirectories.end());
    const std::set<std::string, std::less<>> listed(zoneDirectories.begin(), zoneDirectories.end());
    // The zone a sub-zone belongs to: "intel-rapl:0:1" lies in "intel-rapl:0".
    const auto parentOf = [&](const std::string& directory) -> std::string {
        const auto colon = directory.rfind(':');
        if (colon == std::string::npos || directory.find(':') == colon) return {};
        const std::string parent = directory.substr(0, colon);
        return listed.contains(parent) ? parent : std::string();
    };

    const std::string root = sysRoot_ + "/class/powercap/";
    std::vector<Zone> zones;
    std::set<std::string, std::less<>> channels;
    bool deniedCounter = false;
    for (const auto& directory : zoneDirectories) {
        const auto name = sysfs::readText(root + directory + "/name");
        if (!name || name->empty()) continue;
        std::string packageName;
        if (const auto parent = parentOf(directory); !parent.empty()) {
            packageName = sysfs::readText(root + parent + "/name").value_or("");
        }
        const std::string channel = channelName(*name, packageName);
        // The same zone under a second control type (intel-rapl-mmio beside intel-rapl) reads
        // the same counter: the first of a name is kept.
        if (channels.contains(channel)) continue;
        const auto counterPath = root + directory + "/energy_uj";
        const auto first = sysfs::readInteger(counterPath);
        if (!first || *first < 0) {
            deniedCounter = deniedCounter || (::access(counterPath.c_str(), F_OK) == 0 &&
                                              ::access(counterPath.c_str(), R_OK) != 0);
            continue;
        }
        const auto range = sysfs::readInteger(root + directory + "/max_energy_range_uj");
        channels.insert(channel);
        zones.push_back({counterPath, channel, std::max<int64_t>(range.value_or(0), 0), *first, 0});
    }
    if (zones.empty()) {
        if (deniedCounter)
            unavailableReason_ = "RAPL counters are readable only by root on this machine";
        return nullptr;
    }
    unavailableReason_.clear();
    return std::make_unique<PowercapSubscription>(std::move(zones));
}

std::string PowercapEnergyChannels::unavailableReason() const {
    return unavailableReason_;
}

std::shared_ptr<EnergyChannels> platformEnergyChannels() {
    return std::make_shared<PowercapEnergyChannels>();
}

}  // namespace joulix
