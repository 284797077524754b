#pragma once
// Reads the identifier of the bundle at a path: CFBundleIdentifier of its Info dictionary
// (Contents/Info.plist, else Info.plist; XML or binary property list).
#include <memory>
#include <optional>
#include <string>

namespace joulix {

class BundleInfoReader {
  public:
    virtual ~BundleInfoReader() = default;
    // Absent when the bundle cannot be opened or names no identifier.
    virtual std::optional<std::string> bundleIdentifier(const std::string& bundlePath) const = 0;
};

std::shared_ptr<const BundleInfoReader> systemBundleInfoReader();

}  // namespace joulix
