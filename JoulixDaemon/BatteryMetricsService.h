#pragma once
// The daemon's one service object: the listener's delegate, which accepts every connection and
// exports itself on it, and the handler of the three requests (ping, Low Power Mode through
// pmset with read-back, process termination). It holds no mutable state, so requests of several
// clients may run at once. Every log line goes through the runtime log with component "Daemon".
#include "JoulixDaemon/ServiceListener.h"
#include "JoulixDaemon/ServiceReply.h"
#include "MetricsCollectors/ProcessTerminator.h"
#include "MetricsCollectors/ShellRunner.h"
#include "SharedModels/BatteryMetricsXPCProtocol.h"

#include <functional>
#include <memory>

namespace joulix {

class BatteryMetricsService final : public BatteryMetricsXPCProtocol,
                                    public ServiceListenerDelegate {
  public:
    static constexpr const char* pmsetPath = "/usr/bin/pmset";

    // Makes the shell runner of one Low Power Mode request.
    using ShellRunnerFactory = std::function<std::unique_ptr<ShellRunning>()>;
    static std::unique_ptr<ShellRunning> makeDefaultShellRunner();

    // Widens the permissions of the shared snapshot database location, then logs.
    explicit BatteryMetricsService(
        ShellRunnerFactory makeShellRunner = makeDefaultShellRunner,
        DefaultProcessTerminator processTerminator = DefaultProcessTerminator());

    bool shouldAcceptNewConnection(ServiceListener& listener,
                                   ServiceConnection& connection) override;

    void ping(PingReply reply) override;
    void setLowPowerMode(bool enabled, OperationReply reply) override;
    void terminateProcess(int32_t pid, OperationReply reply) override;

  private:
    // Sets the mode with pmset and reads it back; logs the outcome.
    ServiceReply applyLowPowerMode(bool enabled) const;
    // Runs `pmset -g`; throws ShellRunnerError.
    static bool currentLowPowerModeEnabled(const ShellRunning& runner);

    const ShellRunnerFactory makeShellRunner_;
    const DefaultProcessTerminator processTerminator_;
};

}  // namespace joulix
