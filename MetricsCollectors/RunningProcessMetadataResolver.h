#pragma once
// For a pid: the executable path, the enclosing ".app" or ".xpc" bundle and that bundle's
// identifier, from the process table, the bundle's Info dictionary (through a bundle-identifier
// cache) and the running-application registry. Uncached apart from bundle identifiers; never
// fails: what cannot be found is absent.
#include "MetricsCollectors/BundleIdentifierCache.h"
#include "Platform/ProcessTable.h"
#include "Platform/RunningApplicationRegistry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

struct RunningProcessMetadata {
    std::optional<std::string> executablePath;
    std::optional<std::string> bundlePath;
    std::optional<std::string> bundleID;

    friend bool operator==(const RunningProcessMetadata&, const RunningProcessMetadata&) = default;
};

// An uncached metadata lookup, pid to metadata.
using RunningProcessMetadataLookup = std::function<std::optional<RunningProcessMetadata>(int32_t)>;

class RunningProcessMetadataResolver {
  public:
    explicit RunningProcessMetadataResolver(
        std::shared_ptr<const ProcessTable> processTable = systemProcessTable(),
        std::shared_ptr<const RunningApplicationRegistry> applications =
            systemRunningApplicationRegistry(),
        std::shared_ptr<const BundleInfoReader> bundles = systemBundleInfoReader());
    RunningProcessMetadataResolver(const RunningProcessMetadataResolver&) = delete;
    RunningProcessMetadataResolver& operator=(const RunningProcessMetadataResolver&) = delete;

    // Absent exactly when executable path, bundle path and identifier are all absent.
    std::optional<RunningProcessMetadata> resolve(int32_t pid) const;

    // The enclosing bundle of an executable path: the path itself when it ends in ".app" or
    // ".xpc", else the path up to the first ".app/" (or else ".xpc/"), any letter case.
    static std::optional<std::string> bundlePath(std::string_view executablePath);

    // The process-wide resolver on this machine's platform services.
    static const RunningProcessMetadataResolver& system();
    // A lookup function calling system().resolve.
    static RunningProcessMetadataLookup systemLookup();

  private:
    std::shared_ptr<const ProcessTable> processTable_;
    std::shared_ptr<const RunningApplicationRegistry> applications_;
    std::unique_ptr<BundleIdentifierCache> bundleIdentifierCache_;
};

}  // namespace joulix
