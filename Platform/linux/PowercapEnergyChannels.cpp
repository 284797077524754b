#include "Platform/linux/PowercapEnergyChannels.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace joulix {

namespace {

constexpr std::string_view energyModelGroup = "Energy Model";

struct Zone {
    std::string counterPath;
    std::string channelName;
};

class PowercapSubscription final : public EnergyChannelSubscription {
  public:
    explicit PowercapSubscription(std::vector<Zone> zones) : zones_(std::move(zones)) {}

    std::optional<std::vector<EnergyChannelReading>> sample() override {
        std::vector<EnergyChannelReading> readings;
        readings.reserve(zones_.size());
        for (const auto& zone : zones_) {
            const auto value = sysfs::readInteger(zone.counterPath);
            if (!value) continue;
            readings.push_back({std::string(energyModelGroup), zone.channelName, "uJ", *value});
        }
        if (readings.empty()) return std::nullopt;
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

std::unique_ptr<EnergyChannelSubscription>
PowercapEnergyChannels::subscribe(std::string_view group) {
    if (group != energyModelGroup) return nullptr;
    std::error_code error;
    std::vector<std::filesystem::path> zoneDirectories;
    for (std::filesystem::directory_iterator it(sysRoot_ + "/class/powercap", error), end;
         !error && it != end; it.increment(error)) {
        zoneDirectories.push_back(it->path());
    }
    std::sort(zoneDirectories.begin(), zoneDirectories.end());

    std::vector<Zone> zones;
    for (const auto& directory : zoneDirectories) {
        const auto name = sysfs::readText(directory / "name");
        const auto counterPath = (directory / "energy_uj").string();
        if (!name || name->empty() || !sysfs::readInteger(counterPath)) continue;
        zones.push_back({counterPath, channelName(*name)});
    }
    if (zones.empty()) return nullptr;
    return std::make_unique<PowercapSubscription>(std::move(zones));
}

std::shared_ptr<EnergyChannels> platformEnergyChannels() {
    return std::make_shared<PowercapEnergyChannels>();
}

}  // namespace joulix
