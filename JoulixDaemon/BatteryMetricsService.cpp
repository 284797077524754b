#include "JoulixDaemon/BatteryMetricsService.h"

#include "JoulixDaemon/PmsetLowPowerMode.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace joulix {

namespace {
constexpr std::string_view component = "Daemon";

// The account name of `uid`, else the number.
std::string userName(uint32_t uid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}
}  // namespace

bool BatteryMetricsService::isPmsetInstalled() {
    return ::access(pmsetPath, X_OK) == 0;
}

std::unique_ptr<ShellRunning> BatteryMetricsService::makeDefaultShellRunner() {
    return std::make_unique<DefaultShellRunner>();
}

BatteryMetricsService::BatteryMetricsService() : BatteryMetricsService(Collaborators{}) {}

BatteryMetricsService::BatteryMetricsService(Collaborators collaborators)
    : makeShellRunner_(std::move(collaborators.makeShellRunner)),
      processTerminator_(collaborators.processTerminator),
      callers_(std::move(collaborators.callers)),
      pmsetInstalled_(std::move(collaborators.pmsetInstalled)),
      powerProfileLowPowerMode_(std::move(collaborators.powerProfiles)) {
    const auto databasePath = SQLiteSnapshotStoreLocation::sharedSnapshotDatabaseURL();
    SQLiteSnapshotStore::ensureSharedSnapshotSidecarPermissions(databasePath);
    RuntimeLog::info(component, "BatteryMetricsService initialized.");
}

bool BatteryMetricsService::shouldAcceptNewConnection(ServiceListener&,
                                                      ServiceConnection& connection) {
    RuntimeLog::info(component, "Accepted XPC connection.");
    connection.setExportedObject(*this);
    connection.resume();
    return true;
}

void BatteryMetricsService::ping(PingReply reply) {
    RuntimeLog::info(component, "ping received.");
    reply(true);
}

void BatteryMetricsService::setLowPowerMode(bool enabled, OperationReply reply) {
    RuntimeLog::info(component, std::string("setLowPowerMode request received: enabled=") +
                                    (enabled ? "true" : "false"));
    if (auto refusal = lowPowerModeRefusal()) {
        RuntimeLog::error(component, "setLowPowerMode refused: " + *refusal);
        reply(false, std::move(refusal));
        return;
    }
    auto [success, message] =
        pmsetInstalled_() ? applyLowPowerMode(enabled) : powerProfileLowPowerMode_.apply(enabled);
    reply(success, std::move(message));
}

std::optional<std::string> BatteryMetricsService::lowPowerModeRefusal() const {
    const auto& caller = currentClientName();
    if (!callers_ || caller.empty()) return std::nullopt;
    if (callers_->unixUser(caller) == 0u) return std::nullopt;
    // Without polkit the bus policy, which let this call through, decides.
    if (callers_->checkAuthorization(caller, CallerAuthority::setLowPowerModeAction) !=
        CallerAuthority::Answer::notAuthorized) {
        return std::nullopt;
    }
    return "Not authorised to switch Low Power Mode";
}

ServiceReply BatteryMetricsService::applyLowPowerMode(bool enabled) const {
    std::string failure;
    try {
        const auto runner = makeShellRunner_();
        const auto result = runner->run(pmsetPath, {"-a", "lowpowermode", enabled ? "1" : "0"});
        if (result.status != 0) {
            const auto lines = text::splitLines(result.stderr);
            auto reason = lines.empty() ? "pmset returned status " + std::to_string(result.status)
                                        : std::string(lines.front());
            RuntimeLog::error(component, "setLowPowerMode failed: " + reason);
            return {false, std::move(reason)};
        }
        const bool current = currentLowPowerModeEnabled(*runner);
        if (current == enabled) {
            RuntimeLog::info(component, "setLowPowerMode applied successfully.");
            return {true, std::nullopt};
        }
        std::string reason =
            std::string("pmset completed but lowpowermode remained ") + (current ? "1" : "0");
        RuntimeLog::error(component, "setLowPowerMode verification failed: " + reason);
        return {false, std::move(reason)};
    } catch (const std::exception& error) {
        failure = error.what();
    }
    RuntimeLog::error(component, "setLowPowerMode command error: " + failure);
    return {false, std::move(failure)};
}

bool BatteryMetricsService::currentLowPowerModeEnabled(const ShellRunning& runner) {
    const auto result = runner.run(pmsetPath, {"-g"});
    if (result.status != 0) throw ShellRunnerError::nonZeroExit(result);
    if (const auto enabled = lowPowerModeFromPmsetOutput(result.stdout)) return *enabled;
    throw ShellRunnerError::failedToLaunch(
        "Unable to determine lowpowermode state from pmset output.");
}

void BatteryMetricsService::terminateProcess(int32_t pid, OperationReply reply) {
    const auto pidText = std::to_string(pid);
    RuntimeLog::info(component, "terminateProcess request received: pid=" + pidText);
    auto result = processTerminator_.terminateProcess(
        pid, [&](const ProcessOwner& owner) { return terminationRefusal(pid, owner); });
    if (result.succeeded) {
        RuntimeLog::info(component, "terminateProcess succeeded for pid=" + pidText);
    } else {
        RuntimeLog::error(component, "terminateProcess failed for pid=" + pidText + ": " +
                                         result.message.value_or("unknown"));
    }
    reply(result.succeeded, std::move(result.message));
}

std::optional<std::string>
BatteryMetricsService::terminationRefusal(int32_t pid, const ProcessOwner& owner) const {
    const auto& caller = currentClientName();
    if (!callers_ || caller.empty()) return std::nullopt;
    const auto uid = callers_->unixUser(caller);
    if (uid == 0u) return std::nullopt;
    if (uid && owner.realUid == *uid && owner.effectiveUid == *uid) return std::nullopt;
    // Without polkit only root and the owner may end a process.
    if (uid && callers_->checkAuthorization(caller, CallerAuthority::terminateAnyAction) ==
                   CallerAuthority::Answer::authorized) {
        return std::nullopt;
    }
    return "Not authorised to end process " + std::to_string(pid) + " of user " +
           userName(owner.effectiveUid);
}

}  // namespace joulix
