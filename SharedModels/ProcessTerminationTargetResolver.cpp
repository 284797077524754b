#include "SharedModels/ProcessTerminationTargetResolver.h"

#include "SharedModels/Text.h"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>

namespace joulix::ProcessTerminationTargetResolver {

namespace {

// Bundle match, name match, direct app executable, has bundle identifier, root within group,
// presentation score: compared element by element, highest first.
using TerminationPriority = std::array<int64_t, 6>;

int64_t directAppExecutableScore(const ProcessDrain& candidate) {
    if (!candidate.name.starts_with('/')) return 0;
    const auto bundle = ProcessDrain::topLevelAppBundlePath(candidate.name);
    return bundle && candidate.name.starts_with(*bundle + "/Contents/MacOS/") ? 1 : 0;
}

int64_t hasBundleIDScore(const ProcessDrain& candidate) {
    return candidate.bundleID && !text::isBlank(*candidate.bundleID) ? 1 : 0;
}

int64_t rootWithinGroupScore(const ProcessDrain& candidate,
                             const std::unordered_set<int64_t>& candidatePIDs) {
    return !candidate.parentPID || candidatePIDs.empty() ||
                   !candidatePIDs.contains(*candidate.parentPID)
               ? 1
               : 0;
}

TerminationPriority terminationPriority(const ProcessDrain& candidate, const ProcessDrain& group,
                                        const std::string& groupDisplayName,
                                        const std::unordered_set<int64_t>& candidatePIDs) {
    const bool bundleMatch =
        candidate.bundleID && group.bundleID &&
        text::lowercased(*candidate.bundleID) == text::lowercased(*group.bundleID);
    const bool nameMatch =
        text::lowercased(candidate.processDisplayName()) == text::lowercased(groupDisplayName);
    return {bundleMatch ? 1 : 0,
            nameMatch ? 1 : 0,
            directAppExecutableScore(candidate),
            hasBundleIDScore(candidate),
            rootWithinGroupScore(candidate, candidatePIDs),
            candidate.processPresentationScore()};
}

bool isValidTarget(int64_t pid) {
    return pid >= 1 && pid <= std::numeric_limits<int32_t>::max();
}

}  // namespace

std::vector<int32_t> targetPIDs(const ProcessDrain& group,
                                std::span<const ProcessDrain> subprocesses) {
    std::vector<const ProcessDrain*> kept;
    for (const auto& process : subprocesses) {
        if (process.pid >= 1) kept.push_back(&process);
    }
    if (kept.empty()) {
        if (isValidTarget(group.pid)) return {static_cast<int32_t>(group.pid)};
        return {};
    }

    std::unordered_set<int64_t> candidatePIDs;
    for (const auto* process : kept)
        candidatePIDs.insert(process->pid);
    const auto groupDisplayName = group.processDisplayName();
    std::vector<std::pair<TerminationPriority, const ProcessDrain*>> ranked;
    ranked.reserve(kept.size());
    for (const auto* process : kept) {
        ranked.emplace_back(terminationPriority(*process, group, groupDisplayName, candidatePIDs),
                            process);
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first > b.first;
        return a.second->pid < b.second->pid;
    });

    std::vector<int32_t> targets;
    std::unordered_set<int64_t> output;
    for (const auto& [priority, process] : ranked) {
        if (isValidTarget(process->pid) && output.insert(process->pid).second) {
            targets.push_back(static_cast<int32_t>(process->pid));
        }
    }
    return targets;
}

}  // namespace joulix::ProcessTerminationTargetResolver
