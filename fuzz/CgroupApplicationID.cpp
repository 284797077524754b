// The application ID of a /proc/PID/cgroup file survives any bytes.
#include "Platform/RunningApplicationRegistry.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view file(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
    joulix::applicationIDFromCgroup(file);
    return 0;
}
