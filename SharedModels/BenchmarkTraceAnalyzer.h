#pragma once
// Reads a component-profiler trace and answers which components block the UI thread longest,
// which synchronous calls cost most, and which functions carry the most exclusive ("self") time.
// Nesting is rebuilt from timing alone: within one correlation id and one thread, an event that
// starts inside another's time range is its child, and a parent's self time is its duration
// minus its direct children's durations (never below 0).
#include "SharedModels/ComponentProfileEvent.h"

#include <cstdint>
#include <string>
#include <vector>

namespace joulix {

struct BenchmarkTraceAggregate {
    std::string component;
    int64_t count = 0;
    double totalDurationMs = 0;
    double averageDurationMs = 0;
    double maxDurationMs = 0;

    const std::string& id() const { return component; }
    friend bool operator==(const BenchmarkTraceAggregate&,
                           const BenchmarkTraceAggregate&) = default;
};

struct BenchmarkFunctionTraceAggregate {
    std::string function;  // the events' functionCostLabel
    int64_t count = 0;
    double totalDurationMs = 0;
    double selfDurationMs = 0;
    double averageSelfDurationMs = 0;
    double maxDurationMs = 0;
    double mainThreadSelfDurationMs = 0;

    const std::string& id() const { return function; }
    friend bool operator==(const BenchmarkFunctionTraceAggregate&,
                           const BenchmarkFunctionTraceAggregate&) = default;
};

struct BenchmarkTraceSummary {
    std::string path;
    int64_t eventCount = 0;
    int64_t mainThreadEventCount = 0;  // events of positive duration that block the UI thread
    int64_t syncCallCount = 0;         // events of positive duration marked "syncCall" = "1"
    std::vector<BenchmarkTraceAggregate> topMainThreadBlockers;
    std::vector<BenchmarkTraceAggregate> topSyncCalls;
    std::vector<BenchmarkFunctionTraceAggregate> topBlockingFunctions;
    std::vector<BenchmarkFunctionTraceAggregate> topFunctionSelfCost;

    static BenchmarkTraceSummary empty(std::string path);
    friend bool operator==(const BenchmarkTraceSummary&, const BenchmarkTraceSummary&) = default;
};

namespace BenchmarkTraceAnalyzer {

// The events of the file in order; none when no file exists. Throws joulix::Error when the
// file cannot be read or is not UTF-8, and the decoder's error (DecodingError) for the first
// line that does not decode.
std::vector<ComponentProfileEvent> loadEvents(const std::string& path);

// Each list keeps its first max(topCount, 1) entries.
BenchmarkTraceSummary summarize(const std::string& path, int64_t topCount);
BenchmarkTraceSummary summarize(const std::vector<ComponentProfileEvent>& events, std::string path,
                                int64_t topCount);

}  // namespace BenchmarkTraceAnalyzer
}  // namespace joulix
