// Naming of processes: seeds per record, executable aliases, preferred names per pid, host
// application names, and the context that holds them.
#include "SharedModels/ProcessAttributionPresentationService.h"

#include "SharedModels/AppleProcessDetector.h"
#include "SharedModels/PathText.h"
#include "SharedModels/Text.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

namespace joulix::ProcessAttributionPresentationService {

namespace {

// The steps up from a process towards its host application.
constexpr int hostSearchSteps = 8;

// What naming needs of one record, computed once.
struct PresentationSeed {
    const ProcessDrain* process;
    ProcessIdentity identity;
    std::string displayName;
    std::string executableLeafLowercased;
    int64_t representationScore;
    bool isThirdPartyApplicationAncestor;
};

using SeedByPID = std::unordered_map<int64_t, const PresentationSeed*>;

// 30 for a path inside an application bundle, 10 for another path, 3 for a bundle identifier,
// 1 for a positive pid.
int64_t representationScore(const ProcessDrain& process) {
    const bool isPath = path::isPath(process.name);
    const bool inBundle = isPath && ProcessDrain::topLevelAppBundlePath(process.name).has_value();
    int64_t score = inBundle ? 30 : isPath ? 10 : 0;
    if (process.bundleID && !process.bundleID->empty()) score += 3;
    if (process.pid >= 1) score += 1;
    return score;
}

PresentationSeed presentationSeed(const ProcessDrain& process) {
    return PresentationSeed{
        .process = &process,
        .identity = {process.pid, process.name},
        .displayName = process.processDisplayName(),
        .executableLeafLowercased = text::lowercased(executableLeaf(process)),
        .representationScore = representationScore(process),
        .isThirdPartyApplicationAncestor = !isAppleSide(process),
    };
}

struct ExecutableAliasData {
    std::unordered_map<std::string, std::string> aliases;
    std::unordered_map<std::string, int64_t> scores;

