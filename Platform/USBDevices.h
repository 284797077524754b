#pragma once
// The USB devices connected to the machine, as the platform lists them. The Linux source reads
// <sysRoot>/bus/usb/devices: devices, not their interfaces (names with ':'), without the root
// hubs ("usbN") and hubs (device class 09). A <sysRoot>/bus without "usb" means no USB bus, so
// no devices.
#include <cstdint>
#include <optional>
#include <string>

namespace joulix {

// The number of connected devices; absent when the platform has no such list.
std::optional<int64_t> connectedUSBDeviceCount(const std::string& sysRoot = "/sys");

}  // namespace joulix
