#include "MetricsCollectors/USBPowerEstimator.h"

#include "Platform/linux/SysfsAttributes.h"
#include "SharedModels/Text.h"

#include <filesystem>
#include <optional>
#include <system_error>

namespace joulix {

namespace {

constexpr double fallbackWatts = 0.5;

double wattsFor(int64_t devices) {
    const double watts = static_cast<double>(devices) * 0.45;
    if (watts <= 0) return 0;
    return watts > 9.0 ? 9.0 : watts;
}

// The connected USB devices of the platform's device list; absent when there is none. Entries
// with a ':' are interfaces, "usbN" are root hubs, and class 09 marks a hub.
std::optional<int64_t> countPlatformDevices(const std::string& sysRoot) {
    std::error_code error;
    std::filesystem::directory_iterator it(sysRoot + "/bus/usb/devices", error);
    if (error) return std::nullopt;
    int64_t devices = 0;
    for (const std::filesystem::directory_iterator end; it != end; it.increment(error)) {
        if (error) break;
        const std::string name = it->path().filename().string();
        if (name.find(':') != std::string::npos || name.starts_with("usb")) continue;
        if (sysfs::readText((it->path() / "bDeviceClass").string()) == "09") continue;
        ++devices;
    }
    return devices;
}

}  // namespace

USBPowerEstimator::USBPowerEstimator(std::shared_ptr<const ShellRunning> shell_,
                                     std::string sysRoot_)
    : shell(std::move(shell_)), sysRoot(std::move(sysRoot_)) {}

double USBPowerEstimator::estimateWatts() const {
    return estimate().watts;
}

USBPowerEstimate USBPowerEstimator::estimate() const {
    ShellResult result;
    try {
        result = shell->run("/usr/sbin/system_profiler", {"SPUSBDataType", "-detailLevel", "mini"});
    } catch (const ShellRunnerError& error) {
        if (error.kind() == ShellRunnerError::Kind::failedToLaunch) {
            if (const auto devices = countPlatformDevices(sysRoot)) {
                return {wattsFor(*devices), "sysfs"};
            }
        }
        return {fallbackWatts, "default"};
    } catch (const std::exception&) {
        return {fallbackWatts, "default"};
    }
    if (result.status != 0) return {fallbackWatts, "default"};

    int64_t devices = 0;
    for (const auto line : text::splitKeepingEmpty(result.stdout, '\n')) {
        if (line.find("Product ID:") != std::string_view::npos) ++devices;
    }
    return {wattsFor(devices), "system_profiler"};
}

}  // namespace joulix
