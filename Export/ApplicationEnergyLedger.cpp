#include "Export/ApplicationEnergyLedger.h"

#include <algorithm>

namespace joulix {
namespace {

// Groups beyond the top kept for ranking; the quiet ones with the least energy go first.
constexpr std::size_t minTrackedGroups = 1024;

double countedWatts(double watts) {
    return watts > 0 ? watts : 0;  // NaN and negative count 0
}

}  // namespace

ApplicationEnergyLedger::ApplicationEnergyLedger(std::size_t top) : top_(top) {}

void ApplicationEnergyLedger::record(double timestampS,
                                     const std::map<std::string, double>& wattsByGroup) {
    double gapS = 0;
    if (lastTimestampS_ && timestampS > *lastTimestampS_)
        gapS = std::min(timestampS - *lastTimestampS_, maxGapSeconds);
    if (!lastTimestampS_ || timestampS > *lastTimestampS_) lastTimestampS_ = timestampS;

    // Every group of the previous pass ends this interval at 0 W unless the pass lists it.
    std::unordered_map<std::string, double> intervalJ;
    for (auto& [name, group] : groups_) {
        const auto now = wattsByGroup.find(name);
        const double watts = now == wattsByGroup.end() ? 0 : countedWatts(now->second);
        intervalJ[name] = gapS * (group.watts + watts) / 2;
        group.watts = watts;
    }
    for (const auto& [name, watts] : wattsByGroup) {
        auto [entry, added] = groups_.try_emplace(name);
        if (!added) continue;
        entry->second.watts = countedWatts(watts);
        intervalJ[name] = gapS * entry->second.watts / 2;
    }
    for (const auto& [name, joules] : intervalJ)
        groups_[name].totalJ += joules;

    rank();
    otherWatts_ = 0;
    for (const auto& [name, joules] : intervalJ) {
        Group& group = groups_[name];
        if (group.inTop) {
            group.publishedJ += joules;
        } else {
            otherJ_ += joules;
            otherWatts_ += group.watts;
        }
    }
    forgetQuietGroups();
}

void ApplicationEnergyLedger::rank() {
    std::vector<std::pair<const std::string*, const Group*>> candidates;
    for (const auto& [name, group] : groups_) {
        if (name != otherName && (group.totalJ > 0 || group.watts > 0))
            candidates.emplace_back(&name, &group);
    }
    const auto before = [](const auto& a, const auto& b) {
        if (a.second->totalJ != b.second->totalJ) return a.second->totalJ > b.second->totalJ;
        if (a.second->watts != b.second->watts) return a.second->watts > b.second->watts;
        return *a.first < *b.first;
    };
    const std::size_t kept = std::min(top_, candidates.size());
    std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(kept),
                      candidates.end(), before);

    std::vector<std::string> names;
    for (std::size_t i = 0; i < kept; ++i)
        names.push_back(*candidates[i].first);
    for (const std::string& name : topNames_) {
        if (std::find(names.begin(), names.end(), name) != names.end()) continue;
        Group& leaving = groups_[name];
        otherJ_ += leaving.publishedJ;
        leaving.publishedJ = 0;
        leaving.inTop = false;
    }
    for (const std::string& name : names)
        groups_[name].inTop = true;
    topNames_ = std::move(names);
}

void ApplicationEnergyLedger::forgetQuietGroups() {
    const std::size_t limit = std::max(minTrackedGroups, 4 * top_);
    if (groups_.size() <= limit) return;
    std::vector<std::pair<double, std::string>> quiet;
    for (const auto& [name, group] : groups_) {
        if (!group.inTop && group.watts == 0) quiet.emplace_back(group.totalJ, name);
    }
    std::sort(quiet.begin(), quiet.end());
    for (std::size_t i = 0; i < quiet.size() && groups_.size() > limit; ++i)
        groups_.erase(quiet[i].second);
}

std::vector<ApplicationEnergyLedger::Series> ApplicationEnergyLedger::series() const {
    if (!lastTimestampS_) return {};
    std::vector<Series> result;
    for (const std::string& name : topNames_) {
        const Group& group = groups_.at(name);
        result.push_back({name, group.watts, group.publishedJ});
    }
    result.push_back({otherName, otherWatts_, otherJ_});
    return result;
}

}  // namespace joulix
