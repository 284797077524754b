#include "MetricsCollectors/RunningProcessMetadataCache.h"

#include <algorithm>
#include <vector>

namespace joulix {

RunningProcessMetadataCache::RunningProcessMetadataCache(double hitTTL, double missTTL,
                                                         std::size_t maxEntries)
    : hitTTL_(hitTTL), missTTL_(missTTL), maxEntries_(maxEntries) {}

RunningProcessMetadataCache& RunningProcessMetadataCache::shared() {
    static RunningProcessMetadataCache cache;
    return cache;
}

std::optional<RunningProcessMetadata>
RunningProcessMetadataCache::resolve(int32_t pid, Date now,
                                     const RunningProcessMetadataLookup& using_) {
    const double t = now.timeIntervalSinceReferenceDate;
    {
        std::lock_guard guard(lock_);
        if (const auto found = entries_.find(pid); found != entries_.end()) {
            const double age = t - found->second.resolvedAtReference;
            const auto& metadata = found->second.metadata;
            if (metadata && age <= hitTTL_) return metadata;
            if (!metadata && age <= missTTL_) return std::nullopt;
        }
    }

    auto result = using_(pid);

    std::lock_guard guard(lock_);
    entries_[pid] = Entry{result, t};
    ++accessCount_;
    if (accessCount_ % 64 == 0 || entries_.size() > maxEntries_) prune(t);
    return result;
}

std::size_t RunningProcessMetadataCache::entryCount() {
    std::lock_guard guard(lock_);
    return entries_.size();
}

void RunningProcessMetadataCache::prune(double t) {
    std::erase_if(entries_,
                  [&](const auto& item) { return t - item.second.resolvedAtReference > hitTTL_; });
    if (entries_.size() <= maxEntries_) return;
    std::vector<std::pair<int32_t, Entry>> newestFirst(entries_.begin(), entries_.end());
    std::stable_sort(newestFirst.begin(), newestFirst.end(), [](const auto& a, const auto& b) {
        return a.second.resolvedAtReference > b.second.resolvedAtReference;
    });
    newestFirst.resize(maxEntries_);
    entries_ = std::unordered_map<int32_t, Entry>(newestFirst.begin(), newestFirst.end());
}

}  // namespace joulix
