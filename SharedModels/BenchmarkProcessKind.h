#pragma once
// The kind of process a component profiler measures: the application or the daemon. Each kind
// has its own trace file.
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

enum class BenchmarkProcessKind { app, daemon };

std::string_view rawValue(BenchmarkProcessKind kind);
std::optional<BenchmarkProcessKind> benchmarkProcessKindFromRawValue(std::string_view raw);
std::string_view displayName(BenchmarkProcessKind kind);
std::string_view componentProfilePath(BenchmarkProcessKind kind);

// `daemon` when the lower-cased process name contains "daemon", otherwise `app`.
BenchmarkProcessKind benchmarkProcessKindForProcessName(std::string_view processName);
// The kind of the running process.
BenchmarkProcessKind currentBenchmarkProcessKind();

// The running process's name (its executable's base name).
std::string runningProcessName();

}  // namespace joulix
