#include "Export/PrometheusPowerMetrics.h"

#include "SharedModels/Text.h"

#include <prometheus/text_serializer.h>

#include <algorithm>
#include <sstream>

namespace joulix {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

constexpr double maxGapSeconds = 60;
constexpr double joulesPerWh = 3600;

// Pass durations: a pass runs `ps` and reads sysfs (tens of ms); powermetrics takes seconds.
const prometheus::Histogram::BucketBoundaries passDurationBuckets = {
    0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

ClientMetric metric(MetricType type, double value, std::vector<ClientMetric::Label> labels = {}) {
    ClientMetric result;
    result.label = std::move(labels);
    if (type == MetricType::Counter)
        result.counter.value = value;
    else
        result.gauge.value = value;
    return result;
}

class Families {
  public:
    void add(const std::string& name, const std::string& help, MetricType type,
             std::vector<ClientMetric> metrics) {
        if (metrics.empty()) return;
        families.push_back({name, help, type, std::move(metrics)});
    }
    void gauge(const std::string& name, const std::string& help, std::optional<double> value) {
        if (value) add(name, help, MetricType::Gauge, {metric(MetricType::Gauge, *value)});
    }
    void counter(const std::string& name, const std::string& help, double value) {
        add(name, help, MetricType::Counter, {metric(MetricType::Counter, value)});
    }

    std::vector<MetricFamily> families;
};

std::optional<double> scaled(std::optional<double> value, double factor) {
    if (!value) return std::nullopt;
    return *value * factor;
}

// Energy at a charge, from the energy now and the charge now: sysfs and the battery controller
// give charges in mAh, and the ratio of energy to charge now carries the voltage basis to use.
std::optional<double> energyAtCharge(const BatteryStatusSample& battery,
                                     std::optional<int64_t> chargeMah) {
    if (!battery.remainingWh || !battery.currentCapacityMah || *battery.currentCapacityMah <= 0 ||
        !chargeMah || *chargeMah <= 0)
        return std::nullopt;
    return *battery.remainingWh * joulesPerWh * static_cast<double>(*chargeMah) /
           static_cast<double>(*battery.currentCapacityMah);
}

void addBattery(Families& out, const BatteryStatusSample& battery) {
    out.gauge("joulix_battery_level_ratio", "Battery charge level (0 to 1).",
              battery.levelPercent ? std::optional(*battery.levelPercent / 100) : std::nullopt);
    out.gauge("joulix_battery_energy_joules", "Energy left in the battery.",
              scaled(battery.remainingWh, joulesPerWh));
    out.gauge("joulix_battery_full_energy_joules", "Energy of the battery when full, as it is now.",
              energyAtCharge(battery, battery.maxCapacityMah));
    out.gauge("joulix_battery_design_energy_joules",
              "Energy of the battery when full, as designed.",
              energyAtCharge(battery, battery.designCapacityMah));
    if (battery.cycleCount)
        out.gauge("joulix_battery_cycles", "Charge cycles the battery reports.",
                  static_cast<double>(*battery.cycleCount));
    const auto seconds =
        scaled(battery.systemTimeRemainingMinutes
                   ? std::optional<double>(static_cast<double>(*battery.systemTimeRemainingMinutes))
                   : std::nullopt,
               60);
    if (!battery.isCharging && !battery.externalPowerConnected)
        out.gauge("joulix_battery_time_to_empty_seconds",
                  "Time until the battery is empty at the present drain.", seconds);
    if (battery.isCharging)
        out.gauge("joulix_battery_time_to_full_seconds", "Time until the battery is full.",
                  seconds);
}

}  // namespace

PrometheusPowerMetrics::PrometheusPowerMetrics(std::string version, std::size_t topApplications)
    : version_(std::move(version)), applications_(topApplications),
      passDuration_(passDurationBuckets) {
    publish();
}

std::string PrometheusPowerMetrics::powerSourceLabel(const AttributionBuildMetadata& metadata) {
    const std::string& source = metadata.totalPowerSource;
    if (source == "power_supply" || source == "IOKit") return "battery";
    if (source == "RAPL-Package+Components") return "rapl";
    if (source == "PM-Package+Components") return "powermetrics";
    if (source == "Estimate-Display+USB") return "estimate";
    return {};
}

void PrometheusPowerMetrics::recordPass(const ExportedPass& pass, double durationS) {
    passDuration_.Observe(durationS);
    // Energy runs between passes whose total was measured; a pass without a source is a gap.
    if (!powerSourceLabel(pass.metadata).empty()) {
        if (lastMeasuredTimestampS_ && pass.timestampS > *lastMeasuredTimestampS_) {
            const double gapS = std::min(pass.timestampS - *lastMeasuredTimestampS_, maxGapSeconds);
            const double joules = gapS * std::max(0.0, (lastMeasuredW_ + pass.totalW) / 2);
            energyJ_ += joules;
            if (pass.metadata.isOnBatteryPower) batteryEnergyJ_ += joules;
        }
        lastMeasuredTimestampS_ = pass.timestampS;
        lastMeasuredW_ = pass.totalW;
    }
    std::map<std::string, double> wattsByApplication;
    for (const auto& [name, watts] : pass.wattsByApplication)
        wattsByApplication[text::repairUTF8(name)] += watts;
    applications_.record(pass.timestampS, wattsByApplication);
    last_ = pass;
    publish();
}

void PrometheusPowerMetrics::recordFailure(double durationS) {
    passDuration_.Observe(durationS);
    ++failures_;
    publish();
}

void PrometheusPowerMetrics::setPowerProfile(const std::optional<std::string>& profile) {
    powerProfile_ = profile ? std::optional(text::repairUTF8(*profile)) : std::nullopt;
}

void PrometheusPowerMetrics::publish() {
    Families out;
    if (last_) {
        const std::string source = powerSourceLabel(last_->metadata);
        if (!source.empty())
            out.add("joulix_power_watts",
                    "Power the machine draws, by the source that measured it.", MetricType::Gauge,
                    {metric(MetricType::Gauge, last_->totalW, {{"source", source}})});
        out.gauge("joulix_package_power_watts", "Power of the processor package.",
                  last_->metadata.packageW);
        out.gauge("joulix_on_battery", "1 while the machine runs on battery power, else 0.",
                  last_->metadata.isOnBatteryPower ? 1 : 0);
        out.counter("joulix_energy_joules_total",
                    "Energy the machine drew since the exporter started.", energyJ_);
        out.counter("joulix_battery_energy_joules_total",
                    "Energy the machine drew on battery power since the exporter started.",
                    batteryEnergyJ_);
        if (last_->batteryStatus) addBattery(out, *last_->batteryStatus);
        std::vector<ClientMetric> watts;
        std::vector<ClientMetric> joules;
        for (const auto& series : applications_.series()) {
            watts.push_back(metric(MetricType::Gauge, series.watts, {{"app", series.app}}));
            joules.push_back(metric(MetricType::Counter, series.joules, {{"app", series.app}}));
        }
        out.add("joulix_app_power_watts",
                "Power of the applications with the most energy; the rest under app=\"other\".",
                MetricType::Gauge, std::move(watts));
        out.add("joulix_app_energy_joules_total",
                "Energy of the applications with the most energy; the rest under app=\"other\".",
                MetricType::Counter, std::move(joules));
    }
    out.add("joulix_pass_duration_seconds", "Duration of the sampling passes.",
            MetricType::Histogram, {passDuration_.Collect()});
    out.counter("joulix_pass_failures_total", "Sampling passes that failed.", failures_);
    if (powerProfile_)
        out.add("joulix_power_profile_info", "The active power profile.", MetricType::Gauge,
                {metric(MetricType::Gauge, 1, {{"profile", *powerProfile_}})});
    out.add("joulix_build_info", "The exporter's version.", MetricType::Gauge,
            {metric(MetricType::Gauge, 1, {{"version", version_}})});

    auto families = std::make_shared<const std::vector<MetricFamily>>(std::move(out.families));
    const std::lock_guard guard(lock_);
    published_ = std::move(families);
}

std::vector<MetricFamily> PrometheusPowerMetrics::Collect() const {
    std::shared_ptr<const std::vector<MetricFamily>> families;
    {
        const std::lock_guard guard(lock_);
        families = published_;
    }
    return *families;
}

std::string PrometheusPowerMetrics::text() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, Collect());
    return out.str();
}

}  // namespace joulix
