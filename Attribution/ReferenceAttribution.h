#pragma once
// The command line's reference attribution: turns one pass's AttributionInput into a
// DrainSnapshot. The rules, in order:
// - Inputs are refused when negative or not finite: such a total, display, USB or CPU figure
//   counts as 0 and such powermetrics watts count as absent.
// - Components: the display and USB estimates, as `screenW` and `usbW`.
// - Process pool: the total minus display and USB, never negative.
// - A process with powermetrics package watts draws those watts ("powermetrics-package"); when
//   they add up to more than the pool they are scaled down to fit ("scaled-to-total").
// - Every other process draws its CPU share of what the pool has left ("cpu-share"); when the
//   CPU shares sum to zero, nothing is given out this way.
// - Only processes that draw more than 0 W are listed, busiest first.
// - A hidden workload draws its hosts' watts times their shares (each share within 0…1).
// - `unattributedW` = total − processes − components, never negative; `energyShare` = drain ÷
//   total (0 when the total is 0).
// - Telemetry and battery status are the pass's own; the power context comes from the battery
//   status (on battery = neither charging nor on external power), else from the telemetry
//   (on battery = the total was not assembled from components), else it is absent.
#include "SharedModels/BatteryStatusSample.h"
#include "SharedModels/DrainSnapshot.h"
#include "SharedModels/ProcessSample.h"

#include <optional>
#include <string_view>

namespace joulix::ReferenceAttribution {

inline constexpr std::string_view powermetricsPackageFlag = "powermetrics-package";
inline constexpr std::string_view cpuShareFlag = "cpu-share";
inline constexpr std::string_view scaledToTotalFlag = "scaled-to-total";

DrainSnapshot attribute(const AttributionInput& input,
                        const std::optional<SourceTelemetry>& telemetry,
                        const std::optional<BatteryStatusSample>& batteryStatus);

}  // namespace joulix::ReferenceAttribution
