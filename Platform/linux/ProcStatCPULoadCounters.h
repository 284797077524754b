#pragma once
// CPU load counters from the first line of <procRoot>/stat ("cpu user nice system idle iowait
// irq softirq steal ..."), in clock ticks. The four counters are: user; system + irq + softirq;
// idle + iowait; nice (steal and guest time are not counted). Each is truncated to 32 bits, so
// differences between two reads behave like wrapping hardware counters.
#include "Platform/CPULoadCounters.h"

#include <string>
#include <string_view>

namespace joulix {

class ProcStatCPULoadCounters final : public CPULoadCounters {
  public:
    explicit ProcStatCPULoadCounters(std::string procRoot = "/proc")
        : procRoot_(std::move(procRoot)) {}

    std::optional<CPULoadTicks> read() const override;

    // The counters of one "cpu" line; absent unless it has at least the first five numbers.
    static std::optional<CPULoadTicks> parseCPULine(std::string_view line);

  private:
    std::string procRoot_;
};

}  // namespace joulix
