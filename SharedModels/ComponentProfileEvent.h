#pragma once
// One measurement of the component profiler: an open span while it runs, an event (one line of
// the JSON-lines trace) once it ended.
// JSON form of an event: one compact object, keys = field names in declared order, absent
// optionals left out. Decoding requires every non-optional key, rejects a wrong type and an
// unknown process kind (throwing "the decoder's error", DecodingError) and ignores other keys.
#include "SharedModels/BenchmarkProcessKind.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace joulix {

using ProfileContext = std::map<std::string, std::string>;

struct ComponentProfileSpan {
    std::string component;
    std::optional<std::string> parentComponent;
    std::string correlationID;
    double startedAtUnixMs = 0;
    uint64_t startedAtUptimeNanoseconds = 0;
    std::optional<std::string> sourceFileID;
    std::optional<std::string> sourceFunction;
    std::optional<int64_t> sourceLine;
    ProfileContext context;

    friend bool operator==(const ComponentProfileSpan&, const ComponentProfileSpan&) = default;
};

struct ComponentProfileEvent {
    static constexpr int64_t currentSchemaVersion = 2;

    int64_t schemaVersion = currentSchemaVersion;
    BenchmarkProcessKind processKind = BenchmarkProcessKind::app;
    std::string processName;
    int32_t pid = 0;
    std::string component;
    std::optional<std::string> parentComponent;
    std::string correlationID;
    double startedAtUnixMs = 0;
    double durationMs = 0;
    std::string threadLabel;                // "main", or "thread-" + the kernel thread id
    std::optional<std::string> queueLabel;  // the serial executor the code ran on, if any
    std::optional<std::string> sourceFileID;
    std::optional<std::string> sourceFunction;
    std::optional<int64_t> sourceLine;
    ProfileContext context;

    // Ran on the main thread, or was marked "uiThread" = "1".
    bool blocksUIThread() const;
    // "function [file]" with the last piece of the file identifier, the function alone, or the
    // component when no function is known.
    std::string functionCostLabel() const;

    // The compact JSON object, without a line feed. Unicode line separators inside texts are
    // escaped, so the line splits only where it ends.
    std::string jsonLine() const;
    static ComponentProfileEvent fromJSON(std::string_view json);

    friend bool operator==(const ComponentProfileEvent&, const ComponentProfileEvent&) = default;
};

}  // namespace joulix
