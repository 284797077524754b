#pragma once
// Reading single-value attribute files of sysfs and procfs.
#include <cstdint>
#include <optional>
#include <string>

namespace joulix::sysfs {

// The file's first line without surrounding blanks; absent when it cannot be read.
std::optional<std::string> readText(const std::string& path);
// The text as a signed decimal integer (a leading '+' allowed); absent when not a whole number.
std::optional<int64_t> parseInteger(const std::optional<std::string>& text);
// The file's value as a signed decimal integer; absent when unreadable or not a whole number.
std::optional<int64_t> readInteger(const std::string& path);

}  // namespace joulix::sysfs
