// The battery reading of an `ioreg` property list (XML or binary) survives any bytes.
#include "MetricsCollectors/BatteryStatusCollector.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view output(data ? reinterpret_cast<const char*>(data) : "", data ? size : 0);
    try {
        joulix::BatteryStatusCollector::sampleFromPropertyList(output);
    } catch (const joulix::Error&) {
    }
    return 0;
}
