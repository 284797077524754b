#include "JoulixDaemon/BatteryMetricsService.h"

#include "JoulixDaemon/PmsetLowPowerMode.h"
#include "SharedModels/RuntimeLog.h"
#include "SharedModels/Text.h"
#include "Storage/SQLiteSnapshotStore.h"
#include "Storage/SQLiteSnapshotStoreLocation.h"

namespace joulix {

namespace {
constexpr std::string_view component = "Daemon";
}

std::unique_ptr<ShellRunning> BatteryMetricsService::makeDefaultShellRunner() {
    return std::make_unique<DefaultShellRunner>();
}

BatteryMetricsService::BatteryMetricsService(ShellRunnerFactory makeShellRunner,
                                             DefaultProcessTerminator processTerminator)
    : makeShellRunner_(std::move(makeShellRunner)), processTerminator_(processTerminator) {
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
    auto [success, message] = applyLowPowerMode(enabled);
    reply(success, std::move(message));
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
    auto result = processTerminator_.terminateProcess(pid);
    if (result.succeeded) {
        RuntimeLog::info(component, "terminateProcess succeeded for pid=" + pidText);
    } else {
        RuntimeLog::error(component, "terminateProcess failed for pid=" + pidText + ": " +
                                         result.message.value_or("unknown"));
    }
    reply(result.succeeded, std::move(result.message));
}

}  // namespace joulix
