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

std::shared_ptr<const RunningProcessMetadata>
RunningProcessMetadataCache::resolve(int32_t pid, Date now,
                                     const RunningProcessMetadataLookup& using_) {
    const double t = now.timeIntervalSinceReferenceDate;
    {
        std::lock_guard guard(lock_);
        if (auto stored = freshResult(pid, t)) return std::move(*stored);
    }
    auto result = lookUp(pid, using_);
    std::lock_guard guard(lock_);
    store(pid, result, t);
    return result;
}

std::vector<std::shared_ptr<const RunningProcessMetadata>>
RunningProcessMetadataCache::resolveAll(const std::vector<int32_t>& pids, Date now,
                                        const RunningProcessMetadataLookup& using_) {
    const double t = now.timeIntervalSinceReferenceDate;
    std::vector<std::shared_ptr<const RunningProcessMetadata>> results(pids.size());
    std::vector<std::size_t> missing;
    {
        std::lock_guard guard(lock_);
        for (std::size_t i = 0; i < pids.size(); ++i) {
            if (auto stored = freshResult(pids[i], t)) {
                results[i] = std::move(*stored);
            } else {
                missing.push_back(i);
            }
        }
    }
    if (missing.empty()) return results;
    // A pid listed twice is looked up and stored once, as resolving the pids in turn would.
    std::unordered_map<int32_t, std::size_t> firstMiss;
    std::vector<std::size_t> lookedUp;
    for (const auto i : missing) {
        const auto [first, isNew] = firstMiss.try_emplace(pids[i], i);
        if (isNew) {
            results[i] = lookUp(pids[i], using_);
            lookedUp.push_back(i);
        } else {
            results[i] = results[first->second];
        }
    }
    std::lock_guard guard(lock_);
    for (const auto i : lookedUp)
        store(pids[i], results[i], t);
    return results;
}

std::optional<std::shared_ptr<const RunningProcessMetadata>>
RunningProcessMetadataCache::freshResult(int32_t pid, double t) const {
    const auto found = entries_.find(pid);
    if (found == entries_.end()) return std::nullopt;
    const double age = t - found->second.resolvedAtReference;
    const auto& metadata = found->second.metadata;
    if (age <= (metadata ? hitTTL_ : missTTL_)) return metadata;
    return std::nullopt;
}

void RunningProcessMetadataCache::store(int32_t pid,
                                        std::shared_ptr<const RunningProcessMetadata> result,
                                        double t) {
    entries_[pid] = Entry{std::move(result), t};
    ++accessCount_;
    if (accessCount_ % 64 == 0 || entries_.size() > maxEntries_) prune(t);
}

std::shared_ptr<const RunningProcessMetadata>
RunningProcessMetadataCache::lookUp(int32_t pid, const RunningProcessMetadataLookup& using_) {
    auto found = using_(pid);
    if (!found) return nullptr;
    return std::make_shared<const RunningProcessMetadata>(std::move(*found));
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
