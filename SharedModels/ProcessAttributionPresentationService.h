#pragma once
// Naming and grouping of processes for presentation: presentation contexts built from recent
// snapshots (display names, canonical names that fold helpers into their host application,
// executable aliases), stored-value helpers, group keys and synthetic pids; annotation of
// snapshots, and the folding of processes into visible application rows (ProcessGrouping.cpp).
// A namespace without state; every function is pure. The functions taking `stop` end early,
// with what they have collected, when it is requested; they check it between snapshots.
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/ProcessPresentationContext.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace joulix {

// Visible rows of one snapshot; the maps are keyed by the row's id (pid-name).
struct VisibleProcessGroupingResult {
    std::vector<ProcessDrain> processes{};
    std::unordered_map<std::string, double> processWhByID{};
    std::unordered_map<std::string, std::vector<ProcessDrain>> subprocessesByID{};

    friend bool operator==(const VisibleProcessGroupingResult&,
                           const VisibleProcessGroupingResult&) = default;
};

// Visible rows and hidden workloads of a window of snapshots.
struct UniqueProcessesResult {
    std::vector<ProcessDrain> processes{};
    std::unordered_map<std::string, double> processWhByID{};
    std::unordered_map<std::string, std::vector<ProcessDrain>> subprocessesByID{};
    std::vector<HiddenDrain> hidden{};

    friend bool operator==(const UniqueProcessesResult&, const UniqueProcessesResult&) = default;
};

}  // namespace joulix

