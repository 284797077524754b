#include "MetricsCollectors/BundleIdentifierCache.h"

namespace joulix {

BundleIdentifierCache::BundleIdentifierCache(std::shared_ptr<const BundleInfoReader> reader)
    : reader_(std::move(reader)) {}

std::optional<std::string> BundleIdentifierCache::bundleIdentifier(const std::string& bundlePath) {
    {
        std::lock_guard guard(lock_);
        if (const auto found = byBundlePath_.find(bundlePath); found != byBundlePath_.end()) {
            return found->second;
        }
    }
    // Read outside the lock: two threads that miss at once both read, the later store wins.
    auto identifier = reader_->bundleIdentifier(bundlePath);
    std::lock_guard guard(lock_);
    byBundlePath_[bundlePath] = identifier;
    return identifier;
}

}  // namespace joulix
