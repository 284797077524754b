#pragma once
// The Prometheus metrics of the sampling passes, in base units, each with its help text:
//   joulix_power_watts{source}          the pass's total power; source "battery" (measured
//                                       discharge), "rapl" (RAPL package + display + USB),
//                                       "powermetrics" (its package + display + USB) or
//                                       "estimate" (display + USB estimates alone); absent
//                                       when the pass had no source
//   joulix_package_power_watts          package power, when a source measured it
//   joulix_on_battery                   1 on battery power, else 0
//   joulix_energy_joules_total          counters since the start: capped trapezoids (gaps of
//   joulix_battery_energy_joules_total  at most 60 s, negative means 0) between consecutive
//                                       measured passes; battery energy counts the intervals
//                                       ending on battery power
//   joulix_battery_*                    level, energy now, full and design energy, cycles,
//                                       time to empty or to full: only with a battery
//   joulix_app_power_watts{app}         the top groups by energy and "other"
//   joulix_app_energy_joules_total{app} (ApplicationEnergyLedger)
//   joulix_pass_duration_seconds        histogram of every pass, failed ones included
//   joulix_pass_failures_total          passes that failed; the last good figures stay
//   joulix_power_profile_info{profile}  1, while a power profile service answers
//   joulix_build_info{version}          1
// The pass thread records; scrapes collect. A pass publishes a complete new set of families at
// once, so a scrape sees one pass whole and takes the lock only to copy a pointer.
#include "Export/ApplicationEnergyLedger.h"
#include "MetricsCollectors/LiveAttributionInputBuilder.h"
#include "SharedModels/BatteryStatusSample.h"

#include <prometheus/collectable.h>
#include <prometheus/histogram.h>
#include <prometheus/metric_family.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

// What one good pass measured.
struct ExportedPass {
    double timestampS = 0;  // seconds since 1970
    double totalW = 0;
    AttributionBuildMetadata metadata{};
    std::optional<BatteryStatusSample> batteryStatus{};
    std::map<std::string, double> wattsByApplication{};  // by group name
};

class PrometheusPowerMetrics : public prometheus::Collectable {
  public:
    PrometheusPowerMetrics(std::string version, std::size_t topApplications);

    // Called by the one pass thread.
    void recordPass(const ExportedPass& pass, double durationS);
    void recordFailure(double durationS);
    // Published with the next pass or failure.
    void setPowerProfile(const std::optional<std::string>& profile);

    // The latest published families; safe from any thread.
    std::vector<prometheus::MetricFamily> Collect() const override;
    // The same in the text exposition format.
    std::string text() const;

    // The "source" label of a pass's total power; empty when it had none.
    static std::string powerSourceLabel(const AttributionBuildMetadata& metadata);

  private:
    void publish();

    const std::string version_;
    // State of the pass thread.
    ApplicationEnergyLedger applications_;
    std::optional<ExportedPass> last_;
    std::optional<double> lastMeasuredTimestampS_;
    double lastMeasuredW_ = 0;
    double energyJ_ = 0;
    double batteryEnergyJ_ = 0;
    double failures_ = 0;
    prometheus::Histogram passDuration_;
    std::optional<std::string> powerProfile_;

    mutable std::mutex lock_;  // guards published_
    std::shared_ptr<const std::vector<prometheus::MetricFamily>> published_;
};

}  // namespace joulix
