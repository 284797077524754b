#pragma once
// The daemon's one service object: the listener's delegate, which accepts every connection and
// exports itself on it, and the handler of the three requests: ping; Low Power Mode through
// pmset with read-back where pmset is installed, else through the power profile service; process
// termination. Its only state is the power profile path's remembered profile, behind that
// object's lock, so requests of several clients may run at once. Who may do what: a caller may
// end its own processes; another user's or root's need polkit's terminate-any action; switching
// Low Power Mode needs the set-low-power-mode action where polkit answers; root may do all.
// Every log line goes through the runtime log with component "Daemon".
#include "JoulixDaemon/CallerAuthority.h"
#include "JoulixDaemon/PowerProfileLowPowerMode.h"
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

    static bool isPmsetInstalled();

    struct Collaborators {
        ShellRunnerFactory makeShellRunner = makeDefaultShellRunner;
        DefaultProcessTerminator processTerminator = DefaultProcessTerminator();
        // Who the callers are; without one every caller is trusted, as when the bus policy
        // alone decides (the in-memory transport's tests).
        std::shared_ptr<const CallerAuthority> callers = nullptr;
        std::shared_ptr<const PowerProfileService> powerProfiles = busPowerProfileService();
        std::function<bool()> pmsetInstalled = isPmsetInstalled;
    };

    // Widens the permissions of the shared snapshot database location, then logs.
    explicit BatteryMetricsService(Collaborators collaborators);
    BatteryMetricsService();

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
    // Why the calling client may not do what is asked; absent when it may.
    std::optional<std::string> lowPowerModeRefusal() const;
    std::optional<std::string> terminationRefusal(int32_t pid, const ProcessOwner& owner) const;

    const ShellRunnerFactory makeShellRunner_;
    const DefaultProcessTerminator processTerminator_;
    const std::shared_ptr<const CallerAuthority> callers_;
    const std::function<bool()> pmsetInstalled_;
    PowerProfileLowPowerMode powerProfileLowPowerMode_;
};

}  // namespace joulix
