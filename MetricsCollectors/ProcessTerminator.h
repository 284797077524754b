#pragma once
// Ends one process chosen by the user: a polite SIGTERM, a short wait, then SIGKILL, with a
// precise message for every outcome. A process that is already gone, or has ended and waits as a
// zombie, counts as success. The process is taken into a handle before the first signal, so a
// pid reused meanwhile is never signalled. The init process and the calling process itself are
// never signalled, nor non-positive pids (which would address process groups).
#include "Platform/ProcessSignals.h"

#include <cstdint>
#include <functional>
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
    // Decides, from the owner of the process held, whether it may be ended: absent to go on,
    // else the failure message.
    using Authorize = std::function<std::optional<std::string>(const ProcessOwner& owner)>;

    virtual ~ProcessTerminating() = default;
    virtual ProcessTerminationResult terminateProcess(int32_t pid) const = 0;
    // As above, asking `authorize` about the very process it will signal before the first signal.
    virtual ProcessTerminationResult terminateProcess(int32_t pid,
                                                      const Authorize& authorize) const = 0;
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
    ProcessTerminationResult terminateProcess(int32_t pid,
                                              const Authorize& authorize) const override;

  private:
    ProcessTerminationResult signalHeld(int32_t pid, int handle, const Authorize& authorize) const;
    // True when the held process is known to have ended before the time-out.
    bool waitForExit(int handle, double timeoutSeconds) const;

    const ProcessSignaling* signals_;
};

}  // namespace joulix
