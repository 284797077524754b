#pragma once
// Ends one process chosen by the user: a polite SIGTERM, a short wait, then SIGKILL, with a
// precise message for every outcome. A process that is already gone counts as success. The
// init process and the calling process itself are never signalled, nor non-positive pids
// (which would address process groups).
#include "Platform/ProcessSignals.h"

#include <cstdint>
#include <optional>
#include <string>

namespace joulix {

struct ProcessTerminationResult {
    bool succeeded = false;
    std::optional<std::string> message;  // absent on a clean SIGTERM exit

    static ProcessTerminationResult success(std::optional<std::string> message = std::nullopt) {
        return {true, std::move(message)};
    }
    static ProcessTerminationResult failure(std::string message) {
        return {false, std::move(message)};
    }
    friend bool operator==(const ProcessTerminationResult&,
                           const ProcessTerminationResult&) = default;
};

class ProcessTerminating {
  public:
    virtual ~ProcessTerminating() = default;
    virtual ProcessTerminationResult terminateProcess(int32_t pid) const = 0;
};

class DefaultProcessTerminator final : public ProcessTerminating {
  public:
    static constexpr double terminateWaitSeconds = 0.35;
    static constexpr double killWaitSeconds = 0.35;
    static constexpr int pollIntervalMicroseconds = 20000;

    explicit DefaultProcessTerminator(const ProcessSignaling& signals = systemProcessSignals())
        : signals_(&signals) {}

    // Synchronous: at most about 0.7 s plus scheduling delays.
    ProcessTerminationResult terminateProcess(int32_t pid) const override;

  private:
    // True when the process is known to be gone before the time-out. An unreaped zombie still
    // answers the probe, so it counts as running.
    bool waitForExit(int32_t pid, double timeoutSeconds) const;

    const ProcessSignaling* signals_;
};

}  // namespace joulix
