#include "Platform/linux/PowercapEnergyChannels.h"

#include "Platform/linux/SysfsAttributes.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <mutex>
#include <system_error>

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
        std::lock_guard guard(lock_);
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
    std::mutex lock_;
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
        const auto first = sysfs::readInteger(counterPath);
        if (!name || name->empty() || !first || *first < 0) continue;
        const auto range = sysfs::readInteger((directory / "max_energy_range_uj").string());
        zones.push_back(
            {counterPath, channelName(*name), std::max<int64_t>(range.value_or(0), 0), *first, 0});
    }
    if (zones.empty()) return nullptr;
    return std::make_unique<PowercapSubscription>(std::move(zones));
}

std::shared_ptr<EnergyChannels> platformEnergyChannels() {
    return std::make_shared<PowercapEnergyChannels>();
}

}  // namespace joulix
