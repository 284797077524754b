#include "Platform/USBDevices.h"

#include "Platform/linux/SysfsAttributes.h"

#include <filesystem>
#include <system_error>

namespace joulix {

std::optional<int64_t> connectedUSBDeviceCount(const std::string& sysRoot) {
    std::error_code error;
    // A bus list without a USB bus: the machine has no USB (kernel built without it, or a
    // container), which is no device, not a failed count.
    if (std::filesystem::is_directory(sysRoot + "/bus", error) &&
        !std::filesystem::exists(sysRoot + "/bus/usb", error) && !error) {
        return 0;
    }
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

}  // namespace joulix
