#pragma once
// Named constants and the identifiers derived, on every read, from the main bundle's Info
// dictionary and identifier (see Platform/MainBundle.h); the sampling configuration record.
#include "Platform/MainBundle.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

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
}  // namespace Updates

namespace Logging {
inline constexpr std::string_view logLevelInfoKey = "JLX_LOG_LEVEL";
std::string subsystem();
}  // namespace Logging
}  // namespace AppConfiguration

}  // namespace joulix
