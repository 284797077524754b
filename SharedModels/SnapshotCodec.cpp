#include "SharedModels/SnapshotCodec.h"

#include "SharedModels/DecodingError.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace joulix {

namespace {

// A key path built on the stack while walking a record; rendered as text only for an error.
struct Path {
    const Path* parent = nullptr;
    std::string_view key;
    std::size_t index = 0;
    bool isIndex = false;
    bool nonFiniteAsNull = false;  // set on the root only

    Path operator/(std::string_view childKey) const { return {this, childKey, 0, false}; }
    Path operator[](std::size_t childIndex) const { return {this, {}, childIndex, true}; }
    bool writesNonFiniteAsNull() const {
        return parent ? parent->writesNonFiniteAsNull() : nonFiniteAsNull;
    }

    std::string render() const {
        std::string text = parent ? parent->render() : std::string();
        if (isIndex) {
            text += '[' + std::to_string(index) + ']';
        } else if (!key.empty()) {
            if (!text.empty()) text += '.';
            text += key;
        }
        return text;
    }
};

std::string numberText(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

EncodingError::EncodingError(const std::string& keyPath, double value)
    : Error("Unable to encode " + numberText(value) + " directly in JSON at key \"" + keyPath +
            "\""),
      keyPath_(keyPath) {}

namespace {

// ---- The records' fields ----------------------------------------------------------------------
//
// Each record's JSON form is one list of its fields, used by the encoder and the decoder alike:
// the key, the member, and what a reader does when the key is missing. An optional member that
// is absent is not written; every other member always is.

enum class Rule {
    required,  // a missing key is an error
    optional,  // a missing or null key leaves the std::optional member absent
    lenient,   // a missing or null key keeps the member's default value
};

template <Rule rule, typename Record, typename Member> struct Field {
    std::string_view key;
    Member Record::*member;
};

template <typename Record, typename Member>
constexpr Field<Rule::required, Record, Member> required(std::string_view key,
                                                         Member Record::*member) {
    return {key, member};
}
template <typename Record, typename Member>
constexpr Field<Rule::optional, Record, std::optional<Member>>
optional(std::string_view key, std::optional<Member> Record::*member) {
    return {key, member};
}
template <typename Record, typename Member>
constexpr Field<Rule::lenient, Record, Member> lenient(std::string_view key,
                                                       Member Record::*member) {
    return {key, member};
}

// Fields<Record>::list: the fields in declared order (the order of the keys in the JSON).
template <typename Record> struct Fields;
template <typename Record>
concept Described = requires {
    Fields<Record>::list;
};

template <> struct Fields<ProcessSample> {
    static constexpr auto list = std::tuple{
        required("pid", &ProcessSample::pid),
        optional("parentPID", &ProcessSample::parentPID),
        optional("responsiblePID", &ProcessSample::responsiblePID),
        required("name", &ProcessSample::name),
        optional("bundleID", &ProcessSample::bundleID),
        optional("powermetricsPackageW", &ProcessSample::powermetricsPackageW),
        optional("powermetricsCPUW", &ProcessSample::powermetricsCPUW),
        optional("powermetricsGPUW", &ProcessSample::powermetricsGPUW),
        lenient("powermetricsGPUFallbackAllocated",
                &ProcessSample::powermetricsGPUFallbackAllocated),
        lenient("residentMemoryBytes", &ProcessSample::residentMemoryBytes),
        lenient("cpuPercent", &ProcessSample::cpuPercent),
        lenient("cpuTimeDeltaNs", &ProcessSample::cpuTimeDeltaNs),
        lenient("samplingIntervalMs", &ProcessSample::samplingIntervalMs),
        lenient("gpuTimeMs", &ProcessSample::gpuTimeMs),
        lenient("diskReadBytes", &ProcessSample::diskReadBytes),
        lenient("diskWriteBytes", &ProcessSample::diskWriteBytes),
        lenient("networkSentBytes", &ProcessSample::networkSentBytes),
        lenient("networkRecvBytes", &ProcessSample::networkRecvBytes),
    };
};

template <> struct Fields<HiddenWorkloadHostShare> {
    static constexpr auto list = std::tuple{
        required("pid", &HiddenWorkloadHostShare::pid),
        required("share", &HiddenWorkloadHostShare::share),
    };
};

template <> struct Fields<HiddenWorkloadMapping> {
    static constexpr auto list = std::tuple{
        required("kind", &HiddenWorkloadMapping::kind),
        required("identifier", &HiddenWorkloadMapping::identifier),
        required("hostShares", &HiddenWorkloadMapping::hostShares),
    };
};

template <> struct Fields<AttributionInput> {
    static constexpr auto list = std::tuple{
        required("timestamp", &AttributionInput::timestamp),
        required("totalDischargeW", &AttributionInput::totalDischargeW),
        required("processes", &AttributionInput::processes),
        required("hiddenMappings", &AttributionInput::hiddenMappings),
        required("screenModelW", &AttributionInput::screenModelW),
        required("usbModelW", &AttributionInput::usbModelW),
        required("developerMode", &AttributionInput::developerMode),
    };
};

template <> struct Fields<HiddenDrain> {
    static constexpr auto list = std::tuple{
        required("kind", &HiddenDrain::kind),
        required("identifier", &HiddenDrain::identifier),
        required("drainW", &HiddenDrain::drainW),
    };
};

template <> struct Fields<ProcessDrain> {
    static constexpr auto list = std::tuple{
        required("pid", &ProcessDrain::pid),
        optional("parentPID", &ProcessDrain::parentPID),
        required("name", &ProcessDrain::name),
        optional("bundleID", &ProcessDrain::bundleID),
        optional("displayName", &ProcessDrain::displayName),
        optional("canonicalName", &ProcessDrain::canonicalName),
        optional("processGroupKey", &ProcessDrain::processGroupKey),
        required("drainW", &ProcessDrain::drainW),
        required("energyShare", &ProcessDrain::energyShare),
        optional("rawCPUPercent", &ProcessDrain::rawCPUPercent),
        optional("cpuCapacityFraction", &ProcessDrain::cpuCapacityFraction),
        optional("cpuAttributedW", &ProcessDrain::cpuAttributedW),
        optional("ramAttributedW", &ProcessDrain::ramAttributedW),
        required("sourceFlags", &ProcessDrain::sourceFlags),
    };
};

template <> struct Fields<ComponentDrain> {
    static constexpr auto list = std::tuple{
        lenient("screenW", &ComponentDrain::screenW),
        lenient("usbW", &ComponentDrain::usbW),
        lenient("cpuW", &ComponentDrain::cpuW),
        lenient("gpuW", &ComponentDrain::gpuW),
        lenient("aneW", &ComponentDrain::aneW),
        lenient("dramW", &ComponentDrain::dramW),
        lenient("memoryFabricW", &ComponentDrain::memoryFabricW),
        lenient("ramW", &ComponentDrain::ramW),
        lenient("pciW", &ComponentDrain::pciW),
        optional("confidence", &ComponentDrain::confidence),
    };
};

template <> struct Fields<SourceTelemetry> {
    static constexpr auto list = std::tuple{
        required("powermetricsCommandOK", &SourceTelemetry::powermetricsCommandOK),
        required("powermetricsParsedProcessCount",
                 &SourceTelemetry::powermetricsParsedProcessCount),
        required("powermetricsHasPackagePower", &SourceTelemetry::powermetricsHasPackagePower),
        required("powermetricsHasSystemPower", &SourceTelemetry::powermetricsHasSystemPower),
        required("usedEstimatedTotalPower", &SourceTelemetry::usedEstimatedTotalPower),
        required("screenModelAvailable", &SourceTelemetry::screenModelAvailable),
        required("usbModelAvailable", &SourceTelemetry::usbModelAvailable),
    };
};

template <> struct Fields<PowerUsageContext> {
    static constexpr auto list = std::tuple{
        required("onBatteryPower", &PowerUsageContext::onBatteryPower),
        optional("batteryLevelPercent", &PowerUsageContext::batteryLevelPercent),
    };
};

template <> struct Fields<BatteryStatusSample> {
    static constexpr auto list = std::tuple{
        optional("levelPercent", &BatteryStatusSample::levelPercent),
        optional("remainingWh", &BatteryStatusSample::remainingWh),
        required("isCharging", &BatteryStatusSample::isCharging),
        required("externalPowerConnected", &BatteryStatusSample::externalPowerConnected),
        optional("systemTimeRemainingMinutes", &BatteryStatusSample::systemTimeRemainingMinutes),
        optional("dischargeWatts", &BatteryStatusSample::dischargeWatts),
        optional("cycleCount", &BatteryStatusSample::cycleCount),
        optional("voltageMV", &BatteryStatusSample::voltageMV),
        optional("amperageMa", &BatteryStatusSample::amperageMa),
        optional("temperatureCentiC", &BatteryStatusSample::temperatureCentiC),
        optional("designCapacityMah", &BatteryStatusSample::designCapacityMah),
        optional("maxCapacityMah", &BatteryStatusSample::maxCapacityMah),
        optional("currentCapacityMah", &BatteryStatusSample::currentCapacityMah),
        optional("nominalChargeCapacityMah", &BatteryStatusSample::nominalChargeCapacityMah),
        optional("designCycleCount", &BatteryStatusSample::designCycleCount),
        optional("serialNumber", &BatteryStatusSample::serialNumber),
        optional("deviceName", &BatteryStatusSample::deviceName),
        optional("fullyCharged", &BatteryStatusSample::fullyCharged),
        optional("isACPowered", &BatteryStatusSample::isACPowered),
        optional("adapterWatts", &BatteryStatusSample::adapterWatts),
        optional("adapterName", &BatteryStatusSample::adapterName),
    };
};

template <> struct Fields<DrainSnapshot> {
    static constexpr auto list = std::tuple{
        required("timestamp", &DrainSnapshot::timestamp),
        required("totalDischargeW", &DrainSnapshot::totalDischargeW),
        required("processes", &DrainSnapshot::processes),
        required("hidden", &DrainSnapshot::hidden),
        required("components", &DrainSnapshot::components),
        required("unattributedW", &DrainSnapshot::unattributedW),
        optional("telemetry", &DrainSnapshot::telemetry),
        optional("powerContext", &DrainSnapshot::powerContext),
        optional("batteryStatus", &DrainSnapshot::batteryStatus),
    };
};

template <> struct Fields<ChartPoint> {
    static constexpr auto list = std::tuple{
        required("timestamp", &ChartPoint::timestamp),
        required("xOffset", &ChartPoint::xOffset),
        required("y", &ChartPoint::y),
    };
};

template <> struct Fields<ChartSeries> {
    static constexpr auto list = std::tuple{
        required("id", &ChartSeries::id),
        required("label", &ChartSeries::label),
        required("points", &ChartSeries::points),
    };
};

template <> struct Fields<ProcessGroup> {
    static constexpr auto list = std::tuple{
        required("id", &ProcessGroup::id),
        required("canonicalName", &ProcessGroup::canonicalName),
        required("totalDrainW", &ProcessGroup::totalDrainW),
        required("totalEnergyWh", &ProcessGroup::totalEnergyWh),
        required("iconProcess", &ProcessGroup::iconProcess),
        required("processes", &ProcessGroup::processes),
    };
};

template <> struct Fields<ComponentAverages> {
    static constexpr auto list = std::tuple{
        required("totalW", &ComponentAverages::totalW),
        required("processW", &ComponentAverages::processW),
        required("screenW", &ComponentAverages::screenW),
        required("usbW", &ComponentAverages::usbW),
        required("unattributedW", &ComponentAverages::unattributedW),
        required("cpuW", &ComponentAverages::cpuW),
        required("gpuW", &ComponentAverages::gpuW),
        required("aneW", &ComponentAverages::aneW),
        required("ramW", &ComponentAverages::ramW),
        required("pciW", &ComponentAverages::pciW),
    };
};

template <> struct Fields<EnergyUsageSummary> {
    static constexpr auto list = std::tuple{
        required("totalWh", &EnergyUsageSummary::totalWh),
        required("batteryWh", &EnergyUsageSummary::batteryWh),
        required("trackedHours", &EnergyUsageSummary::trackedHours),
        required("trackerWh", &EnergyUsageSummary::trackerWh),
    };
};

template <> struct Fields<DetailsPipelineMetrics> {
    static constexpr auto list = std::tuple{
        required("windowFilterMs", &DetailsPipelineMetrics::windowFilterMs),
        required("namingMs", &DetailsPipelineMetrics::namingMs),
        required("aggregationMs", &DetailsPipelineMetrics::aggregationMs),
        required("chartBuildMs", &DetailsPipelineMetrics::chartBuildMs),
        required("totalMs", &DetailsPipelineMetrics::totalMs),
    };
};

template <> struct Fields<DetailsPipelineOutput> {
    static constexpr auto list = std::tuple{
        required("systemPowerPoints", &DetailsPipelineOutput::systemPowerPoints),
        required("processPowerPoints", &DetailsPipelineOutput::processPowerPoints),
        required("componentPowerPoints", &DetailsPipelineOutput::componentPowerPoints),
        required("unattributedPowerPoints", &DetailsPipelineOutput::unattributedPowerPoints),
        required("batteryLevelPoints", &DetailsPipelineOutput::batteryLevelPoints),
        required("onBatteryPower", &DetailsPipelineOutput::onBatteryPower),
        optional("batteryDrainRatePerHour", &DetailsPipelineOutput::batteryDrainRatePerHour),
        required("appPowerSeries", &DetailsPipelineOutput::appPowerSeries),
        required("appEnergySeries", &DetailsPipelineOutput::appEnergySeries),
        required("processGroups", &DetailsPipelineOutput::processGroups),
        required("hiddenDrains", &DetailsPipelineOutput::hiddenDrains),
        required("hiddenTotalWhByID", &DetailsPipelineOutput::hiddenTotalWhByID),
        required("componentAverages", &DetailsPipelineOutput::componentAverages),
        required("energySummary", &DetailsPipelineOutput::energySummary),
        required("rangeSnapshot", &DetailsPipelineOutput::rangeSnapshot),
        required("metrics", &DetailsPipelineOutput::metrics),
        required("snapshotCount", &DetailsPipelineOutput::snapshotCount),
        required("windowStart", &DetailsPipelineOutput::windowStart),
        required("windowEnd", &DetailsPipelineOutput::windowEnd),
    };
};

template <> struct Fields<SamplingConfig> {
    static constexpr auto list = std::tuple{
        lenient("minIntervalSec", &SamplingConfig::minIntervalSec),
        lenient("maxIntervalSec", &SamplingConfig::maxIntervalSec),
        lenient("developerMode", &SamplingConfig::developerMode),
        lenient("samplingMode", &SamplingConfig::samplingMode),
        lenient("backgroundIntervalSec", &SamplingConfig::backgroundIntervalSec),
        lenient("interactiveIntervalSec", &SamplingConfig::interactiveIntervalSec),
        lenient("burstIntervalSec", &SamplingConfig::burstIntervalSec),
        lenient("powermetricsIntervalSec", &SamplingConfig::powermetricsIntervalSec),
        lenient("hiddenRefreshIntervalSec", &SamplingConfig::hiddenRefreshIntervalSec),
        lenient("usbRefreshIntervalSec", &SamplingConfig::usbRefreshIntervalSec),
        lenient("isOnBatteryPower", &SamplingConfig::isOnBatteryPower),
    };
};

// ---- Encoding -------------------------------------------------------------------------------

using Out = nlohmann::ordered_json;

// Integral doubles are written without a fraction ("12", not "12.0"); -0 keeps its sign.
Out toJson(double value, const Path& path) {
    if (!std::isfinite(value)) {
        if (path.writesNonFiniteAsNull()) return Out(nullptr);
        throw EncodingError(path.render(), value);
    }
    constexpr double exactIntegerLimit = 9007199254740992.0;  // 2^53
    if (value == std::trunc(value) && std::fabs(value) < exactIntegerLimit &&
        !(value == 0 && std::signbit(value))) {
        return Out(static_cast<int64_t>(value));
    }
    return Out(value);
}
Out toJson(float value, const Path& path) {
    return toJson(static_cast<double>(value), path);
}
Out toJson(int64_t value, const Path&) {
    return Out(value);
}
Out toJson(uint64_t value, const Path&) {
    return Out(value);
}
Out toJson(bool value, const Path&) {
    return Out(value);
}
Out toJson(const std::string& value, const Path&) {
    return Out(value);
}
Out toJson(Date value, const Path& path) {
    return toJson(value.timeIntervalSinceReferenceDate, path);
}
Out toJson(HiddenDrainKind kind, const Path&) {
    return Out(rawValue(kind));
}
Out toJson(SamplingMode mode, const Path&) {
    return Out(rawValue(mode));
}

// A map of names to numbers is an object whose keys are the names, in name order.
Out toJson(const std::map<std::string, double>& values, const Path& path) {
    Out object = Out::object();
    for (const auto& [key, value] : values)
        object[key] = toJson(value, path / key);
    return object;
}

template <typename T> Out toJson(const std::vector<T>& values, const Path& path) {
    Out array = Out::array();
    auto& elements = array.get_ref<Out::array_t&>();
    elements.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        elements.push_back(toJson(values[i], path[i]));
    return array;
}

// Appends the keys of one record in order. Keys are unique by construction, so they go straight
// into the ordered map's vector without the map's search.
class ObjectWriter {
  public:
    ObjectWriter(const Path& path, std::size_t keyCount) : path_(path) {
        members().reserve(keyCount);
    }

    template <typename T> void put(std::string_view key, const T& value) {
        members().emplace_back(std::string(key), toJson(value, path_ / key));
    }
    template <typename T> void put(std::string_view key, const std::optional<T>& value) {
        if (value) put(key, *value);
    }

    Out take() { return std::move(object_); }

  private:
    using Members = std::vector<std::pair<const std::string, Out>>;
    Members& members() { return object_.get_ref<Out::object_t&>(); }

    const Path& path_;
    Out object_ = Out::object();
};

// A record is an object of its fields, in their listed order.
template <Described Record> Out toJson(const Record& record, const Path& path) {
    constexpr auto& fields = Fields<Record>::list;
    ObjectWriter w(path, std::tuple_size_v<std::remove_cvref_t<decltype(fields)>>);
    std::apply([&](const auto&... field) { (w.put(field.key, record.*field.member), ...); },
               fields);
    return w.take();
}

template <typename Record> std::string encodeRecord(const Record& record) {
    return toJson(record, Path{}).dump(-1, ' ', false, Out::error_handler_t::replace);
}

// ---- Decoding -------------------------------------------------------------------------------

using In = nlohmann::json;

const char* typeName(const In& value) {
    switch (value.type()) {
    case In::value_t::null:
        return "null";
    case In::value_t::object:
        return "an object";
    case In::value_t::array:
        return "an array";
    case In::value_t::string:
        return "a string";
    case In::value_t::boolean:
        return "a boolean";
    default:
        return "a number";
    }
}

[[noreturn]] void mismatch(const In& value, const Path& path, const std::string& expected) {
    throw DecodingError::typeMismatch(path.render(), expected + ", found " + typeName(value));
}

void read(const In& value, const Path& path, double& out) {
    if (!value.is_number()) mismatch(value, path, "a number");
    out = value.get<double>();
}

// Integers accept integral JSON numbers in the field's range (5, 5.0, 5e0); a fraction or a
// value out of range is rejected without ever converting it.
template <typename Integer> void readInteger(const In& value, const Path& path, Integer& out) {
    using Limits = std::numeric_limits<Integer>;
    const auto outOfRange = [&](const std::string& text) {
        return DecodingError::dataCorrupted(path.render(),
                                            "number " + text + " does not fit in " +
                                                (Limits::is_signed ? "Int" : "UInt64"));
    };
    switch (value.type()) {
    case In::value_t::number_integer: {
        const auto number = value.get<int64_t>();
        if (!Limits::is_signed && number < 0) throw outOfRange(std::to_string(number));
        out = static_cast<Integer>(number);
        return;
    }
    case In::value_t::number_unsigned: {
        const auto number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(Limits::max())) throw outOfRange(std::to_string(number));
        out = static_cast<Integer>(number);
        return;
    }
    case In::value_t::number_float: {
        const auto number = value.get<double>();
        // 2^63 and 2^64 are exact doubles: the field's range is [min, limit).
        constexpr double limit = Limits::is_signed ? 9223372036854775808.0 : 18446744073709551616.0;
        constexpr double lowest = Limits::is_signed ? -9223372036854775808.0 : 0.0;
        if (number != std::trunc(number)) {
            throw DecodingError::dataCorrupted(path.render(),
                                               "number " + value.dump() + " is not an integer");
        }
        if (number < lowest || number >= limit) throw outOfRange(value.dump());
        out = static_cast<Integer>(number);
        return;
    }
    default:
        mismatch(value, path, "an integer");
    }
}

void read(const In& value, const Path& path, float& out) {
    double wide = 0;
    read(value, path, wide);
    out = static_cast<float>(wide);
}
void read(const In& value, const Path& path, int64_t& out) {
    readInteger(value, path, out);
}
void read(const In& value, const Path& path, uint64_t& out) {
    readInteger(value, path, out);
}

void read(const In& value, const Path& path, bool& out) {
    if (!value.is_boolean()) mismatch(value, path, "a boolean");
    out = value.get<bool>();
}

void read(const In& value, const Path& path, std::string& out) {
    if (!value.is_string()) mismatch(value, path, "a string");
    out = value.get_ref<const std::string&>();
}

void read(const In& value, const Path& path, Date& out) {
    read(value, path, out.timeIntervalSinceReferenceDate);
}

const std::string& enumText(const In& value, const Path& path) {
    if (!value.is_string()) mismatch(value, path, "a string");
    return value.get_ref<const std::string&>();
}

void read(const In& value, const Path& path, HiddenDrainKind& out) {
    const auto& text = enumText(value, path);
    const auto kind = hiddenDrainKindFromRawValue(text);
    if (!kind) {
        throw DecodingError::dataCorrupted(path.render(),
                                           "unknown HiddenDrainKind \"" + text + "\"");
    }
    out = *kind;
}

void read(const In& value, const Path& path, SamplingMode& out) {
    const auto& text = enumText(value, path);
    const auto mode = samplingModeFromRawValue(text);
    if (!mode) {
        throw DecodingError::dataCorrupted(path.render(), "unknown SamplingMode \"" + text + "\"");
    }
    out = *mode;
}

void read(const In& value, const Path& path, std::map<std::string, double>& out) {
    if (!value.is_object()) mismatch(value, path, "an object");
    out.clear();
    for (const auto& item : value.items())
        read(item.value(), path / item.key(), out[item.key()]);
}

template <typename T> void read(const In& value, const Path& path, std::vector<T>& out) {
    if (!value.is_array()) mismatch(value, path, "an array");
    const auto& elements = value.get_ref<const In::array_t&>();
    out.clear();
    out.resize(elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i)
        read(elements[i], path[i], out[i]);
}

// Reads the keys of one JSON object under the three rules: required, optional (missing or null
// is absent) and lenient (missing or null keeps the record's zero value).
class ObjectReader {
  public:
    ObjectReader(const In& value, const Path& path) : path_(path) {
        if (!value.is_object()) mismatch(value, path, "an object");
        object_ = &value.get_ref<const In::object_t&>();
    }

    template <Rule rule, typename Record, typename Member>
    void readField(const Field<rule, Record, Member>& field, Record& record) {
        Member& out = record.*field.member;
        const Path path = path_ / field.key;
        if constexpr (rule == Rule::required) {
            const auto found = object_->find(field.key);
            if (found == object_->end()) throw DecodingError::keyNotFound(path.render());
            read(found->second, path, out);
        } else if constexpr (rule == Rule::optional) {
            const In* value = present(field.key);
            if (!value) {
                out.reset();
                return;
            }
            read(*value, path, out.emplace());
        } else {
            if (const In* value = present(field.key)) read(*value, path, out);
        }
    }

  private:
    const In* present(std::string_view key) const {
        const auto found = object_->find(key);
        if (found == object_->end() || found->second.is_null()) return nullptr;
        return &found->second;
    }

    const Path& path_;
    const In::object_t* object_ = nullptr;
};

// Checked after every field of a record was read: the configuration's lower bounds.
void finishDecoding(SamplingConfig& c) {
    c = SamplingConfig(c.minIntervalSec, c.maxIntervalSec, c.developerMode, c.samplingMode,
                       c.backgroundIntervalSec, c.interactiveIntervalSec, c.burstIntervalSec,
                       c.powermetricsIntervalSec, c.hiddenRefreshIntervalSec,
                       c.usbRefreshIntervalSec, c.isOnBatteryPower);
}
template <typename Record> void finishDecoding(Record&) {}

template <Described Record> void read(const In& value, const Path& path, Record& record) {
    ObjectReader r(value, path);
    std::apply([&](const auto&... field) { (r.readField(field, record), ...); },
               Fields<Record>::list);
    finishDecoding(record);
}

In parseDocument(std::string_view json) {
    try {
        return In::parse(json.begin(), json.end());
    } catch (const In::exception& error) {  // syntax errors and number overflow alike
        throw DecodingError::dataCorrupted("", std::string("not valid JSON: ") + error.what());
    }
}

}  // namespace

namespace SnapshotCodec {

template <typename Record> std::string encode(const Record& record) {
    return encodeRecord(record);
}

std::string encodeForReading(const DetailsPipelineOutput& output) {
    Path root;
    root.nonFiniteAsNull = true;
    return toJson(output, root).dump(-1, ' ', false, Out::error_handler_t::replace);
}

template <typename Record> Record decode(std::string_view json) {
    const In document = parseDocument(json);
    Record record{};
    read(document, Path{}, record);
    return record;
}

// The records with a JSON form, as declared in the header.
template std::string encode(const DrainSnapshot&);
template DrainSnapshot decode<DrainSnapshot>(std::string_view);
template std::string encode(const SamplingConfig&);
template SamplingConfig decode<SamplingConfig>(std::string_view);
template std::string encode(const ProcessSample&);
template ProcessSample decode<ProcessSample>(std::string_view);
template std::string encode(const HiddenWorkloadHostShare&);
template HiddenWorkloadHostShare decode<HiddenWorkloadHostShare>(std::string_view);
template std::string encode(const HiddenWorkloadMapping&);
template HiddenWorkloadMapping decode<HiddenWorkloadMapping>(std::string_view);
template std::string encode(const AttributionInput&);
template AttributionInput decode<AttributionInput>(std::string_view);
template std::string encode(const HiddenDrain&);
template HiddenDrain decode<HiddenDrain>(std::string_view);
template std::string encode(const ProcessDrain&);
template ProcessDrain decode<ProcessDrain>(std::string_view);
template std::string encode(const ComponentDrain&);
template ComponentDrain decode<ComponentDrain>(std::string_view);
template std::string encode(const SourceTelemetry&);
template SourceTelemetry decode<SourceTelemetry>(std::string_view);
template std::string encode(const PowerUsageContext&);
template PowerUsageContext decode<PowerUsageContext>(std::string_view);
template std::string encode(const BatteryStatusSample&);
template BatteryStatusSample decode<BatteryStatusSample>(std::string_view);
template std::string encode(const DetailsPipelineOutput&);
template DetailsPipelineOutput decode<DetailsPipelineOutput>(std::string_view);

}  // namespace SnapshotCodec

}  // namespace joulix
