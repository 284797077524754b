#pragma once
// Process-wide cache of metadata lookups by pid. A found result lives `hitTTL` seconds, a
// not-found result `missTTL` seconds; every 64th store, or when the map outgrows `maxEntries`,
// entries older than `hitTTL` are dropped and the newest `maxEntries` kept. The lock guards only
// the map; the lookup runs unlocked, so concurrent misses of one pid both resolve.
#include "MetricsCollectors/RunningProcessMetadataResolver.h"
#include "SharedModels/Date.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace joulix {

class RunningProcessMetadataCache {
  public:
    explicit RunningProcessMetadataCache(double hitTTL = 120, double missTTL = 15,
                                         std::size_t maxEntries = 4096);

    // The instance every sampler shares.
    static RunningProcessMetadataCache& shared();

    std::optional<RunningProcessMetadata> resolve(int32_t pid, Date now,
                                                  const RunningProcessMetadataLookup& using_);
    // Number of stored entries, hits and misses.
    std::size_t entryCount();

  private:
    struct Entry {
        std::optional<RunningProcessMetadata> metadata;
        double resolvedAtReference = 0;
    };

    void prune(double t);

    const double hitTTL_;
    const double missTTL_;
    const std::size_t maxEntries_;
    std::mutex lock_;
    std::unordered_map<int32_t, Entry> entries_;
    uint64_t accessCount_ = 0;
};

}  // namespace joulix
