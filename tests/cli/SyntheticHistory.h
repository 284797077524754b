#pragma once
// A recorded history made up for tests and benchmarks: `count` snapshots `intervalS` apart up
// to `end`, each with `processCount` named processes of a few applications, on battery with a
// falling level, stored through the store's own write path.
#include "Storage/SQLiteSnapshotStore.h"

#include <cmath>
#include <string>

namespace joulix::testing {

inline DrainSnapshot syntheticSnapshot(Date at, int index, int processCount) {
    static const char* const apps[] = {"editor", "browser", "compiler", "player", "mail"};
    const double totalW = 12 + 4 * std::sin(index / 50.0);
    DrainSnapshot snapshot{.timestamp = at,
                           .totalDischargeW = totalW,
                           .unattributedW = 1,
                           .powerContext = PowerUsageContext{true, 90 - index * 0.001},
                           .batteryStatus =
                               BatteryStatusSample{.levelPercent = 90 - index * 0.001}};
    snapshot.components.screenW = 2;
    snapshot.components.usbW = 0.5;
    const double perProcessW = (totalW - 3.5) / processCount;
    for (int p = 0; p < processCount; ++p) {
        const std::string app = apps[p % 5];
        const double drainW = perProcessW * (1 + (p % 5)) * 2 / 6;
        snapshot.processes.push_back(ProcessDrain{.pid = 1000 + p,
                                                  .parentPID = 1,
                                                  .name = "/usr/bin/" + app,
                                                  .displayName = app,
                                                  .canonicalName = app,
                                                  .processGroupKey = "exec:/usr/bin/" + app,
                                                  .drainW = drainW,
                                                  .energyShare = drainW / totalW,
                                                  .sourceFlags = {"cpu-share"}});
    }
    return snapshot;
}

inline void storeSyntheticHistory(SQLiteSnapshotStore& store, Date end, int count, double intervalS,
                                  int processCount) {
    for (int i = 0; i < count; ++i) {
        const Date at{end.timeIntervalSinceReferenceDate - (count - 1 - i) * intervalS};
        store.insert(syntheticSnapshot(at, i, processCount));
    }
}

}  // namespace joulix::testing
