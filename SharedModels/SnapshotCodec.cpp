#include "SharedModels/SnapshotCodec.h"

#include "SharedModels/DecodingError.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace joulix {

namespace {

// A key path built on the stack while walking a record; rendered as text only for an error.
struct Path {
    const Path* parent = nullptr;
    std::string_view key;
    std::size_t index = 0;
    bool isIndex = false;

    Path operator/(std::string_view childKey) const { return {this, childKey, 0, false}; }
    Path operator[](std::size_t childIndex) const { return {this, {}, childIndex, true}; }

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

// ---- Encoding -------------------------------------------------------------------------------

using Out = nlohmann::ordered_json;

// Integral doubles are written without a fraction ("12", not "12.0"); -0 keeps its sign.
Out toJson(double value, const Path& path) {
    if (!std::isfinite(value)) throw EncodingError(path.render(), value);
    constexpr double exactIntegerLimit = 9007199254740992.0;  // 2^53
    if (value == std::trunc(value) && std::fabs(value) < exactIntegerLimit &&
        !(value == 0 && std::signbit(value))) {
        return Out(static_cast<int64_t>(value));
    }
    return Out(value);
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

Out toJson(const ProcessSample& s, const Path& path) {
    ObjectWriter w(path, 18);
    w.put("pid", s.pid);
    w.put("parentPID", s.parentPID);
    w.put("responsiblePID", s.responsiblePID);
    w.put("name", s.name);
    w.put("bundleID", s.bundleID);
    w.put("powermetricsPackageW", s.powermetricsPackageW);
    w.put("powermetricsCPUW", s.powermetricsCPUW);
    w.put("powermetricsGPUW", s.powermetricsGPUW);
    w.put("powermetricsGPUFallbackAllocated", s.powermetricsGPUFallbackAllocated);
    w.put("residentMemoryBytes", s.residentMemoryBytes);
    w.put("cpuPercent", s.cpuPercent);
    w.put("cpuTimeDeltaNs", s.cpuTimeDeltaNs);
    w.put("samplingIntervalMs", s.samplingIntervalMs);
    w.put("gpuTimeMs", s.gpuTimeMs);
    w.put("diskReadBytes", s.diskReadBytes);
    w.put("diskWriteBytes", s.diskWriteBytes);
    w.put("networkSentBytes", s.networkSentBytes);
    w.put("networkRecvBytes", s.networkRecvBytes);
    return w.take();
}

Out toJson(const HiddenWorkloadHostShare& s, const Path& path) {
    ObjectWriter w(path, 2);
    w.put("pid", s.pid);
    w.put("share", s.share);
    return w.take();
}

Out toJson(const HiddenWorkloadMapping& m, const Path& path) {
    ObjectWriter w(path, 3);
    w.put("kind", m.kind);
    w.put("identifier", m.identifier);
    w.put("hostShares", m.hostShares);
    return w.take();
}

Out toJson(const AttributionInput& input, const Path& path) {
    ObjectWriter w(path, 7);
    w.put("timestamp", input.timestamp);
    w.put("totalDischargeW", input.totalDischargeW);
    w.put("processes", input.processes);
    w.put("hiddenMappings", input.hiddenMappings);
    w.put("screenModelW", input.screenModelW);
    w.put("usbModelW", input.usbModelW);
    w.put("developerMode", input.developerMode);
    return w.take();
}

Out toJson(const HiddenDrain& d, const Path& path) {
    ObjectWriter w(path, 3);
    w.put("kind", d.kind);
    w.put("identifier", d.identifier);
    w.put("drainW", d.drainW);
    return w.take();
}

Out toJson(const ProcessDrain& d, const Path& path) {
    ObjectWriter w(path, 14);
    w.put("pid", d.pid);
    w.put("parentPID", d.parentPID);
    w.put("name", d.name);
    w.put("bundleID", d.bundleID);
    w.put("displayName", d.displayName);
    w.put("canonicalName", d.canonicalName);
    w.put("processGroupKey", d.processGroupKey);
    w.put("drainW", d.drainW);
    w.put("energyShare", d.energyShare);
    w.put("rawCPUPercent", d.rawCPUPercent);
    w.put("cpuCapacityFraction", d.cpuCapacityFraction);
    w.put("cpuAttributedW", d.cpuAttributedW);
    w.put("ramAttributedW", d.ramAttributedW);
    w.put("sourceFlags", d.sourceFlags);
    return w.take();
}

Out toJson(const ComponentDrain& c, const Path& path) {
    ObjectWriter w(path, 10);
    w.put("screenW", c.screenW);
    w.put("usbW", c.usbW);
    w.put("cpuW", c.cpuW);
    w.put("gpuW", c.gpuW);
    w.put("aneW", c.aneW);
    w.put("dramW", c.dramW);
    w.put("memoryFabricW", c.memoryFabricW);
    w.put("ramW", c.ramW);
    w.put("pciW", c.pciW);
    w.put("confidence", c.confidence);
    return w.take();
}

Out toJson(const SourceTelemetry& t, const Path& path) {
    ObjectWriter w(path, 7);
    w.put("powermetricsCommandOK", t.powermetricsCommandOK);
    w.put("powermetricsParsedProcessCount", t.powermetricsParsedProcessCount);
    w.put("powermetricsHasPackagePower", t.powermetricsHasPackagePower);
    w.put("powermetricsHasSystemPower", t.powermetricsHasSystemPower);
    w.put("usedEstimatedTotalPower", t.usedEstimatedTotalPower);
    w.put("screenModelAvailable", t.screenModelAvailable);
    w.put("usbModelAvailable", t.usbModelAvailable);
    return w.take();
}

Out toJson(const PowerUsageContext& c, const Path& path) {
    ObjectWriter w(path, 2);
    w.put("onBatteryPower", c.onBatteryPower);
    w.put("batteryLevelPercent", c.batteryLevelPercent);
    return w.take();
}

Out toJson(const BatteryStatusSample& b, const Path& path) {
    ObjectWriter w(path, 21);
    w.put("levelPercent", b.levelPercent);
    w.put("remainingWh", b.remainingWh);
    w.put("isCharging", b.isCharging);
    w.put("externalPowerConnected", b.externalPowerConnected);
    w.put("systemTimeRemainingMinutes", b.systemTimeRemainingMinutes);
    w.put("dischargeWatts", b.dischargeWatts);
    w.put("cycleCount", b.cycleCount);
    w.put("voltageMV", b.voltageMV);
    w.put("amperageMa", b.amperageMa);
    w.put("temperatureCentiC", b.temperatureCentiC);
    w.put("designCapacityMah", b.designCapacityMah);
    w.put("maxCapacityMah", b.maxCapacityMah);
    w.put("currentCapacityMah", b.currentCapacityMah);
    w.put("nominalChargeCapacityMah", b.nominalChargeCapacityMah);
    w.put("designCycleCount", b.designCycleCount);
    w.put("serialNumber", b.serialNumber);
    w.put("deviceName", b.deviceName);
    w.put("fullyCharged", b.fullyCharged);
    w.put("isACPowered", b.isACPowered);
    w.put("adapterWatts", b.adapterWatts);
    w.put("adapterName", b.adapterName);
    return w.take();
}

Out toJson(const DrainSnapshot& s, const Path& path) {
    ObjectWriter w(path, 9);
    w.put("timestamp", s.timestamp);
    w.put("totalDischargeW", s.totalDischargeW);
    w.put("processes", s.processes);
    w.put("hidden", s.hidden);
    w.put("components", s.components);
    w.put("unattributedW", s.unattributedW);
    w.put("telemetry", s.telemetry);
    w.put("powerContext", s.powerContext);
    w.put("batteryStatus", s.batteryStatus);
    return w.take();
}

Out toJson(const SamplingConfig& c, const Path& path) {
    ObjectWriter w(path, 11);
    w.put("minIntervalSec", c.minIntervalSec);
    w.put("maxIntervalSec", c.maxIntervalSec);
    w.put("developerMode", c.developerMode);
    w.put("samplingMode", c.samplingMode);
    w.put("backgroundIntervalSec", c.backgroundIntervalSec);
    w.put("interactiveIntervalSec", c.interactiveIntervalSec);
    w.put("burstIntervalSec", c.burstIntervalSec);
    w.put("powermetricsIntervalSec", c.powermetricsIntervalSec);
    w.put("hiddenRefreshIntervalSec", c.hiddenRefreshIntervalSec);
    w.put("usbRefreshIntervalSec", c.usbRefreshIntervalSec);
    w.put("isOnBatteryPower", c.isOnBatteryPower);
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

    template <typename T> void required(std::string_view key, T& out) {
        const auto found = object_->find(key);
        if (found == object_->end()) throw DecodingError::keyNotFound((path_ / key).render());
        read(found->second, path_ / key, out);
    }
    template <typename T> void optional(std::string_view key, std::optional<T>& out) {
        const In* value = present(key);
        if (!value) {
            out.reset();
            return;
        }
        read(*value, path_ / key, out.emplace());
    }
    template <typename T> void lenient(std::string_view key, T& out) {
        if (const In* value = present(key)) read(*value, path_ / key, out);
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

void read(const In& value, const Path& path, ProcessSample& s) {
    ObjectReader r(value, path);
    r.required("pid", s.pid);
    r.optional("parentPID", s.parentPID);
    r.optional("responsiblePID", s.responsiblePID);
    r.required("name", s.name);
    r.optional("bundleID", s.bundleID);
    r.optional("powermetricsPackageW", s.powermetricsPackageW);
    r.optional("powermetricsCPUW", s.powermetricsCPUW);
    r.optional("powermetricsGPUW", s.powermetricsGPUW);
    r.lenient("powermetricsGPUFallbackAllocated", s.powermetricsGPUFallbackAllocated);
    r.lenient("residentMemoryBytes", s.residentMemoryBytes);
    r.lenient("cpuPercent", s.cpuPercent);
    r.lenient("cpuTimeDeltaNs", s.cpuTimeDeltaNs);
    r.lenient("samplingIntervalMs", s.samplingIntervalMs);
    r.lenient("gpuTimeMs", s.gpuTimeMs);
    r.lenient("diskReadBytes", s.diskReadBytes);
    r.lenient("diskWriteBytes", s.diskWriteBytes);
    r.lenient("networkSentBytes", s.networkSentBytes);
    r.lenient("networkRecvBytes", s.networkRecvBytes);
}

void read(const In& value, const Path& path, HiddenWorkloadHostShare& s) {
    ObjectReader r(value, path);
    r.required("pid", s.pid);
    r.required("share", s.share);
}

void read(const In& value, const Path& path, HiddenWorkloadMapping& m) {
    ObjectReader r(value, path);
    r.required("kind", m.kind);
    r.required("identifier", m.identifier);
    r.required("hostShares", m.hostShares);
}

void read(const In& value, const Path& path, AttributionInput& input) {
    ObjectReader r(value, path);
    r.required("timestamp", input.timestamp);
    r.required("totalDischargeW", input.totalDischargeW);
    r.required("processes", input.processes);
    r.required("hiddenMappings", input.hiddenMappings);
    r.required("screenModelW", input.screenModelW);
    r.required("usbModelW", input.usbModelW);
    r.required("developerMode", input.developerMode);
}

void read(const In& value, const Path& path, HiddenDrain& d) {
    ObjectReader r(value, path);
    r.required("kind", d.kind);
    r.required("identifier", d.identifier);
    r.required("drainW", d.drainW);
}

void read(const In& value, const Path& path, ProcessDrain& d) {
    ObjectReader r(value, path);
    r.required("pid", d.pid);
    r.optional("parentPID", d.parentPID);
    r.required("name", d.name);
    r.optional("bundleID", d.bundleID);
    r.optional("displayName", d.displayName);
    r.optional("canonicalName", d.canonicalName);
    r.optional("processGroupKey", d.processGroupKey);
    r.required("drainW", d.drainW);
    r.required("energyShare", d.energyShare);
    r.optional("rawCPUPercent", d.rawCPUPercent);
    r.optional("cpuCapacityFraction", d.cpuCapacityFraction);
    r.optional("cpuAttributedW", d.cpuAttributedW);
    r.optional("ramAttributedW", d.ramAttributedW);
    r.required("sourceFlags", d.sourceFlags);
}

void read(const In& value, const Path& path, ComponentDrain& c) {
    ObjectReader r(value, path);
    r.lenient("screenW", c.screenW);
    r.lenient("usbW", c.usbW);
    r.lenient("cpuW", c.cpuW);
    r.lenient("gpuW", c.gpuW);
    r.lenient("aneW", c.aneW);
    r.lenient("dramW", c.dramW);
    r.lenient("memoryFabricW", c.memoryFabricW);
    r.lenient("ramW", c.ramW);
    r.lenient("pciW", c.pciW);
    r.optional("confidence", c.confidence);
}

void read(const In& value, const Path& path, SourceTelemetry& t) {
    ObjectReader r(value, path);
    r.required("powermetricsCommandOK", t.powermetricsCommandOK);
    r.required("powermetricsParsedProcessCount", t.powermetricsParsedProcessCount);
    r.required("powermetricsHasPackagePower", t.powermetricsHasPackagePower);
    r.required("powermetricsHasSystemPower", t.powermetricsHasSystemPower);
    r.required("usedEstimatedTotalPower", t.usedEstimatedTotalPower);
    r.required("screenModelAvailable", t.screenModelAvailable);
    r.required("usbModelAvailable", t.usbModelAvailable);
}

void read(const In& value, const Path& path, PowerUsageContext& c) {
    ObjectReader r(value, path);
    r.required("onBatteryPower", c.onBatteryPower);
    r.optional("batteryLevelPercent", c.batteryLevelPercent);
}

void read(const In& value, const Path& path, BatteryStatusSample& b) {
    ObjectReader r(value, path);
    r.required("levelPercent", b.levelPercent);
    r.optional("remainingWh", b.remainingWh);
    r.required("isCharging", b.isCharging);
    r.required("externalPowerConnected", b.externalPowerConnected);
    r.optional("systemTimeRemainingMinutes", b.systemTimeRemainingMinutes);
    r.optional("dischargeWatts", b.dischargeWatts);
    r.optional("cycleCount", b.cycleCount);
    r.optional("voltageMV", b.voltageMV);
    r.optional("amperageMa", b.amperageMa);
    r.optional("temperatureCentiC", b.temperatureCentiC);
    r.optional("designCapacityMah", b.designCapacityMah);
    r.optional("maxCapacityMah", b.maxCapacityMah);
    r.optional("currentCapacityMah", b.currentCapacityMah);
    r.optional("nominalChargeCapacityMah", b.nominalChargeCapacityMah);
    r.optional("designCycleCount", b.designCycleCount);
    r.optional("serialNumber", b.serialNumber);
    r.optional("deviceName", b.deviceName);
    r.optional("fullyCharged", b.fullyCharged);
    r.optional("isACPowered", b.isACPowered);
    r.optional("adapterWatts", b.adapterWatts);
    r.optional("adapterName", b.adapterName);
}

void read(const In& value, const Path& path, DrainSnapshot& s) {
    ObjectReader r(value, path);
    r.required("timestamp", s.timestamp);
    r.required("totalDischargeW", s.totalDischargeW);
    r.required("processes", s.processes);
    r.required("hidden", s.hidden);
    r.required("components", s.components);
    r.required("unattributedW", s.unattributedW);
    r.optional("telemetry", s.telemetry);
    r.optional("powerContext", s.powerContext);
    r.optional("batteryStatus", s.batteryStatus);
}

// Every key is optional (null counts as missing); the constructor then applies the bounds.
void read(const In& value, const Path& path, SamplingConfig& config) {
    SamplingConfig v;
    ObjectReader r(value, path);
    r.lenient("minIntervalSec", v.minIntervalSec);
    r.lenient("maxIntervalSec", v.maxIntervalSec);
    r.lenient("developerMode", v.developerMode);
    r.lenient("samplingMode", v.samplingMode);
    r.lenient("backgroundIntervalSec", v.backgroundIntervalSec);
    r.lenient("interactiveIntervalSec", v.interactiveIntervalSec);
    r.lenient("burstIntervalSec", v.burstIntervalSec);
    r.lenient("powermetricsIntervalSec", v.powermetricsIntervalSec);
    r.lenient("hiddenRefreshIntervalSec", v.hiddenRefreshIntervalSec);
    r.lenient("usbRefreshIntervalSec", v.usbRefreshIntervalSec);
    r.lenient("isOnBatteryPower", v.isOnBatteryPower);
    config = SamplingConfig(v.minIntervalSec, v.maxIntervalSec, v.developerMode, v.samplingMode,
                            v.backgroundIntervalSec, v.interactiveIntervalSec, v.burstIntervalSec,
                            v.powermetricsIntervalSec, v.hiddenRefreshIntervalSec,
                            v.usbRefreshIntervalSec, v.isOnBatteryPower);
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

std::string encode(const DrainSnapshot& snapshot) {
    return encodeRecord(snapshot);
}
std::string encode(const SamplingConfig& config) {
    return encodeRecord(config);
}
std::string encode(const ProcessSample& sample) {
    return encodeRecord(sample);
}
std::string encode(const HiddenWorkloadHostShare& share) {
    return encodeRecord(share);
}
std::string encode(const HiddenWorkloadMapping& mapping) {
    return encodeRecord(mapping);
}
std::string encode(const AttributionInput& input) {
    return encodeRecord(input);
}
std::string encode(const HiddenDrain& drain) {
    return encodeRecord(drain);
}
std::string encode(const ProcessDrain& drain) {
    return encodeRecord(drain);
}
std::string encode(const ComponentDrain& drain) {
    return encodeRecord(drain);
}
std::string encode(const SourceTelemetry& telemetry) {
    return encodeRecord(telemetry);
}
std::string encode(const PowerUsageContext& context) {
    return encodeRecord(context);
}
std::string encode(const BatteryStatusSample& sample) {
    return encodeRecord(sample);
}

template <typename Record> Record decode(std::string_view json) {
    const In document = parseDocument(json);
    Record record{};
    read(document, Path{}, record);
    return record;
}

template DrainSnapshot decode<DrainSnapshot>(std::string_view);
template SamplingConfig decode<SamplingConfig>(std::string_view);
template ProcessSample decode<ProcessSample>(std::string_view);
template HiddenWorkloadHostShare decode<HiddenWorkloadHostShare>(std::string_view);
template HiddenWorkloadMapping decode<HiddenWorkloadMapping>(std::string_view);
template AttributionInput decode<AttributionInput>(std::string_view);
template HiddenDrain decode<HiddenDrain>(std::string_view);
template ProcessDrain decode<ProcessDrain>(std::string_view);
template ComponentDrain decode<ComponentDrain>(std::string_view);
template SourceTelemetry decode<SourceTelemetry>(std::string_view);
template PowerUsageContext decode<PowerUsageContext>(std::string_view);
template BatteryStatusSample decode<BatteryStatusSample>(std::string_view);

}  // namespace SnapshotCodec

}  // namespace joulix
