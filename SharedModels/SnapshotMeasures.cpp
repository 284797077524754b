#include "SharedModels/SnapshotMeasures.h"

#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>

namespace joulix {

double processTotalWatts(const DrainSnapshot& snapshot) {
    double total = 0;
    for (const ProcessDrain& process : snapshot.processes)
        total += countedDrain(process.drainW);
    return total;
}

double snapshotQuality(double totalWatts, double processTotalWatts) {
    const double numerator = processTotalWatts >= 0 ? processTotalWatts : 0;
    const double ratio = numerator / (totalWatts >= 0.1 ? totalWatts : 0.1);
    const double covered = std::isnan(ratio) ? 1 : std::min(ratio, 1.0);
    return processTotalWatts > 0.05 ? covered + 1 : covered;
}

bool isTrackerProcess(const std::string& name, const std::optional<std::string>& bundleID,
                      const std::string& bundleIdentifierPrefix) {
    const std::string haystack = text::lowercased(name + " " + bundleID.value_or(""));
    const std::string prefix = text::lowercased(bundleIdentifierPrefix);
    return haystack.find("joulix") != std::string::npos ||
           haystack.find("duzadiruzadivozezazi") != std::string::npos ||
           (!prefix.empty() && haystack.find(prefix) != std::string::npos);
}

}  // namespace joulix
