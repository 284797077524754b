#pragma once
// A recorded history for benchmarks: `days` of snapshots `intervalS` apart, ending at `end`, each
// with `processCount` processes of ten applications (one source flag each) and a battery row (a
// 60 Wh battery that has seen 212 cycles), as `joulix record` stores them. The schema is the
// store's own; the rows are written through statements compiled once, in one transaction, so a
// month of 5-second snapshots takes a minute rather than the hours one insert per snapshot would.
#include "SharedModels/Date.h"

#include <cstdint>
#include <string>

namespace joulix::bench {

struct HistoryFixtureShape {
    double days = 1;
    double intervalS = 5;
    int processCount = 30;
    Date end = Date::now();

    int64_t snapshotCount() const;
};

// Replaces any file at `path` (and its sidecars) with the history of `shape`.
void writeHistoryFixture(const std::string& path, const HistoryFixtureShape& shape);

}  // namespace joulix::bench
