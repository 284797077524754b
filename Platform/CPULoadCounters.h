#pragma once
// The host's cumulative CPU tick counters (user, system, idle, nice), as unsigned 32-bit values
// that wrap. The Linux source (linux/ProcStatCPULoadCounters.h) reads /proc/stat.
#include <cstdint>
#include <memory>
#include <optional>

namespace joulix {

struct CPULoadTicks {
    uint32_t user = 0;
    uint32_t system = 0;
    uint32_t idle = 0;
    uint32_t nice = 0;

    friend bool operator==(const CPULoadTicks&, const CPULoadTicks&) = default;
};

class CPULoadCounters {
  public:
    virtual ~CPULoadCounters() = default;
    // The current counters; absent when they cannot be read.
    virtual std::optional<CPULoadTicks> read() const = 0;
};

// This platform's CPU load counters.
std::shared_ptr<const CPULoadCounters> platformCPULoadCounters();

}  // namespace joulix