    // Names `leaf` after a process in a bundle unless an earlier one scored as high.
    void consider(const ProcessDrain& process, const std::string& leafLowercased,
                  const std::string& displayName, int64_t score) {
        if (!path::isPath(process.name) ||
            text::lowercased(process.name).find(".app/") == std::string::npos ||
            leafLowercased.empty() || displayName.empty()) {
            return;
        }
        const auto known = scores.find(leafLowercased);
        if (known != scores.end() && known->second >= score) return;
        aliases[leafLowercased] = displayName;
        scores[leafLowercased] = score;
    }
};

ExecutableAliasData buildExecutableAliasData(const std::vector<PresentationSeed>& seeds) {
    ExecutableAliasData data;
    for (const auto& seed : seeds) {
        data.consider(*seed.process, seed.executableLeafLowercased, seed.displayName,
                      seed.representationScore);
    }
    return data;
}

// The name of the first third-party ancestor of an Apple-side seed, within 8 steps.
std::optional<std::string>
hostApplicationDisplayName(const PresentationSeed& seed,
                           const std::unordered_map<int64_t, std::string>& preferredByPID,
                           const SeedByPID& latestSeedByPID) {
    if (!seed.process->parentPID || seed.isThirdPartyApplicationAncestor) return std::nullopt;
    std::unordered_set<int64_t> visited{seed.identity.pid};
    int64_t current = *seed.process->parentPID;
    for (int step = 0; step < hostSearchSteps; ++step) {
        const auto found = latestSeedByPID.find(current);
        if (visited.contains(current) || found == latestSeedByPID.end()) return std::nullopt;
        visited.insert(current);
        const PresentationSeed& ancestor = *found->second;
        if (ancestor.isThirdPartyApplicationAncestor) {
            const auto preferred = preferredByPID.find(current);
            return preferred != preferredByPID.end() ? preferred->second : ancestor.displayName;
        }
        if (!ancestor.process->parentPID) return std::nullopt;
        current = *ancestor.process->parentPID;
    }
    return std::nullopt;
}

// One name per pid: the host application's, the executable alias or the display name of the
// pid's best-scoring seed (the earliest among equals).
std::unordered_map<int64_t, std::string>
preferredDisplayNameByPID(const std::vector<PresentationSeed>& seeds,
                          const std::unordered_map<std::string, std::string>& aliasByExecutableLeaf,
                          const SeedByPID& latestSeedByPID) {
    std::unordered_map<int64_t, std::string> preferred;
    std::unordered_map<int64_t, int64_t> scoreByPID;
    for (const auto& seed : seeds) {
        auto name = hostApplicationDisplayName(seed, preferred, latestSeedByPID);
        if (!name) {
            const auto alias = aliasByExecutableLeaf.find(seed.executableLeafLowercased);
            name = alias != aliasByExecutableLeaf.end() ? alias->second : seed.displayName;
        }
        const auto [score, isNew] =
            scoreByPID.try_emplace(seed.identity.pid, seed.representationScore);
        if (!isNew && score->second >= seed.representationScore) continue;
        score->second = seed.representationScore;
        preferred[seed.identity.pid] = std::move(*name);
    }
    return preferred;
}

std::optional<std::string> storedText(const std::optional<std::string>& value) {
    if (!value) return std::nullopt;
    const auto trimmed = text::trim(*value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// Identities of a context assembled by hand, missing from its order, join it sorted by pid and
// name, so that naming still sees every record in an order that does not depend on hashing.
void completeIdentityOrder(ProcessPresentationContext& context) {
    if (context.identityOrder.size() >= context.latestProcessByIdentity.size()) return;
    const std::unordered_set<ProcessIdentity> ordered(context.identityOrder.begin(),
                                                      context.identityOrder.end());
    std::vector<ProcessIdentity> missing;
    for (const auto& [identity, process] : context.latestProcessByIdentity) {
        if (!ordered.contains(identity)) missing.push_back(identity);
    }
    std::sort(missing.begin(), missing.end(), [](const auto& a, const auto& b) {
        return std::tie(a.pid, a.name) < std::tie(b.pid, b.name);
    });
    context.identityOrder.insert(context.identityOrder.end(), missing.begin(), missing.end());
}

// Names every record held in `context`'s latest maps, in `context.identityOrder`.
ProcessPresentationContext makePresentationContext(ProcessPresentationContext context) {
    completeIdentityOrder(context);
    std::vector<PresentationSeed> seeds;
    seeds.reserve(context.identityOrder.size());
    std::unordered_map<ProcessIdentity, std::size_t> seedIndexByIdentity;
    for (const auto& identity : context.identityOrder) {
        const auto process = context.latestProcessByIdentity.find(identity);
        if (process == context.latestProcessByIdentity.end()) continue;
        seedIndexByIdentity.emplace(identity, seeds.size());
        seeds.push_back(presentationSeed(process->second));
    }
    SeedByPID latestSeedByPID;
    for (const auto& [pid, process] : context.latestProcessByPID) {
        const auto index = seedIndexByIdentity.find(ProcessIdentity{pid, process.name});
        if (index != seedIndexByIdentity.end()) latestSeedByPID.emplace(pid, &seeds[index->second]);
    }

    context.displayNameByIdentity.clear();
    context.displayNameByProcessID.clear();
    for (const auto& seed : seeds) {
        context.displayNameByIdentity[seed.identity] = seed.displayName;
        context.displayNameByProcessID[seed.process->id()] = seed.displayName;
    }

    auto [aliases, scores] = buildExecutableAliasData(seeds);
    const auto preferred = preferredDisplayNameByPID(seeds, aliases, latestSeedByPID);

    context.canonicalNameByIdentity.clear();
    context.canonicalNameByProcessID.clear();
    for (const auto& seed : seeds) {
        auto canonical = hostApplicationDisplayName(seed, preferred, latestSeedByPID);
        if (!canonical) {
            const auto byPID = preferred.find(seed.identity.pid);
            const auto alias = aliases.find(seed.executableLeafLowercased);
            if (byPID != preferred.end() && !byPID->second.empty()) {
                canonical = byPID->second;
            } else if (alias != aliases.end() && !alias->second.empty()) {
                canonical = alias->second;
            } else {
                canonical = seed.displayName;
            }
        }
        context.canonicalNameByIdentity[seed.identity] = *canonical;
        context.canonicalNameByProcessID[seed.process->id()] = std::move(*canonical);
    }
    context.aliasByExecutableLeaf = std::move(aliases);
    context.aliasScoreByExecutableLeaf = std::move(scores);
    return context;
}

}  // namespace

ProcessPresentationContext makePresentationContext(std::span<const DrainSnapshot> snapshots,
                                                   std::stop_token stop) {
    return appendingPresentationContext({}, snapshots, std::move(stop));
}

ProcessPresentationContext
makeLatestOnlyPresentationContext(std::span<const DrainSnapshot> snapshots, std::stop_token stop) {
    return appendingPresentationContext({}, snapshots, std::move(stop));
}

ProcessPresentationContext appendingPresentationContext(ProcessPresentationContext context,
                                                        std::span<const DrainSnapshot> snapshots,
                                                        std::stop_token stop) {
    for (const auto& snapshot : snapshots) {
        if (stop.stop_requested()) break;
        for (const auto& process : snapshot.processes) {
            context.latestProcessByPID.insert_or_assign(process.pid, process);
            ProcessIdentity identity{process.pid, process.name};
            const auto [entry, isNew] =
                context.latestProcessByIdentity.try_emplace(identity, process);
            if (isNew) {
                context.identityOrder.push_back(std::move(identity));
            } else {
                entry->second = process;
            }
        }
    }
    return makePresentationContext(std::move(context));
}

int64_t stableSyntheticPID(std::string_view text) {
    uint64_t hash = 0x14650fb0739d0383ULL;
    for (const char byte : text) {
        hash ^= static_cast<unsigned char>(byte);
        hash *= 0x100000001b3ULL;
    }
    return -1'000'000 - static_cast<int64_t>(hash % 2'000'000'000ULL);
}

std::string executableLeaf(const ProcessDrain& process) {
    const auto trimmed = text::trim(process.name);
    if (trimmed.empty()) return process.processDisplayName();
    if (!path::isPath(trimmed) && trimmed.size() >= 2 && trimmed.front() == '(' &&
        trimmed.back() == ')') {
        return std::string(trimmed.substr(1, trimmed.size() - 2));
    }
    return std::string(path::lastComponent(trimmed));
}

std::optional<std::string> storedDisplayName(const ProcessDrain& process) {
    return storedText(process.displayName);
}

std::optional<std::string> storedCanonicalName(const ProcessDrain& process) {
    return storedText(process.canonicalName);
}

std::optional<std::string> storedProcessGroupKey(const ProcessDrain& process) {
    return storedText(process.processGroupKey);
}

std::string processGroupKeySource(const ProcessDrain& process, std::string_view canonicalName) {
    const auto key = [](std::string_view prefix, std::string_view value) {
        return std::string(prefix) + text::lowercased(text::trim(value));
    };
    if (path::isPath(process.name)) {
        if (const auto bundle = ProcessDrain::topLevelAppBundlePath(process.name)) {
            if (process.bundleID && !text::isBlank(*process.bundleID)) {
                return key("bundle:", *process.bundleID);
            }
            if (!text::isBlank(*bundle)) return key("app:", *bundle);
        }
        if (!text::isBlank(process.name)) return key("exec:", process.name);
    }
    if (!text::isBlank(canonicalName)) return key("name:", canonicalName);
    return key("raw:", process.name);
}

bool isAppleSide(const ProcessDrain& process) {
    if (path::isPath(process.name)) {
        if (const auto bundle = ProcessDrain::topLevelAppBundlePath(process.name)) {
            return AppleProcessDetector::isAppleSystemProcess(*bundle, process.bundleID,
                                                              process.processDisplayName());
        }
    }
    if (process.bundleID) return text::lowercased(*process.bundleID).starts_with("com.apple.");
    return true;
}

const ProcessDrain*
hostApplicationProcess(const ProcessDrain& process,
                       const std::unordered_map<int64_t, ProcessDrain>& latestProcessByPID) {
    if (!process.parentPID || !isAppleSide(process)) return nullptr;
    std::unordered_set<int64_t> visited{process.pid};
    int64_t current = *process.parentPID;
    for (int step = 0; step < hostSearchSteps; ++step) {
        const auto found = latestProcessByPID.find(current);
        if (visited.contains(current) || found == latestProcessByPID.end()) return nullptr;
        visited.insert(current);
        const ProcessDrain& ancestor = found->second;
        if (!isAppleSide(ancestor)) return &ancestor;
        if (!ancestor.parentPID) return nullptr;
        current = *ancestor.parentPID;
    }
    return nullptr;
}

std::optional<std::string>
hostApplicationDisplayName(const ProcessDrain& process,
                           const std::unordered_map<int64_t, std::string>& preferredByPID,
                           const std::unordered_map<int64_t, ProcessDrain>& latestProcessByPID,
                           std::unordered_map<std::string, std::string>& displayNameCache) {
    const ProcessDrain* host = hostApplicationProcess(process, latestProcessByPID);
    if (!host) return std::nullopt;
    if (const auto preferred = preferredByPID.find(host->pid); preferred != preferredByPID.end()) {
        return preferred->second;
    }
    const auto [cached, isNew] = displayNameCache.try_emplace(host->id());
    if (isNew) cached->second = host->processDisplayName();
    return cached->second;
}

std::string cachedDisplayName(const ProcessDrain& process,
                              std::unordered_map<std::string, std::string>& displayNameCache) {
    const auto [cached, isNew] = displayNameCache.try_emplace(process.id());
    if (isNew) cached->second = storedDisplayName(process).value_or(process.processDisplayName());
    return cached->second;
}

namespace {
void addExecutableAliases(ExecutableAliasData& data, std::span<const ProcessDrain> processes,
                          std::unordered_map<std::string, std::string>& displayNameCache) {
    for (const auto& process : processes) {
        if (!path::isPath(process.name)) continue;
        data.consider(process, text::lowercased(executableLeaf(process)),
                      cachedDisplayName(process, displayNameCache), representationScore(process));
    }
}
}  // namespace

std::unordered_map<std::string, std::string>
buildExecutableAliasMap(std::span<const ProcessDrain> processes,
                        std::unordered_map<std::string, std::string>& displayNameCache) {
    ExecutableAliasData data;
    addExecutableAliases(data, processes, displayNameCache);
    return std::move(data.aliases);
}

std::unordered_map<std::string, std::string>
buildExecutableAliasMap(std::span<const DrainSnapshot> snapshots,
                        std::unordered_map<std::string, std::string>& displayNameCache) {
    ExecutableAliasData data;
    for (const auto& snapshot : snapshots)
        addExecutableAliases(data, snapshot.processes, displayNameCache);
    return std::move(data.aliases);
}

}  // namespace joulix::ProcessAttributionPresentationService
