// A power_supply uevent survives any bytes, and every property it yields has a name.
#include "Platform/linux/SysfsAttributes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
    for (const auto& [name, value] : joulix::sysfs::powerSupplyUeventProperties(text)) {
        if (name.empty()) std::abort();
    }
    return 0;
}
