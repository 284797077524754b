#pragma once
// The naming context built from recent snapshots: the latest record per pid and per identity,
// the display and canonical names of every record (keyed by identity and by "pid-name"), and
// the aliases that name an executable leaf inside an application bundle after the best process
// carrying it. Built by ProcessAttributionPresentationService; a plain value.
#include "SharedModels/DrainSnapshot.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace joulix {

struct ProcessPresentationContext {
    // Lower-cased executable leaf → display name of the best process in a bundle carrying it.
    std::unordered_map<std::string, std::string> aliasByExecutableLeaf{};
    std::unordered_map<int64_t, ProcessDrain> latestProcessByPID{};
    // Keyed "pid-name" (ProcessDrain::id()).
    std::unordered_map<std::string, std::string> displayNameByProcessID{};
    std::unordered_map<std::string, std::string> canonicalNameByProcessID{};
    std::unordered_map<ProcessIdentity, ProcessDrain> latestProcessByIdentity{};
    std::unordered_map<ProcessIdentity, std::string> displayNameByIdentity{};
    std::unordered_map<ProcessIdentity, std::string> canonicalNameByIdentity{};
    std::unordered_map<std::string, int64_t> aliasScoreByExecutableLeaf{};
    // The keys of latestProcessByIdentity in the order first seen. Names are computed in this
    // order, so equal scores always resolve the same way and the same input gives the same names.
    std::vector<ProcessIdentity> identityOrder{};

    friend bool operator==(const ProcessPresentationContext&,
                           const ProcessPresentationContext&) = default;
};

}  // namespace joulix
