#pragma once
// Tells whether a process belongs to the operating system (Apple's), from its name, bundle
// identifier and display name, by two constant tables: system path prefixes and system process
// names. A namespace without state; every function is pure.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace joulix::AppleProcessDetector {

// Executable locations of the operating system, in the order they are tried.
extern const std::array<std::string_view, 9> systemPathPrefixes;
// Lower-case names of operating system processes, sorted for look-up.
extern const std::array<std::string_view, 188> systemProcessNames;

// True when the bundle identifier or the name carries "com.apple.", the name is a path under a
// system prefix, or the name's last component or the display name (lower-cased, blanks as "_")
// is a system process name.
bool isAppleSystemProcess(std::string_view name, const std::optional<std::string>& bundleID,
                          std::string_view displayName);

}  // namespace joulix::AppleProcessDetector
