#pragma once
// Low Power Mode on a machine without pmset: the power profile service's "power-saver" profile.
// On switches to it, remembering the profile it replaced; off switches back to that profile, or
// to "balanced" when this object never saw another. Each switch is read back, and only a profile
// that reads as asked is a success; the replies and log lines follow the pmset path's.
#include "JoulixDaemon/ServiceReply.h"
#include "Platform/PowerProfileService.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace joulix {

class PowerProfileLowPowerMode {
  public:
    explicit PowerProfileLowPowerMode(std::shared_ptr<const PowerProfileService> profiles)
        : profiles_(std::move(profiles)) {}

    ServiceReply apply(bool enabled);

  private:
    const std::shared_ptr<const PowerProfileService> profiles_;
    // Held for a whole switch, so that two requests never interleave their read, switch and
    // read-back, nor lose the remembered profile.
    std::mutex lock_;
    std::optional<std::string> profileBeforeOn_;
};

}  // namespace joulix
