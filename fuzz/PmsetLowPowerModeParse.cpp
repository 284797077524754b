// Any bytes as `pmset -g` output: the read-back parse never fails.
#include "JoulixDaemon/PmsetLowPowerMode.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view output(reinterpret_cast<const char*>(data), data == nullptr ? 0 : size);
    (void)joulix::lowPowerModeFromPmsetOutput(output);
    return 0;
}
