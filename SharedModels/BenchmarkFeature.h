#pragma once
// The debug switch that turns the component profiler on: "DEBUG_BENCHMARK" in the environment,
// else in the main bundle's Info dictionary, else off.
#include "Platform/MainBundle.h"
#include "SharedModels/AppConfiguration.h"

#include <optional>
#include <string_view>

namespace joulix::BenchmarkFeature {

inline constexpr std::string_view flagKey = "DEBUG_BENCHMARK";

// An environment value is judged as a switch ("1", "true", "yes", "y", "on" after trimming and
// lower-casing) and the Info dictionary is then not consulted. An Info value counts as a boolean,
// a switch text or a number (non-zero is true); any other type is false.
bool isEnabled(const Environment& environment, const std::optional<InfoDictionary>& infoDictionary);

// The same for this process's environment and main bundle, read afresh on every call.
bool isEnabled();

}  // namespace joulix::BenchmarkFeature
