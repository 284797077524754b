#pragma once
// Two measures of a snapshot shared by the store's near-duplicate check and the presentation
// builders: its quality, and whether a process is the monitor's own (a tracker process).
#include "SharedModels/DrainSnapshot.h"

#include <cstdint>
#include <optional>
#include <string>

namespace joulix {

// A drain as it counts toward sums: negative and NaN drains count 0.
inline double countedDrain(double drainW) {
    return drainW >= 0 ? drainW : 0;
}

// The sum of the snapshot's process drains that are 0 or more (negative and NaN drains count 0).
double processTotalWatts(const DrainSnapshot& snapshot);

// 1 when the non-negative process drains sum to more than 0.05 W, plus the share of the total
// they explain (at most 1, the total taken as at least 0.1 W). NaN inputs count as 0.
double snapshotQuality(double totalWatts, double processTotalWatts);

// The monitor's own processes: name + " " + bundle identifier, lower-cased, contains "joulix",
// "duzadiruzadivozezazi" or the lower-cased prefix. An empty prefix matches nothing.
bool isTrackerProcess(const std::string& name, const std::optional<std::string>& bundleID,
                      const std::string& bundleIdentifierPrefix);

// Where the total power of a window's snapshots came from: the battery's measured discharge;
// the processor package (RAPL) plus modelled display and USB power; the display and USB models
// alone; or not recorded (a snapshot without complete telemetry). The two middle ones are
// estimates.
struct PowerSourceCounts {
    int64_t batteryDischarge = 0;
    int64_t packagePlusModels = 0;
    int64_t modelsOnly = 0;
    int64_t notRecorded = 0;

    int64_t estimates() const { return packagePlusModels + modelsOnly; }
    friend bool operator==(const PowerSourceCounts&, const PowerSourceCounts&) = default;
};

}  // namespace joulix
