#pragma once
// The sampling configuration shared by the application and the daemon. The constructor applies
// the lower bounds (no upper bounds); the JSON form is SnapshotCodec's.
#include <cstdint>
#include <optional>
#include <string_view>

namespace joulix {

enum class SamplingMode { background, interactive, burst };

std::string_view rawValue(SamplingMode mode);
std::optional<SamplingMode> samplingModeFromRawValue(std::string_view raw);

struct SamplingConfig {
    int64_t minIntervalSec = 5;
    int64_t maxIntervalSec = 30;
    bool developerMode = false;
    SamplingMode samplingMode = SamplingMode::background;
    int64_t backgroundIntervalSec = 20;
    int64_t interactiveIntervalSec = 8;
    int64_t burstIntervalSec = 8;
    int64_t powermetricsIntervalSec = 30;
    int64_t hiddenRefreshIntervalSec = 300;
    int64_t usbRefreshIntervalSec = 300;
    bool isOnBatteryPower = true;

    // The standard configuration: every field at its default.
    SamplingConfig() = default;
    // Memberwise, in declared order, with the lower bounds applied.
    SamplingConfig(int64_t minIntervalSec, int64_t maxIntervalSec, bool developerMode,
                   SamplingMode samplingMode, int64_t backgroundIntervalSec,
                   int64_t interactiveIntervalSec, int64_t burstIntervalSec,
                   int64_t powermetricsIntervalSec, int64_t hiddenRefreshIntervalSec,
                   int64_t usbRefreshIntervalSec, bool isOnBatteryPower);

    int64_t activeIntervalSec() const;
    int64_t powermetricsCacheTTLSeconds() const;
    bool isOnBattery() const { return isOnBatteryPower; }

    friend bool operator==(const SamplingConfig&, const SamplingConfig&) = default;
};

}  // namespace joulix
