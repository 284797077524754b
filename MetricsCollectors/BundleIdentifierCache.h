#pragma once
// Bundle identifiers by bundle path, read from disk at most once per path for the life of the
// cache (absent answers are cached too). Thread-safe; the lock is held only around map access.
#include "Platform/BundleInfo.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace joulix {

class BundleIdentifierCache {
  public:
    explicit BundleIdentifierCache(
        std::shared_ptr<const BundleInfoReader> reader = systemBundleInfoReader());

    std::optional<std::string> bundleIdentifier(const std::string& bundlePath);

  private:
    std::shared_ptr<const BundleInfoReader> reader_;
    std::mutex lock_;
    std::map<std::string, std::optional<std::string>, std::less<>> byBundlePath_;
};

}  // namespace joulix
