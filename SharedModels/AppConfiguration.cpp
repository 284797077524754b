#include "SharedModels/AppConfiguration.h"

#include "SharedModels/DecodingError.h"
#include "SharedModels/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>

namespace joulix {
namespace {

// The value trimmed of white space and newlines, or none when that leaves nothing.
std::optional<std::string> trimmedNonBlank(std::string_view value) {
    const auto trimmed = text::trim(value);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

// An Info dictionary value that is a string, trimmed; none when missing, not a string or blank.
std::optional<std::string> infoString(const std::optional<InfoDictionary>& info,
                                      std::string_view key) {
    if (!info) return std::nullopt;
    const auto found = info->find(key);
    if (found == info->end()) return std::nullopt;
    const auto* value = std::get_if<std::string>(&found->second);
    return value ? trimmedNonBlank(*value) : std::nullopt;
}

bool isAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHexDigit(char c) {
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool isUnreserved(char c) {
    return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelimiter(char c) {
    return std::string_view("!$&'()*+,;=").find(c) != std::string_view::npos;
}

// Every byte is unreserved, a sub-delimiter, one of `extra`, or starts a "%" escape of two hex
// digits.
bool allowedCharacters(std::string_view part, std::string_view extra) {
    for (std::size_t i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '%') {
            if (i + 2 >= part.size() || !isHexDigit(part[i + 1]) || !isHexDigit(part[i + 2])) {
                return false;
            }
            i += 2;
        } else if (!isUnreserved(c) && !isSubDelimiter(c) &&
                   extra.find(c) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool validScheme(std::string_view scheme) {
    if (scheme.empty() || !isAlpha(scheme.front())) return false;
    for (const char c : scheme) {
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool validPort(std::string_view port) {
    for (const char c : port) {
        if (!isDigit(c)) return false;
    }
    return true;
}

// [ userinfo "@" ] host [ ":" port ], the host a bracketed IP literal or a registered name.
bool validAuthority(std::string_view authority) {
    if (const auto at = authority.find('@'); at != std::string_view::npos) {
        if (!allowedCharacters(authority.substr(0, at), ":")) return false;
        authority.remove_prefix(at + 1);
    }
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos || close == 1) return false;
        if (!allowedCharacters(authority.substr(1, close - 1), ":")) return false;
        const auto rest = authority.substr(close + 1);
        return rest.empty() || (rest.front() == ':' && validPort(rest.substr(1)));
    }
    const auto colon = authority.find(':');
    if (colon == std::string_view::npos) return allowedCharacters(authority, "");
    return allowedCharacters(authority.substr(0, colon), "") &&
           validPort(authority.substr(colon + 1));
}

bool decodeBool(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) throw DecodingError::keyNotFound(key);
    if (!found->is_boolean()) throw DecodingError::typeMismatch(key, "a boolean");
    return found->get<bool>();
}

}  // namespace

const std::string* environmentValue(const Environment& environment, std::string_view key) {
    const auto found = environment.find(std::string(key));
    return found == environment.end() ? nullptr : &found->second;
}

Environment currentEnvironment(std::initializer_list<std::string_view> names) {
    Environment environment;
    for (const auto name : names) {
        if (const char* value = std::getenv(std::string(name).c_str())) {
            environment.emplace(name, value);
        }
    }
    return environment;
}

namespace AppConfiguration {

std::string bundleIdentifierPrefix() {
    const auto bundle = mainBundle();
    if (auto prefix = infoString(bundle->infoDictionary(), bundleIdentifierPrefixInfoKey)) {
        return *prefix;
    }
    if (const auto identifier = bundle->bundleIdentifier()) {
        if (auto trimmed = trimmedNonBlank(*identifier)) return *trimmed;
    }
    return std::string(defaultBundleIdentifierPrefix);
}

std::string appBundleIdentifier() {
    if (const auto identifier = mainBundle()->bundleIdentifier()) {
        if (auto trimmed = trimmedNonBlank(*identifier)) return *trimmed;
    }
    return std::string(defaultBundleIdentifierPrefix);
}

std::string daemonBundleIdentifier() {
    if (auto label = infoString(mainBundle()->infoDictionary(), daemonLabelInfoKey)) return *label;
    return bundleIdentifierPrefix() + ".metricsd";
}

std::string daemonPlistName() {
    return daemonBundleIdentifier() + ".plist";
}

namespace Logging {
std::string subsystem() {
    return bundleIdentifierPrefix() + ".runtime";
}
}  // namespace Logging

namespace Updates {

std::optional<std::string> feedURL(const Environment& environment,
                                   const std::optional<InfoDictionary>& bundleInfo) {
    if (const auto* value = environmentValue(environment, feedURLEnvironmentKey)) {
        return isValidURL(*value) ? std::optional(*value) : defaultFeedURL;
    }
    if (bundleInfo) {
        const auto found = bundleInfo->find(sparkleFeedURLInfoKey);
        if (found != bundleInfo->end()) {
            if (const auto* value = std::get_if<std::string>(&found->second)) {
                return isValidURL(*value) ? std::optional(*value) : defaultFeedURL;
            }
        }
    }
    return defaultFeedURL;
}

std::optional<std::string> publicEDKey(const Environment& environment,
                                       const std::optional<InfoDictionary>& bundleInfo) {
    if (const auto* value = environmentValue(environment, publicEDKeyEnvironmentKey)) {
        return trimmedNonBlank(*value);
    }
    return infoString(bundleInfo, sparklePublicEDKeyInfoKey);
}

}  // namespace Updates
}  // namespace AppConfiguration

bool isValidURL(std::string_view text) {
    if (text.empty()) return false;
    auto rest = text;
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        if (!allowedCharacters(rest.substr(hash + 1), ":@/?")) return false;
        rest = rest.substr(0, hash);
    }
    if (const auto question = rest.find('?'); question != std::string_view::npos) {
        if (!allowedCharacters(rest.substr(question + 1), ":@/?")) return false;
        rest = rest.substr(0, question);
    }
    // A colon before the first slash ends a scheme; a relative path may not hold one there.
    if (const auto colon = rest.find(':'); colon < rest.find('/')) {
        if (!validScheme(rest.substr(0, colon))) return false;
        rest.remove_prefix(colon + 1);
    }
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
        const auto pathStart = std::min(rest.find('/'), rest.size());
        if (!validAuthority(rest.substr(0, pathStart))) return false;
        rest.remove_prefix(pathStart);
    }
    return allowedCharacters(rest, ":@/");
}

namespace BatteryServiceConstants {
std::string daemonServiceName() {
    return AppConfiguration::daemonBundleIdentifier();
}
std::string daemonPlistName() {
    return daemonServiceName() + ".plist";
}
}  // namespace BatteryServiceConstants

std::string ToolbarDisplaySettings::toJSON() const {
    return nlohmann::json{
        {"showPercentage", showPercentage}, {"showColors", showColors}, {"showWatts", showWatts}}
        .dump();
}

ToolbarDisplaySettings ToolbarDisplaySettings::fromJSON(std::string_view json) {
    const auto object = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
    if (object.is_discarded()) throw DecodingError::dataCorrupted("", "not valid JSON");
    if (!object.is_object()) throw DecodingError::typeMismatch("", "an object");
    return {decodeBool(object, "showPercentage"), decodeBool(object, "showColors"),
            decodeBool(object, "showWatts")};
}

}  // namespace joulix
