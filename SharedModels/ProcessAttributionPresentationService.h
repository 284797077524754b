#pragma once
// Naming of processes for presentation: presentation contexts built from recent snapshots
// (display names, canonical names that fold helpers into their host application, executable
// aliases), stored-value helpers, group keys and synthetic pids for groups. A namespace without
// state; every function is pure. The builders stop early, with what they have collected, when
// `stop` is requested; they check it between snapshots.
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/ProcessPresentationContext.h"

#include <cstdint>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>

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

}  // namespace joulix::ProcessAttributionPresentationService
