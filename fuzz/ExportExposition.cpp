// Application names from outside (process names, bundles) through the exporter's bounded labels
// and the text exposition: the input's lines are the names of two passes' groups (the first
// half in the first pass), each drawing as many watts as its line number.
#include "Export/PrometheusPowerMetrics.h"
#include "SharedModels/Text.h"

#include <cstddef>
#include <cstdint>

using namespace joulix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto names = text::splitKeepingEmpty(input, '\n');
    PrometheusPowerMetrics metrics("fuzz", 3);
    ExportedPass first{.timestampS = 0, .totalW = 10};
    ExportedPass second{.timestampS = 5, .totalW = 12};
    for (std::size_t i = 0; i < names.size(); ++i)
        (i < names.size() / 2 ? first : second).wattsByApplication[std::string(names[i])] +=
            static_cast<double>(i);
    first.metadata.totalPowerSource = second.metadata.totalPowerSource = "power_supply";
    metrics.setPowerProfile(std::string(input));
    metrics.recordPass(first, 0.01);
    metrics.recordPass(second, 0.01);
    [[maybe_unused]] const std::string text = metrics.text();
    return 0;
}
