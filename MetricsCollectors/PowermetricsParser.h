#pragma once
// Turns the text of one powermetrics run into package power (CPU, GPU, neural engine, combined),
// whole-system power and a per-task table of CPU and GPU time, each task carrying its share of
// the package power. A pure function of the text; never fails: unrecognised text gives zeros,
// absent optionals and no tasks.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

struct PowermetricsProcessRecord {
    int64_t pid = 0;
    std::string name;
    double cpuMsPerSec = 0;
    double gpuMsPerSec = 0;
    double cpuPackageW = 0;
    double gpuPackageW = 0;
    double anePackageW = 0;
    double packageW = 0;

    friend bool operator==(const PowermetricsProcessRecord&,
                           const PowermetricsProcessRecord&) = default;
};

struct PowermetricsParseOutput {
    double cpuPackageW = 0;
    double gpuPackageW = 0;
    double anePackageW = 0;
    double combinedPackageW = 0;
    std::optional<double> totalSystemWatts;
    double totalTaskCPUmsPerSec = 0;
    double totalTaskGPUmsPerSec = 0;
    std::optional<double> allTasksCPUmsPerSec;
    std::vector<PowermetricsProcessRecord> processes;

    // Any package power above 0.
    bool hasPackagePower() const;
    // The task CPU total when above 0, else the ALL_TASKS value (0 when absent), at least 0.
    double resolvedCPUAttributionDenominator() const;
    // GPU package power was split by CPU share because no task reported GPU time.
    bool gpuPackageAllocatedByCPUShare() const;

    friend bool operator==(const PowermetricsParseOutput&,
                           const PowermetricsParseOutput&) = default;
};

class PowermetricsParser {
  public:
    PowermetricsParseOutput parse(std::string_view output) const;

    // The power after `label` at the start of `line` ("CPU Power: 1234 mW"), in watts: the first
    // number followed by an optional unit prefix (u, m/M, k/K) and "W" at a word end.
    static std::optional<double> powerValue(std::string_view line, std::string_view label);
    // Scales by the lower-cased unit: "uw", "mw", "kw"; anything else is watts.
    static double convertToWatts(double value, std::string_view unit);
    // The first white-space-separated piece of `text` as a finite decimal number.
    static std::optional<double> parseFirstDouble(std::string_view text);
};

}  // namespace joulix
