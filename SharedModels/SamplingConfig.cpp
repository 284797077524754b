#include "SharedModels/SamplingConfig.h"

#include <algorithm>

namespace joulix {

std::string_view rawValue(SamplingMode mode) {
    switch (mode) {
    case SamplingMode::background:
        return "background";
    case SamplingMode::interactive:
        return "interactive";
    case SamplingMode::burst:
        return "burst";
    }
    return "background";
}

std::optional<SamplingMode> samplingModeFromRawValue(std::string_view raw) {
    for (const auto mode :
         {SamplingMode::background, SamplingMode::interactive, SamplingMode::burst}) {
        if (rawValue(mode) == raw) return mode;
    }
    return std::nullopt;
}

SamplingConfig::SamplingConfig(int64_t minIntervalSec_, int64_t maxIntervalSec_,
                               bool developerMode_, SamplingMode samplingMode_,
                               int64_t backgroundIntervalSec_, int64_t interactiveIntervalSec_,
                               int64_t burstIntervalSec_, int64_t powermetricsIntervalSec_,
                               int64_t hiddenRefreshIntervalSec_, int64_t usbRefreshIntervalSec_,
                               bool isOnBatteryPower_)
    : minIntervalSec(std::max<int64_t>(1, minIntervalSec_)),
      maxIntervalSec(std::max(minIntervalSec, maxIntervalSec_)), developerMode(developerMode_),
      samplingMode(samplingMode_),
      backgroundIntervalSec(std::max<int64_t>(1, backgroundIntervalSec_)),
      interactiveIntervalSec(std::max<int64_t>(1, interactiveIntervalSec_)),
      burstIntervalSec(std::max<int64_t>(1, burstIntervalSec_)),
      powermetricsIntervalSec(std::max<int64_t>(1, powermetricsIntervalSec_)),
      hiddenRefreshIntervalSec(std::max<int64_t>(30, hiddenRefreshIntervalSec_)),
      usbRefreshIntervalSec(std::max<int64_t>(30, usbRefreshIntervalSec_)),
      isOnBatteryPower(isOnBatteryPower_) {}

int64_t SamplingConfig::activeIntervalSec() const {
    switch (samplingMode) {
    case SamplingMode::background:
        return backgroundIntervalSec;
    case SamplingMode::interactive:
        return interactiveIntervalSec;
    case SamplingMode::burst:
        return burstIntervalSec;
    }
    return backgroundIntervalSec;
}

int64_t SamplingConfig::powermetricsCacheTTLSeconds() const {
    if (samplingMode == SamplingMode::background) return powermetricsIntervalSec;
    return std::clamp<int64_t>(powermetricsIntervalSec, 1, 10);
}

}  // namespace joulix
