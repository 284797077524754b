#pragma once
// The registry of running applications by pid: the application's bundle path and identifier.
// Linux has no such registry, so the system one knows no application.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace joulix {

struct RunningApplication {
    std::optional<std::string> bundlePath;
    std::optional<std::string> bundleIdentifier;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

class RunningApplicationRegistry {
  public:
    virtual ~RunningApplicationRegistry() = default;
    virtual std::optional<RunningApplication> runningApplication(int32_t pid) const = 0;
};

std::shared_ptr<const RunningApplicationRegistry> systemRunningApplicationRegistry();

}  // namespace joulix
