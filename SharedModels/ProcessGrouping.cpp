// Annotation of snapshots and the folding of processes into visible application rows.
#include "SharedModels/ProcessAttributionPresentationService.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

namespace joulix::ProcessAttributionPresentationService {

namespace {

template <typename Map, typename Key>
const typename Map::mapped_type* lookUp(const Map& map, const Key& key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

bool isASCII(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Three-way comparison of the lower-cased texts; ASCII texts without building them.
int compareIgnoringCase(std::string_view a, std::string_view b) {
    if (isASCII(a) && isASCII(b)) {
        const auto n = std::min(a.size(), b.size());
        for (std::size_t i = 0; i < n; ++i) {
            const char x = asciiLower(a[i]), y = asciiLower(b[i]);
            if (x != y)
                return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        }
        return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    }
    const auto order = text::lowercased(a).compare(text::lowercased(b));
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return compareIgnoringCase(a, b) == 0;
}

// Annotation: the display name, the canonical name and the group key of one process.
ProcessDrain annotated(const ProcessDrain& process, const ProcessPresentationContext& context) {
    const ProcessIdentity identity{process.pid, process.name};
    const auto id = process.id();
    std::string displayName;
    if (const auto* name = lookUp(context.displayNameByIdentity, identity)) {
        displayName = *name;
    } else if (const auto* byID = lookUp(context.displayNameByProcessID, id)) {
        displayName = *byID;
    } else {
        displayName = storedDisplayName(process).value_or(process.processDisplayName());
    }

    std::string canonicalName;
    if (const auto* name = lookUp(context.canonicalNameByIdentity, identity)) {
        canonicalName = *name;
    } else if (const auto* byID = lookUp(context.canonicalNameByProcessID, id)) {
        canonicalName = *byID;
    } else {
        canonicalName = storedCanonicalName(process).value_or(displayName);
    }

    auto groupKey = storedProcessGroupKey(process);
    if (!groupKey) {
        const ProcessDrain* host = hostApplicationProcess(process, context.latestProcessByPID);
        groupKey = processGroupKeySource(host ? *host : process, canonicalName);
    }

    ProcessDrain result = process;
    result.displayName = std::move(displayName);
    result.canonicalName = std::move(canonicalName);
    result.processGroupKey = std::move(groupKey);
    return result;
}

// The name a process is grouped under in one snapshot.
std::string groupName(const ProcessDrain& process, const ProcessPresentationContext& context) {
    if (auto stored = storedCanonicalName(process)) return std::move(*stored);
    const ProcessIdentity identity{process.pid, process.name};
    if (const auto* name = lookUp(context.canonicalNameByIdentity, identity)) return *name;
    if (const auto* name = lookUp(context.displayNameByIdentity, identity)) return *name;
    if (const auto* name = lookUp(context.displayNameByProcessID, process.id())) return *name;
    return storedDisplayName(process).value_or(process.processDisplayName());
}

// The members of one group while grouping.
struct GroupAccumulator {
    ProcessDrain representative;
    int64_t representativeScore = 0;
    std::size_t representativeLength = 0;
    double drainW = 0;
    double energyShare = 0;
    std::set<std::string> sourceFlags;
    std::vector<ProcessDrain> members;
};

// A later member replaces the representative with a higher presentation score, then a longer
// name (in characters), then a smaller pid.
void offerRepresentative(GroupAccumulator& group, const ProcessDrain& candidate, bool isFirst) {
    const auto score = candidate.processPresentationScore();
    if (!isFirst) {
        if (score != group.representativeScore) {
            if (score < group.representativeScore) return;
        } else {
            const auto length = text::characterCount(candidate.name);
            if (length != group.representativeLength) {
                if (length < group.representativeLength) return;
            } else if (candidate.pid >= group.representative.pid) {
                return;
            }
        }
    }
    group.representative = candidate;
    group.representativeScore = score;
    group.representativeLength = text::characterCount(candidate.name);
}

// Groups in the order their names were first met.
struct Groups {
    std::vector<std::string> names;
    std::unordered_map<std::string, GroupAccumulator> byName;

    void add(std::string name, const ProcessDrain& process) {
        auto [entry, isNew] = byName.try_emplace(name);
        auto& group = entry->second;
        if (isNew) names.push_back(std::move(name));
        offerRepresentative(group, process, isNew);
        group.drainW += process.drainW;
        group.energyShare += process.energyShare;
        group.sourceFlags.insert(process.sourceFlags.begin(), process.sourceFlags.end());
        group.members.push_back(process);
    }
};

// The representative with the group's synthetic pid, sums and sorted flags.
ProcessDrain groupedRecord(const std::string& name, const GroupAccumulator& group) {
    ProcessDrain grouped = group.representative;
    grouped.pid = stableSyntheticPID(name);
    grouped.parentPID.reset();
    grouped.drainW = group.drainW;
    grouped.energyShare = group.energyShare;
    grouped.sourceFlags.assign(group.sourceFlags.begin(), group.sourceFlags.end());
    return grouped;
}

std::string visibleDisplayName(const ProcessDrain& process) {
    return storedDisplayName(process).value_or(process.processDisplayName());
}

bool isInsideBundle(const ProcessDrain& process) {
    return process.name.starts_with('/') && ProcessDrain::topLevelAppBundlePath(process.name);
}

// The member the row is shown as: the first in a bundle named like the group, else the best
// by presentation score, closeness of its display name to the group name, and smaller pid.
const ProcessDrain& bestVisibleRepresentativeSource(const std::string& name,
                                                    const std::vector<ProcessDrain>& members) {
    for (const auto& member : members) {
        if (isInsideBundle(member) && equalsIgnoringCase(visibleDisplayName(member), name)) {
            return member;
        }
    }
    const ProcessDrain* best = &members.front();
    auto bestScore = best->processPresentationScore();
    std::optional<int> bestOrder;  // computed when first needed
    for (auto candidate = members.begin() + 1; candidate != members.end(); ++candidate) {
        const auto candidateScore = candidate->processPresentationScore();
        if (bestScore != candidateScore) {
            if (candidateScore > bestScore) {
                best = &*candidate;
                bestScore = candidateScore;
                bestOrder.reset();
            }
            continue;
        }
        if (!bestOrder) bestOrder = compareIgnoringCase(best->processDisplayName(), name);
        const int candidateOrder = compareIgnoringCase(candidate->processDisplayName(), name);
        if (*bestOrder != candidateOrder ? *bestOrder != 0 : candidate->pid < best->pid) {
            best = &*candidate;
            bestOrder = candidateOrder;
        }
    }
    return *best;
}

ProcessDrain visibleRepresentative(const std::string& name, const ProcessDrain& grouped,
                                   const std::vector<ProcessDrain>& members) {
    const ProcessDrain& source = bestVisibleRepresentativeSource(name, members);
    ProcessDrain row = source;
    if (members.size() >= 2) {
        row.pid = grouped.pid;
        row.parentPID.reset();
    }
    if (isInsideBundle(source)) {
        row.name = *ProcessDrain::topLevelAppBundlePath(source.name);
    } else if (!equalsIgnoringCase(visibleDisplayName(source), name)) {
        row.name = name;
    }
    row.displayName = name;
    row.canonicalName = name;
    row.drainW = grouped.drainW;
    row.energyShare = grouped.energyShare;
    row.sourceFlags = grouped.sourceFlags;
    return row;
}

// The members behind a row: all but the one carrying the row's own id.
std::vector<ProcessDrain> subprocesses(const ProcessDrain& row,
                                       const std::vector<ProcessDrain>& members) {
    std::vector<ProcessDrain> result;
    result.reserve(members.size());
    const auto id = row.id();
    bool skipped = false;
    for (const auto& member : members) {
        if (!skipped && member.id() == id) {
            skipped = true;
            continue;
        }
        result.push_back(member);
    }
    return result;
}

// Largest first; a NaN counts as the smallest.
double sortingWatts(double watts) {
    return std::isnan(watts) ? -std::numeric_limits<double>::infinity() : watts;
}

void sortRows(std::vector<ProcessDrain>& rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        const double wattsA = sortingWatts(a.drainW), wattsB = sortingWatts(b.drainW);
        if (wattsA != wattsB) return wattsA > wattsB;
        return a.displayName < b.displayName;
    });
}

}  // namespace

DrainSnapshot annotateSnapshot(const DrainSnapshot& snapshot,
                               const ProcessPresentationContext& presentationContext) {
    DrainSnapshot result = snapshot;
    for (auto& process : result.processes)
        process = annotated(process, presentationContext);
    return result;
}

DrainSnapshot annotateSnapshot(const DrainSnapshot& snapshot,
                               std::span<const DrainSnapshot> recentSnapshots,
                               std::stop_token stop) {
    return annotateSnapshot(snapshot, makePresentationContext(recentSnapshots, std::move(stop)));
}

VisibleProcessGroupingResult
groupVisibleProcesses(const DrainSnapshot& snapshot,
                      const ProcessPresentationContext& presentationContext,
                      const std::unordered_map<std::string, double>& groupedWhByName) {
    Groups groups;
    for (const auto& process : snapshot.processes)
        groups.add(groupName(process, presentationContext), process);

    VisibleProcessGroupingResult result;
    result.processes.reserve(groups.names.size());
    for (const auto& name : groups.names) {
        const auto& group = groups.byName.at(name);
        auto row = visibleRepresentative(name, groupedRecord(name, group), group.members);
        const auto id = row.id();
        const auto* wh = lookUp(groupedWhByName, name);
        result.processWhByID[id] = wh ? *wh : 0;
        result.subprocessesByID[id] = subprocesses(row, group.members);
        result.processes.push_back(std::move(row));
    }
    sortRows(result.processes);
    return result;
}

std::vector<ProcessDrain> uniqueLatestProcesses(std::span<const DrainSnapshot> snapshots,
                                                std::stop_token stop) {
    std::vector<ProcessDrain> latest;
    std::unordered_map<ProcessIdentity, std::size_t> indexByIdentity;
    for (const auto& snapshot : snapshots) {
        if (stop.stop_requested()) break;
        for (const auto& process : snapshot.processes) {
            const auto [index, isNew] =
                indexByIdentity.try_emplace({process.pid, process.name}, latest.size());
            if (isNew) {
                latest.push_back(process);
            } else {
                latest[index->second] = process;
            }
        }
    }
    return latest;
}

UniqueProcessesResult
makeUniqueProcesses(std::span<const DrainSnapshot> snapshots,
                    const std::unordered_map<std::string, double>& processWhByID,
                    const std::unordered_map<std::string, double>& hiddenWhByID, double sampleHours,
                    const std::optional<DrainSnapshot>& fallbackSnapshot,
                    const ProcessPresentationContext& presentationContext, std::stop_token stop) {
    auto latest = uniqueLatestProcesses(snapshots, stop);
    if (latest.empty() && fallbackSnapshot) latest = fallbackSnapshot->processes;

    std::unordered_map<std::string, std::string> displayNameCache;
    const auto aliases =
        buildExecutableAliasMap(std::span<const ProcessDrain>(latest), displayNameCache);
    auto latestByPID = presentationContext.latestProcessByPID;
    for (const auto& process : latest)
        latestByPID.insert_or_assign(process.pid, process);

    Groups groups;
    for (const auto& process : latest) {
        std::optional<std::string> name = storedCanonicalName(process);
        if (!name) {
            if (const auto* canonical = lookUp(presentationContext.canonicalNameByIdentity,
                                               ProcessIdentity{process.pid, process.name})) {
                name = *canonical;
            }
        }
        if (!name) name = hostApplicationDisplayName(process, {}, latestByPID, displayNameCache);
        if (!name) {
            if (const auto* alias = lookUp(aliases, text::lowercased(executableLeaf(process)))) {
                name = *alias;
            }
        }
        if (!name) name = cachedDisplayName(process, displayNameCache);
        groups.add(std::move(*name), process);
    }

    UniqueProcessesResult result;
    for (const auto& name : groups.names) {
        const auto& group = groups.byName.at(name);
        double wh = 0;
        for (const auto& member : group.members) {
            if (const auto* memberWh = lookUp(processWhByID, member.id())) wh += *memberWh;
        }
        auto grouped = groupedRecord(name, group);
        if (sampleHours > 0) grouped.drainW = wh / sampleHours;
        auto row = visibleRepresentative(name, grouped, group.members);
        const auto id = row.id();
        result.processWhByID[id] = wh;
        result.subprocessesByID[id] = subprocesses(row, group.members);
        result.processes.push_back(std::move(row));
    }
    sortRows(result.processes);

    std::unordered_map<HiddenIdentity, std::size_t> hiddenIndex;
    for (const auto& snapshot : snapshots) {
        for (const auto& hidden : snapshot.hidden) {
            const auto [index, isNew] =
                hiddenIndex.try_emplace({hidden.kind, hidden.identifier}, result.hidden.size());
            if (isNew) {
                result.hidden.push_back(hidden);
            } else {
                result.hidden[index->second] = hidden;
            }
        }
    }
    for (auto& hidden : result.hidden) {
        const auto* wh = lookUp(hiddenWhByID, hidden.id());
        if (sampleHours > 0) hidden.drainW = (wh ? *wh : 0) / sampleHours;
    }
    std::stable_sort(result.hidden.begin(), result.hidden.end(), [](const auto& a, const auto& b) {
        const double wattsA = sortingWatts(a.drainW), wattsB = sortingWatts(b.drainW);
        if (wattsA != wattsB) return wattsA > wattsB;
        return a.id() < b.id();
    });
    return result;
}

std::unordered_map<std::string, double>
processWattsByDisplayName(const DrainSnapshot& snapshot,
                          const ProcessPresentationContext& presentationContext) {
    std::unordered_map<std::string, double> watts;
    for (const auto& process : snapshot.processes) {
        const ProcessIdentity identity{process.pid, process.name};
        std::string name;
        if (auto stored = storedCanonicalName(process)) {
            name = std::move(*stored);
        } else if (const auto* canonical =
                       lookUp(presentationContext.canonicalNameByIdentity, identity)) {
            name = *canonical;
        } else if (const auto* alias = lookUp(presentationContext.aliasByExecutableLeaf,
                                              text::lowercased(executableLeaf(process)))) {
            name = *alias;
        } else if (const auto* display =
                       lookUp(presentationContext.displayNameByIdentity, identity)) {
            name = *display;
        } else if (const auto* byID =
                       lookUp(presentationContext.displayNameByProcessID, process.id())) {
            name = *byID;
        } else {
            name = storedDisplayName(process).value_or(process.processDisplayName());
        }
        watts[name] += process.drainW;
    }
    return watts;
}

std::unordered_map<std::string, double>
processWattsByDisplayName(const DrainSnapshot& snapshot,
                          const std::unordered_map<std::string, std::string>& aliasByExecutableLeaf,
                          std::unordered_map<std::string, std::string>& displayNameCache) {
    std::unordered_map<std::string, double> watts;
    for (const auto& process : snapshot.processes) {
        std::string name;
        if (auto stored = storedCanonicalName(process)) {
            name = std::move(*stored);
        } else if (const auto* alias =
                       lookUp(aliasByExecutableLeaf, text::lowercased(executableLeaf(process)))) {
            name = *alias;
        } else {
            name = cachedDisplayName(process, displayNameCache);
        }
        watts[name] += process.drainW;
    }
    return watts;
}

}  // namespace joulix::ProcessAttributionPresentationService
