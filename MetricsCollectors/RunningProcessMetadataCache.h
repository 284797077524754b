#pragma once
// Process-wide cache of metadata lookups by pid. A found result lives `hitTTL` seconds, a
// not-found result `missTTL` seconds; every 64th store, or when the map outgrows `maxEntries`,
// entries older than `hitTTL` are dropped and the newest `maxEntries` kept. The lock guards only
// the map; the lookup runs unlocked, so concurrent misses of one pid both resolve. Results are
// shared, immutable values: a hit only takes a reference under the lock.
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "SharedModels/Date.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace joulix {

class RunningProcessMetadataCache {
  public:
    explicit RunningProcessMetadataCache(double hitTTL = 120, double missTTL = 15,
                                         std::size_t maxEntries = 4096);

    // The instance every sampler shares.
    static RunningProcessMetadataCache& shared();

    // The metadata of `pid`; null when the lookup found none.
    std::shared_ptr<const RunningProcessMetadata>
    resolve(int32_t pid, Date now, const RunningProcessMetadataLookup& using_);
    // What resolve gives for each pid, in order: the stored results are read under one hold of
    // the lock; only the pids they cannot answer are looked up (unlocked), then stored.
    std::vector<std::shared_ptr<const RunningProcessMetadata>>
    resolveAll(const std::vector<int32_t>& pids, Date now,
               const RunningProcessMetadataLookup& using_);
    // Number of stored entries, hits and misses.
    std::size_t entryCount();

  private:
    struct Entry {
        std::shared_ptr<const RunningProcessMetadata> metadata;
        double resolvedAtReference = 0;
    };

    // The stored result of `pid` while it is fresh, or nothing. Called with the lock held.
    std::optional<std::shared_ptr<const RunningProcessMetadata>> freshResult(int32_t pid,
                                                                             double t) const;
    // Stores a looked-up result, pruning as described above. Called with the lock held.
    void store(int32_t pid, std::shared_ptr<const RunningProcessMetadata> result, double t);
    static std::shared_ptr<const RunningProcessMetadata>
    lookUp(int32_t pid, const RunningProcessMetadataLookup& using_);
    void prune(double t);

    const double hitTTL_;
    const double missTTL_;
    const std::size_t maxEntries_;
    std::mutex lock_;
    std::unordered_map<int32_t, Entry> entries_;
    uint64_t accessCount_ = 0;
};

}  // namespace joulix
