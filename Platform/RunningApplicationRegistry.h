#pragma once
// The registry of running applications by pid: the application's bundle path, identifier and
// name. On Linux a pid belongs to the desktop application whose systemd unit holds it (from
// /proc/PID/cgroup: application scopes and services "app-[LAUNCHER-]APP_ID-RANDOM.scope" and
// "app-[LAUNCHER-]APP_ID[@RANDOM].service", Flatpak "app-flatpak-APP_ID-N.scope", Snap
// "snap.NAME.APP-RANDOM.scope"); its application ID is the bundle identifier, and its name comes
// from the APP_ID.desktop file of the XDG data directories when one is found. Linux has no
// application bundles: the bundle path stays absent.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace joulix {

struct RunningApplication {
    std::optional<std::string> bundlePath;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> localizedName;

    friend bool operator==(const RunningApplication&, const RunningApplication&) = default;
};

class RunningApplicationRegistry {
  public:
    virtual ~RunningApplicationRegistry() = default;
    virtual std::optional<RunningApplication> runningApplication(int32_t pid) const = 0;
};

std::shared_ptr<const RunningApplicationRegistry> systemRunningApplicationRegistry();

// The registry over a procfs tree and the given data directories (each searched for
// applications/APP_ID.desktop, in order).
std::shared_ptr<const RunningApplicationRegistry>
makeCgroupApplicationRegistry(std::string procRoot, std::vector<std::string> dataDirectories);

// The application ID of the innermost application unit named by the contents of a
// /proc/PID/cgroup file; absent when the process runs in none.
std::optional<std::string> applicationIDFromCgroup(std::string_view cgroupFile);

}  // namespace joulix
