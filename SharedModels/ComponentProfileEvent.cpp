#include "SharedModels/ComponentProfileEvent.h"

#include "SharedModels/DecodingError.h"
#include "SharedModels/Text.h"

#include <nlohmann/json.hpp>

#include <limits>

namespace joulix {
namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

const Json& required(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw DecodingError::keyNotFound(key);
    return *found;
}

// An optional key; null counts as absent.
const Json* optional(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

std::string decodeText(const Json& value, const std::string& key) {
    if (!value.is_string()) throw DecodingError::typeMismatch(key, "a string");
    return value.get<std::string>();
}

double decodeDouble(const Json& value, const std::string& key) {
    if (!value.is_number()) throw DecodingError::typeMismatch(key, "a number");
    return value.get<double>();
}

int64_t decodeInteger(const Json& value, const std::string& key, int64_t min, int64_t max) {
    if (!value.is_number_integer()) throw DecodingError::typeMismatch(key, "an integer");
    if (value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(max)) {
        throw DecodingError::dataCorrupted(key, "number out of range");
    }
    const auto number = value.get<int64_t>();
    if (number < min || number > max)
        throw DecodingError::dataCorrupted(key, "number out of range");
    return number;
}

int64_t decodeInt64(const Json& value, const std::string& key) {
    return decodeInteger(value, key, std::numeric_limits<int64_t>::min(),
                         std::numeric_limits<int64_t>::max());
}

std::optional<std::string> decodeOptionalText(const Json& object, const char* key) {
    const Json* value = optional(object, key);
    if (value == nullptr) return std::nullopt;
    return decodeText(*value, key);
}

// Raw NEL, LS and PS are valid inside JSON strings but are line breaks to a line reader.
std::string escapeUnicodeLineBreaks(std::string json) {
    static constexpr std::pair<std::string_view, std::string_view> breaks[] = {
        {"\u0085", "\\u0085"}, {"\u2028", "\\u2028"}, {"\u2029", "\\u2029"}};
    for (const auto& [raw, escaped] : breaks) {
        for (auto at = json.find(raw); at != std::string::npos;
             at = json.find(raw, at + escaped.size())) {
            json.replace(at, raw.size(), escaped);
        }
    }
    return json;
}

}  // namespace

bool ComponentProfileEvent::blocksUIThread() const {
    if (threadLabel == "main") return true;
    const auto found = context.find("uiThread");
    return found != context.end() && found->second == "1";
}

std::string ComponentProfileEvent::functionCostLabel() const {
    if (!sourceFunction) return component;
    if (!sourceFileID) return *sourceFunction;
    std::string_view file = *sourceFileID;
    for (const auto piece : text::splitKeepingEmpty(*sourceFileID, '/')) {
        if (!piece.empty()) file = piece;
    }
    return *sourceFunction + " [" + std::string(file) + "]";
}

std::string ComponentProfileEvent::jsonLine() const {
    OrderedJson json;
    json["schemaVersion"] = schemaVersion;
    json["processKind"] = rawValue(processKind);
    json["processName"] = processName;
    json["pid"] = pid;
    json["component"] = component;
    if (parentComponent) json["parentComponent"] = *parentComponent;
    json["correlationID"] = correlationID;
    json["startedAtUnixMs"] = startedAtUnixMs;
    json["durationMs"] = durationMs;
    json["threadLabel"] = threadLabel;
    if (queueLabel) json["queueLabel"] = *queueLabel;
    if (sourceFileID) json["sourceFileID"] = *sourceFileID;
    if (sourceFunction) json["sourceFunction"] = *sourceFunction;
    if (sourceLine) json["sourceLine"] = *sourceLine;
    json["context"] = OrderedJson::object();
    for (const auto& [key, value] : context)
        json["context"][key] = value;
    // Texts that are not UTF-8 are repaired rather than failing the whole line.
    return escapeUnicodeLineBreaks(json.dump(-1, ' ', false, Json::error_handler_t::replace));
}

ComponentProfileEvent ComponentProfileEvent::fromJSON(std::string_view text) {
    const Json json = Json::parse(text, nullptr, false);
    if (json.is_discarded()) throw DecodingError::dataCorrupted("", "not valid JSON");
    if (!json.is_object()) throw DecodingError::typeMismatch("", "an object");

    ComponentProfileEvent event;
    event.schemaVersion = decodeInt64(required(json, "schemaVersion"), "schemaVersion");
    const auto kind =
        benchmarkProcessKindFromRawValue(decodeText(required(json, "processKind"), "processKind"));
    if (!kind) throw DecodingError::dataCorrupted("processKind", "unknown process kind");
    event.processKind = *kind;
    event.processName = decodeText(required(json, "processName"), "processName");
    event.pid = static_cast<int32_t>(decodeInteger(required(json, "pid"), "pid",
                                                   std::numeric_limits<int32_t>::min(),
                                                   std::numeric_limits<int32_t>::max()));
    event.component = decodeText(required(json, "component"), "component");
    event.parentComponent = decodeOptionalText(json, "parentComponent");
    event.correlationID = decodeText(required(json, "correlationID"), "correlationID");
    event.startedAtUnixMs = decodeDouble(required(json, "startedAtUnixMs"), "startedAtUnixMs");
    event.durationMs = decodeDouble(required(json, "durationMs"), "durationMs");
    event.threadLabel = decodeText(required(json, "threadLabel"), "threadLabel");
    event.queueLabel = decodeOptionalText(json, "queueLabel");
    event.sourceFileID = decodeOptionalText(json, "sourceFileID");
    event.sourceFunction = decodeOptionalText(json, "sourceFunction");
    if (const Json* line = optional(json, "sourceLine")) {
        event.sourceLine = decodeInt64(*line, "sourceLine");
    }
    const Json& context = required(json, "context");
    if (!context.is_object()) throw DecodingError::typeMismatch("context", "an object");
    for (const auto& [key, value] : context.items()) {
        event.context.emplace(key, decodeText(value, "context." + key));
    }
    return event;
}

}  // namespace joulix
