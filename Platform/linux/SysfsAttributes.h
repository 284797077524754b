#pragma once
// Reading single-value attribute files of sysfs and procfs.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace joulix::sysfs {

// The file's first line without surrounding blanks; absent when it cannot be read.
std::optional<std::string> readText(const std::string& path);
// The text as a signed decimal integer (a leading '+' allowed); absent when not a whole number.
std::optional<int64_t> parseInteger(const std::optional<std::string>& text);
// The file's value as a signed decimal integer; absent when unreadable or not a whole number.
std::optional<int64_t> readInteger(const std::string& path);

// The properties a power_supply uevent lists ("POWER_SUPPLY_VOLTAGE_NOW=12000000" lines), by
// attribute name ("voltage_now"), each value without surrounding blanks as readText gives the
// attribute's file. Other lines are ignored.
std::vector<std::pair<std::string, std::string>> powerSupplyUeventProperties(std::string_view text);
// The whole file, up to `limit` bytes; absent when it cannot be read.
std::optional<std::string> readFile(const std::string& path, std::size_t limit);

}  // namespace joulix::sysfs