namespace joulix::ProcessAttributionPresentationService {

// An empty context extended by every snapshot, in order.
ProcessPresentationContext makePresentationContext(std::span<const DrainSnapshot> snapshots,
                                                   std::stop_token stop = {});
// The latest record per pid and per identity over the snapshots (later replacing earlier), then
// names computed over them.
ProcessPresentationContext
makeLatestOnlyPresentationContext(std::span<const DrainSnapshot> snapshots,
                                  std::stop_token stop = {});
// `context` with the snapshots' records added (later replacing earlier) and every name
// recomputed over all records held: the same context that makeLatestOnlyPresentationContext
// gives over all snapshots added so far.
ProcessPresentationContext appendingPresentationContext(ProcessPresentationContext context,
                                                        std::span<const DrainSnapshot> snapshots,
                                                        std::stop_token stop = {});

// A pid for a group named `text`: FNV-1a (64-bit, offset basis 0x14650fb0739d0383) folded into
// −2 000 999 999 … −1 000 000, where no real process lives.
int64_t stableSyntheticPID(std::string_view text);

// The trimmed name's last path component, the text inside "(...)", or the display name when
// the name is blank.
std::string executableLeaf(const ProcessDrain& process);

// The stored field trimmed; absent when missing or blank.
std::optional<std::string> storedDisplayName(const ProcessDrain& process);
std::optional<std::string> storedCanonicalName(const ProcessDrain& process);
std::optional<std::string> storedProcessGroupKey(const ProcessDrain& process);

// "bundle:", "app:", "exec:", "name:" or "raw:" followed by the lower-cased bundle identifier,
// bundle path, executable path, canonical name or raw name, the first that applies.
std::string processGroupKeySource(const ProcessDrain& process, std::string_view canonicalName);

// The side of the operating system: a process in a bundle that AppleProcessDetector claims, one
// outside bundles with an Apple bundle identifier, or one with neither.
bool isAppleSide(const ProcessDrain& process);

// The first ancestor, within 8 steps up through `latestProcessByPID`, that is not on the Apple
// side, for a process that is; absent for a process without parent, at a cycle, at a missing
// pid or at an Apple-side root. The pointer is into `latestProcessByPID`.
const ProcessDrain*
hostApplicationProcess(const ProcessDrain& process,
                       const std::unordered_map<int64_t, ProcessDrain>& latestProcessByPID);

// The name of that host application: `preferredByPID` of its pid, else the cached name under
// its pid-name, else its display name, which is then cached.
std::optional<std::string>
hostApplicationDisplayName(const ProcessDrain& process,
                           const std::unordered_map<int64_t, std::string>& preferredByPID,
                           const std::unordered_map<int64_t, ProcessDrain>& latestProcessByPID,
                           std::unordered_map<std::string, std::string>& displayNameCache);

// The stored display name, else the display name, kept in `displayNameCache` under pid-name.
std::string cachedDisplayName(const ProcessDrain& process,
                              std::unordered_map<std::string, std::string>& displayNameCache);

// For each executable leaf inside an application bundle, the display name of the best-scoring
// process carrying it (the earlier among equals). Display names come from, and go into,
// `displayNameCache` (keyed pid-name).
std::unordered_map<std::string, std::string>
buildExecutableAliasMap(std::span<const ProcessDrain> processes,
                        std::unordered_map<std::string, std::string>& displayNameCache);
std::unordered_map<std::string, std::string>
buildExecutableAliasMap(std::span<const DrainSnapshot> snapshots,
                        std::unordered_map<std::string, std::string>& displayNameCache);

// --- Grouping (ProcessGrouping.cpp) ---

// Every process with its display name, canonical name and group key from the context (stored
// values where the context has none; a helper takes its host application's key).
DrainSnapshot annotateSnapshot(const DrainSnapshot& snapshot,
                               const ProcessPresentationContext& presentationContext);
DrainSnapshot annotateSnapshot(const DrainSnapshot& snapshot,
                               std::span<const DrainSnapshot> recentSnapshots,
                               std::stop_token stop = {});

// One row per group name: the members' watts and shares summed onto a representative (a
// synthetic pid when the group has two or more members), largest `drainW` first, equal ones by
// group name. A NaN `drainW` sorts last.
VisibleProcessGroupingResult
groupVisibleProcesses(const DrainSnapshot& snapshot,
                      const ProcessPresentationContext& presentationContext,
                      const std::unordered_map<std::string, double>& groupedWhByName);

// One record per identity, the latest one, in the order the identities were first seen.
std::vector<ProcessDrain> uniqueLatestProcesses(std::span<const DrainSnapshot> snapshots,
                                                std::stop_token stop = {});

// Rows of a window of snapshots. The rules chosen here:
// - the members are the latest record of every identity in the window (the fallback
//   snapshot's processes when the window has none);
// - a member's group name is its stored canonical name, else the context's canonical name of
//   its identity, else its host application's name (walking the latest records of the window,
//   then the context's), else the alias of its executable leaf, else its display name;
// - a row is built like a visible row of one snapshot; its energy is the sum of its members'
//   `processWhByID` (0 when absent), and its `drainW` that energy over `sampleHours` when
//   `sampleHours` is above 0, else the members' summed `drainW`;
// - hidden workloads are the latest per identity, their `drainW` likewise from `hiddenWhByID`;
// - rows and hidden workloads come largest `drainW` first, equal ones by name and by id.
UniqueProcessesResult
makeUniqueProcesses(std::span<const DrainSnapshot> snapshots,
                    const std::unordered_map<std::string, double>& processWhByID,
                    const std::unordered_map<std::string, double>& hiddenWhByID, double sampleHours,
                    const std::optional<DrainSnapshot>& fallbackSnapshot,
                    const ProcessPresentationContext& presentationContext,
                    std::stop_token stop = {});

// Watts of one snapshot summed per name: the stored canonical name, else the context's
// canonical name, executable alias, display name, else the stored display or display name.
std::unordered_map<std::string, double>
processWattsByDisplayName(const DrainSnapshot& snapshot,
                          const ProcessPresentationContext& presentationContext);
// The same through an alias map alone: the stored canonical name, else the executable alias,
// else the display name (from, and into, `displayNameCache`).
std::unordered_map<std::string, double>
processWattsByDisplayName(const DrainSnapshot& snapshot,
                          const std::unordered_map<std::string, std::string>& aliasByExecutableLeaf,
                          std::unordered_map<std::string, std::string>& displayNameCache);

}  // namespace joulix::ProcessAttributionPresentationService
