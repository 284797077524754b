// The CPU line of /proc/stat survives any bytes.
#include "Platform/linux/ProcStatCPULoadCounters.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
    joulix::ProcStatCPULoadCounters::parseCPULine(line);
    return 0;
}
