#pragma once
// Energy counters on Linux: the RAPL zones of the powercap class
// (<sysRoot>/class/powercap/<zone>/energy_uj and name), each presented as one channel of the
// group "Energy Model" with the unit label "uJ". Zones are listed in directory-name order; a
// sub-zone ("intel-rapl:0:1" in "intel-rapl:0") is named after its package ("Package 0 CPU
// Energy"); a second zone of the same channel name (the MMIO view of a package) is left out, as
// is a zone whose counter cannot be read at subscription (energy_uj is root-only since Linux
// 5.10: unavailableReason() then says so). Values are the counters unwrapped with
// max_energy_range_uj, so they only grow; a reading in which any subscribed zone cannot be read
// is absent as a whole. Only the group "Energy Model" has channels.
//
// Zone name      Channel name        Counted by the power reader as
// "core"         "CPU Energy"        CPU
// "uncore"       "GPU Energy"        GPU (the integrated graphics sit in the uncore domain)
// "dram"         "DRAM Energy"       DRAM (and package power when not inside a package)
// "package-N"    "Package N Energy"  package power (contains core and uncore)
// "psys"         "PSYS Energy"       platform power (the whole platform)
// anything else  the zone name       by the name's own rules
#include "Platform/EnergyChannels.h"

#include <string>

namespace joulix {

class PowercapEnergyChannels final : public EnergyChannels {
  public:
    explicit PowercapEnergyChannels(std::string sysRoot = "/sys") : sysRoot_(std::move(sysRoot)) {}

    std::unique_ptr<EnergyChannelSubscription> subscribe(std::string_view group) override;

    // The channel name under which a zone is presented (table above).
    static std::string channelName(std::string_view zoneName);
    // The channel name of a zone inside the package zone `packageZoneName` (empty: none).
    static std::string channelName(std::string_view zoneName, std::string_view packageZoneName);
    // Why the last subscription found no counters; empty when it found some.
    std::string unavailableReason() const override;

  private:
    std::string sysRoot_;
    std::string unavailableReason_;
};

}  // namespace joulix
