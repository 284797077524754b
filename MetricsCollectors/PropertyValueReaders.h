#pragma once
// Readers of single property values (booleans, integers, reals, texts) as the battery readers
// take them: each yields absent for a value of a type it does not accept.
#include "Platform/PowerSources.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace joulix::property {

// A text as a base-10 integer with an optional leading "+" or "-"; absent for any other
// character, an empty text or overflow.
std::optional<int64_t> parseDecimalInteger(std::string_view text);

// An integer as is, a real by its integer value (truncated; absent when out of range), a text
// parsed as a decimal integer.
std::optional<int64_t> integerValue(const PowerSourceValue& value);

enum class TextBooleans { interpreted, ignored };
// A boolean as is, a number by its truth value; with `interpreted`, the lower-cased texts
// "1", "true", "yes" and "0", "false", "no".
std::optional<bool> booleanValue(const PowerSourceValue& value, TextBooleans texts);

enum class EmptyText { absent, accepted };
// A text value.
std::optional<std::string> textValue(const PowerSourceValue& value, EmptyText empty);

// A reported time remaining in minutes: absent below one minute and for the 65534/65535
// "still calculating" markers.
std::optional<int64_t> timeRemainingMinutes(std::optional<int64_t> minutes);

}  // namespace joulix::property
