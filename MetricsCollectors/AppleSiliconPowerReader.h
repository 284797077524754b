#pragma once
// Watts per chip component from the cumulative counters of the "Energy Model" channel group:
// each sample(now:) turns the joules counted since the previous successful read into watts
// (CPU, GPU, neural engine, DRAM, memory fabric, PCIe, display). The first call only sets the
// baseline; a machine without the channels reports `supported` false. The first read logs the
// channel names once at debug level to the system log. Shared between threads: every sample runs
// under the reader's lock.
//
// Counters that measure a whole package or platform (RAPL's "Package N Energy" and "PSYS
// Energy") give `packageW` (the packages plus DRAM outside them) and `platformW`; without a CPU
// channel the package is the CPU's figure. Where the counters cannot be read at all,
// unsupportedReason() says why.
#include "Platform/EnergyChannels.h"
#include "Platform/SystemLog.h"
#include "SharedModels/Date.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace joulix {

struct SystemPowerSnapshot {
    double cpuW = 0;
    double gpuW = 0;
    double aneW = 0;
    double dramW = 0;
    double memoryFabricW = 0;
    double ramW = 0;  // dramW + memoryFabricW
    double pciW = 0;
    double displayW = 0;
    double intervalSeconds = 0;
    bool supported = false;
    std::optional<double> packageW{};   // absent without package counters
    std::optional<double> platformW{};  // absent without a platform counter

    friend bool operator==(const SystemPowerSnapshot&, const SystemPowerSnapshot&) = default;
};

class AppleSiliconPowerReader {
  public:
    explicit AppleSiliconPowerReader(
        const std::shared_ptr<EnergyChannels>& energyChannels = platformEnergyChannels(),
        std::shared_ptr<SystemLog> systemLog = platformSystemLog());

    SystemPowerSnapshot sample(Date now);
    // Why no sample is supported, in words for the user; empty while the counters are read.
    std::string unsupportedReason();

  private:
    struct EnergyTotals {
        double cpuJ = 0;
        double gpuJ = 0;
        double aneJ = 0;
        double dramJ = 0;
        double memoryFabricJ = 0;
        double pciJ = 0;
        double displayJ = 0;
        double packageJ = 0;
        double dramOutsidePackageJ = 0;
        double platformJ = 0;
    };

    std::mutex lock_;
    std::shared_ptr<SystemLog> systemLog_;
    std::string logSubsystem_;
    std::unique_ptr<EnergyChannelSubscription> subscription_;
    std::optional<EnergyTotals> previousTotals_;
    std::optional<Date> lastSampleAt_;
    bool hasLoggedChannelNames_ = false;
    std::string unsupportedReason_;
};

}  // namespace joulix
