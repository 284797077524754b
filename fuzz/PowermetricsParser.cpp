// Any bytes through the powermetrics parser: no crash, and what it returns keeps its promises
// (positive pids, non-negative times and combined power).
#include "MetricsCollectors/PowermetricsParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), data ? size : 0);
    const auto out = joulix::PowermetricsParser().parse(text);
    if (!(out.combinedPackageW >= 0)) std::abort();
    for (const auto& process : out.processes) {
        if (process.pid <= 0 || !(process.cpuMsPerSec >= 0) || !(process.gpuMsPerSec >= 0)) {
            std::abort();
        }
    }
    joulix::PowermetricsParser::powerValue(text, "CPU Power");
    joulix::PowermetricsParser::parseFirstDouble(text);
    return 0;
}
