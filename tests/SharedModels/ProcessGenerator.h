#pragma once
// Random snapshots for property tests: names that are paths inside and outside application
// bundles, reverse-DNS identifiers, parenthesised and plain names, parent chains (cycles
// included) and duplicate pids, from a seeded generator so that failures repeat.
#include "SharedModels/DrainSnapshot.h"

#include <random>
#include <string>
#include <vector>

namespace joulix::testing {

inline std::vector<DrainSnapshot> generatedSnapshots(unsigned seed, int snapshotCount,
                                                     int processCount) {
    std::mt19937 random(seed);
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> names{
        "/Applications/Foo.app/Contents/MacOS/Foo",
        "/Applications/Foo.app/Contents/Helpers/Foo Helper.app/Contents/MacOS/Foo Helper",
        "/Applications/Bar.app/Contents/MacOS/bar",
        "/opt/Bar.app/Contents/MacOS/bar",
        "/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock",
        "/usr/libexec/trustd",
        "/usr/bin/python3",
        "com.acme.sync",
        "(kernel_task)",
        "node",
        "Node",
        "  ",
        "",
        "WindowServer",
        "caf\u00e9 \u00c9clair"};
    const std::vector<std::optional<std::string>> bundles{
        std::nullopt, std::nullopt, "com.foo.app", "com.apple.dock", " ", "org.bar"};
    std::vector<DrainSnapshot> snapshots;
    for (int s = 0; s < snapshotCount; ++s) {
        DrainSnapshot snapshot{.timestamp = Date{static_cast<double>(s)}};
        for (int p = 0; p < processCount; ++p) {
            ProcessDrain process{
                .pid = pick(40) - 2,
                .name = names[static_cast<std::size_t>(pick(static_cast<int>(names.size())))],
                .bundleID = bundles[static_cast<std::size_t>(pick(6))],
                .drainW = pick(1000) / 100.0,
                .energyShare = pick(100) / 1000.0,
                .sourceFlags = {pick(2) ? "ps" : "powermetrics"},
            };
            if (pick(4) != 0) process.parentPID = pick(40) - 2;
            // Stored names follow the record (as annotation leaves them), so that one pid and
            // name never land in two groups of one snapshot.
            const auto stored = static_cast<std::size_t>(process.pid) + process.name.size();
            if (stored % 7 == 0) process.canonicalName = names[stored % 3];
            if (stored % 5 == 0) process.displayName = stored % 2 ? "Shown" : " ";
            snapshot.processes.push_back(std::move(process));
        }
        snapshots.push_back(std::move(snapshot));
    }
    return snapshots;
}

}  // namespace joulix::testing
