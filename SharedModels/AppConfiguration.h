#pragma once
// Named constants and the identifiers derived, on every read, from the main bundle's Info
// dictionary and identifier (see Platform/MainBundle.h), the updater settings, and the toolbar
// display settings record. Info values are trimmed of white space and newlines; blank counts as
// absent, and so does a value that is not a string.
#include "Platform/MainBundle.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

// A process environment: variable name to value.
using Environment = std::map<std::string, std::string>;
// The value of one variable, or nullptr when it is not set.
const std::string* environmentValue(const Environment& environment, std::string_view key);
// The named variables that are set in this process's environment, read now.
Environment currentEnvironment(std::initializer_list<std::string_view> names);

namespace AppConfiguration {
inline constexpr std::string_view appName = "Joulix";
inline constexpr std::string_view bundleIdentifierPrefixInfoKey = "JLXBundleIdentifierPrefix";
inline constexpr std::string_view daemonLabelInfoKey = "JLXDaemonLabel";
inline constexpr std::string_view defaultBundleIdentifierPrefix = "com.joulix";
inline constexpr std::string_view dataDirectoryName = "Joulix";

std::string bundleIdentifierPrefix();
std::string appBundleIdentifier();
std::string daemonBundleIdentifier();
std::string daemonPlistName();

namespace AppIcon {
inline constexpr std::string_view primaryResourceName = "AppIcon";
inline constexpr std::string_view primaryResourceExtension = "icns";
inline constexpr std::string_view primaryFileName = "AppIcon.icns";
inline constexpr std::string_view fallbackResourceName = "joulix-icon";
inline constexpr std::string_view fallbackResourceExtension = "png";
}  // namespace AppIcon

namespace Updates {
inline constexpr std::string_view sparkleFeedURLInfoKey = "SUFeedURL";
inline constexpr std::string_view sparklePublicEDKeyInfoKey = "SUPublicEDKey";
inline constexpr std::string_view feedURLEnvironmentKey = "JLX_UPDATE_FEED_URL";
inline constexpr std::string_view publicEDKeyEnvironmentKey = "JLX_SPARKLE_PUBLIC_ED_KEY";
inline constexpr std::string_view disableUpdaterEnvironmentKey =
    "JLX_DISABLE_DIRECT_DOWNLOAD_UPDATER";
// The feed URL used when neither the environment nor the Info dictionary gives a valid one.
inline const std::optional<std::string> defaultFeedURL = std::nullopt;

// The updater's feed URL: the environment's value when the variable is set (an invalid URL then
// gives the default, without consulting the Info dictionary), else the Info dictionary's.
// A valid URL is a non-empty URI reference (see isValidURL).
std::optional<std::string> feedURL(const Environment& environment,
                                   const std::optional<InfoDictionary>& bundleInfo);
// The updater's public EdDSA key, trimmed; the environment's when set, else the Info
// dictionary's; absent when blank. There is no built-in key.
std::optional<std::string> publicEDKey(const Environment& environment,
                                       const std::optional<InfoDictionary>& bundleInfo);
}  // namespace Updates

namespace Logging {
inline constexpr std::string_view logLevelInfoKey = "JLX_LOG_LEVEL";
std::string subsystem();
}  // namespace Logging
}  // namespace AppConfiguration

// True when the text, taken as is, is a URI reference by RFC 3986 (an absolute URI such as
// "https://example.com/feed.xml" or a relative reference such as "feed.xml"): only the allowed
// characters, well-formed percent escapes, a well-formed scheme, authority and port. Empty text
// is not a URL.
bool isValidURL(std::string_view text);

namespace BatteryServiceConstants {
std::string daemonServiceName();  // AppConfiguration::daemonBundleIdentifier()
std::string daemonPlistName();    // that identifier followed by ".plist"
}  // namespace BatteryServiceConstants

// Fixed names used by packaging.
namespace ProductConfiguration {
inline constexpr std::string_view appName = "Joulix";
inline constexpr std::string_view bundleName = "Joulix";
inline constexpr std::string_view executableName = "Joulix";
inline constexpr std::string_view bundleIdentifierPrefix = "com.joulix";
inline constexpr std::string_view dataDirectoryName = "Joulix";
inline constexpr std::string_view daemonName = "JoulixDaemon";
inline constexpr std::string_view releaseArtifactName = "Joulix";
inline constexpr std::string_view websiteSlug = "joulix";
}  // namespace ProductConfiguration

// What the toolbar shows. JSON keys are the field names; decoding requires all three and throws
// DecodingError otherwise.
struct ToolbarDisplaySettings {
    bool showPercentage = true;
    bool showColors = true;
    bool showWatts = true;

    static const ToolbarDisplaySettings default_;  // all three shown

    std::string toJSON() const;
    static ToolbarDisplaySettings fromJSON(std::string_view json);

    friend bool operator==(const ToolbarDisplaySettings&, const ToolbarDisplaySettings&) = default;
};
inline constexpr ToolbarDisplaySettings ToolbarDisplaySettings::default_{true, true, true};

}  // namespace joulix
