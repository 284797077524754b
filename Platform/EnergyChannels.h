#pragma once
// The machine's cumulative energy counters as named channels: subscribing to a group yields a
// subscription whose samples list every subscribed channel with its group, name, unit label and
// current integer value. The Linux source (linux/PowercapEnergyChannels.h) presents the RAPL
// powercap zones.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

struct EnergyChannelReading {
    std::string group;
    std::optional<std::string> name;
    std::optional<std::string> unitLabel;
    int64_t value = 0;
};

class EnergyChannelSubscription {
  public:
    virtual ~EnergyChannelSubscription() = default;
    // One reading of every subscribed channel; absent when the counters cannot be read. A
    // subscription may keep state between readings: its owner makes one call at a time.
    virtual std::optional<std::vector<EnergyChannelReading>> sample() = 0;
};

class EnergyChannels {
  public:
    virtual ~EnergyChannels() = default;
    // The subscription to the channels of `group`; null when the group has no channels.
    virtual std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view group) = 0;
    // Why the last subscribe() found no channels, in words for the user ("RAPL counters are
    // readable only by root on this machine"); empty when unknown or when it found some.
    virtual std::string unavailableReason() const { return {}; }
};

// This platform's energy counters.
std::shared_ptr<EnergyChannels> platformEnergyChannels();

}  // namespace joulix
