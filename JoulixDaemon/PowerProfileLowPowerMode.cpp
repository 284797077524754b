#include "JoulixDaemon/PowerProfileLowPowerMode.h"

#include "SharedModels/RuntimeLog.h"

namespace joulix {

namespace {
constexpr std::string_view component = "Daemon";

ServiceReply commandError(const std::string& text) {
    RuntimeLog::error(component, "setLowPowerMode command error: " + text);
    return {false, text};
}
}  // namespace

ServiceReply PowerProfileLowPowerMode::apply(bool enabled) {
    std::lock_guard guard(lock_);
    std::string wanted;
    try {
        const auto current = profiles_->activeProfile();
        if (enabled) {
            if (current != PowerProfileService::powerSaver) profileBeforeOn_ = current;
            wanted = PowerProfileService::powerSaver;
        } else if (current != PowerProfileService::powerSaver) {
            // Already off: switching would only override a profile the user chose since.
            profileBeforeOn_.reset();
            RuntimeLog::info(component, "setLowPowerMode applied successfully.");
            return {true, std::nullopt};
        } else {
            wanted = profileBeforeOn_.value_or(PowerProfileService::balanced);
        }
    } catch (const PowerProfileError& error) {
        return commandError(error.what());
    }

    try {
        profiles_->setActiveProfile(wanted);
    } catch (const NoPowerProfileServiceError& error) {
        return commandError(error.what());
    } catch (const PowerProfileError& error) {
        std::string reason = error.what();
        RuntimeLog::error(component, "setLowPowerMode failed: " + reason);
        return {false, std::move(reason)};
    }

    std::string current;
    try {
        current = profiles_->activeProfile();
    } catch (const PowerProfileError& error) {
        return commandError(error.what());
    }
    if (current == wanted) {
        if (!enabled) profileBeforeOn_.reset();
        RuntimeLog::info(component, "setLowPowerMode applied successfully.");
        return {true, std::nullopt};
    }
    std::string reason = "The power profile service completed but the active profile remained " +
                         current + " (asked for " + wanted + ")";
    RuntimeLog::error(component, "setLowPowerMode verification failed: " + reason);
    return {false, std::move(reason)};
}

}  // namespace joulix
